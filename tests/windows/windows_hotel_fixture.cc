// The Linux side of the Windows end-to-end test: sets up the hotel database
// that holvanter.dll under Wine issues cards against (through the same ODBC
// file data source), and prints its CardRecord and RoomList rows afterwards
// for scripts/test-windows.sh to check.
//
//   windows_hotel_fixture setup DSN SYSTEM_CODE
//   windows_hotel_fixture show DSN
#include <iostream>
#include <memory>
#include <string>

#include "holvanter/tavo_card.h"
#include "store/database.h"
#include "store/hotel_setup.h"
#include "store/open_database.h"
#include "tests/support/failure.h"

namespace {

std::string Text(const holvanter::FieldValue& value) { return value ? *value : "<null>"; }

void Show(holvanter::Connection& db) {
  holvanter::RecordSet cards = holvanter::Ok(
      db.Query("Select InfoNo, CardNo, cardName, Name_F, BuildNo, FloorNo, RoomNo, ChkOutMark "
               "From CardRecord Order By InfoNo"));
  for (cards.MoveFirst(); !cards.Eof(); cards.MoveNext()) {
    std::cout << "CARD " << Text(cards.Field("CardNo")) << " kind=" << Text(cards.Field("cardName"))
              << " name=" << Text(cards.Field("Name_F"))
              << " building=" << Text(cards.Field("BuildNo"))
              << " floor=" << Text(cards.Field("FloorNo"))
              << " rooms=" << Text(cards.Field("RoomNo"))
              << " checkout=" << Text(cards.Field("ChkOutMark")) << "\n";
  }
  holvanter::RecordSet rooms = holvanter::Ok(db.Query(
      "Select BuildNo, FloorNo, RoomNo, State, CardQTY From RoomList Order By BuildNo, FloorNo, "
      "RoomNo"));
  for (rooms.MoveFirst(); !rooms.Eof(); rooms.MoveNext()) {
    std::cout << "ROOM " << Text(rooms.Field("BuildNo")) << "/" << Text(rooms.Field("FloorNo"))
              << "/" << Text(rooms.Field("RoomNo")) << " state=" << Text(rooms.Field("State"))
              << " cards=" << Text(rooms.Field("CardQTY")) << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  if ((mode != "setup" || argc != 4) && (mode != "show" || argc != 3)) {
    std::cerr << "usage: windows_hotel_fixture setup DSN SYSTEM_CODE | show DSN\n";
    return 2;
  }
  try {
    std::unique_ptr<holvanter::Connection> db;
    if (!holvanter::OpenDatabase(*holvanter::Env::Default(), argv[2], db)) {
      std::cerr << "cannot open the hotel database named by " << argv[2] << "\n";
      return 1;
    }
    if (mode == "setup") {
      holvanter::HotelPlan plan;
      plan.rooms = holvanter::ParseRoomSpec("1:1:0101-0105,1:2:0201-0205");
      plan.system_code = argv[3];
      holvanter::Ok(holvanter::CreateHotelTables(*db, plan));
      std::cout << "hotel ready\n";
    } else {
      Show(*db);
    }
  } catch (const std::exception& error) {
    std::cerr << "hotel fixture: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
