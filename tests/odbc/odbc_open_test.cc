// Which database files open through ODBC, and with which connection string.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "store/odbc_connection.h"
#include "store/odbc_open.h"
#include "store/open_database.h"
#include "store/store_test_util.h"

namespace holvanter {
namespace {

namespace fs = std::filesystem;
using store_test::ReadFile;
using store_test::ScratchFolder;
using store_test::WriteFile;

// Writes a file in the folder and answers its path.
std::string Put(const ScratchFolder& folder, const std::string& name, const std::string& bytes) {
  const std::string path = folder.File(name);
  WriteFile(path, bytes);
  return path;
}

// The first page of an Access file: a version word, then the format name.
std::string AccessFile(const std::string& format_name) {
  std::string bytes("\x00\x01\x00\x00", 4);
  bytes += format_name;
  bytes += std::string(1, '\0');
  bytes += std::string(2048 - bytes.size(), '\x5A');
  return bytes;
}

TEST(OdbcOpen, AccessFilesOpenWithExactlyTheHotelConnectionString) {
  ScratchFolder folder;
  for (const char* format : {"Standard Jet DB", "Standard ACE DB"}) {
    SCOPED_TRACE(format);
    const std::string path = Put(folder, "酒店 数据/lock;house.mdb", AccessFile(format));
    const std::optional<OdbcTarget> target = PlanOdbcOpen(*Env::Default(), path);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->connection_string,
              "DRIVER=Microsoft Access Driver (*.mdb);DBQ=" + path + ";pwd=lockhousepw");
    EXPECT_EQ(target->numbering_lock_path, path + ".lock");
  }
}

TEST(OdbcOpen, WithoutTheDriverAnOpenFailsCleanlyAndChangesNothing) {
  ScratchFolder folder;
  const std::string bytes = AccessFile("Standard Jet DB");
  const std::string path = Put(folder, "酒店/hotel.mdb", bytes);

  EXPECT_EQ(OpenOdbcDatabase(*Env::Default(), path), nullptr);
  std::unique_ptr<Connection> connection;
  std::string why;
  EXPECT_FALSE(OpenDatabase(*Env::Default(), path, connection, &why));
  EXPECT_EQ(connection, nullptr);
  // The driver manager's own words, kept for the host.
  EXPECT_NE(why.find("Microsoft Access Driver"), std::string::npos) << why;

  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_FALSE(fs::exists(path + ".lock"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path() + "/酒店"), fs::directory_iterator{}),
            1);

  // A data source whose driver is not registered fails the same way.
  const std::string dsn =
      Put(folder, "desk.dsn", "[ODBC]\nDRIVER=Holvanter No Such Driver\nDatabase=hotel\n");
  EXPECT_EQ(OpenOdbcDatabase(*Env::Default(), dsn), nullptr);
  EXPECT_FALSE(OpenDatabase(*Env::Default(), dsn, connection, &why));
  EXPECT_NE(why.find("Holvanter No Such Driver"), std::string::npos) << why;
}

TEST(OdbcOpen, HeadersThatAreNotAccess) {
  EXPECT_FALSE(IsAccessHeader(""));
  EXPECT_FALSE(IsAccessHeader(std::string("\x00\x01\x00\x00Standard Jet D", 18)));
  EXPECT_FALSE(IsAccessHeader("Standard Jet DB at offset 0 is no Access file"));
  EXPECT_FALSE(IsAccessHeader(std::string("\x00\x01\x00\x00standard jet db", 19)));
  EXPECT_FALSE(IsAccessHeader(std::string("SQLite format 3\0", 16)));
  EXPECT_TRUE(IsAccessHeader(std::string("\x00\x01\x00\x00Standard ACE DB", 19)));
}

TEST(OdbcOpen, FileDataSourcesBecomeConnectionStrings) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"keywords in file order",
       "[ODBC]\nDRIVER=PostgreSQL Unicode\nServername=127.0.0.1\nPort=5432\nDatabase=hotel\n",
       "DRIVER=PostgreSQL Unicode;Servername=127.0.0.1;Port=5432;Database=hotel"},
      {"Windows line ends, a BOM, comments, blanks around names and values",
       "\xEF\xBB\xBF; front desk 2\r\n[odbc]\r\n  driver = MariaDB Unicode \r\n;Database=old\r\n"
       "Database = 酒店 \r\n",
       "driver=MariaDB Unicode;Database=酒店"},
      {"an SQLite driver gets its busy time-out and an ASCII database name",
       "\xEF\xBB\xBF[odbc]\r\n  driver = SQLite3 \r\nDatabase = /srv/酒店/hotel.db\r\n",
       "driver=SQLite3;Database=file:/srv/%E9%85%92%E5%BA%97/hotel.db;Timeout=5000"},
      {"only the [ODBC] section counts",
       "[Other]\nUID=x\n[ODBC]\nDRIVER=MariaDB Unicode\n[More]\nPWD=y\n",
       "DRIVER=MariaDB Unicode"},
      {"values with ; and braces are braced, a braced driver kept",
       "[ODBC]\nDRIVER={Microsoft Access Driver (*.mdb)}\nDBQ=C:\\酒店\\a;b.mdb\nPWD=p}w{d\n",
       "DRIVER={Microsoft Access Driver (*.mdb)};DBQ={C:\\酒店\\a;b.mdb};PWD={p}}w{d}"},
      {"a value that only looks braced is braced again, so it adds no keyword",
       "[ODBC]\nDRIVER=MariaDB Unicode\nPWD={a};UID=admin;{b}\nUID={c}d}\n",
       "DRIVER=MariaDB Unicode;PWD={{a}};UID=admin;{b}}};UID={{c}}d}}}"},
      {"a keyword name holding ';' would split into other keywords",
       "[ODBC]\nDRIVER=MariaDB Unicode\nPWD;UID=admin\n", std::nullopt},
      {"a line without a keyword name", "[ODBC]\nDRIVER=MariaDB Unicode\n=x\n", std::nullopt},
      {"quoted values lose their quotes",
       "[ODBC]\nDRIVER=\"MariaDB Unicode\"\nDatabase='a b'\n",
       "DRIVER=MariaDB Unicode;Database=a b"},
      {"a repeated keyword: the first wins",
       "[ODBC]\nDRIVER=MariaDB Unicode\nDatabase=a\ndatabase=b\n",
       "DRIVER=MariaDB Unicode;Database=a"},
      {"no DRIVER", "[ODBC]\nDSN=hotel\nUID=desk\n", std::nullopt},
      {"an empty DRIVER", "[ODBC]\nDRIVER=\n", std::nullopt},
      {"no [ODBC] section", "[Setting]\nDataBase=/srv/hotel.mdb\n", std::nullopt},
      {"not a settings file", "DRIVER=MariaDB Unicode\n", std::nullopt},
  };
  // Each through the path a connection takes: the data source as a file.
  ScratchFolder folder;
  const std::string dsn = folder.path() + "/desk.dsn";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(folder, "desk.dsn", c.text);
    const std::optional<OdbcTarget> target = PlanOdbcOpen(*Env::Default(), dsn);
    ASSERT_EQ(target.has_value(), c.expected.has_value());
    if (target) {
      EXPECT_EQ(target->connection_string, *c.expected);
    }
  }
}

TEST(OdbcOpen, NumberingTakesTurnsBesideTheDatabaseFile) {
  ScratchFolder folder;
  const std::string existing = Put(folder, "hotel.db", "x");
  struct Case {
    const char* name;
    std::string text;
    std::string expected_lock;
  };
  const std::string dsn = folder.path() + "/desk.dsn";
  const Case cases[] = {
      {"SQLite: its database file, also before it exists",
       "[ODBC]\nDRIVER=SQLite3\nDatabase=" + folder.path() + "/new.db\n",
       folder.path() + "/new.db.lock"},
      {"Access through a data source: its DBQ",
       "[ODBC]\nDRIVER=Microsoft Access Driver (*.mdb)\nDBQ=" + folder.path() + "/h.mdb\n",
       folder.path() + "/h.mdb.lock"},
      {"another driver naming an existing file", "[ODBC]\nDRIVER=X\nDatabase=" + existing + "\n",
       existing + ".lock"},
      {"a server database: beside the data source", "[ODBC]\nDRIVER=X\nDatabase=hotel\n",
       dsn + ".lock"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(folder, "desk.dsn", c.text);
    const std::optional<OdbcTarget> target = PlanOdbcOpen(*Env::Default(), dsn);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->numbering_lock_path, c.expected_lock);
  }
}

// The SQLite driver gets half the time limit (it waits twice for a write)
// and its database name in ASCII, which any driver manager passes whole.
TEST(OdbcOpen, SqliteDataSourcesGetTheirBusyTimeoutAndAnAsciiDatabaseName) {
  ScratchFolder folder;
  const std::pair<std::string, std::string> cases[] = {
      {"Database=/srv/hotel.db", "Database=/srv/hotel.db;Timeout=5000"},
      {"Database=/srv/酒店/a%b#1?.db",
       "Database=file:/srv/%E9%85%92%E5%BA%97/a%25b%231%3F.db;Timeout=5000"},
      {"Database=C:\\酒店\\hotel.db\nTimeout=700", "Database=C:\\酒店\\hotel.db;Timeout=700"},
  };
  const std::string dsn = folder.path() + "/desk.dsn";
  for (const auto& [keywords, expected] : cases) {
    Put(folder, "desk.dsn", "[ODBC]\nDRIVER=SQLite3\n" + keywords + "\n");
    EXPECT_EQ(PlanOdbcOpen(*Env::Default(), dsn)->connection_string, "DRIVER=SQLite3;" + expected);
  }

  // The real driver opens the database in a Chinese folder by that name;
  // the lock file keeps the plain path.
  const std::string database = folder.path() + "/酒店/hotel.db";
  fs::create_directories(folder.path() + "/酒店");
  store_test::CreateSqliteFile(database);
  Put(folder, "desk.dsn", "[ODBC]\nDRIVER=SQLite3\nDatabase=" + database + "\n");
  EXPECT_EQ(PlanOdbcOpen(*Env::Default(), dsn)->numbering_lock_path, database + ".lock");
  std::string why;
  std::unique_ptr<Connection> connection = OpenOdbcDatabase(*Env::Default(), dsn, &why);
  ASSERT_NE(connection, nullptr) << why;
  EXPECT_EQ(Ok(connection->Query("SELECT 7 AS n")).Field("n"), "7");
}

TEST(OdbcOpen, OtherFilesDoNotOpenThroughOdbc) {
  ScratchFolder folder;
  const std::string cases[] = {
      "",
      "just some text\n",
      std::string("SQLite format 3\0", 16) + std::string(100, '\0'),
      "[ODBC]\nDRIVER=SQLite3\n" + std::string(70000, ';'),  // too long to be a data source
      std::string("[ODBC]\nDRIVER=SQLite3\n\0", 23),
  };
  int i = 0;
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(i);
    const std::string path = Put(folder, "f" + std::to_string(i++), bytes);
    EXPECT_FALSE(PlanOdbcOpen(*Env::Default(), path).has_value());
    EXPECT_EQ(OpenOdbcDatabase(*Env::Default(), path), nullptr);
  }
  EXPECT_FALSE(PlanOdbcOpen(*Env::Default(), folder.path() + "/missing.dsn").has_value());
}

TEST(OdbcOpen, DialectFollowsTheDatabaseTheDriverNamesAndOtherProductsAreRefused) {
  const std::pair<const char*, std::optional<SqlDialect>> cases[] = {
      {"ACCESS", SqlDialect::kAccess},
      {"PostgreSQL", SqlDialect::kPostgres},
      {"SQLite", SqlDialect::kSqlite},
      {"sqlite3", SqlDialect::kSqlite},
      {"Microsoft SQL Server", std::nullopt},
      {"MariaDB", SqlDialect::kMariaDb},
      {"MySQL", SqlDialect::kMariaDb},
      {"", std::nullopt},
  };
  for (const auto& [name, dialect] : cases) EXPECT_EQ(DialectOfDbms(name), dialect) << name;
}

}  // namespace
}  // namespace holvanter
