// The faults a front desk must survive: waits that end within the command
// time limit, a database server stopped or killed, a read-only or full disk,
// a desk that dies holding the numbering turn.
//
// Runs on a fresh SQLite hotel, or on the database of HOLVANTER_TEST_DSN.
// HOLVANTER_TEST_SERVER names a script that may "stop", "kill" and "start"
// that database's server (scripts/test-odbc.sh writes one).
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "component/thread_state.h"
#include "holvanter/tavo_card.h"
#include "store/database.h"
#include "store/open_database.h"
#include "support/component_env.h"
#include "support/failure.h"
#include "util/database_words.h"
#include "test_hotel.h"

namespace holvanter {
namespace {

namespace fs = std::filesystem;
using test_support::Failure;
using test_support::FailureOf;
using testing::TestHotel;

// A guest card for room 0203 on floor 2 of building 1, issued by a host on
// the calling thread.
int16_t Issue(std::string& card_no) {
  TavoCard card;
  card.OpenPort(0);
  return card.WriteCard(0, "200710201230", "200710221200", card_no, 1, 2, "0203", "Li Wei");
}

// Whose clock a wait runs on: the component's own Env (the lock file beside
// a file database, SQLite's busy wait), or the database server's (its lock
// and statement time limits).
enum class WaitClock { kComponent, kServer };

// The longest step a wait of the component sleeps: it notices the limit at
// most that late.
constexpr double kLongestWaitStepSeconds = 0.05;
// Real time that a wait on the test's clock may take at most: far below the
// limit, which it would take if it slept for real.
constexpr double kRealSecondsOfAWaitOnTheTestClock = 2.0;

// An issue that must give up at the command time limit, saying `what` it
// waited for. A wait on the component's clock runs on a test clock: the
// whole limit passes on it, and next to none of it really passes.
void ExpectIssueGivesUpAtTheLimit(std::string& card_no, const std::string& what,
                                  WaitClock clock_of_the_wait) {
  test_support::TestClock clock;
  test_support::ScopedComponentEnv installed(clock);
  const auto start = std::chrono::steady_clock::now();
  const Failure failure = FailureOf([&] { Issue(card_no); });
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(failure.hresult, kErrDatabase);
  EXPECT_NE(failure.message.find(what), std::string::npos) << failure.message;
  if (clock_of_the_wait == WaitClock::kComponent) {
    EXPECT_GE(clock.SleptSeconds(), kCommandTimeoutSeconds);
    EXPECT_LE(clock.SleptSeconds(), kCommandTimeoutSeconds + kLongestWaitStepSeconds);
    EXPECT_LT(waited, kRealSecondsOfAWaitOnTheTestClock);
  } else {
    EXPECT_GE(waited, kCommandTimeoutSeconds - 0.5);
    EXPECT_LE(waited, kCommandTimeoutSeconds + 3.0);
  }
}

// One value of the database at `path`, through a connection of its own.
std::string ValueIn(const std::string& path, const std::string& query) {
  std::unique_ptr<Connection> connection;
  std::string why;
  if (!OpenDatabase(*Env::Default(), path, connection, &why)) return "<no open: " + why + ">";
  RecordSet rs = Ok(connection->Query(query));
  return rs.Eof() ? "<none>" : rs.Field(rs.Columns().at(0)).value_or("NULL");
}

// Runs `fn` on a thread that file permissions bind even when the tests run
// as root: that thread alone gives up root's power to override them.
void UnderFilePermissions(const std::function<void()>& fn) {
  std::thread thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, caps) == 0) {
      caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) |
                             (1u << CAP_FOWNER));
      syscall(SYS_capset, &header, caps);
    }
    fn();
  });
  thread.join();
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { hotel_ = std::make_unique<TestHotel>(); }
  void TearDown() override { hotel_.reset(); }

  static bool OnDataSource() {
    const char* dsn = std::getenv("HOLVANTER_TEST_DSN");
    return dsn != nullptr && *dsn != '\0';
  }
  std::string Cards() { return hotel_->Value("SELECT COUNT(*) FROM CardRecord"); }
  std::string RoomCards() {
    return hotel_->Value(
        "SELECT CardQTY FROM RoomList WHERE BuildNo = 1 AND FloorNo = 2 AND RoomNo = '0203'");
  }
  // The hotel database copied into `folder`, and Tavoper.ini pointing at the copy.
  std::string MoveHotelTo(const std::string& folder) {
    const std::string copy = folder + "/hotel.db";
    fs::copy_file(hotel_->database_path(), copy);
    TestHotel::WriteSettings("[Setting]\nDataBase=" + copy + "\n");
    return copy;
  }
  // A failed issue left the hotel at `path` whole and unchanged.
  static void ExpectWholeAndUnchanged(const std::string& path, const std::string& what) {
    EXPECT_EQ(ValueIn(path, "PRAGMA integrity_check"), "ok") << what;
    EXPECT_EQ(ValueIn(path, "SELECT COUNT(*) FROM CardRecord"), "0") << what;
    EXPECT_EQ(ValueIn(path, "SELECT CardQTY FROM RoomList WHERE BuildNo = 1 AND FloorNo = 2 AND "
                            "RoomNo = '0203'"),
              "NULL")
        << what;
  }

  std::unique_ptr<TestHotel> hotel_;
};

// The turn is a lock file on a file database, an advisory lock on PostgreSQL
// and a named lock on MariaDB; either way the issue gives up at the limit,
// changing nothing.
TEST_F(Faults, ANumberingTurnHeldByAnotherDeskEndsTheIssueWithinTheLimit) {
  std::string card_no = "untouched";
  {
    auto turn = hotel_->connection().TakeNumberingTurn();
    const SqlDialect dialect = hotel_->connection().Dialect();
    const bool on_server = dialect == SqlDialect::kPostgres || dialect == SqlDialect::kMariaDb;
    const char* lock = dialect == SqlDialect::kPostgres  ? "PostgreSQL advisory lock"
                       : dialect == SqlDialect::kMariaDb ? "named lock"
                                                         : "lock file";
    ExpectIssueGivesUpAtTheLimit(card_no,
                                 "no card numbering turn within " +
                                     std::to_string(kCommandTimeoutSeconds) +
                                     " seconds: another desk holds the " + lock,
                                 on_server ? WaitClock::kServer : WaitClock::kComponent);
  }
  EXPECT_EQ(card_no, "untouched");
  EXPECT_EQ(Cards(), "0");
  EXPECT_EQ(RoomCards(), "NULL");
  ASSERT_EQ(Issue(card_no), 0);
  EXPECT_EQ(card_no, "000001");
}

TEST_F(Faults, ABusyDatabaseEndsTheStatementWithinTheLimit) {
  Connection& desk = hotel_->connection();
  Ok(desk.BeginTrans());
  Ok(desk.Execute("UPDATE RoomList SET State = '9' WHERE BuildNo = 1 AND FloorNo = 2 AND "
               "RoomNo = '0203'"));
  std::string card_no = "untouched";
  // The SQLite file waits in the component; through ODBC, in the driver or
  // the server.
  ExpectIssueGivesUpAtTheLimit(card_no,
                               "the database stayed busy, locked by another connection, for the "
                               "command time limit of " +
                                   std::to_string(kCommandTimeoutSeconds) + " seconds",
                               OnDataSource() ? WaitClock::kServer : WaitClock::kComponent);
  desk.RollbackTrans();
  // The number was handed over before the RoomList statement waited.
  EXPECT_EQ(card_no, "000001");
  EXPECT_EQ(Cards(), "0");
  EXPECT_EQ(RoomCards(), "NULL");
  ASSERT_EQ(Issue(card_no), 0);
  EXPECT_EQ(card_no, "000001");
}

TEST_F(Faults, AnAdvisoryLockThatCannotBeGivenBackGoesWithItsConnection) {
  if (hotel_->connection().Dialect() != SqlDialect::kPostgres) GTEST_SKIP() << "PostgreSQL only";
  // A desk whose role may take the turn but not give it back.
  std::ifstream in(hotel_->database_path());
  std::string dsn((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto uid = dsn.find("UID=");
  ASSERT_NE(uid, std::string::npos);
  dsn.replace(uid, dsn.find('\n', uid) - uid, "UID=holvanter_desk");
  const std::string desk_dsn = hotel_->folder() + "/desk.dsn";
  std::ofstream(desk_dsn) << dsn;
  TestHotel::WriteSettings("[Setting]\nDataBase=" + desk_dsn + "\n");
  const char* setup[] = {
      "CREATE ROLE holvanter_desk LOGIN",
      "GRANT SELECT, INSERT, UPDATE ON SpecRecord, CardRecord, RoomList TO holvanter_desk",
      "REVOKE EXECUTE ON FUNCTION pg_catalog.pg_advisory_unlock(bigint) FROM PUBLIC",
  };
  for (const char* statement : setup) hotel_->Execute(statement);

  std::string card_no;
  EXPECT_EQ(Issue(card_no), 0);
  // The call's connection, closed when the call ended, holds no turn (the
  // server ends the session a moment later), and its session is not kept
  // for the next call.
  std::string held, desk_sessions;
  for (int i = 0; i < 50 && (held != "0" || desk_sessions != "0"); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held = hotel_->Value("SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory'");
    desk_sessions = hotel_->Value(
        "SELECT COUNT(*) FROM pg_stat_activity WHERE usename = 'holvanter_desk'");
  }
  // The next call of the process finds the turn free at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Issue(card_no), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  const char* teardown[] = {
      "GRANT EXECUTE ON FUNCTION pg_catalog.pg_advisory_unlock(bigint) TO PUBLIC",
      "REVOKE ALL ON SpecRecord, CardRecord, RoomList FROM holvanter_desk",
      "DROP ROLE holvanter_desk",
  };
  for (const char* statement : teardown) hotel_->Execute(statement);
  EXPECT_EQ(held, "0");
  EXPECT_EQ(desk_sessions, "0");
  EXPECT_EQ(Cards(), "2");
}

TEST_F(Faults, ADeskKilledHoldingTheNumberingTurnGivesItUp) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t desk = fork();
  ASSERT_NE(desk, -1);
  if (desk == 0) {
    try {
      std::unique_ptr<Connection> connection;
      if (OpenDatabase(*Env::Default(), hotel_->database_path(), connection)) {
        auto turn = Ok(connection->TakeNumberingTurn());
        if (write(ready[1], "t", 1) == 1) pause();
      }
    } catch (...) {
    }
    _exit(1);
  }
  close(ready[1]);
  char taken = 0;
  ASSERT_EQ(read(ready[0], &taken, 1), 1) << "the desk process did not take the turn";
  close(ready[0]);
  kill(desk, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(desk, &status, 0), desk);

  std::string card_no;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Issue(card_no), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kCommandTimeoutSeconds));
  EXPECT_EQ(card_no, "000001");
}

// The services of the Env the card methods ran on, except that the system
// no longer finds the database file, or finds it and cannot read it.
class DatabaseFileFault : public EnvWrapper {
 public:
  enum class Fault { kNotFound, kUnreadable };
  DatabaseFileFault(std::string database, Fault fault)
      : EnvWrapper(&ComponentEnv()), database_(std::move(database)), fault_(fault) {}
  bool FileExists(const std::string& path) override {
    if (fault_ == Fault::kNotFound && path == database_) return false;
    return EnvWrapper::FileExists(path);
  }
  bool ReadFilePrefix(const std::string& path, std::size_t max_bytes,
                      std::string* contents) override {
    if (fault_ == Fault::kUnreadable && path == database_) {
      contents->clear();
      return false;
    }
    return EnvWrapper::ReadFilePrefix(path, max_bytes, contents);
  }

 private:
  std::string database_;
  Fault fault_;
};

// The settings file is read, its database file is not there for the system,
// or not readable: the issue ends before any database work, with the result
// code of that step and a reason that names the file.
TEST_F(Faults, ADatabaseFileTheSystemCannotFindOrReadEndsTheIssueSayingWhy) {
  const std::string database = hotel_->database_path();
  const struct {
    const char* what;
    DatabaseFileFault::Fault fault;
    int16_t code;
    std::string reason;
  } cases[] = {
      {"not found", DatabaseFileFault::Fault::kNotFound, -820,
       "names DataBase=\"" + database + "\", where no file is"},
      {"unreadable", DatabaseFileFault::Fault::kUnreadable, -840,
       "the file " + database + " is neither an SQLite nor an Access database"},
  };
  for (const auto& c : cases) {
    DatabaseFileFault env(database, c.fault);
    test_support::ScopedComponentEnv installed(env);
    TavoCard card;
    card.OpenPort(0);
    std::string card_no = "untouched";
    EXPECT_EQ(card.WriteCard(0, "200710201230", "200710221200", card_no, 1, 2, "0203", "Li Wei"),
              c.code)
        << c.what;
    EXPECT_NE(card.LastFailureReason().find(c.reason), std::string::npos)
        << c.what << ": " << card.LastFailureReason();
    EXPECT_EQ(card_no, "untouched") << c.what;
    EXPECT_EQ(Cards(), "0") << c.what;
    EXPECT_EQ(RoomCards(), "NULL") << c.what;
  }
  // The same hotel, seen by the system again, issues.
  std::string card_no;
  EXPECT_EQ(Issue(card_no), 0);
  EXPECT_EQ(card_no, "000001");
}

TEST_F(Faults, AReadOnlyDatabaseFileOrFolderRefusesTheIssueAndKeepsTheHotelWhole) {
  if (OnDataSource()) GTEST_SKIP() << "a file database of the desk's own";
  struct Case {
    const char* what;
    fs::perms folder;
    fs::perms file;
    bool lock_file_in_place;
    const char* failure;  // what the refusal says
  };
  const Case cases[] = {
      {"read-only file", fs::perms::all, fs::perms(0444), false, "read-only"},
      {"read-only folder", fs::perms(0555), fs::perms(0644), false, "cannot be locked"},
      {"read-only folder, lock file in place", fs::perms(0555), fs::perms(0644), true,
       "readonly database"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string folder = hotel_->folder() + "/ro" + std::to_string(n++);
    fs::create_directory(folder);
    const std::string path = MoveHotelTo(folder);
    if (c.lock_file_in_place) std::ofstream(path + ".lock");
    fs::permissions(path, c.file);
    fs::permissions(folder, c.folder);

    std::string card_no = "untouched";
    int16_t result = 1;
    std::string why;
    UnderFilePermissions([&] {
      why = FailureOf([&] { result = Issue(card_no); }).message;
      if (result == -840) why = ThisThreadState().failure_reason;
    });
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_NE(result, 0) << c.what;
    EXPECT_NE(why.find(c.failure), std::string::npos) << c.what << ": " << why;
    // Refused at the open or the turn, CardNo is untouched; refused at the
    // first write, it has the number the card would have had.
    EXPECT_EQ(card_no, c.lock_file_in_place ? "000001" : "untouched") << c.what;
    ExpectWholeAndUnchanged(path, c.what);
  }
}

TEST_F(Faults, AFullDiskRefusesTheIssueAndKeepsTheHotelWhole) {
  if (OnDataSource()) GTEST_SKIP() << "a file database of the desk's own";
  const std::string folder = hotel_->folder() + "/small";
  fs::create_directory(folder);
  // A small file system of its own where the machine allows one; else the
  // same write failure, from a file size limit of the process.
  const bool mounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k") == 0;
  const std::string path = MoveHotelTo(folder);
  const std::string filler = folder + "/filler";
  rlimit unlimited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  if (mounted) {
    std::ofstream fill(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  } else {
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = unlimited;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
  }

  std::string card_no;
  const Failure failure = FailureOf([&] { Issue(card_no); });
  if (!mounted) setrlimit(RLIMIT_FSIZE, &unlimited);
  EXPECT_EQ(failure.hresult, kErrDatabase);
  EXPECT_NE(failure.message.find(mounted ? "disk is full" : "I/O error"), std::string::npos)
      << failure.message;
  ExpectWholeAndUnchanged(path, "disk full");

  // With room again, the next issue records the card.
  fs::remove(filler);
  EXPECT_EQ(Issue(card_no), 0);
  EXPECT_EQ(ValueIn(path, "SELECT COUNT(*) FROM CardRecord"), "1");
  if (mounted) umount2(folder.c_str(), MNT_DETACH);
}

// The database server's script: stop (fast shutdown), kill (immediate, as a
// crash), start. Started again at the end of the test whatever happened.
class Server {
 public:
  explicit Server(const char* script) : script_(script) {}
  ~Server() {
    if (down_) Run("start");
  }
  bool Run(const std::string& action) {
    const bool done = std::system((script_ + " " + action + " >/dev/null 2>&1").c_str()) == 0;
    if (done) down_ = action != "start";
    return done;
  }

 private:
  std::string script_;
  bool down_ = false;
};

TEST_F(Faults, AServerStoppedOrKilledMidIssueIsBackWithoutRestartingTheHost) {
  const char* script = std::getenv("HOLVANTER_TEST_SERVER");
  if (script == nullptr || *script == '\0' ||
      hotel_->connection().Dialect() != SqlDialect::kPostgres)
    GTEST_SKIP() << "needs a PostgreSQL server that the test may stop (HOLVANTER_TEST_SERVER)";
  Server server(script);
  std::string card_no;
  ASSERT_EQ(Issue(card_no), 0);

  // Restarted, or killed and started, between two issues: the session kept
  // from the last one is dead. The next issue finds it so before any card
  // statement and opens a new one.
  for (const char* end : {"stop", "kill"}) {
    ASSERT_TRUE(server.Run(end));
    ASSERT_TRUE(server.Run("start"));
    std::string restarted_no = "untouched";
    EXPECT_EQ(Issue(restarted_no), 0) << "after " << end << " and start: "
                                      << ThisThreadState().failure_reason;
    EXPECT_EQ(restarted_no, "000002");
    hotel_->Reconnect();
    ASSERT_EQ(Cards(), "2");
    // Back to one card, for what follows.
    hotel_->Execute("DELETE FROM CardRecord WHERE CardNo <> '00000001'");
    hotel_->Execute("UPDATE RoomList SET CardQTY = 1 WHERE BuildNo = 1 AND FloorNo = 2 AND "
                    "RoomNo = '0203'");
  }

  // Stopped between two issues: the database does not open, CardNo stays.
  ASSERT_TRUE(server.Run("stop"));
  std::string untouched = "untouched";
  EXPECT_EQ(Issue(untouched), -840);
  EXPECT_EQ(untouched, "untouched");
  EXPECT_FALSE(ThisThreadState().failure_reason.empty());
  ASSERT_TRUE(server.Run("start"));
  hotel_->Reconnect();
  ASSERT_EQ(Issue(card_no), 0);
  EXPECT_EQ(card_no, "000002");

  // Killed while an issue runs: the fixture's desk holds CardRecord against
  // inserts (reads pass), so the issue commits its RoomList statement and
  // waits at its insert; then the server dies.
  Connection& desk = hotel_->connection();
  Ok(desk.BeginTrans());
  Ok(desk.Execute("LOCK TABLE CardRecord IN EXCLUSIVE MODE"));
  Failure failure;
  std::string killed_no = "untouched";
  std::thread host([&] { failure = FailureOf([&] { Issue(killed_no); }); });
  bool waiting = false;
  for (int i = 0; i < 160 && !waiting; ++i) {
    waiting = hotel_->Value("SELECT COUNT(*) FROM pg_locks WHERE NOT granted") != "0";
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(waiting) << "the issue never waited at its insert";
  EXPECT_TRUE(server.Run("kill"));
  host.join();
  EXPECT_EQ(failure.hresult, kErrDatabase);
  // Named as a lost connection, which may pass (the key link says RY), with
  // the server's words after it.
  EXPECT_EQ(failure.message.rfind(kDatabaseConnectionLost, 0), 0u) << failure.message;
  EXPECT_GT(failure.message.size(), std::string(kDatabaseConnectionLost).size() + 2);
  EXPECT_EQ(killed_no, "000003");  // handed over before the statements ran
  ASSERT_TRUE(server.Run("start"));
  hotel_->Reconnect();
  EXPECT_EQ(RoomCards(), "3");  // its RoomList statement had committed
  EXPECT_EQ(Cards(), "2");

  // The host goes on: the next card takes the number never recorded.
  ASSERT_EQ(Issue(card_no), 0);
  EXPECT_EQ(card_no, "000003");
  EXPECT_EQ(hotel_->Value("SELECT COUNT(DISTINCT CardNo) FROM CardRecord"), "3");
}

}  // namespace
}  // namespace holvanter
