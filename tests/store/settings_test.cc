// The settings file beside the component, the database path it names, and
// the reader of initialisation files behind it. The Access connection string
// and the section reading of data sources are checked with the ODBC tests.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/env.h"
#include "platform/profile_reader.h"
#include "store/settings.h"
#include "store/store_test_util.h"
#include "support/component_env.h"

namespace holvanter {
namespace {

using store_test::ScratchFolder;
using store_test::WriteFile;

// Tavoper.ini beside a component folder of the test's own.
class ReadDatabasePathTest : public ::testing::Test {
 protected:
  void WriteSettings(const std::string& content) { WriteFile(settings_file_, content); }

  ScratchFolder folder_;
  const std::string settings_file_ = folder_.File("component/Tavoper.ini");
  test_support::ComponentFolderEnv env_{folder_.path() + "/component"};
};

TEST_F(ReadDatabasePathTest, MissingSettingsFileIsMinus800AndLeavesThePath) {
  std::string path = "earlier";
  EXPECT_EQ(ReadDatabasePath(env_, path), -800);
  EXPECT_EQ(path, "earlier");
}

TEST_F(ReadDatabasePathTest, SettingsThatNameNoExistingFileAreMinus820) {
  const std::string database = folder_.File("hotel.db");
  WriteFile(database, "x");
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"missing database file", "[Setting]\nDataBase=" + folder_.File("gone.db") + "\n"},
      {"no DataBase key", "[Setting]\nOther=" + database + "\n"},
      {"key in another section", "[Other]\nDataBase=" + database + "\n"},
      {"empty value", "[Setting]\nDataBase=\n"},
      {"empty file", ""},
      {"a folder, not a file", "[Setting]\nDataBase=" + folder_.path() + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteSettings(c.content);
    std::string path = "earlier";
    EXPECT_EQ(ReadDatabasePath(env_, path), -820);
    EXPECT_NE(path, "earlier");  // emptied and refilled before the test
  }
}

TEST_F(ReadDatabasePathTest, ReadsThePathAfreshEachTime) {
  const std::string first = folder_.File("first.db");
  const std::string second = folder_.File("second.db");
  WriteFile(first, "x");
  WriteFile(second, "x");
  std::string path;
  WriteSettings("[Setting]\r\nDataBase=" + first + "\r\n");
  ASSERT_EQ(ReadDatabasePath(env_, path), 0);
  EXPECT_EQ(path, first);
  WriteSettings("; front desk\r\n[ setting ]\r\n  database  =  \"" + second + "\"  \r\n");
  ASSERT_EQ(ReadDatabasePath(env_, path), 0);
  EXPECT_EQ(path, second);
}

TEST_F(ReadDatabasePathTest, ChineseFolderNamesAreReadExactly) {
  const std::string folder = folder_.File("酒店数据");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string database = folder + "/宾馆.mdb";
  WriteFile(database, "x");
  WriteSettings("[Setting]\nDataBase=" + database + "\n");
  std::string path;
  ASSERT_EQ(ReadDatabasePath(env_, path), 0);
  EXPECT_EQ(path, database);
}

TEST_F(ReadDatabasePathTest, ValuesLongerThan255BytesAreCutTo255) {
  // A file whose path is exactly the first 255 bytes of the value.
  std::string database = folder_.path() + "/";
  database += std::string(255 - database.size(), 'a');
  ASSERT_EQ(database.size(), 255u);
  WriteFile(database, "x");
  WriteSettings("[Setting]\nDataBase=" + database + "bbbbbbbbbb.mdb\n");
  std::string path;
  EXPECT_EQ(ReadDatabasePath(env_, path), 0);
  EXPECT_EQ(path, database);

  // Cut to 255 bytes, the value names a file that is not there.
  WriteSettings("[Setting]\nDataBase=" + database.substr(0, 250) + "bbbbbbbbbb.mdb\n");
  EXPECT_EQ(ReadDatabasePath(env_, path), -820);
  EXPECT_EQ(path.size(), 255u);
}

// Where the system's Env finds Tavoper.ini: beside the component unless
// HOLVANTER_SETTINGS_FOLDER names another folder (the cases set and unset it
// in turn: it is read afresh each time); a test's own component folder keeps
// its settings whatever the variable says.
TEST(SettingsFolder, BesideTheComponentUnlessTheEnvironmentNamesAnother) {
  ScratchFolder folder;
  Env& system = *Env::Default();
  EnvWrapper wrapped(&system);
  test_support::ComponentFolderEnv own(folder.path() + "/own");
  const std::string beside = system.ComponentFolder() + "/Tavoper.ini";
  const struct {
    const char* name;
    const char* variable;  // nullptr: unset
    Env& env;
    std::string expected;
  } cases[] = {
      {"unset", nullptr, system, beside},
      {"empty", "", system, beside},
      {"a folder", "/srv/holvanter test", system, "/srv/holvanter test/Tavoper.ini"},
      {"through a wrapper", "/srv/holvanter test", wrapped, "/srv/holvanter test/Tavoper.ini"},
      {"a test's own folder, unset", nullptr, own, folder.path() + "/own/Tavoper.ini"},
      {"a test's own folder, set", "/srv/holvanter test", own, folder.path() + "/own/Tavoper.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.variable != nullptr) {
      setenv("HOLVANTER_SETTINGS_FOLDER", c.variable, 1);
    } else {
      unsetenv("HOLVANTER_SETTINGS_FOLDER");
    }
    EXPECT_EQ(SettingsFilePath(c.env), c.expected);
  }

  // What the variable names is what the card methods read.
  const std::string database = folder.File("hotel.db");
  WriteFile(database, "x");
  WriteFile(folder.File("settings/Tavoper.ini"), "[Setting]\nDataBase=" + database + "\n");
  setenv("HOLVANTER_SETTINGS_FOLDER", (folder.path() + "/settings").c_str(), 1);
  std::string path;
  EXPECT_EQ(ReadDatabasePath(system, path), 0);
  EXPECT_EQ(path, database);
  unsetenv("HOLVANTER_SETTINGS_FOLDER");
}

struct ProfileCase {
  const char* name;
  std::string text;
  std::optional<std::string> expected;  // value of [Setting] DataBase
};

// How long a server session is kept: [Pool] IdleSeconds, 0 to 600; what is
// missing or out of range keeps the default.
TEST_F(ReadDatabasePathTest, IdleSessionSecondsComeFromThePoolSection) {
  EXPECT_EQ(ReadIdleSessionSeconds(env_), kDefaultIdleSeconds) << "no settings file";
  const struct {
    const char* settings;
    int seconds;
  } cases[] = {
      {"[Setting]\nDataBase=x\n", kDefaultIdleSeconds},
      {"[Pool]\nIdleSeconds=0\n", 0},
      {"[Pool]\nIdleSeconds=30\n", 30},
      {"[pool]\nidleseconds = 600\n", 600},
      {"[Pool]\nIdleSeconds=601\n", kDefaultIdleSeconds},
      {"[Pool]\nIdleSeconds=-1\n", kDefaultIdleSeconds},
      {"[Pool]\nIdleSeconds=5s\n", kDefaultIdleSeconds},
      {"[Pool]\nIdleSeconds=\n", kDefaultIdleSeconds},
      {"[Setting]\nIdleSeconds=0\n", kDefaultIdleSeconds},
  };
  for (const auto& c : cases) {
    WriteSettings(c.settings);
    EXPECT_EQ(ReadIdleSessionSeconds(env_), c.seconds) << c.settings;
  }
}

TEST(ProfileReader, FindsValuesTheWayWindowsDoes) {
  const ProfileCase cases[] = {
      {"plain", "[Setting]\nDataBase=C:\\a.mdb\n", "C:\\a.mdb"},
      {"names without regard to case", "[SETTING]\ndatabase=x\n", "x"},
      {"blanks around names and values", "  [  Setting  ]  \n\t DataBase \t=\t x y \t\n", "x y"},
      {"CRLF line ends", "[Setting]\r\nDataBase=x\r\n", "x"},
      {"no final line end", "[Setting]\nDataBase=x", "x"},
      {"double quotes dropped", "[Setting]\nDataBase=\" x \"\n", " x "},
      {"single quotes dropped", "[Setting]\nDataBase='x'\n", "x"},
      {"unmatched quotes stay", "[Setting]\nDataBase=\"x'\n", "\"x'"},
      {"a lone quote stays", "[Setting]\nDataBase=\"\n", "\""},
      {"quotes inside stay", "[Setting]\nDataBase=a\"b\"\n", "a\"b\""},
      {"first match wins", "[Setting]\nDataBase=one\nDataBase=two\n", "one"},
      {"equals sign inside the value", "[Setting]\nDataBase=a=b\n", "a=b"},
      {"semicolon inside the value stays", "[Setting]\nDataBase=x ; note\n", "x ; note"},
      {"comment lines skipped", "[Setting]\n;DataBase=old\nDataBase=new\n", "new"},
      {"empty value", "[Setting]\nDataBase=\n", ""},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[Setting]\nDataBase=x\n", "x"},
      {"key before any section", "DataBase=x\n[Setting]\n", std::nullopt},
      {"key in another section", "[Other]\nDataBase=x\n[Setting]\nKey=y\n", std::nullopt},
      {"section ends at the next one", "[Setting]\n[Other]\nDataBase=x\n", std::nullopt},
      {"line without equals sign", "[Setting]\nDataBase\n", std::nullopt},
      {"similar key", "[Setting]\nDataBases=x\nData Base=y\n", std::nullopt},
      {"empty text", "", std::nullopt},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindProfileValue(c.text, "Setting", "DataBase"), c.expected);
  }
}

}  // namespace
}  // namespace holvanter
