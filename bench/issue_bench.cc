// What one guest card issue followed by its check-out costs, through the
// public C++ face, on hotels whose CardRecord already holds 1,000 and
// 1,000,000 cards; beside it the floor: the same statements run directly
// through SQLite prepared statements on one open connection. With
// HOLVANTER_BENCH_DSN naming ODBC file data sources (several joined by ':'),
// also on each of those databases. And 4 desks issuing at once against one
// desk alone, on the SQLite hotel and on each data source.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "card/card_image.h"
#include "component/card_statements.h"
#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/hotel_setup.h"
#include "store/open_database.h"
#include "store/sql_dialect.h"

namespace {

namespace fs = std::filesystem;
using namespace holvanter;

constexpr char kBegin[] = "202612071400";
constexpr char kEnd[] = "202612091200";

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A hotel database whose CardRecord holds `cards` checked-out cards, made
// once per size and run.
std::string HotelWithCards(int cards) {
  static std::map<int, std::string> made;
  if (auto it = made.find(cards); it != made.end()) return it->second;
  static const std::string folder = [] {
    char tmpl[] = "/tmp/holvanter-bench-XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  const std::string path = folder + "/hotel-" + std::to_string(cards) + ".db";
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Check(sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr), db, "create");
    sqlite3_close(db);
  }
  {
    std::unique_ptr<Connection> connection;
    if (!OpenDatabase(path, connection)) throw std::runtime_error("cannot open " + path);
    HotelPlan plan;
    plan.rooms = ParseRoomSpec("1:1:0101-0150,1:2:0201-0250");
    CreateHotelTables(*connection, plan);
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "INSERT INTO CardRecord (InfoNo, CardNo, CardType, cardName, Name_F, "
                           "BuildNo, FloorNo, RoomNo, ChkOutMark, Date_F, ChkOutDate, BeginDate, "
                           "EndDate, UserName) VALUES (?, ?, '1', '宾客卡', 'Earlier guest', 1, "
                           "1, '0101', '#1', '2026-01-01 10:00:00', '2026-01-02 10:00:00', "
                           "'2026-01-01 14:00:00', '2026-01-02 12:00:00', '000')",
                           -1, &insert, nullptr),
        db, "prepare");
  for (int i = 1; i <= cards; ++i) {
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text(insert, 2, CardNoRecordForm(i).c_str(), -1, SQLITE_TRANSIENT);
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
  made[cards] = path;
  return path;
}

void PointComponentAt(const std::string& database) {
  std::ofstream(Env::Default()->ComponentFolder() + "/Tavoper.ini", std::ios::trunc)
      << "[Setting]\nDataBase=" << database << "\n";
  const std::string encoder = fs::path(database).parent_path() / "encoder";
  fs::create_directories(encoder);
  setenv("LYCOMM_SIM_DIR", encoder.c_str(), 1);
  std::ofstream(encoder + "/port1.card", std::ios::binary | std::ios::trunc)
      << std::string("\x5C\x1E\x93\xA7", 4) << std::string(28, '\xFF');
}

// One guest card issue and its check-out per iteration, through the public
// face, on the hotel that Tavoper.ini names.
void IssueAndCheckOutEachIteration(benchmark::State& state) {
  TavoCard card;
  if (card.OpenPort(0) != 1) state.SkipWithError("the encoder did not open");
  for (auto _ : state) {
    std::string card_no;
    if (card.WriteCard(0, kBegin, kEnd, card_no, 1, 2, "0203", "Bench Guest") != 0 ||
        card.WriteCard(0, kBegin, kEnd, card_no, 1, 2, "0000", "") != 0) {
      state.SkipWithError("issue or check-out failed");
      break;
    }
  }
  card.ClosePort();
}

void BM_IssueAndCheckOut(benchmark::State& state) {
  PointComponentAt(HotelWithCards(static_cast<int>(state.range(0))));
  IssueAndCheckOutEachIteration(state);
}

// The floor: the six statements of an issue and its check-out, prepared
// once on one open connection, each update committed on its own.
class Floor {
 public:
  explicit Floor(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_busy_timeout(db_, 10000);
    start_no_ = Prepare(kStartNoQuery);
    last_no_ = Prepare(kLastCardNoQuery);
    room_issue_ = Prepare(GuestRoomIssueStatement(1, 2, "0203"));
    // The insert with the card number and holder bound; everything else as
    // the component writes it.
    CardRecordValues v;
    v.record_form = "@@CARD@@";
    v.holder_name = "Bench Guest";
    v.bldg_no = 1;
    v.floor_no = 2;
    v.room_value = "0203";
    v.issued_at = Env::Default()->Now();
    v.begin_text = StayDateText(kBegin);
    v.end_text = StayDateText(kEnd);
    std::string insert = CardRecordInsertStatement(v);
    insert.replace(insert.find("'@@CARD@@'"), 10, "?1");
    card_insert_ = Prepare(insert);
    room_release_ = Prepare(GuestRoomCheckOutStatement(1, 2, "0203"));
    std::string close = CardCheckOutStatement("@@CARD@@", Env::Default()->Now());
    close.replace(close.find("'@@CARD@@'"), 10, "?1");
    card_close_ = Prepare(close);
    begin_ = Prepare("BEGIN IMMEDIATE");
    commit_ = Prepare("COMMIT");
  }
  ~Floor() {
    for (sqlite3_stmt* s : {start_no_, last_no_, room_issue_, card_insert_, room_release_,
                            card_close_, begin_, commit_})
      sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  void IssueAndCheckOut() {
    Step(start_no_);
    const long long start = sqlite3_column_int64(start_no_, 0);
    sqlite3_reset(start_no_);
    long long number = 1;
    if (sqlite3_step(last_no_) == SQLITE_ROW) {
      const long long last = std::atoll(reinterpret_cast<const char*>(
          sqlite3_column_text(last_no_, 0)));
      number = start > last ? start + 1 : last + 1;
    }
    sqlite3_reset(last_no_);
    const std::string record = CardNoRecordForm(static_cast<uint32_t>(number));
    Update(room_issue_, nullptr);
    Update(card_insert_, &record);
    Update(room_release_, nullptr);
    Update(card_close_, &record);
  }

 private:
  sqlite3_stmt* Prepare(const std::string& access_sql) {
    const std::string sql = RewriteStatement(access_sql, SqlDialect::kSqlite);
    sqlite3_stmt* s = nullptr;
    Check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), db_, sql.c_str());
    return s;
  }
  void Step(sqlite3_stmt* s) {
    Check(sqlite3_step(s), db_, sqlite3_sql(s));
  }
  void Update(sqlite3_stmt* s, const std::string* card) {
    Step(begin_);
    sqlite3_reset(begin_);
    if (card != nullptr) sqlite3_bind_text(s, 1, card->c_str(), -1, SQLITE_TRANSIENT);
    Step(s);
    sqlite3_reset(s);
    Step(commit_);
    sqlite3_reset(commit_);
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt *start_no_, *last_no_, *room_issue_, *card_insert_, *room_release_, *card_close_,
      *begin_, *commit_;
};

void BM_FloorIssueAndCheckOut(benchmark::State& state) {
  Floor floor(HotelWithCards(static_cast<int>(state.range(0))));
  for (auto _ : state) floor.IssueAndCheckOut();
}

// A fresh hotel, with an empty CardRecord, on the database of an ODBC file
// data source; false when it does not open.
bool SetUpHotelOnDataSource(const std::string& dsn) {
  std::unique_ptr<Connection> connection;
  if (!OpenDatabase(dsn, connection)) return false;
  HotelPlan plan;
  plan.rooms = ParseRoomSpec("1:1:0101-0150,1:2:0201-0250");
  CreateHotelTables(*connection, plan);
  return true;
}

// The same issue and check-out on the server database of an ODBC file data
// source (HOLVANTER_BENCH_DSN), set up anew with an empty CardRecord.
void BM_IssueAndCheckOutOnDataSource(benchmark::State& state, std::string dsn) {
  if (!SetUpHotelOnDataSource(dsn)) {
    state.SkipWithError("the data source does not open");
    return;
  }
  PointComponentAt(dsn);
  IssueAndCheckOutEachIteration(state);
}

// The hotels that desks issue on at once: the SQLite hotel of 1,000 cards,
// then each data source; a benchmark's argument is the index.
std::vector<std::string>& DeskHotels() {
  static std::vector<std::string> hotels;
  return hotels;
}

void PrepareDeskHotel(const benchmark::State& state) {
  const std::string& hotel = DeskHotels().at(static_cast<std::size_t>(state.range(0)));
  if (state.range(0) == 0) {
    PointComponentAt(HotelWithCards(1000));
  } else if (SetUpHotelOnDataSource(hotel)) {
    PointComponentAt(hotel);
  }
}

// Each thread a desk: a host thread with its own connection (the component
// keeps one per thread) issuing guest cards for a room of its own. Cards per
// second over all desks; the desks take turns at the card numbering. The
// simulated encoder is one per process: the desks share it and leave it open.
void BM_DesksIssue(benchmark::State& state) {
  TavoCard card;
  if (card.OpenPort(0) != 1) state.SkipWithError("the encoder did not open");
  const std::string room = "0" + std::to_string(201 + state.thread_index());
  for (auto _ : state) {
    std::string card_no;
    if (card.WriteCard(0, kBegin, kEnd, card_no, 1, 2, room, "Desk Guest") != 0) {
      state.SkipWithError("an issue failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_IssueAndCheckOut)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorIssueAndCheckOut)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  DeskHotels().push_back("sqlite");
  if (const char* list = std::getenv("HOLVANTER_BENCH_DSN"); list != nullptr) {
    std::string rest = list;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string dsn = rest.substr(0, colon);
      rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
      if (dsn.empty()) continue;
      benchmark::RegisterBenchmark(
          ("BM_IssueAndCheckOutOnDataSource/" + fs::path(dsn).stem().string()).c_str(),
          BM_IssueAndCheckOutOnDataSource, dsn)
          ->Unit(benchmark::kMillisecond);
      DeskHotels().push_back(dsn);
    }
  }
  for (std::size_t i = 0; i < DeskHotels().size(); ++i)
    benchmark::RegisterBenchmark(
        ("BM_DesksIssue/" + fs::path(DeskHotels()[i]).stem().string()).c_str(), BM_DesksIssue)
        ->Arg(static_cast<int64_t>(i))
        ->Setup(PrepareDeskHotel)
        ->Threads(1)
        ->Threads(4)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
