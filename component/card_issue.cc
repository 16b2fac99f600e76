#include "component/card_issue.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/card_statements.h"
#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/open_database.h"
#include "store/settings.h"
#include "store/system_code.h"

namespace holvanter {
namespace {

bool IsFigure(char c) { return c >= '0' && c <= '9'; }

int Figures(std::string_view s, std::size_t pos, std::size_t count) {
  return std::atoi(std::string(s.substr(pos, count)).c_str());
}

bool IsCalendarStamp(std::string_view stamp) {
  const int year = Figures(stamp, 0, 4), month = Figures(stamp, 4, 2), day = Figures(stamp, 6, 2);
  const int hour = Figures(stamp, 8, 2), minute = Figures(stamp, 10, 2);
  if (year < 2000 || year > 2099 || month < 1 || month > 12 || hour > 23 || minute > 59)
    return false;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day >= 1 && day <= days;
}

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
  std::string_view s = text;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
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

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

int16_t CheckStampFigures(std::string_view begin_stamp, std::string_view end_stamp) {
  for (std::size_t i = 0; i < 12; ++i) {
    if (!IsFigure(begin_stamp[i])) return -851;
    if (!IsFigure(end_stamp[i])) return -852;
  }
  return 0;
}

int16_t CheckStampCalendar(std::string_view begin_stamp, std::string_view end_stamp) {
  if (!IsCalendarStamp(begin_stamp)) return -851;
  if (!IsCalendarStamp(end_stamp)) return -852;
  return 0;
}

int16_t CheckStayDays(std::string_view begin_stamp, std::string_view end_stamp) {
  return begin_stamp.substr(0, 8) > end_stamp.substr(0, 8) ? -852 : 0;
}

int16_t CheckBuildingAndFloor(int16_t bldg_no, int16_t floor_no) {
  // Below 1 or above 99 fits neither the card's one byte nor the hotel.
  if (bldg_no < 1 || bldg_no > 99) return -854;
  if (floor_no < 1 || floor_no > 99) return -855;
  return 0;
}

int16_t CheckStayAndPlace(std::string_view begin_stamp, std::string_view end_stamp,
                          int16_t bldg_no, int16_t floor_no) {
  if (const int16_t rc = CheckStampFigures(begin_stamp, end_stamp)) return rc;
  if (const int16_t rc = CheckStampCalendar(begin_stamp, end_stamp)) return rc;
  if (const int16_t rc = CheckStayDays(begin_stamp, end_stamp)) return rc;
  return CheckBuildingAndFloor(bldg_no, floor_no);
}

int16_t ReadHotelSettings(ThreadState& state) {
  const int16_t rc = ReadDatabasePath(state.database_path);
  if (rc == 0) return 0;
  Env* env = Env::Default();
  const std::string settings_file =
      env->ComponentFolder() + env->PathSeparator() + kSettingsFileName;
  if (rc == -800)
    state.failure_reason = "no settings file " + settings_file;
  else
    state.failure_reason = "the settings file " + settings_file + " names DataBase=\"" +
                           state.database_path + "\", where no file is";
  return rc;
}

int16_t OpenHotelDatabase(ThreadState& state) {
  if (!OpenDatabase(state.database_path, state.db_connection)) {
    std::string reason = LastOpenFailure();
    std::string lower = reason;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    // Another program holding the database is worth a word of its own: the
    // desk can try again.
    if (lower.find("locked") != std::string::npos || lower.find("busy") != std::string::npos)
      reason = "busy: " + reason;
    state.failure_reason = reason + " (" + state.database_path + ")";
    return -840;
  }
  state.system_code = LoadSystemCode(*state.db_connection);
  return 0;
}

CardNumber AllocateCardNumber(Connection& connection) {
  std::string status;
  int64_t start_no = 0;
  {
    auto rs = ExecuteSql(connection, kStartNoQuery, status);
    if (rs && !rs->Eof() && !rs->Bof()) start_no = LeadingNumber(rs->Field("StartNoMax"));
  }
  int64_t number = 1;
  {
    auto rs = ExecuteSql(connection, kLastCardNoQuery, status);
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

CardNumber RecordIssuedCard(ThreadState& state, std::string& card_no,
                            const std::string& room_statement, CardRecordValues record) {
  Connection& db = *state.db_connection;
  // Card issues take turns from the numbering queries until the card is
  // recorded, so that no two cards get the same number.
  auto turn = db.TakeNumberingTurn();
  CardNumber number = AllocateCardNumber(db);
  card_no = number.hex_form;
  record.record_form = number.record_form;
  record.issued_at = Env::Default()->Now();
  std::string status;
  ExecuteSql(db, room_statement, status);
  ExecuteSql(db, CardRecordInsertStatement(record), status);
  return number;
}

int16_t CardWriteResult(int16_t status) {
  if (status == 1) return 0;
  if (status == 0) return kEncoderDidNotWrite;
  return status;
}

int16_t WriteIssuedCard(ThreadState& state, const CardImage& image,
                        const std::string& record_form, const std::string& release_statement) {
  auto close_record = [&] {
    Connection& db = *state.db_connection;
    std::string ignored;
    ExecuteSql(db, release_statement, ignored);
    ExecuteSql(db, CardCheckOutStatement(record_form, Env::Default()->Now()), ignored);
  };
  int16_t status = 0;
  try {
    status = WriteCardImage(image);
  } catch (...) {
    close_record();  // no encoder library: no card either
    throw;
  }
  if (status == 1) return 0;
  close_record();
  state.failure_reason = "the encoder answered write status " + std::to_string(status) +
                         ": card " + record_form +
                         " was not written; its record is closed and its rooms released";
  return CardWriteResult(status);
}

int16_t CheckOutCard(TavoCard& card, int32_t IcDevH, ThreadState& state, RoomRelease release) {
  std::string card_no, room_no, begin_date, end_date;
  const int16_t read = card.ReadCard(IcDevH, card_no, room_no, begin_date, end_date);
  if (read < 0) return read;
  if (card_no.empty()) return -700;

  // Room text: building "#" floor "#" room, a villa card "#" its first room.
  const int bldg_no = static_cast<int>(LeadingNumber(room_no.substr(0, 2)));
  const int floor_no = static_cast<int>(LeadingNumber(room_no.size() > 3 ? room_no.substr(3, 2) : ""));
  const std::string last_room = room_no.size() >= 4 ? room_no.substr(room_no.size() - 4) : room_no;
  const std::string room_a = room_no.size() > 6 ? room_no.substr(6, 4) : "";

  Connection& db = *state.db_connection;
  std::string status;
  bool released = false;
  {
    // Check-outs of one card take turns with each other (and with issues),
    // so that two desks cannot both find its record open.
    auto turn = db.TakeNumberingTurn();
    // A card whose records are all closed was checked out before (a retry
    // after a failed erase, a copy brought back): its rooms were released
    // then, and releasing them again would count a card twice.
    auto open = ExecuteSql(db, OpenCardRecordsQuery(card_no), status);
    if (open && !open->Eof() && LeadingNumber(open->Field("OpenCount")) > 0) {
      ExecuteSql(db,
                 release == RoomRelease::kVillaStatement
                     ? VillaRoomCheckOutStatement(bldg_no, floor_no, room_a, last_room)
                     : GuestRoomCheckOutStatement(bldg_no, floor_no, last_room),
                 status);
      ExecuteSql(db, CardCheckOutStatement(card_no, Env::Default()->Now()), status);
      released = true;
    }
  }
  const int16_t erased = CardWriteResult(WriteCardImage(BlankCardImage()));
  if (erased != 0) {
    state.failure_reason = "card " + card_no + (released ? " was checked out" : " had no open record") +
                           ", but the encoder did not erase it (write status " +
                           std::to_string(erased == kEncoderDidNotWrite ? 0 : erased) + ")";
    return erased;
  }
  if (!released) {
    state.failure_reason = "card " + card_no +
                           " has no open record: it was checked out before; no room was "
                           "released, the card is erased";
    return kNoOpenRecord;
  }
  return 0;
}

}  // namespace holvanter
