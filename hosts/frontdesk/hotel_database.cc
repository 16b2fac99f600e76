#include <cstdlib>
#include <exception>
#include <memory>

#include "holvanter/result_codes.h"
#include "platform/env.h"
#include "store/open_database.h"
#include "store/settings.h"
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

// The listing's query in the dialect of the database: Access has no LIMIT
// but takes TOP n; the card number is a quoted value, the limit a number.
std::string ListingQuery(const CardFilter& filter, holvanter::SqlDialect dialect) {
  const bool top = filter.limit > 0 && dialect == holvanter::SqlDialect::kAccess;
  std::string query = "SELECT ";
  if (top) query += "TOP " + std::to_string(filter.limit) + " ";
  query += "* FROM CardRecord";
  if (!filter.card_no.empty()) query += " WHERE CardNo = " + holvanter::QuoteSqlText(filter.card_no);
  query += " ORDER BY InfoNo DESC";
  if (filter.limit > 0 && !top) query += " LIMIT " + std::to_string(filter.limit);
  return query;
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
                              number("CardQTY")});
    }
  } catch (const std::exception& e) {
    listing.failure = e.what();
    listing.rows.clear();
  }
  return listing;
}

nlohmann::json ToJson(const CardRow& row) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [column, value] : row.fields)
    out[column] = value ? nlohmann::json(*value) : nlohmann::json(nullptr);
  return out;
}

}  // namespace frontdesk
