// What guest and villa card issue share: the checks of the stay, the
// database prologue, card number allocation, the write result and the
// check-out of the card on the encoder.
#ifndef HOLVANTER_COMPONENT_CARD_ISSUE_H_
#define HOLVANTER_COMPONENT_CARD_ISSUE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "card/card_image.h"
#include "component/card_statements.h"
#include "component/call_context.h"
#include "holvanter/result_codes.h"
#include "store/database.h"

namespace holvanter {

// Length of a UTF-8 text in characters.
std::size_t CharacterCount(std::string_view utf8);

// The figure test: position by position over the first 12 characters, the
// begin stamp first at each position. 0, -851 or -852. Both stamps hold at
// least 12 bytes.
int16_t CheckStampFigures(std::string_view begin_stamp, std::string_view end_stamp);
// Both stamps are calendar dates and times a card can carry (years 2000 to
// 2099): 0, -851 for the begin stamp (tested first) or -852.
int16_t CheckStampCalendar(std::string_view begin_stamp, std::string_view end_stamp);
// The begin day is not later than the end day: 0 or -852.
int16_t CheckStayDays(std::string_view begin_stamp, std::string_view end_stamp);
// Building and floor fit the card and the record (1 to 99): 0, -854, -855.
int16_t CheckBuildingAndFloor(int16_t bldg_no, int16_t floor_no);

// The checks both issues run on their first 12 stamp figures, building and
// floor, in this order: figures, calendar, day order, building, floor.
int16_t CheckStayAndPlace(std::string_view begin_stamp, std::string_view end_stamp,
                          int16_t bldg_no, int16_t floor_no);

// A holder name is recorded whole or not at all: a name holding a NUL
// character (a BSTR can carry one) would be cut where the statement text
// ends, after the RoomList statement had committed. Throws
// TavoError(kErrInvalidProcedureCall) for such a name; call before any
// database work.
void CheckHolderName(std::string_view holder_name);

// ReadDatabasePath into the call's database path: 0, -800 or -820, the
// latter two with the file and path looked at as the failure reason.
int16_t ReadHotelSettings(CallContext& call);

// Opens the call's connection (-840 when it cannot, with the database's own
// message as the failure reason) and loads the system code. 0 when both are
// done.
int16_t OpenHotelDatabase(CallContext& call);

// The next card number, allocated from SpecRecord.StartNo and the newest
// CardRecord row. Call while holding the numbering turn.
struct CardNumber {
  uint32_t number = 0;
  std::string hex_form;     // six upper-case hexadecimal figures
  std::string record_form;  // eight decimal figures
};
CardNumber AllocateCardNumber(Connection& connection);

// The issue record steps, in their turn at card numbering: allocates the
// next card number and hands its hex form to `card_no` at once, then runs
// `room_statement` (RoomList) and the CardRecord insert of `record`, whose
// card number and moment of issue are filled in here. Each statement
// commits on its own.
CardNumber RecordIssuedCard(CallContext& call, std::string& card_no,
                            const std::string& room_statement, CardRecordValues record);

// The result of an issue's card write: status 1 is 0, status 0 is -129,
// any other status is returned unchanged.
int16_t CardWriteResult(int16_t status);

// Writes an issued card. When the write fails, the card does not exist: its
// record is closed and its rooms released by the check-out statements
// (`release_statement`, then the CardRecord check-out of `record_form`), so
// that no open record claims it and the room count returns as at check-out.
// Returns CardWriteResult of the write.
int16_t WriteIssuedCard(CallContext& call, const CardImage& image,
                        const std::string& record_form, const std::string& release_statement);

// Check-out of the card on the encoder: reads it as ReadCard does, releases
// its rooms (the villa statement addresses both rooms of a villa card, or
// the one room of a guest card twice), closes its records and erases it.
enum class RoomRelease { kGuestStatement, kVillaStatement };
int16_t CheckOutCard(CallContext& call, RoomRelease release);

// ReadCard's work: the card on the encoder opened on this thread, decoded.
// 0 with `card` filled for a guest or villa card; 0 with nothing read when
// no encoder is open on this thread (the failure reason says so); -128,
// -500, -600 or -700 otherwise.
int16_t ReadCardOnEncoder(CallContext& call, DecodedCard& card);

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_CARD_ISSUE_H_
