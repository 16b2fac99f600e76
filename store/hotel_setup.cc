#include "store/hotel_setup.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "util/status.h"
#include "store/mwic_32.h"
#include "store/system_code.h"
#include "util/text.h"

namespace holvanter {
namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const auto end = text.find(separator, start);
    parts.emplace_back(Trim(text.substr(start, end == std::string::npos ? end : end - start), " \t"));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// A whole number of 1 to `max_digits` figures and nothing else, else -1.
int Figures(const std::string& text, std::size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return -1;
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The column types of the hotel tables, per database.
struct ColumnTypes {
  const char* number;
  const char* text;
  const char* date_time;
  const char* money;
  const char* table_options = "";
};

ColumnTypes TypesOf(SqlDialect dialect) {
  switch (dialect) {
    case SqlDialect::kSqlite:
      // Dates are kept as the text 'YYYY-MM-DD HH:MM:SS', which sorts as it reads.
      return {"INTEGER", "TEXT", "TEXT", "NUMERIC"};
    case SqlDialect::kPostgres:
      return {"INTEGER", "VARCHAR(255)", "TIMESTAMP", "NUMERIC(12,2)"};
    case SqlDialect::kMariaDb:
      // InnoDB for the transactions and row locks that several desks need,
      // and utf8mb4 whatever the server's own default (often latin1), so
      // that every Chinese name fits.
      return {"INT", "VARCHAR(255)", "DATETIME", "DECIMAL(12,2)",
              " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci"};
    case SqlDialect::kAccess:
      break;
  }
  throw StatusError(Status::InvalidArgument("Hotel tables can be created on SQLite, PostgreSQL, MariaDB and MySQL "
                  "databases only."));
}

std::vector<std::string> HotelDdl(const ColumnTypes& t) {
  const std::string n = t.number, x = t.text, d = t.date_time, m = t.money, o = t.table_options;
  return {
      "DROP TABLE IF EXISTS CardRecord",
      "DROP TABLE IF EXISTS RoomList",
      "DROP TABLE IF EXISTS SpecRecord",
      "CREATE TABLE SpecRecord (InfoNo " + n + " NOT NULL PRIMARY KEY, StartNo " + n +
          ", CardID " + x + ")" + o,
      "CREATE TABLE CardRecord (InfoNo " + n + " NOT NULL, CardNo " + x + ", CardType " + x +
          ", cardName " + x + ", Name_F " + x + ", PaperNo " + x + ", Address " + x +
          ", Remark " + x + ", BuildNo " + n + ", FloorNo " + n + ", RoomNo " + x +
          ", RoomNumber " + n + ", ChkOutMark " + x + ", CardQty " + n + ", Date_F " + d +
          ", ChkOutDate " + d + ", Yajin " + m + ", BeginDate " + d + ", EndDate " + d +
          ", UserName " + x + ", BlackList " + x + ", CardRand " + x + ", Remark1 " + x +
          ", RFData " + x + ")" + o,
      "CREATE UNIQUE INDEX CardRecord_InfoNo ON CardRecord (InfoNo)",
      "CREATE INDEX CardRecord_CardNo ON CardRecord (CardNo)",
      "CREATE TABLE RoomList (BuildNo " + n + " NOT NULL, FloorNo " + n + " NOT NULL, RoomNo " +
          x + " NOT NULL, State " + x + ", CardQTY " + n + ", SetCard " + x +
          ", PRIMARY KEY (BuildNo, FloorNo, RoomNo))" + o,
  };
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// The system code padded with blanks to 8 bytes, enciphered with the
// system-code key, as 16 upper-case hexadecimal figures.
std::string EncipherSystemCode(const std::string& system_code) {
  Result<void*> address = VendorFunction(kMwicLibrary, "ic_encrypt");
  if (!address.ok()) throw StatusError(address.status());
  const auto ic_encrypt = reinterpret_cast<IcEncryptFunction>(*address);
  uint8_t plain[8];
  std::memset(plain, ' ', sizeof plain);
  std::memcpy(plain, system_code.data(), system_code.size());
  char enciphered[8];
  if (ic_encrypt(kSystemCodeKey, plain, 8, enciphered) != 0)
    throw StatusError(Status::Database("mwic_32 could not encipher the system code."));
  std::string hex;
  for (char c : enciphered) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
    hex += pair;
  }
  return hex;
}

}  // namespace

std::vector<RoomRange> ParseRoomSpec(const std::string& spec) {
  std::vector<RoomRange> ranges;
  if (Trim(spec, " \t").empty())
    throw std::invalid_argument("no rooms given: expected building:floor:first-last, e.g. 1:1:0101-0120");
  for (const std::string& item : Split(spec, ',')) {
    const auto fields = Split(item, ':');
    const std::string what = "room range '" + item + "'";
    if (fields.size() != 3)
      throw std::invalid_argument(what + ": expected building:floor:first-last or building:floor:room");
    RoomRange range;
    range.building = Figures(fields[0], 2);
    range.floor = Figures(fields[1], 2);
    if (range.building < 1 || range.building > 99)
      throw std::invalid_argument(what + ": the building must be 1 to 99");
    if (range.floor < 1 || range.floor > 99)
      throw std::invalid_argument(what + ": the floor must be 1 to 99");
    const auto rooms = Split(fields[2], '-');
    if (rooms.size() > 2) throw std::invalid_argument(what + ": rooms are first-last");
    range.first = Figures(rooms.front(), 4);
    range.last = Figures(rooms.back(), 4);
    if (range.first < 1 || range.last < 1)
      throw std::invalid_argument(what + ": room codes are 0001 to 9999");
    if (range.first > range.last)
      throw std::invalid_argument(what + ": the first room comes after the last");
    ranges.push_back(range);
  }
  return ranges;
}

void CheckHotelPlan(const HotelPlan& plan) {
  const std::string& code = plan.system_code;
  if (!code.empty()) {
    bool printable = code.size() == 5;
    for (char c : code) printable = printable && c >= 0x20 && c < 0x7F;
    if (!printable)
      throw std::invalid_argument("The system code must be five letters, figures or signs.");
  }
}

Status CreateHotelTables(Connection& connection, const HotelPlan& plan) {
  try {
    CheckHotelPlan(plan);
  } catch (const std::invalid_argument& e) {
    return Status::InvalidArgument(e.what());
  }
  const std::string& code = plan.system_code;
  Result<std::string> card_id = std::string();
  if (!code.empty()) card_id = Catching([&] { return EncipherSystemCode(code); });
  if (!card_id.ok()) return card_id.status();

  std::vector<std::string> statements = HotelDdl(TypesOf(connection.Dialect()));
  statements.push_back("INSERT INTO SpecRecord (InfoNo, StartNo, CardID) VALUES (1, " +
                       std::to_string(plan.start_no) + ", " + Quoted(*card_id) + ")");
  for (const RoomRange& range : plan.rooms) {
    for (int room = range.first; room <= range.last; ++room) {
      char room_no[8];
      std::snprintf(room_no, sizeof room_no, "%04d", room);
      statements.push_back("INSERT INTO RoomList (BuildNo, FloorNo, RoomNo, State, CardQTY, SetCard) "
                           "VALUES (" + std::to_string(range.building) + ", " +
                           std::to_string(range.floor) + ", '" + room_no + "', '', NULL, '')");
    }
  }

  HV_RETURN_IF_ERROR(connection.BeginTrans());
  Status done;
  for (const std::string& statement : statements) {
    done = connection.Execute(statement);
    if (!done.ok()) break;
  }
  if (done.ok()) done = connection.CommitTrans();
  if (!done.ok()) connection.RollbackTrans();
  return done;
}

}  // namespace holvanter
