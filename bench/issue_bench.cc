// What one guest card issue followed by its check-out costs, through the
// public C++ face, on hotels whose CardRecord already holds 1,000 and
// 1,000,000 cards; beside it the floor: the same statements run directly
// through SQLite prepared statements on one open connection. With
// HOLVANTER_BENCH_DSN naming ODBC file data sources (several joined by ':'),
// also on each of those databases, and 4 desks issuing at once against one
// desk alone, on the SQLite hotel and on each data source. Then one guest
// issue through the front-desk agent (tavocard serve, over HTTP on the
// loopback address) beside the same issue through the C++ face.
//
// Every hotel is built and synced to disk before the first timing, so no
// run pays for the kernel writing another's database back; component and
// floor runs alternate, in HOLVANTER_BENCH_ROUNDS rounds (default 2). Time
// is wall time; CPU is the CPU time of the whole process (every thread),
// and for the agent also the agent process's own CPU time per issue.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>  // before Asio: Boost 1.74's Asio uses std::exchange without it
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "card/card_image.h"
#include "component/card_statements.h"
#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/hotel_setup.h"
#include "store/open_database.h"
#include "store/settings.h"
#include "store/sql_dialect.h"
#include "tests/support/failure.h"
#include "tests/support/stays.h"

namespace {

namespace fs = std::filesystem;
using namespace holvanter;

// A live stay: begun yesterday, ending the day after tomorrow.
const std::string kBegin = holvanter::test_support::StayStamp(-1, "1400");
const std::string kEnd = holvanter::test_support::StayStamp(2);

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A hotel database whose CardRecord holds `cards` checked-out cards, made
// once per size, name and run.
std::string HotelWithCards(int cards, const std::string& name = "hotel") {
  static std::map<std::string, std::string> made;
  const std::string key = name + "-" + std::to_string(cards);
  if (auto it = made.find(key); it != made.end()) return it->second;
  static const std::string folder = [] {
    char tmpl[] = "/tmp/holvanter-bench-XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  const std::string path = folder + "/" + key + ".db";
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Check(sqlite3_exec(db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr), db, "create");
    sqlite3_close(db);
  }
  {
    std::unique_ptr<Connection> connection;
    if (!OpenDatabase(*Env::Default(), path, connection)) throw std::runtime_error("cannot open " + path);
    HotelPlan plan;
    plan.rooms = ParseRoomSpec("1:1:0101-0150,1:2:0201-0250");
    Ok(CreateHotelTables(*connection, plan));
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
  // On disk before any timing.
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  made[key] = path;
  return path;
}

// `keep_sessions` false: every card method opens a new database session
// and closes it when it ends ([Pool] IdleSeconds=0).
void PointComponentAt(const std::string& database, bool keep_sessions = true) {
  std::ofstream(SettingsFilePath(*Env::Default()), std::ios::trunc)
      << "[Setting]\nDataBase=" << database << "\n"
      << (keep_sessions ? "" : "[Pool]\nIdleSeconds=0\n");
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
  if (!OpenDatabase(*Env::Default(), dsn, connection)) return false;
  HotelPlan plan;
  plan.rooms = ParseRoomSpec("1:1:0101-0150,1:2:0201-0250");
  Ok(CreateHotelTables(*connection, plan));
  return true;
}

// The same issue and check-out on the server database of an ODBC file data
// source (HOLVANTER_BENCH_DSN), set up anew with an empty CardRecord.
// With `keep_sessions` false, each card method opens its own session.
void BM_IssueAndCheckOutOnDataSource(benchmark::State& state, std::string dsn,
                                     bool keep_sessions) {
  if (!SetUpHotelOnDataSource(dsn)) {
    state.SkipWithError("the data source does not open");
    return;
  }
  PointComponentAt(dsn, keep_sessions);
  IssueAndCheckOutEachIteration(state);
}

// The hotels that desks issue on at once: the SQLite hotel of 1,000 cards,
// then each data source; a benchmark's argument is the index.
struct DeskHotel {
  std::string dsn;
  bool keep_sessions = true;
};
std::vector<DeskHotel>& DeskHotels() {
  static std::vector<DeskHotel> hotels;
  return hotels;
}

void PrepareDeskHotel(const benchmark::State& state) {
  const DeskHotel& hotel = DeskHotels().at(static_cast<std::size_t>(state.range(0)));
  if (state.range(0) == 0) {
    PointComponentAt(HotelWithCards(1000));
  } else if (SetUpHotelOnDataSource(hotel.dsn)) {
    PointComponentAt(hotel.dsn, hotel.keep_sessions);
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


const std::string kIssueBody = R"({"begin":")" + kBegin + R"(","end":")" + kEnd +
                               R"(","building":1,"floor":2,"room":"0203","holder":"Bench Guest"})";

// One guest card issue through the C++ face, the encoder kept open.
void BM_GuestIssueThroughFace(benchmark::State& state) {
  PointComponentAt(HotelWithCards(1000, "face"));
  TavoCard card;
  if (card.OpenPort(0) != 1) state.SkipWithError("the encoder did not open");
  for (auto _ : state) {
    std::string card_no;
    if (card.WriteCard(0, kBegin, kEnd, card_no, 1, 2, "0203", "Bench Guest") != 0) {
      state.SkipWithError("issue failed");
      break;
    }
  }
  card.ClosePort();
}

// The agent's CPU time so far (user + system), from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The same issue through the front-desk agent: `tavocard serve` beside
// this program, one kept-alive HTTP connection, a POST per card.
void BM_GuestIssueThroughAgent(benchmark::State& state) {
  namespace http = boost::beast::http;
  const std::string folder = fs::path(HotelWithCards(1000, "agent")).parent_path();
  PointComponentAt(HotelWithCards(1000, "agent"));
  const std::string program = (fs::read_symlink("/proc/self/exe").parent_path() / "tavocard");
  const std::string token_file = folder + "/agent-token", log = folder + "/agent.log";
  std::vector<std::string> args = {program, "serve", "--listen-port", "0", "--token-file",
                                   token_file};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) != 0) {
    state.SkipWithError("tavocard serve did not start");
    return;
  }
  posix_spawn_file_actions_destroy(&files);
  int port = 0;
  for (int i = 0; i < 100 && port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(listening on http://127\.0\.0\.1:(\d+)/)")))
      port = std::stoi(m[1]);
  }
  std::string token;
  std::getline(std::ifstream(token_file) >> std::ws, token);
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  boost::beast::flat_buffer buffer;
  if (port != 0) stream.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
  const double cpu_before = ProcessCpuSeconds(pid);
  for (auto _ : state) {
    if (port == 0) {
      state.SkipWithError("the agent did not listen");
      break;
    }
    // A blank card for each guest, as at the desk: the agent writes over no
    // live card unasked.
    state.PauseTiming();
    std::ofstream(fs::path(folder) / "encoder" / "port1.card", std::ios::binary | std::ios::trunc)
        << std::string("\x5C\x1E\x93\xA7", 4) << std::string(28, '\xFF');
    state.ResumeTiming();
    http::request<http::string_body> request(http::verb::post, "/v1/cards/guest", 11);
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));  // the agent's own, or 421
    request.set(http::field::authorization, "Bearer " + token);
    request.set(http::field::content_type, "application/json");
    request.body() = kIssueBody;
    request.prepare_payload();
    http::write(stream, request);
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    if (response.result() != http::status::ok ||
        response.body().find("\"result\":0") == std::string::npos) {
      state.SkipWithError(("issue failed: " + response.body()).c_str());
      break;
    }
  }
  state.counters["agent_cpu_ms"] = benchmark::Counter(
      (ProcessCpuSeconds(pid) - cpu_before) * 1000, benchmark::Counter::kAvgIterations);
  boost::beast::error_code ignored;
  stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  // Every hotel is built and on disk before the first timing.
  for (const auto& [cards, name] : std::vector<std::pair<int, std::string>>{
           {1000, "hotel"}, {1000000, "hotel"}, {1000, "face"}, {1000, "agent"}})
    HotelWithCards(cards, name);
  sync();

  const auto timed = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
  };
  const char* rounds_text = std::getenv("HOLVANTER_BENCH_ROUNDS");
  const int rounds = rounds_text != nullptr && std::atoi(rounds_text) > 0 ? std::atoi(rounds_text) : 2;
  for (int round = 1; round <= rounds; ++round) {
    const std::string suffix = "/round:" + std::to_string(round);
    for (int cards : {1000, 1000000}) {
      timed(benchmark::RegisterBenchmark(("BM_IssueAndCheckOut" + suffix).c_str(),
                                         BM_IssueAndCheckOut)->Arg(cards));
      timed(benchmark::RegisterBenchmark(("BM_FloorIssueAndCheckOut" + suffix).c_str(),
                                         BM_FloorIssueAndCheckOut)->Arg(cards));
    }
    timed(benchmark::RegisterBenchmark(("BM_GuestIssueThroughFace" + suffix).c_str(),
                                       BM_GuestIssueThroughFace));
    timed(benchmark::RegisterBenchmark(("BM_GuestIssueThroughAgent" + suffix).c_str(),
                                       BM_GuestIssueThroughAgent));
  }
  DeskHotels().push_back({"sqlite"});
  if (const char* list = std::getenv("HOLVANTER_BENCH_DSN"); list != nullptr) {
    std::string rest = list;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string dsn = rest.substr(0, colon);
      rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
      if (dsn.empty()) continue;
      // Sessions kept between card methods (the default), and a new one for each.
      for (const bool keep : {true, false}) {
        const std::string name = fs::path(dsn).stem().string() + (keep ? "" : "/no-pool");
        timed(benchmark::RegisterBenchmark(("BM_IssueAndCheckOutOnDataSource/" + name).c_str(),
                                           BM_IssueAndCheckOutOnDataSource, dsn, keep));
        DeskHotels().push_back({dsn, keep});
      }
    }
  }
  for (std::size_t i = 0; i < DeskHotels().size(); ++i)
    benchmark::RegisterBenchmark(
        ("BM_DesksIssue/" + fs::path(DeskHotels()[i].dsn).stem().string() +
         (DeskHotels()[i].keep_sessions ? "" : "/no-pool"))
            .c_str(),
        BM_DesksIssue)
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
