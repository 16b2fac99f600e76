// Guest and villa card images byte for byte, the packed card date and the
// decoding that card reading applies.
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

TEST(GuestImage, WholeImageByteForByte) {
  const CardImage image =
      BuildGuestImage("TAVO1", "003039", "200710150000", "200710171430", "0305", 3, 1);
  EXPECT_EQ(image, Bytes({0x1B, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x39, 0x30, 0x00, 0x0F, 0xA1, 0x14,
                          0x30, 0x0E, 0xAF, 0x03, 0x05, 0x03, 0x01}));
}

TEST(GuestImage, FieldsLandInTheirBytes) {
  struct Case {
    const char* card_no_hex;
    const char* room;
    int floor, bldg;
    uint8_t b6, b7, b8, b15, b16, b17, b18;
  };
  const Case cases[] = {
      {"00007B", "0101", 3, 12, 0x7B, 0x00, 0x00, 0x01, 0x01, 0x03, 0x0C},
      {"FFFFFF", "1234", 99, 99, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 99, 99},
      {"ABCDEF", "9009", 1, 1, 0xEF, 0xCD, 0xAB, 0x90, 0x09, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.card_no_hex);
    const CardImage image =
        BuildGuestImage("TAVO1", c.card_no_hex, "200710150000", "200710171430", c.room, c.floor,
                        c.bldg);
    EXPECT_EQ(image[0], 0x1B);
    EXPECT_EQ(image[1], 0x54);
    EXPECT_EQ(image[5], 0x31);
    EXPECT_EQ(image[6], c.b6);
    EXPECT_EQ(image[7], c.b7);
    EXPECT_EQ(image[8], c.b8);
    EXPECT_EQ(image[15], c.b15);
    EXPECT_EQ(image[16], c.b16);
    EXPECT_EQ(image[17], c.b17);
    EXPECT_EQ(image[18], c.b18);
    for (std::size_t i = 19; i < kCardImageSize; ++i) EXPECT_EQ(image[i], 0xFF) << i;
  }
}

TEST(GuestImage, BeginTimeIsNotOnTheCard) {
  EXPECT_EQ(BuildGuestImage("TAVO1", "000001", "200710170000", "200710201200", "0101", 1, 1),
            BuildGuestImage("TAVO1", "000001", "200710172359", "200710201200", "0101", 1, 1));
}

TEST(GuestImage, StartThenFinishEqualsWholeBuild) {
  CardImage image = StartCardImage(kGuestCardKind, "HOTEL");
  FinishGuestImage(image, "00ABCD", "201001010800", "201001031100", "0712", 7, 2);
  EXPECT_EQ(image, BuildGuestImage("HOTEL", "00ABCD", "201001010800", "201001031100", "0712", 7, 2));
}

TEST(CardDate, PackedValues) {
  struct Case {
    int yy, mm, dd;
    uint16_t packed;
  };
  const Case cases[] = {
      {7, 10, 17, 0x0FA1}, {8, 2, 16, 0x1120}, {8, 2, 15, 0x102F},
      {0, 1, 1, 0x0011},   {99, 12, 31, 0xC7CF}, {7, 10, 20, 0x0FA4}, {7, 10, 15, 0x0EAF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PackCardDate(c.yy, c.mm, c.dd), c.packed) << c.yy << "-" << c.mm << "-" << c.dd;
  }
}

TEST(CardDate, EveryDayOfTheCenturyUnpacksToItself) {
  for (int yy = 0; yy <= 99; ++yy) {
    for (int mm = 1; mm <= 12; ++mm) {
      for (int dd = 1; dd <= 31; ++dd) {
        const uint16_t packed = PackCardDate(yy, mm, dd);
        const CardDate date = UnpackCardDate(packed >> 8, packed & 0xFF);
        ASSERT_EQ(date.year, 2000 + yy);
        ASSERT_EQ(date.month, mm);
        ASSERT_EQ(date.day, dd);
      }
    }
  }
}

TEST(CardDate, DayBitEightAndLongYears) {
  EXPECT_EQ(UnpackCardDate(0x0F, 0xA1).day, 17);  // bit 8 set: not day 1
  EXPECT_EQ(UnpackCardDate(0x0E, 0xA1).day, 1);
  EXPECT_EQ(UnpackCardDate(0xFF, 0xFF).year, 2127);
}

TEST(VillaImage, ExampleByteForByte) {
  const CardImage image = BuildVillaImage("TAVO1", "00001A", "200710201230", "01020304", 3, 2);
  EXPECT_EQ(image, Bytes({0x1F, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x1A, 0x00, 0x00, 0x0F, 0xA4,
                          0x12, 0x30, 0x01, 0x02, 0x03, 0x04, 0x03, 0x02}));
}

TEST(VillaImage, RoomsAndNumberBytes) {
  const CardImage image = BuildVillaImage("TAVO1", "ABCDEF", "200710152359", "05010501", 9, 8);
  EXPECT_EQ(image[6], 0xEF);
  EXPECT_EQ(image[7], 0xCD);
  EXPECT_EQ(image[8], 0xAB);
  EXPECT_EQ(image[9], 0x0E);
  EXPECT_EQ(image[10], 0xAF);
  EXPECT_EQ(image[11], 0x23);
  EXPECT_EQ(image[12], 0x59);
  EXPECT_EQ((std::vector<uint8_t>(image.begin() + 13, image.begin() + 19)),
            (std::vector<uint8_t>{0x05, 0x01, 0x05, 0x01, 9, 8}));

  CardImage started = StartCardImage(kVillaCardKind, "TAVO1");
  FinishVillaImage(started, "ABCDEF", "200710152359", "05010501", 9, 8);
  EXPECT_EQ(started, image);
}

TEST(BlankImage, AllBytesFF) {
  const CardImage blank = BlankCardImage();
  for (uint8_t b : blank) EXPECT_EQ(b, 0xFF);
  EXPECT_EQ(ClassifyCardKind(blank[0]), CardKind::kUnknown);
}

TEST(Decoding, GuestImageRoundTrip) {
  const DecodedCard card = DecodeGuestImage(
      BuildGuestImage("TAVO1", "00007B", "209912310000", "200001010005", "1234", 12, 3));
  EXPECT_EQ(card.card_no, "00000123");
  EXPECT_EQ(card.room_no, "03#12#1234");
  EXPECT_EQ(card.begin_date, "20991231");
  EXPECT_EQ(card.end_date, "200001010005");
}

TEST(Decoding, VillaGivesSecondRoomFirst) {
  const DecodedCard card =
      DecodeVillaImage(BuildVillaImage("TAVO1", "FFFFFF", "200710201230", "01020506", 1, 2));
  EXPECT_EQ(card.card_no, "16777215");
  EXPECT_EQ(card.room_no, "02#01#0506#0102");
  EXPECT_EQ(card.begin_date, "20000101");
  EXPECT_EQ(card.end_date, "200710201230");
}

TEST(CardNumberForms, HexAndRecordForm) {
  EXPECT_EQ(CardNoHexForm(123), "00007B");
  EXPECT_EQ(CardNoRecordForm(123), "00000123");
  EXPECT_EQ(CardNoHexForm(16777215), "FFFFFF");
  EXPECT_EQ(CardNoRecordForm(16777215), "16777215");
}

TEST(ImageInput, WhatCannotGoOnACardEndsTheCall) {
  auto hresult_of = [](auto&& build) {
    try {
      build();
    } catch (const TavoError& e) {
      return e.hresult();
    }
    return 0;
  };
  EXPECT_EQ(hresult_of([] { StartCardImage(kGuestCardKind, "TAV"); }), kErrInvalidProcedureCall);
  EXPECT_EQ(hresult_of([] {
              BuildVillaImage("TAVO1", "000001", "2007102X1230", "01020304", 1, 1);
            }),
            kErrTypeMismatch);
  EXPECT_EQ(hresult_of([] {
              BuildVillaImage("TAVO1", "000001", "200710201230", "01020304", -1, 1);
            }),
            kErrOverflow);
  EXPECT_EQ(hresult_of([] {
              BuildGuestImage("TAVO1", "000001", "200710200000", "200710201230", "0101", 1, 256);
            }),
            kErrOverflow);
}

}  // namespace
}  // namespace holvanter
