// Any 28 bytes on the encoder, decoded as card reading decodes them: never a
// crash, texts of the forms ReadCard hands out, and a card the component can
// have written (years 2000 to 2099) builds again into the same bytes from
// what was read off it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/card_image.h"
#include "fuzz/fuzz_check.h"

namespace {

using holvanter::CardImage;

std::vector<std::string> SplitAtHash(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '#')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

bool AllFigures(const std::string& text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return !text.empty();
}

std::string Hex(const CardImage& image) {
  std::string out;
  char buffer[4];
  for (uint8_t b : image) {
    std::snprintf(buffer, sizeof buffer, "%02X ", b);
    out += buffer;
  }
  return out;
}

// A packed date whose year is beyond 2099 fits no stamp an issue takes.
bool IssuableDate(const CardImage& image, std::size_t high) {
  return holvanter::UnpackCardDate(image[high], image[high + 1]).year <= 2099;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The encoder hands over 28 bytes; a shorter read keeps the fill.
  CardImage image = holvanter::BlankCardImage();
  std::memcpy(image.data(), data, size < image.size() ? size : image.size());

  const holvanter::CardKind kind = holvanter::ClassifyCardKind(image[0]);
  if (kind != holvanter::CardKind::kGuest && kind != holvanter::CardKind::kVilla) return 0;
  const bool villa = kind == holvanter::CardKind::kVilla;
  const holvanter::DecodedCard card =
      villa ? holvanter::DecodeVillaImage(image) : holvanter::DecodeGuestImage(image);

  const std::vector<std::string> room = SplitAtHash(card.room_no);
  FUZZ_CHECK(card.card_no.size() == 8 && AllFigures(card.card_no), card.card_no);
  FUZZ_CHECK(room.size() == (villa ? 4u : 3u), card.room_no);
  for (const std::string& part : room) FUZZ_CHECK(!part.empty(), card.room_no);
  FUZZ_CHECK(AllFigures(room[0]) && AllFigures(room[1]), card.room_no);
  FUZZ_CHECK(card.end_date.size() == 12 || !villa, card.end_date);

  if (!IssuableDate(image, 9) || (!villa && !IssuableDate(image, 13))) return 0;
  FUZZ_CHECK(card.end_date.size() == 12 && card.begin_date.size() == 8,
             card.begin_date + " " + card.end_date);

  // What the front desk read, built into a card again.
  const std::string system_code(reinterpret_cast<const char*>(&image[1]), 5);
  const std::string card_no_hex =
      holvanter::CardNoHexForm(static_cast<uint32_t>(std::stoul(card.card_no)));
  const int building = std::stoi(room[0]);
  const int floor = std::stoi(room[1]);
  const CardImage rebuilt =
      villa ? holvanter::BuildVillaImage(system_code, card_no_hex, card.end_date,
                                         room[3] + room[2], floor, building)
            : holvanter::BuildGuestImage(system_code, card_no_hex, card.begin_date + "0000",
                                         card.end_date, room[2], floor, building);

  // The builder writes the kind it issues and leaves bytes 19..27 filled.
  CardImage expected = image;
  expected[0] = villa ? holvanter::kVillaCardKind : holvanter::kGuestCardKind;
  for (std::size_t i = 19; i < expected.size(); ++i) expected[i] = 0xFF;
  FUZZ_CHECK(rebuilt == expected, "read " + Hex(image) + "\n  built " + Hex(rebuilt));
  return 0;
}
