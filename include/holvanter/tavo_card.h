// The TavoCard component, C++ face.
//
// A front-desk host creates a TavoCard, opens the encoder with OpenPort, then
// issues guest cards (WriteCard), villa cards (VillaCard), reads cards back
// (ReadCard), and closes the encoder with ClosePort. The card methods answer
// with a result code (0 = success, negative = a checked failure, 2..255 = the
// encoder's write status). A failure the methods do not check ends the call
// with a TavoError carrying the HRESULT that the COM face would return.
//
// Objects carry no state of their own: the port state, the database path,
// the database connection and the system code are kept once per thread and
// shared by every TavoCard created on that thread. Creating an object resets
// the thread's port state to -1. Use an object only on the thread that made it.
//
// Texts are UTF-8.
#ifndef HOLVANTER_TAVO_CARD_H_
#define HOLVANTER_TAVO_CARD_H_

#include <cstdint>
#include <optional>
#include <string>

#include "holvanter/error.h"
#include "holvanter/export.h"
#include "holvanter/result_codes.h"

namespace holvanter {

class HOLVANTER_EXPORT TavoCard {
 public:
  // Resets this thread's port state to -1 (Class_Initialize).
  TavoCard();

  // Opens the encoder on the 0-based port (-1..254; anything else throws
  // Overflow). Returns port + 1 when the encoder opened, else -99. `baud` is
  // accepted and ignored.
  int32_t OpenPort(int32_t port, std::optional<int32_t> baud = std::nullopt);

  // Closes the encoder when this thread's port state is 1. Never fails;
  // always 0. `IcDevH` is ignored.
  int32_t ClosePort(std::optional<int32_t> IcDevH = std::nullopt);

  // Issues a guest card for one room, or checks the card on the encoder out
  // when Rooms is all zeros or empty. CardNo receives the new card number as
  // six hexadecimal figures when a card is issued.
  int16_t WriteCard(int32_t IcDevH, const std::string& BeginDate, const std::string& EndDate,
                    std::string& CardNo, int16_t BldgNo, int16_t FloorNo,
                    const std::string& Rooms, const std::string& HoderName);

  // Reads the card on the encoder. The four texts are replaced only when a
  // guest or villa card was decoded.
  int16_t ReadCard(int32_t IcDevH, std::string& CardNo, std::string& RoomNO,
                   std::string& BeginDate, std::string& EndDate);

  // Issues a villa card for two rooms (RoomNO = 8 figures, first room then
  // second), or checks the card on the encoder out when RoomNO is "00000000".
  int16_t VillaCard(int32_t IcDevH, const std::string& BeginDate, const std::string& EndDate,
                    std::string& CardNo, int16_t BldgNo, int16_t FloorNo,
                    const std::string& RoomNO, const std::string& HoderName);

  // Why the last WriteCard, VillaCard or ReadCard on this thread ended as
  // it did, in words, where the result code alone does not say it: the
  // settings file and database path looked at (-800, -820), the database's
  // or driver's own message (-840, beginning "busy: " when the database was
  // locked by another program), a card write that failed, a check-out that
  // found no open record, the message of a failed call. Empty after a card
  // method that did all its work. Never holds the database password.
  std::string LastFailureReason() const;
};

}  // namespace holvanter

#endif  // HOLVANTER_TAVO_CARD_H_
