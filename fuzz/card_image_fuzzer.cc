// Any 28 bytes on the encoder, decoded as card reading decodes them: never a
// crash, a decoded card whose fields fit what the card can carry, and a card
// the component can have written (years 2000 to 2099) builds again into the
// same bytes from what was read off it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/card_image.h"
#include "fuzz/fuzz_check.h"

namespace {

using holvanter::CardImage;

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

  const holvanter::DecodedCard card = holvanter::DecodeCardImage(image);
  if (card.kind != holvanter::CardKind::kGuest && card.kind != holvanter::CardKind::kVilla) return 0;
  const bool villa = card.kind == holvanter::CardKind::kVilla;

  FUZZ_CHECK(card.number <= 0xFFFFFF, std::to_string(card.number));
  FUZZ_CHECK(card.rooms.size() == (villa ? 2u : 1u), std::to_string(card.rooms.size()));
  for (const std::string& room : card.rooms) FUZZ_CHECK(room.size() == 4, room);
  FUZZ_CHECK(card.building >= 0 && card.building <= 255 && card.floor >= 0 && card.floor <= 255,
             std::to_string(card.building) + "/" + std::to_string(card.floor));
  FUZZ_CHECK(villa == card.begin.empty(), card.begin);

  if (!IssuableDate(image, 9) || (!villa && !IssuableDate(image, 13))) return 0;
  FUZZ_CHECK(card.end.size() == 12 && (villa || card.begin.size() == 8),
             card.begin + " " + card.end);

  // What the front desk read, built into a card again.
  const std::string system_code(reinterpret_cast<const char*>(&image[1]), 5);
  const std::string card_no_hex = holvanter::CardNoHexForm(card.number);
  const holvanter::Result<CardImage> rebuilt_result =
      villa ? holvanter::BuildVillaImage(system_code, card_no_hex, card.end,
                                         card.rooms[0] + card.rooms[1], card.floor, card.building)
            : holvanter::BuildGuestImage(system_code, card_no_hex, card.begin + "0000", card.end,
                                         card.rooms[0], card.floor, card.building);
  FUZZ_CHECK(rebuilt_result.ok(), rebuilt_result.status().message());
  const CardImage& rebuilt = rebuilt_result.value();

  // The builder writes the kind it issues and leaves bytes 19..27 filled.
  CardImage expected = image;
  expected[0] = villa ? holvanter::kVillaCardKind : holvanter::kGuestCardKind;
  for (std::size_t i = 19; i < expected.size(); ++i) expected[i] = 0xFF;
  FUZZ_CHECK(rebuilt == expected, "read " + Hex(image) + "\n  built " + Hex(rebuilt));
  return 0;
}
