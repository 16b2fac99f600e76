// Setting up a hotel database: the component itself creates no tables, so
// the front-desk command provisions them (tavocard hotel init).
#ifndef HOLVANTER_STORE_HOTEL_SETUP_H_
#define HOLVANTER_STORE_HOTEL_SETUP_H_

#include <cstdint>
#include <string>
#include <vector>

#include "store/database.h"

namespace holvanter {

// Rooms first..last (room codes, e.g. 101..120 for 0101-0120) on one floor.
struct RoomRange {
  int building = 0;
  int floor = 0;
  int first = 0;
  int last = 0;
};

// "1:1:0101-0120,1:2:0201-0220" (building:floor:first-last, or a single
// room building:floor:room). Throws std::invalid_argument with a message a
// front desk understands.
std::vector<RoomRange> ParseRoomSpec(const std::string& spec);

struct HotelPlan {
  std::vector<RoomRange> rooms;
  std::string system_code;  // five characters; empty = the default "TAVO1"
  uint32_t start_no = 0;    // SpecRecord.StartNo
};

// Throws std::invalid_argument when the plan cannot make a hotel (a
// system code that is not five printable characters), before anything is
// created.
void CheckHotelPlan(const HotelPlan& plan);

// Creates SpecRecord, CardRecord and RoomList with their keys and indexes
// on `connection`, in its dialect, and seeds one SpecRecord row (InfoNo 1,
// StartNo, CardID = the system code enciphered through mwic_32's
// ic_encrypt, or empty) and one RoomList row per room. Tables of an
// earlier hotel are dropped first. On a failure nothing is created.
Status CreateHotelTables(Connection& connection, const HotelPlan& plan);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_HOTEL_SETUP_H_
