#include "component/card_issue.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/card_statements.h"
#include "component/thread_state.h"
#include "holvanter/error.h"
#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/settings.h"
#include "store/system_code.h"
#include "util/calendar.h"
#include "util/text.h"

namespace holvanter {
namespace {

bool IsFigure(char c) { return c >= '0' && c <= '9'; }

// VB's Val as the numbering uses it: the leading whole number of a text,
// 0 when there is none.
int64_t LeadingNumber(const FieldValue& value) {
  if (!value) return 0;
  const std::string& s = *value;
  std::size_t i = s.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (s[i] == '-' || s[i] == '+') negative = s[i++] == '-';
  int64_t n = 0;
  for (; i < s.size() && IsFigure(s[i]); ++i) {
    n = n * 10 + (s[i] - '0');
    if (n > 0x7FFFFFFF) throw TavoError(kErrOverflow, "Overflow: SpecRecord.StartNo");
  }
  return negative ? -n : n;
}

// The last card number as a whole number; any other text is a type mismatch.
int64_t WholeNumber(const FieldValue& value) {
  const std::string text = value.value_or("");
  std::string_view s = Trim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty())
    throw TavoError(kErrTypeMismatch, "Type mismatch: the last card number \"" + text +
                                          "\" in CardRecord is not a number");
  int64_t n = 0;
  for (char c : s) {
    if (!IsFigure(c))
      throw TavoError(kErrTypeMismatch, "Type mismatch: the last card number \"" + text +
                                            "\" in CardRecord is not a number");
    n = n * 10 + (c - '0');
    if (n > 0x7FFFFFFF) throw TavoError(kErrOverflow, "Overflow: the last card number " + text);
  }
  return negative ? -n : n;
}

}  // namespace

std::size_t CharacterCount(std::string_view utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

int16_t CheckStampFigures(std::string_view begin_stamp, std::string_view end_stamp) {
  for (std::size_t i = 0; i < 12; ++i) {
    if (!IsFigure(begin_stamp[i])) return result::kBadBegin;
    if (!IsFigure(end_stamp[i])) return result::kBadEnd;
  }
  return 0;
}

int16_t CheckStampCalendar(std::string_view begin_stamp, std::string_view end_stamp) {
  if (!IsCardStamp(begin_stamp)) return result::kBadBegin;
  if (!IsCardStamp(end_stamp)) return result::kBadEnd;
  return 0;
}

int16_t CheckStayDays(std::string_view begin_stamp, std::string_view end_stamp) {
  return begin_stamp.substr(0, 8) > end_stamp.substr(0, 8) ? result::kBadEnd : 0;
}

int16_t CheckBuildingAndFloor(int16_t bldg_no, int16_t floor_no) {
  // Below 1 or above 99 fits neither the card's one byte nor the hotel.
  if (bldg_no < 1 || bldg_no > 99) return result::kBadBuilding;
  if (floor_no < 1 || floor_no > 99) return result::kBadFloor;
  return 0;
}

int16_t CheckStayAndPlace(std::string_view begin_stamp, std::string_view end_stamp,
                          int16_t bldg_no, int16_t floor_no) {
  if (const int16_t rc = CheckStampFigures(begin_stamp, end_stamp)) return rc;
  if (const int16_t rc = CheckStampCalendar(begin_stamp, end_stamp)) return rc;
  if (const int16_t rc = CheckStayDays(begin_stamp, end_stamp)) return rc;
  return CheckBuildingAndFloor(bldg_no, floor_no);
}

void CheckHolderName(std::string_view holder_name) {
  if (holder_name.find('\0') != std::string_view::npos) {
    throw TavoError(kErrInvalidProcedureCall,
                    "Invalid procedure call or argument: the holder name holds a NUL character, "
                    "which the hotel database cannot record");
  }
}

int16_t ReadHotelSettings(CallContext& call) {
  const int16_t rc = ReadDatabasePath(call.env, call.database_path);
  call.failure_reason = DatabasePathFailure(call.env, rc, call.database_path);
  return rc;
}

int16_t OpenHotelDatabase(CallContext& call) {
  std::string reason;
  if (!OpenDatabase(call.env, call.database_path, call.connection, &reason)) {
    // Another program holding the database is worth a word of its own: the
    // desk can try again.
    if (ContainsIgnoreCase(reason, "locked") || ContainsIgnoreCase(reason, "busy"))
      reason = "busy: " + reason;
    call.failure_reason = reason + " (" + call.database_path + ")";
    return result::kDatabaseNotOpen;
  }
  call.system_code = ValueOrThrow(LoadSystemCode(call.env, *call.connection));
  return 0;
}

CardNumber AllocateCardNumber(Connection& connection) {
  std::string status;
  int64_t start_no = 0;
  {
    auto rs = ValueOrThrow(ExecuteSql(connection, kStartNoQuery, status));
    if (rs && !rs->Eof() && !rs->Bof()) start_no = LeadingNumber(rs->Field("StartNoMax"));
  }
  int64_t number = 1;
  {
    auto rs = ValueOrThrow(ExecuteSql(connection, kLastCardNoQuery, status));
    if (rs && !rs->Eof() && !rs->Bof()) {
      const int64_t last_no = WholeNumber(rs->Field("CardNoMax"));
      number = start_no > last_no ? start_no + 1 : last_no + 1;
    }
  }
  // Past FFFFFF the numbering starts again at 1; a number below 1 cannot be
  // carried by a card either.
  if (number > 0xFFFFFF || number < 1) number = 1;
  CardNumber card;
  card.number = static_cast<uint32_t>(number);
  card.hex_form = CardNoHexForm(card.number);
  card.record_form = CardNoRecordForm(card.number);
  return card;
}

CardNumber RecordIssuedCard(CallContext& call, std::string& card_no,
                            const std::string& room_statement, CardRecordValues record) {
  Connection& db = *call.connection;
  // Card issues take turns from the numbering queries until the card is
  // recorded, so that no two cards get the same number.
  auto turn = ValueOrThrow(db.TakeNumberingTurn());
  CardNumber number = AllocateCardNumber(db);
  card_no = number.hex_form;
  record.record_form = number.record_form;
  record.issued_at = call.env.Now();
  std::string status;
  ValueOrThrow(ExecuteSql(db, room_statement, status));
  ValueOrThrow(ExecuteSql(db, CardRecordInsertStatement(record), status));
  return number;
}

int16_t CardWriteResult(int16_t status) {
  if (status == 1) return 0;
  if (status == 0) return result::kNotWritten;
  return status;
}

int16_t WriteIssuedCard(CallContext& call, const CardImage& image,
                        const std::string& record_form, const std::string& release_statement) {
  auto close_record = [&] {
    Connection& db = *call.connection;
    std::string ignored;
    ValueOrThrow(ExecuteSql(db, release_statement, ignored));
    ValueOrThrow(ExecuteSql(db, CardCheckOutStatement(record_form, call.env.Now()), ignored));
  };
  Result<int16_t> written = WriteCardImage(image);
  if (!written.ok()) {
    close_record();  // no encoder library: no card either
    ThrowIfFailed(written.status());
  }
  const int16_t status = *written;
  if (status == 1) return 0;
  close_record();
  call.failure_reason = "the encoder answered write status " + std::to_string(status) +
                         ": card " + record_form +
                         " was not written; its record is closed and its rooms released";
  return CardWriteResult(status);
}

int16_t CheckOutCard(CallContext& call, RoomRelease release) {
  DecodedCard card;
  const int16_t read = ReadCardOnEncoder(call, card);
  if (read < 0) return read;
  if (card.rooms.empty()) return result::kNoCard;  // no encoder open: nothing was read
  call.failure_reason.clear();

  // The villa statement names two rooms: both rooms of a villa card, the one
  // room of a guest card twice. The guest statement names the first room.
  const std::string& first_room = card.rooms.front();
  const std::string& other_room = card.rooms.back();
  const std::string card_no = CardNoRecordForm(card.number);

  Connection& db = *call.connection;
  std::string status;
  bool released = false;
  {
    // Check-outs of one card take turns with each other (and with issues),
    // so that two desks cannot both find its record open.
    auto turn = ValueOrThrow(db.TakeNumberingTurn());
    // A card whose records are all closed was checked out before (a retry
    // after a failed erase, a copy brought back): its rooms were released
    // then, and releasing them again would count a card twice.
    auto open = ValueOrThrow(ExecuteSql(db, OpenCardRecordsQuery(card_no), status));
    if (open && !open->Eof() && LeadingNumber(open->Field("OpenCount")) > 0) {
      ValueOrThrow(ExecuteSql(db,
                 release == RoomRelease::kVillaStatement
                     ? VillaRoomCheckOutStatement(card.building, card.floor, other_room, first_room)
                     : GuestRoomCheckOutStatement(card.building, card.floor, first_room),
                 status));
      ValueOrThrow(ExecuteSql(db, CardCheckOutStatement(card_no, call.env.Now()), status));
      released = true;
    }
  }
  const int16_t erased = CardWriteResult(ValueOrThrow(WriteCardImage(BlankCardImage())));
  if (erased != 0) {
    call.failure_reason = "card " + card_no + (released ? " was checked out" : " had no open record") +
                          ", but the encoder did not erase it (write status " +
                          std::to_string(erased == result::kNotWritten ? 0 : erased) + ")";
    return erased;
  }
  if (!released) {
    call.failure_reason = "card " + card_no +
                          " has no open record: it was checked out before; no room was "
                          "released, the card is erased";
    return result::kNoOpenRecord;
  }
  return 0;
}

int16_t ReadCardOnEncoder(CallContext& call, DecodedCard& card) {
  CardImage image{};  // all 0 before the read
  // Only an encoder opened on this thread is read (any state above 0 passes).
  if (ThisThreadState().port_state <= 0) {
    call.failure_reason = "the encoder is not open: nothing was read";
    return 0;
  }
  if (ValueOrThrow(ReadCardImage(image)) != 0) return result::kReadFailed;
  card = DecodeCardImage(image);
  switch (card.kind) {
    case CardKind::kKind01:
      return result::kCardKind01;
    case CardKind::kKindAA:
      return result::kCardKindAA;
    case CardKind::kGuest:
    case CardKind::kVilla:
      return 0;
    case CardKind::kUnknown:
      break;
  }
  return result::kNoCard;
}

}  // namespace holvanter
