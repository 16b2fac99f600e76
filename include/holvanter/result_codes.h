/* The result codes of WriteCard, VillaCard and ReadCard, and of OpenPort,
   by name. C and C++ alike; the C++ face names them again in namespace
   holvanter::result. A result from 2 to 255 is the encoder's own write
   status: the card was not written. */
#ifndef HOLVANTER_RESULT_CODES_H_
#define HOLVANTER_RESULT_CODES_H_

enum tavo_result_code {
  TAVO_DONE = 0,                   /* card written, card read, check-out finished */
  TAVO_PORT_NOT_OPENED = -99,      /* OpenPort: the encoder did not open */
  TAVO_READ_FAILED = -128,         /* the card could not be read through the encoder */
  TAVO_NOT_WRITTEN = -129,         /* the encoder did not write the card (write status 0) */
  TAVO_CARD_KIND_01 = -500,        /* a card of kind 01: no guest or villa card */
  TAVO_CARD_KIND_AA = -600,        /* a card of kind AA: no guest or villa card */
  TAVO_NO_CARD = -700,             /* no guest or villa card was read */
  TAVO_NO_OPEN_RECORD = -710,      /* check-out: the card had no open record; it is erased */
  TAVO_NO_SETTINGS_FILE = -800,    /* no Tavoper.ini beside the component */
  TAVO_NO_DATABASE_FILE = -820,    /* no file at the DataBase path of Tavoper.ini */
  TAVO_DATABASE_NOT_OPEN = -840,   /* the database does not open */
  TAVO_BAD_BEGIN = -851,           /* the begin stamp is not acceptable */
  TAVO_BAD_END = -852,             /* the end stamp is not acceptable, or before the begin */
  TAVO_BAD_BUILDING = -854,        /* building not 1 to 99 */
  TAVO_BAD_FLOOR = -855,           /* floor not 1 to 99 */
  TAVO_BAD_GUEST_ROOM = -856,      /* guest room not four figures */
  TAVO_BAD_VILLA_ROOMS = -857      /* villa rooms not eight figures */
};

#ifdef __cplusplus
#include <cstdint>
namespace holvanter::result {
inline constexpr int16_t kDone = TAVO_DONE;
inline constexpr int16_t kPortNotOpened = TAVO_PORT_NOT_OPENED;
inline constexpr int16_t kReadFailed = TAVO_READ_FAILED;
inline constexpr int16_t kNotWritten = TAVO_NOT_WRITTEN;
inline constexpr int16_t kCardKind01 = TAVO_CARD_KIND_01;
inline constexpr int16_t kCardKindAA = TAVO_CARD_KIND_AA;
inline constexpr int16_t kNoCard = TAVO_NO_CARD;
inline constexpr int16_t kNoOpenRecord = TAVO_NO_OPEN_RECORD;
inline constexpr int16_t kNoSettingsFile = TAVO_NO_SETTINGS_FILE;
inline constexpr int16_t kNoDatabaseFile = TAVO_NO_DATABASE_FILE;
inline constexpr int16_t kDatabaseNotOpen = TAVO_DATABASE_NOT_OPEN;
inline constexpr int16_t kBadBegin = TAVO_BAD_BEGIN;
inline constexpr int16_t kBadEnd = TAVO_BAD_END;
inline constexpr int16_t kBadBuilding = TAVO_BAD_BUILDING;
inline constexpr int16_t kBadFloor = TAVO_BAD_FLOOR;
inline constexpr int16_t kBadGuestRoom = TAVO_BAD_GUEST_ROOM;
inline constexpr int16_t kBadVillaRooms = TAVO_BAD_VILLA_ROOMS;
}  // namespace holvanter::result
#endif

#endif /* HOLVANTER_RESULT_CODES_H_ */
