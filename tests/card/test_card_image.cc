// Guest, villa and blank card images byte for byte, and the packed card date.
// Decoding is covered where card reading decodes (the encoder tests).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/card_image.h"
#include "holvanter/tavo_card.h"

namespace holvanter {
namespace {

CardImage Bytes(std::vector<uint8_t> head) {
  CardImage image;
  image.fill(0xFF);
  for (std::size_t i = 0; i < head.size(); ++i) image[i] = head[i];
  return image;
}

TEST(CardImage, ByteForByte) {
  const struct {
    const char* name;
    CardImage built;
    std::vector<uint8_t> head;  // the rest is 0xFF
  } cases[] = {
      {"guest example",
       BuildGuestImage("TAVO1", "003039", "200710150000", "200710171430", "0305", 3, 1).value(),
       {0x1B, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x39, 0x30, 0x00, 0x0F, 0xA1, 0x14, 0x30, 0x0E, 0xAF,
        0x03, 0x05, 0x03, 0x01}},
      // Room figures go in as hexadecimal pairs, floor and building as numbers.
      {"guest, figures that differ in hex",
       BuildGuestImage("HOTEL", "ABCDEF", "200802162359", "209912312359", "1234", 12, 99).value(),
       {0x1B, 'H', 'O', 'T', 'E', 'L', 0xEF, 0xCD, 0xAB, 0xC7, 0xCF, 0x23, 0x59, 0x11, 0x20, 0x12,
        0x34, 12, 99}},
      {"villa example",
       BuildVillaImage("TAVO1", "00001A", "200710201230", "01020304", 3, 2).value(),
       {0x1F, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x1A, 0x00, 0x00, 0x0F, 0xA4, 0x12, 0x30, 0x01, 0x02,
        0x03, 0x04, 0x03, 0x02}},
      {"blank", BlankCardImage(), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.built, Bytes(c.head)) << c.name;
}

TEST(CardImage, BeginTimeIsNotOnTheCard) {
  EXPECT_EQ(BuildGuestImage("TAVO1", "000001", "200710170000", "200710201200", "0101", 1, 1).value(),
            BuildGuestImage("TAVO1", "000001", "200710172359", "200710201200", "0101", 1, 1).value());
}

TEST(CardDate, PackedValuesAndEveryDayOfTheCenturyBack) {
  const struct {
    int yy, mm, dd;
    uint16_t packed;
  } cases[] = {
      {7, 10, 17, 0x0FA1}, {8, 2, 16, 0x1120}, {8, 2, 15, 0x102F},
      {0, 1, 1, 0x0011},   {99, 12, 31, 0xC7CF}, {7, 10, 20, 0x0FA4}, {7, 10, 15, 0x0EAF},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PackCardDate(c.yy, c.mm, c.dd), c.packed) << c.yy << "-" << c.mm << "-" << c.dd;

  for (int yy = 0; yy <= 99; ++yy) {
    for (int mm = 1; mm <= 12; ++mm) {
      for (int dd = 1; dd <= 31; ++dd) {
        const uint16_t packed = PackCardDate(yy, mm, dd);
        const CardDate date = UnpackCardDate(packed >> 8, packed & 0xFF);
        ASSERT_EQ(date.year * 10000 + date.month * 100 + date.day,
                  (2000 + yy) * 10000 + mm * 100 + dd);
      }
    }
  }
}

TEST(CardImage, WhatCannotGoOnACardIsTheBuildersFailure) {
  const struct {
    const char* name;
    Status status;
    Status::Code code;
  } cases[] = {
      {"short system code", StartCardImage(kGuestCardKind, "TAV").status(),
       Status::Code::kInvalidArgument},
      {"letter in the end stamp",
       BuildVillaImage("TAVO1", "000001", "2007102X1230", "01020304", 1, 1).status(),
       Status::Code::kTypeMismatch},
      {"negative floor",
       BuildVillaImage("TAVO1", "000001", "200710201230", "01020304", -1, 1).status(),
       Status::Code::kOverflow},
      {"building past a byte",
       BuildGuestImage("TAVO1", "000001", "200710200000", "200710201230", "0101", 1, 256).status(),
       Status::Code::kOverflow},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status.code(), c.code) << c.name << ": " << c.status.message();
}

}  // namespace
}  // namespace holvanter
