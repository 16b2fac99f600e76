#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "holvanter/result_codes.h"
#include "platform/env.h"
#include "store/hotel_setup.h"
#include "store/open_database.h"
#include "store/execute_sql.h"
#include "store/settings.h"
#include "util/calendar.h"
#include "hosts/frontdesk/desk_time.h"
#include "hosts/frontdesk/hotel.h"
#include "util/text.h"

namespace frontdesk {
namespace {

namespace result = holvanter::result;

// Opens the hotel database the settings name; empty when it does not open,
// `database` then says why.
std::unique_ptr<holvanter::Connection> OpenHotelDatabase(HotelDatabase& database) {
  holvanter::Env& env = *holvanter::Env::Default();
  database.result = holvanter::ReadDatabasePath(env, database.path);
  database.reason = holvanter::DatabasePathFailure(env, database.result, database.path);
  if (database.result != result::kDone) return nullptr;
  std::unique_ptr<holvanter::Connection> connection;
  std::string why;
  if (!holvanter::OpenDatabase(env, database.path, connection, &why)) {
    database.result = result::kDatabaseNotOpen;
    database.reason = "the hotel database " + database.path + " cannot be opened: " + why;
  }
  return connection;
}

// `column` LIKE `text` taken literally, with any text before it (`any_before`)
// and after it. Access marks a wildcard as literal by brackets ([%]) and
// compares without case anyway; the others take an ESCAPE character, and
// fold the case of both sides when `fold_case` says so.
std::string LikeText(const std::string& column, std::string_view text, bool any_before,
                     bool any_after, bool fold_case, holvanter::SqlDialect dialect) {
  const bool access = dialect == holvanter::SqlDialect::kAccess;
  std::string pattern = any_before ? "%" : "";
  for (char c : text) {
    // Access's own wildcards (* ? #) are taken literally too, whichever
    // wildcards its driver reads.
    if (access && std::string_view("%_[*?#").find(c) != std::string_view::npos) {
      pattern += std::string("[") + c + "]";
    } else if (!access && (c == '%' || c == '_' || c == '!')) {
      pattern += std::string("!") + c;
    } else {
      pattern += c;
    }
  }
  if (any_after) pattern += "%";
  if (access) return column + " LIKE " + holvanter::QuoteSqlText(pattern);
  if (!fold_case) return column + " LIKE " + holvanter::QuoteSqlText(pattern) + " ESCAPE '!'";
  return "LOWER(" + column + ") LIKE LOWER(" + holvanter::QuoteSqlText(pattern) + ") ESCAPE '!'";
}

// The records of `room`: a guest card's RoomNo is the room, a villa card's
// its two rooms with a comma between ("0204,0205").
std::string RoomCondition(const std::string& room, holvanter::SqlDialect dialect) {
  return "(RoomNo = " + holvanter::QuoteSqlText(room) + " OR " +
         LikeText("RoomNo", room + ",", false, true, false, dialect) + " OR " +
         LikeText("RoomNo", "," + room, true, false, false, dialect) + ")";
}

// The listing's query in the dialect of the database: Access has no LIMIT
// but takes TOP n; every text of the filter is a quoted value, the limit a
// number.
std::string ListingQuery(const CardFilter& filter, holvanter::SqlDialect dialect) {
  const bool top = filter.limit > 0 && dialect == holvanter::SqlDialect::kAccess;
  std::string query = "SELECT ";
  if (top) query += "TOP " + std::to_string(filter.limit) + " ";
  query += "* FROM CardRecord";
  std::vector<std::string> conditions;
  if (!filter.card_no.empty()) conditions.push_back("CardNo = " + holvanter::QuoteSqlText(filter.card_no));
  if (!filter.room.empty()) conditions.push_back(RoomCondition(filter.room, dialect));
  if (!filter.holder.empty())
    conditions.push_back(LikeText("Name_F", filter.holder, true, true, true, dialect));
  if (!filter.before.empty())
    conditions.push_back("InfoNo < (SELECT MIN(InfoNo) FROM CardRecord WHERE CardNo = " +
                         holvanter::QuoteSqlText(filter.before) + ")");
  for (std::size_t i = 0; i < conditions.size(); ++i)
    query += (i == 0 ? " WHERE " : " AND ") + conditions[i];
  query += " ORDER BY InfoNo DESC";
  if (filter.limit > 0 && !top) query += " LIMIT " + std::to_string(filter.limit);
  return query;
}

// A record's date ("YYYY-MM-DD HH:MM:SS", as every backend gives it) as the
// stamp the stays are given in; empty when it is none.
std::string StampOf(const std::optional<std::string>& date) {
  std::string figures;
  for (char c : date.value_or("")) if (c >= '0' && c <= '9') figures += c;
  if (figures.size() == 8) figures += "0000";
  return figures.size() >= 12 ? figures.substr(0, 12) : std::string();
}

// Counts each room's open cards and finds the newest from one query of
// every open card, newest first: a villa card counts for both its rooms. A
// card is open until check-out marks its record '#1', as the component
// counts it.
std::string AddNewestCards(holvanter::Connection& connection, const RoomFilter& filter,
                           std::vector<RoomRow>& rooms) {
  std::string query =
      "SELECT CardNo, Name_F, BuildNo, FloorNo, RoomNo, EndDate FROM CardRecord WHERE "
      "(ChkOutMark IS NULL OR ChkOutMark <> '#1')";
  if (!filter.room_no.empty()) query += " AND " + RoomCondition(filter.room_no, connection.Dialect());
  query += " ORDER BY InfoNo DESC";
  holvanter::Result<holvanter::RecordSet> queried = connection.Query(query);
  if (!queried.ok()) return queried.status().message();
  std::map<std::tuple<int, int, std::string>, RoomRow*> by_place;
  for (RoomRow& room : rooms) by_place[{room.building, room.floor, room.room}] = &room;
  for (holvanter::RecordSet& cards = *queried; !cards.Eof(); cards.MoveNext()) {
    const int building = std::atoi(cards.Field("BuildNo").value_or("0").c_str());
    const int floor = std::atoi(cards.Field("FloorNo").value_or("0").c_str());
    std::stringstream rooms_of_card(cards.Field("RoomNo").value_or(""));
    for (std::string room; std::getline(rooms_of_card, room, ',');) {
      const auto found = by_place.find({building, floor, room});
      if (found == by_place.end()) continue;
      ++found->second->open_cards;
      if (found->second->newest) continue;
      found->second->newest = OpenCard{cards.Field("CardNo").value_or(""),
                                       cards.Field("Name_F").value_or(""),
                                       StampOf(cards.Field("EndDate"))};
    }
  }
  return {};
}

// Every row of RoomList, in the order the listing gives them.
holvanter::Result<std::vector<RoomRow>> AllRooms(holvanter::Connection& connection) {
  holvanter::Result<holvanter::RecordSet> queried = connection.Query(
      "SELECT BuildNo, FloorNo, RoomNo, State, CardQTY FROM RoomList ORDER BY BuildNo, FloorNo, "
      "RoomNo");
  if (!queried.ok()) return queried.status();
  std::vector<RoomRow> rows;
  for (holvanter::RecordSet& rooms = *queried; !rooms.Eof(); rooms.MoveNext()) {
    const auto number = [&](const char* column) {
      const std::optional<std::string> value = rooms.Field(column);
      return value ? std::atoi(value->c_str()) : 0;
    };
    rows.push_back({number("BuildNo"), number("FloorNo"), rooms.Field("RoomNo").value_or(""),
                    rooms.Field("State").value_or(""), number("CardQTY"), 0, std::nullopt});
  }
  return rows;
}

using Place = std::tuple<int, int, std::string>;
Place PlaceOf(const RoomRow& room) { return {room.building, room.floor, room.room}; }

std::string RoomCode(int room) {
  char code[8];
  std::snprintf(code, sizeof code, "%04d", room);
  return code;
}

std::string Where(const RoomRow& room) {
  return "room " + room.room + " (building " + std::to_string(room.building) + ", floor " +
         std::to_string(room.floor) + ")";
}

// Runs `statements` in one transaction; the database's message when one
// fails, nothing changed then.
std::string RunAll(holvanter::Connection& connection, const std::vector<std::string>& statements) {
  holvanter::Status done = connection.BeginTrans();
  for (std::size_t i = 0; done.ok() && i < statements.size(); ++i)
    done = connection.Execute(statements[i]);
  if (done.ok()) done = connection.CommitTrans();
  if (done.ok()) return {};
  connection.RollbackTrans();
  return done.message();
}

}  // namespace

HotelDatabase ReachHotelDatabase() {
  HotelDatabase database;
  OpenHotelDatabase(database);
  return database;
}

std::string CardRow::Text(std::string_view column) const {
  for (const auto& [name, value] : fields)
    if (holvanter::EqualsIgnoreCase(name, column)) return value.value_or("");
  return {};
}

CardListing ListCards(const CardFilter& filter) {
  CardListing listing;
  try {
    const auto connection = OpenHotelDatabase(listing.database);
    if (!connection) return listing;
    holvanter::Result<holvanter::RecordSet> queried =
        connection->Query(ListingQuery(filter, connection->Dialect()));
    if (!queried.ok()) {
      listing.failure = queried.status().message();
      return listing;
    }
    holvanter::RecordSet& cards = *queried;
    for (; !cards.Eof(); cards.MoveNext()) {
      CardRow row;
      for (const std::string& column : cards.Columns()) row.fields.emplace_back(column, cards.Field(column));
      row.card_no = FromRecordForm(row.Text("CardNo"));
      listing.rows.push_back(std::move(row));
    }
  } catch (const std::exception& e) {
    listing.failure = e.what();
    listing.rows.clear();
  }
  return listing;
}

RoomListing ListRooms(const RoomFilter& filter) {
  RoomListing listing;
  try {
    const auto connection = OpenHotelDatabase(listing.database);
    if (!connection) return listing;
    std::string query = "SELECT BuildNo, FloorNo, RoomNo, State, CardQTY FROM RoomList";
    if (!filter.room_no.empty()) query += " WHERE RoomNo = " + holvanter::QuoteSqlText(filter.room_no);
    query += " ORDER BY BuildNo, FloorNo, RoomNo";
    holvanter::Result<holvanter::RecordSet> queried = connection->Query(query);
    if (!queried.ok()) {
      listing.failure = queried.status().message();
      return listing;
    }
    for (holvanter::RecordSet& rooms = *queried; !rooms.Eof(); rooms.MoveNext()) {
      const auto number = [&](const char* column) {
        const std::optional<std::string> value = rooms.Field(column);
        return value ? std::atoi(value->c_str()) : 0;
      };
      listing.rows.push_back({number("BuildNo"), number("FloorNo"),
                              rooms.Field("RoomNo").value_or(""), rooms.Field("State").value_or(""),
                              number("CardQTY"), 0, std::nullopt});
    }
    if (filter.newest_card) listing.failure = AddNewestCards(*connection, filter, listing.rows);
    if (!listing.failure.empty()) listing.rows.clear();
  } catch (const std::exception& e) {
    listing.failure = e.what();
    listing.rows.clear();
  }
  return listing;
}

std::string MissingRoom(int building, int floor, const std::vector<std::string>& rooms) {
  try {
    HotelDatabase database;
    const auto connection = OpenHotelDatabase(database);
    if (!connection) return {};
    holvanter::Result<holvanter::RecordSet> counted =
        connection->Query("SELECT COUNT(*) AS RoomCount FROM RoomList");
    if (!counted.ok() || counted->Eof() ||
        std::atoi(counted->Field("RoomCount").value_or("0").c_str()) == 0)
      return {};
    std::string query = "SELECT BuildNo, FloorNo, RoomNo FROM RoomList WHERE RoomNo IN (";
    for (std::size_t i = 0; i < rooms.size(); ++i)
      query += (i ? ", " : "") + holvanter::QuoteSqlText(rooms[i]);
    query += ")";
    holvanter::Result<holvanter::RecordSet> queried = connection->Query(query);
    if (!queried.ok()) return {};
    std::vector<std::string> found;
    for (holvanter::RecordSet& row = *queried; !row.Eof(); row.MoveNext())
      if (std::atoi(row.Field("BuildNo").value_or("0").c_str()) == building &&
          std::atoi(row.Field("FloorNo").value_or("0").c_str()) == floor)
        found.push_back(row.Field("RoomNo").value_or(""));
    for (const std::string& room : rooms)
      if (std::find(found.begin(), found.end(), room) == found.end())
        return "room " + room + " of building " + std::to_string(building) + ", floor " +
               std::to_string(floor) + " is not in the hotel's room list";
  } catch (const std::exception&) {
  }
  return {};
}

RecordLookup LookUpRecord(const std::string& card_no) {
  RecordLookup lookup;
  const CardListing listing = ListCards({.limit = 1, .card_no = card_no});
  if (listing.database.result != result::kDone) {
    lookup.failure = listing.database.reason.empty() ? BriefMeaning(listing.database.result)
                                                     : listing.database.reason;
    lookup.unreachable = DatabaseUnreachable(listing.database.result, listing.database.reason);
    return lookup;
  }
  if (!listing.failure.empty()) {
    lookup.failure = listing.failure;
    lookup.unreachable = DatabaseUnreachable(0, listing.failure);
    return lookup;
  }
  if (listing.rows.empty()) return lookup;
  lookup.recorded = true;
  const CardRow& row = listing.rows.front();
  lookup.holder = row.Text("Name_F");
  if (row.Text("ChkOutMark") == "#1") return lookup;
  OpenRecord record;
  record.holder = row.Text("Name_F");
  record.building = std::atoi(row.Text("BuildNo").c_str());
  record.floor = std::atoi(row.Text("FloorNo").c_str());
  std::stringstream rooms(row.Text("RoomNo"));
  for (std::string room; std::getline(rooms, room, ',');) record.rooms.push_back(room);
  for (const auto& [column, value] : row.fields)
    if (holvanter::EqualsIgnoreCase(column, "EndDate")) record.end = StampOf(value);
  lookup.open = std::move(record);
  return lookup;
}

std::optional<OpenRecord> OpenRecordOf(const std::string& card_no) {
  return LookUpRecord(card_no).open;
}

std::string ReopenRecord(const std::string& card_no) {
  HotelDatabase database;
  try {
    const auto connection = OpenHotelDatabase(database);
    if (!connection) return database.reason;
    auto turn = connection->TakeNumberingTurn();
    if (!turn.ok()) return turn.status().message();
    std::string status;
    auto newest = holvanter::ExecuteSql(
        *connection,
        "SELECT InfoNo, BuildNo, FloorNo, RoomNo, ChkOutMark FROM CardRecord WHERE CardNo=" +
            holvanter::QuoteSqlText(card_no) + " ORDER BY InfoNo DESC",
        status);
    if (!newest.ok()) return newest.status().message();
    if (!*newest || (*newest)->Eof()) return "card " + card_no + " has no record";
    holvanter::RecordSet& row = **newest;
    if (row.Field("ChkOutMark").value_or("") != "#1") return {};  // open as it is
    const std::string info_no = row.Field("InfoNo").value_or("0");
    const std::string building = row.Field("BuildNo").value_or("0");
    const std::string floor = row.Field("FloorNo").value_or("0");
    std::string rooms;
    std::stringstream of_card(row.Field("RoomNo").value_or(""));
    for (std::string room; std::getline(of_card, room, ',');)
      rooms += (rooms.empty() ? "" : ",") + holvanter::QuoteSqlText(room);
    // The check-out released a room only where it had more than one card
    // (State '' then); a room it left as it was keeps its count.
    return RunAll(*connection,
                  {"UPDATE CardRecord SET ChkOutMark = '', ChkOutDate = #1900-01-01# WHERE InfoNo = " +
                       std::to_string(std::atol(info_no.c_str())),
                   "Update RoomList Set State='1', CardQTY = CardQTY + 1 Where BuildNo= " +
                       std::to_string(std::atoi(building.c_str())) +
                       " AND FloorNo = " + std::to_string(std::atoi(floor.c_str())) +
                       " AND RoomNo IN (" + rooms + ") AND State = ''"});
  } catch (const std::exception& e) {
    return e.what();
  }
}

nlohmann::json ToItem(const CardRow& row) {
  const auto iso = [&](const char* column) { return DeskTimeJson(row.Text(column)); };
  const auto number = [&](const char* column) {
    const std::string text = row.Text(column);
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(std::atoi(text.c_str()));
  };
  std::vector<std::string> rooms;
  std::stringstream in(row.Text("RoomNo"));
  for (std::string room; std::getline(in, room, ',');) rooms.push_back(room);
  const bool open = row.Text("ChkOutMark") != "#1";
  return {{"card_no", row.card_no ? nlohmann::json(row.card_no->record) : nlohmann::json(row.Text("CardNo"))},
          {"card_no_hex", row.card_no ? nlohmann::json(row.card_no->hex) : nlohmann::json(nullptr)},
          {"kind", rooms.size() > 1 ? "villa" : "guest"},
          {"rooms", rooms},
          {"building", number("BuildNo")},
          {"floor", number("FloorNo")},
          {"holder", row.Text("Name_F").empty() ? nlohmann::json(nullptr)
                                                : nlohmann::json(row.Text("Name_F"))},
          {"begin", iso("BeginDate")},
          {"end", iso("EndDate")},
          {"issued_at", iso("Date_F")},
          {"checked_out_at", open ? nlohmann::json(nullptr) : iso("ChkOutDate")},
          {"open", open}};
}

nlohmann::json ToJson(const CardRow& row) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [column, value] : row.fields)
    out[column] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
  return out;
}

RoomChange AddRooms(const std::string& spec) {
  RoomChange change;
  std::vector<holvanter::RoomRange> ranges;
  try {
    ranges = holvanter::ParseRoomSpec(spec);
  } catch (const std::invalid_argument& e) {
    change.usage = e.what();
    return change;
  }
  try {
    const auto connection = OpenHotelDatabase(change.database);
    if (!connection) return change;
    holvanter::Result<std::vector<RoomRow>> rooms = AllRooms(*connection);
    if (!rooms.ok()) {
      change.failure = rooms.status().message();
      return change;
    }
    std::set<Place> there;
    for (const RoomRow& room : *rooms) there.insert(PlaceOf(room));
    std::vector<std::string> statements;
    for (const holvanter::RoomRange& range : ranges) {
      for (int number = range.first; number <= range.last; ++number) {
        const RoomRow room{range.building, range.floor, RoomCode(number), "", 0, 0, std::nullopt};
        // A room given twice is added once.
        if (!there.insert(PlaceOf(room)).second) {
          if (std::find_if(change.changed.begin(), change.changed.end(), [&](const RoomRow& r) {
                return PlaceOf(r) == PlaceOf(room);
              }) == change.changed.end())
            change.kept.push_back(room);
          continue;
        }
        // As hotel init seeds a room: no cards out, no state.
        statements.push_back("INSERT INTO RoomList (BuildNo, FloorNo, RoomNo, State, CardQTY, "
                             "SetCard) VALUES (" + std::to_string(room.building) + ", " +
                             std::to_string(room.floor) + ", '" + room.room + "', '', NULL, '')");
        change.changed.push_back(room);
      }
    }
    change.failure = RunAll(*connection, statements);
  } catch (const std::exception& e) {
    change.failure = e.what();
  }
  if (!change.failure.empty()) change.changed.clear();
  return change;
}

RoomChange RemoveRooms(const std::vector<std::string>& given) {
  RoomChange change;
  if (given.empty()) {
    change.usage = "no rooms given: name each as its room number (0203) or building:floor:room";
    return change;
  }
  // Each item as a room number alone, or as ranges hotel init takes.
  std::vector<std::string> numbers;
  std::vector<holvanter::RoomRange> ranges;
  for (const std::string& item : given) {
    if (item.find(':') == std::string::npos) {
      if (item.empty()) {
        change.usage = "an empty room number";
        return change;
      }
      numbers.push_back(item);
      continue;
    }
    try {
      for (const holvanter::RoomRange& range : holvanter::ParseRoomSpec(item)) ranges.push_back(range);
    } catch (const std::invalid_argument& e) {
      change.usage = e.what();
      return change;
    }
  }
  try {
    const auto connection = OpenHotelDatabase(change.database);
    if (!connection) return change;
    // Issues take the numbering turn until their card is recorded: holding
    // it from the look at the open cards to the removal, no card can be
    // issued for a room between the two.
    auto turn = connection->TakeNumberingTurn();
    if (!turn.ok()) {
      change.failure = turn.status().message();
      return change;
    }
    holvanter::Result<std::vector<RoomRow>> rooms = AllRooms(*connection);
    if (!rooms.ok()) {
      change.failure = rooms.status().message();
      return change;
    }
    std::map<Place, const RoomRow*> by_place;
    for (const RoomRow& room : *rooms) by_place[PlaceOf(room)] = &room;
    std::set<Place> chosen;
    const auto choose = [&](const RoomRow& room) {
      if (chosen.insert(PlaceOf(room)).second) change.changed.push_back(room);
    };
    for (const std::string& number : numbers) {
      std::vector<const RoomRow*> places;
      for (const RoomRow& room : *rooms)
        if (room.room == number) places.push_back(&room);
      if (places.empty()) {
        change.refused.push_back("room " + number + " is not in the room list");
      } else if (places.size() > 1) {
        std::string where;
        for (const RoomRow* room : places)
          where += (where.empty() ? "" : ", ") + std::to_string(room->building) + ":" +
                   std::to_string(room->floor) + ":" + number;
        change.refused.push_back("room " + number + " is in " + std::to_string(places.size()) +
                                 " places; name the one to remove: " + where);
      } else {
        choose(*places.front());
      }
    }
    for (const holvanter::RoomRange& range : ranges) {
      for (int number = range.first; number <= range.last; ++number) {
        const auto found = by_place.find({range.building, range.floor, RoomCode(number)});
        if (found == by_place.end())
          change.refused.push_back(Where({range.building, range.floor, RoomCode(number), "", 0, 0,
                                          std::nullopt}) + " is not in the room list");
        else
          choose(*found->second);
      }
    }
    // A room with a card out keeps its place: the card would open a room
    // the hotel no longer knows, and its check-out would find no room.
    // Open as the component counts it: a record that check-out has not
    // marked '#1', whatever its end date; a villa card holds both rooms.
    holvanter::Result<holvanter::RecordSet> open = connection->Query(
        "SELECT CardNo, BuildNo, FloorNo, RoomNo FROM CardRecord WHERE (ChkOutMark IS NULL OR "
        "ChkOutMark <> '#1') ORDER BY InfoNo");
    if (!open.ok()) {
      change.failure = open.status().message();
      change.changed.clear();
      return change;
    }
    for (holvanter::RecordSet& cards = *open; !cards.Eof(); cards.MoveNext()) {
      const int building = std::atoi(cards.Field("BuildNo").value_or("0").c_str());
      const int floor = std::atoi(cards.Field("FloorNo").value_or("0").c_str());
      std::stringstream rooms_of_card(cards.Field("RoomNo").value_or(""));
      for (std::string room; std::getline(rooms_of_card, room, ',');) {
        if (chosen.count({building, floor, room}) == 0) continue;
        change.refused.push_back(Where({building, floor, room, "", 0, 0, std::nullopt}) +
                                 " has card " + cards.Field("CardNo").value_or("?") +
                                 " out (its record is not checked out)");
      }
    }
    if (!change.refused.empty()) {
      change.changed.clear();
      return change;
    }
    std::vector<std::string> statements;
    for (const RoomRow& room : change.changed)
      statements.push_back("DELETE FROM RoomList WHERE BuildNo = " + std::to_string(room.building) +
                           " AND FloorNo = " + std::to_string(room.floor) +
                           " AND RoomNo = " + holvanter::QuoteSqlText(room.room));
    change.failure = RunAll(*connection, statements);
  } catch (const std::exception& e) {
    change.failure = e.what();
  }
  if (!change.failure.empty()) change.changed.clear();
  return change;
}

namespace {

// "#2024-Jan-05 12:00:00#" of a stamp YYYYMMDDhhmm, or of the clock: the
// date literal the card methods write.
std::string DateLiteral(int year, int month, int day, int hour, int minute, int second) {
  char text[64];
  const std::string_view name = holvanter::MonthAbbreviation(month);
  std::snprintf(text, sizeof text, "#%04d-%.*s-%02d %02d:%02d:%02d#", year,
                static_cast<int>(name.size()), name.data(), day, hour, minute, second);
  return text;
}

// The open records of one room (a villa card's either room), oldest first.
struct OpenRoomRecord {
  std::string card_no, rooms;
};
holvanter::Result<std::vector<OpenRoomRecord>> OpenRecordsOf(holvanter::Connection& connection,
                                                         int building, int floor,
                                                         const std::string& room) {
  const std::string query =
      "SELECT CardNo, RoomNo FROM CardRecord WHERE BuildNo = " + std::to_string(building) +
      " AND FloorNo = " + std::to_string(floor) + " AND " +
      RoomCondition(room, connection.Dialect()) +
      " AND (ChkOutMark IS NULL OR ChkOutMark <> '#1') ORDER BY InfoNo";
  holvanter::Result<holvanter::RecordSet> queried = connection.Query(query);
  if (!queried.ok()) return queried.status();
  std::vector<OpenRoomRecord> records;
  for (holvanter::RecordSet& rows = *queried; !rows.Eof(); rows.MoveNext())
    records.push_back({rows.Field("CardNo").value_or(""), rows.Field("RoomNo").value_or("")});
  return records;
}

bool Chosen(const std::optional<std::vector<std::string>>& cards, const std::string& card_no) {
  return !cards || std::find(cards->begin(), cards->end(), card_no) != cards->end();
}

}  // namespace

StayRecords CloseOpenRecords(int building, int floor, const std::string& room,
                             const std::optional<std::vector<std::string>>& cards) {
  StayRecords done;
  try {
    const auto connection = OpenHotelDatabase(done.database);
    if (!connection) return done;
    // Closing takes turns with issues and check-outs, as a check-out does,
    // so that no record is found open twice.
    auto turn = connection->TakeNumberingTurn();
    if (!turn.ok()) {
      done.failure = turn.status().message();
      return done;
    }
    auto records = OpenRecordsOf(*connection, building, floor, room);
    if (!records.ok()) {
      done.failure = records.status().message();
      return done;
    }
    const holvanter::LocalTime now = holvanter::Env::Default()->Now();
    const std::string at = DateLiteral(now.year, now.month, now.day, now.hour, now.minute, now.second);
    const std::string place = "Update RoomList Set State='', CardQTY = CardQTY-1, SetCard = '' "
                              "Where BuildNo= " + std::to_string(building) +
                              " AND FloorNo = " + std::to_string(floor);
    for (const OpenRoomRecord& record : *records) {
      if (!Chosen(cards, record.card_no)) continue;
      // The rooms are released as a check-out of the card releases them.
      const std::size_t comma = record.rooms.find(',');
      const std::string rooms =
          comma == std::string::npos
              ? " AND RoomNo = " + holvanter::QuoteSqlText(record.rooms)
              : " AND RoomNo IN (" + holvanter::QuoteSqlText(record.rooms.substr(0, comma)) + "," +
                    holvanter::QuoteSqlText(record.rooms.substr(comma + 1)) + ")";
      std::string status;
      auto released = holvanter::ExecuteSql(*connection, place + rooms + " AND CardQTY>1", status);
      if (!released.ok()) {
        done.failure = released.status().message();
        return done;
      }
      auto closed = holvanter::ExecuteSql(
          *connection,
          "UPDATE CardRecord SET CardRecord.ChkOutMark = '#1', ChkOutDate = " + at +
              " WHERE CardNo=" + holvanter::QuoteSqlText(record.card_no),
          status);
      if (!closed.ok()) {
        done.failure = closed.status().message();
        return done;
      }
      done.cards.push_back(record.card_no);
    }
  } catch (const std::exception& e) {
    done.failure = e.what();
  }
  return done;
}

StayLookup OpenStayRecords(int building, int floor, const std::string& room,
                           const std::vector<std::string>& cards) {
  StayLookup found;
  try {
    const auto connection = OpenHotelDatabase(found.database);
    if (!connection) return found;
    holvanter::Result<holvanter::RecordSet> queried = connection->Query(
        "SELECT CardNo, EndDate FROM CardRecord WHERE BuildNo = " + std::to_string(building) +
        " AND FloorNo = " + std::to_string(floor) + " AND " +
        RoomCondition(room, connection->Dialect()) +
        " AND (ChkOutMark IS NULL OR ChkOutMark <> '#1') ORDER BY InfoNo");
    if (!queried.ok()) {
      found.failure = queried.status().message();
      return found;
    }
    for (holvanter::RecordSet& rows = *queried; !rows.Eof(); rows.MoveNext()) {
      std::string card_no = rows.Field("CardNo").value_or("");
      if (std::find(cards.begin(), cards.end(), card_no) != cards.end())
        found.records.push_back({std::move(card_no), StampOf(rows.Field("EndDate"))});
    }
  } catch (const std::exception& e) {
    found.failure = e.what();
    found.records.clear();
  }
  return found;
}

std::vector<std::string> NewestStay(const std::vector<StayRecord>& records) {
  std::vector<std::string> cards;
  if (records.empty()) return cards;
  for (const StayRecord& record : records)
    if (record.end == records.back().end) cards.push_back(record.card_no);
  return cards;
}

StayRecords ChangeOpenRecordsEnd(const std::vector<std::string>& cards, const std::string& end) {
  StayRecords done;
  if (!holvanter::IsCardStamp(end)) {
    done.failure = "the new end " + end + " is no stamp YYYYMMDDhhmm";
    return done;
  }
  try {
    const auto connection = OpenHotelDatabase(done.database);
    if (!connection) return done;
    const auto figures = [&](std::size_t at, std::size_t count) {
      return std::atoi(end.substr(at, count).c_str());
    };
    const std::string literal =
        DateLiteral(figures(0, 4), figures(4, 2), figures(6, 2), figures(8, 2), figures(10, 2), 0);
    for (const std::string& card_no : cards) {
      std::string status;
      auto open = holvanter::ExecuteSql(
          *connection,
          "SELECT Count(*) AS OpenCount FROM CardRecord WHERE CardNo=" +
              holvanter::QuoteSqlText(card_no) + " AND (ChkOutMark IS NULL OR ChkOutMark <> '#1')",
          status);
      if (!open.ok()) {
        done.failure = open.status().message();
        return done;
      }
      if (!*open || (*open)->Eof() || std::atoi((*open)->Field("OpenCount").value_or("0").c_str()) == 0)
        continue;
      auto changed = holvanter::ExecuteSql(
          *connection,
          "UPDATE CardRecord SET EndDate = " + literal + " WHERE CardNo=" +
              holvanter::QuoteSqlText(card_no) + " AND (ChkOutMark IS NULL OR ChkOutMark <> '#1')",
          status);
      if (!changed.ok()) {
        done.failure = changed.status().message();
        return done;
      }
      done.cards.push_back(card_no);
    }
  } catch (const std::exception& e) {
    done.failure = e.what();
  }
  return done;
}

}  // namespace frontdesk
