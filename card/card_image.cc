// Card images: building the 28 bytes of guest and villa cards and decoding
// them again for card reading.
#include "card/card_image.h"

#include <cstdio>

#include "holvanter/tavo_card.h"

namespace holvanter {
namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Characters pos and pos+1 (0-based) read as one hexadecimal byte: the card
// number pairs and the BCD fields ("14" gives 0x14). Text that is no
// hexadecimal pair cannot go on a card: type mismatch.
uint8_t HexPair(const std::string& text, std::size_t pos, const char* what) {
  if (pos + 2 > text.size()) {
    throw TavoError(kErrInvalidProcedureCall, std::string(what) + " is too short for the card: \"" +
                                                  text + "\"");
  }
  const int high = HexDigitValue(text[pos]);
  const int low = HexDigitValue(text[pos + 1]);
  if (high < 0 || low < 0) {
    throw TavoError(kErrTypeMismatch, std::string("Type mismatch: ") + what + " \"" + text +
                                          "\" has no figures at position " +
                                          std::to_string(pos + 1));
  }
  return static_cast<uint8_t>(high * 16 + low);
}

// Characters pos and pos+1 (0-based) read as a two-figure decimal number.
int DecimalPair(const std::string& text, std::size_t pos, const char* what) {
  if (pos + 2 > text.size()) {
    throw TavoError(kErrInvalidProcedureCall, std::string(what) + " is too short for the card: \"" +
                                                  text + "\"");
  }
  const char a = text[pos];
  const char b = text[pos + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') {
    throw TavoError(kErrTypeMismatch, std::string("Type mismatch: ") + what + " \"" + text +
                                          "\" has no figures at position " +
                                          std::to_string(pos + 1));
  }
  return (a - '0') * 10 + (b - '0');
}

// A number that must fit in one byte of the card (floor, building).
uint8_t ByteValue(int value, const char* what) {
  if (value < 0 || value > 255) {
    throw TavoError(kErrOverflow,
                    std::string("Overflow: ") + what + " " + std::to_string(value) +
                        " does not fit on the card");
  }
  return static_cast<uint8_t>(value);
}

// Card number bytes 6..8 from the hex form: byte 6 from figures 5-6, byte 7
// from 3-4, byte 8 from 1-2.
void PutCardNumber(CardImage& image, const std::string& card_no_hex) {
  image[6] = HexPair(card_no_hex, 4, "card number");
  image[7] = HexPair(card_no_hex, 2, "card number");
  image[8] = HexPair(card_no_hex, 0, "card number");
}

// The packed date of figures 3..8 (YYMMDD) of a stamp, high byte at `at`.
void PutStampDate(CardImage& image, std::size_t at, const std::string& stamp, const char* what) {
  const uint16_t packed = PackCardDate(DecimalPair(stamp, 2, what), DecimalPair(stamp, 4, what),
                                       DecimalPair(stamp, 6, what));
  image[at] = static_cast<uint8_t>(packed >> 8);
  image[at + 1] = static_cast<uint8_t>(packed & 0xFF);
}

// End date, hour and minute in bytes 9..12.
void PutEndStamp(CardImage& image, const std::string& end_stamp) {
  PutStampDate(image, 9, end_stamp, "end date");
  image[11] = HexPair(end_stamp, 8, "end hour");
  image[12] = HexPair(end_stamp, 10, "end minute");
}

std::string Decimal(unsigned value, int min_width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*u", min_width, value);
  return buffer;
}

std::string HexByte(uint8_t value) {
  char buffer[4];
  std::snprintf(buffer, sizeof buffer, "%02X", value);
  return buffer;
}

// "20" & YY & MM & DD, each at least two figures.
std::string DateText(uint8_t high, uint8_t low) {
  const CardDate date = UnpackCardDate(high, low);
  return "20" + Decimal(static_cast<unsigned>(date.year - 2000), 2) +
         Decimal(static_cast<unsigned>(date.month), 2) + Decimal(static_cast<unsigned>(date.day), 2);
}

std::string EndText(const CardImage& image) {
  return DateText(image[9], image[10]) + HexByte(image[11]) + HexByte(image[12]);
}

}  // namespace

CardImage BlankCardImage() {
  CardImage image;
  image.fill(0xFF);
  return image;
}

uint16_t PackCardDate(int yy, int mm, int dd) {
  return static_cast<uint16_t>(yy * 512 + (dd / 16) * 256 + mm * 16 + (dd % 16));
}

CardDate UnpackCardDate(uint8_t high, uint8_t low) {
  const unsigned v = 256u * high + low;
  return CardDate{static_cast<int>(2000 + v / 512), static_cast<int>((v % 256) / 16),
                  static_cast<int>(((v / 256) % 2) * 16 + v % 16)};
}

CardImage StartCardImage(uint8_t kind, const std::string& system_code_ansi) {
  if (system_code_ansi.size() < 5) {
    throw TavoError(kErrInvalidProcedureCall,
                    "Invalid procedure call: the system code \"" + system_code_ansi +
                        "\" has fewer than five characters");
  }
  CardImage image = BlankCardImage();
  image[0] = kind;
  for (std::size_t i = 0; i < 5; ++i) image[1 + i] = static_cast<uint8_t>(system_code_ansi[i]);
  return image;
}

void FinishGuestImage(CardImage& image, const std::string& card_no_hex,
                      const std::string& begin_stamp, const std::string& end_stamp,
                      const std::string& room_code, int floor_no, int bldg_no) {
  PutCardNumber(image, card_no_hex);
  PutEndStamp(image, end_stamp);
  PutStampDate(image, 13, begin_stamp, "begin date");
  image[15] = HexPair(room_code, 0, "room code");
  image[16] = HexPair(room_code, 2, "room code");
  image[17] = ByteValue(floor_no, "floor");
  image[18] = ByteValue(bldg_no, "building");
}

void FinishVillaImage(CardImage& image, const std::string& card_no_hex,
                      const std::string& end_stamp, const std::string& room_no, int floor_no,
                      int bldg_no) {
  PutCardNumber(image, card_no_hex);
  PutEndStamp(image, end_stamp);
  for (std::size_t i = 0; i < 4; ++i) image[13 + i] = HexPair(room_no, 2 * i, "room");
  image[17] = ByteValue(floor_no, "floor");
  image[18] = ByteValue(bldg_no, "building");
}

CardImage BuildGuestImage(const std::string& system_code_ansi, const std::string& card_no_hex,
                          const std::string& begin_stamp, const std::string& end_stamp,
                          const std::string& room_code, int floor_no, int bldg_no) {
  CardImage image = StartCardImage(kGuestCardKind, system_code_ansi);
  FinishGuestImage(image, card_no_hex, begin_stamp, end_stamp, room_code, floor_no, bldg_no);
  return image;
}

CardImage BuildVillaImage(const std::string& system_code_ansi, const std::string& card_no_hex,
                          const std::string& end_stamp, const std::string& room_no, int floor_no,
                          int bldg_no) {
  CardImage image = StartCardImage(kVillaCardKind, system_code_ansi);
  FinishVillaImage(image, card_no_hex, end_stamp, room_no, floor_no, bldg_no);
  return image;
}

CardKind ClassifyCardKind(uint8_t kind_byte) {
  switch (kind_byte) {
    case 0x01:
      return CardKind::kKind01;
    case 0xAA:
      return CardKind::kKindAA;
    case 0x1B:
    case 0x0B:
      return CardKind::kGuest;
    case 0x0F:
    case 0x1F:
      return CardKind::kVilla;
    default:
      return CardKind::kUnknown;
  }
}

DecodedCard DecodeCardImage(const CardImage& image) {
  DecodedCard card;
  card.kind = ClassifyCardKind(image[0]);
  if (card.kind != CardKind::kGuest && card.kind != CardKind::kVilla) return card;
  card.number = image[6] + 256u * image[7] + 65536u * image[8];
  card.building = image[18];
  card.floor = image[17];
  card.end = EndText(image);
  if (card.kind == CardKind::kGuest) {
    card.rooms = {HexByte(image[15]) + HexByte(image[16])};
    card.begin = DateText(image[13], image[14]);
  } else {
    card.rooms = {HexByte(image[13]) + HexByte(image[14]), HexByte(image[15]) + HexByte(image[16])};
  }
  return card;
}

std::string CardNoHexForm(uint32_t number) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%06X", static_cast<unsigned>(number));
  return buffer;
}

std::string CardNoRecordForm(uint32_t number) { return Decimal(number, 8); }

}  // namespace holvanter
