// Card images: the 28 bytes of user data a key card carries, for guest and
// villa cards, built from a stay and decoded again by card reading.
//
// Builders check nothing: the issue flows validate every input first.
#ifndef HOLVANTER_CARD_CARD_IMAGE_H_
#define HOLVANTER_CARD_CARD_IMAGE_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace holvanter {

inline constexpr std::size_t kCardImageSize = 28;
using CardImage = std::array<uint8_t, kCardImageSize>;

inline constexpr uint8_t kGuestCardKind = 27;  // 0x1B
inline constexpr uint8_t kVillaCardKind = 31;  // 0x1F

// 28 bytes of 0xFF: the image that erases a card at check-out.
CardImage BlankCardImage();

// YY*512 + (DD div 16)*256 + MM*16 + (DD mod 16), stored high byte first.
uint16_t PackCardDate(int yy, int mm, int dd);

struct CardDate {
  int year;   // 2000 + YY (YY may exceed 99 on a foreign card)
  int month;
  int day;
};
CardDate UnpackCardDate(uint8_t high, uint8_t low);

// The first half of an issue's image: all 0xFF, the kind in byte 0 and the
// ANSI codes of the first five system code characters in bytes 1..5.
// `system_code_ansi` holds at least five bytes.
CardImage StartCardImage(uint8_t kind, const std::string& system_code_ansi);

// Completes a guest image begun by StartCardImage: card number (hex form, 6
// figures), end stamp and begin stamp (YYYYMMDDhhmm), room code (4 figures),
// floor and building.
void FinishGuestImage(CardImage& image, const std::string& card_no_hex,
                      const std::string& begin_stamp, const std::string& end_stamp,
                      const std::string& room_code, int floor_no, int bldg_no);

// Completes a villa image: card number, end stamp, the 8 figures of RoomNO
// (first room, then second), floor and building.
void FinishVillaImage(CardImage& image, const std::string& card_no_hex,
                      const std::string& end_stamp, const std::string& room_no,
                      int floor_no, int bldg_no);

// Whole images in one call.
CardImage BuildGuestImage(const std::string& system_code_ansi, const std::string& card_no_hex,
                          const std::string& begin_stamp, const std::string& end_stamp,
                          const std::string& room_code, int floor_no, int bldg_no);
CardImage BuildVillaImage(const std::string& system_code_ansi, const std::string& card_no_hex,
                          const std::string& end_stamp, const std::string& room_no,
                          int floor_no, int bldg_no);

// What card reading makes of an image: the card as a value. The texts a
// host sees (ReadCard's RoomNO "BB#FF#RRRR" and its dates) are built from it
// at the faces.
enum class CardKind { kGuest, kVilla, kKind01, kKindAA, kUnknown };
CardKind ClassifyCardKind(uint8_t kind_byte);

struct DecodedCard {
  CardKind kind = CardKind::kUnknown;
  uint32_t number = 0;             // bytes 6..8, low byte first
  int building = 0;                // byte 18
  int floor = 0;                   // byte 17
  // Room codes as the card carries them, two figures a byte (a foreign card
  // may carry other hexadecimal figures), first room first.
  std::vector<std::string> rooms;
  std::string begin;               // "20YYMMDD"; empty on a villa card, which carries none
  std::string end;                 // "20YYMMDDhhmm"
};

// Classifies an image and, for a guest or villa card, decodes it; for any
// other kind only `kind` is set.
DecodedCard DecodeCardImage(const CardImage& image);

// Card number forms: hex form "00007B", record form "00000123".
std::string CardNoHexForm(uint32_t number);
std::string CardNoRecordForm(uint32_t number);

}  // namespace holvanter

#endif  // HOLVANTER_CARD_CARD_IMAGE_H_
