// The hosts' state files, each through the call that uses it: a link at its
// path is never followed, what is made is its owner's alone, one that
// others may reach is refused or narrowed as its secret warrants, a torn
// journal line stays apart, and a damaged registry still lets IT cut a
// desk off.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "hosts/agent/token.h"
#include "hosts/desks/registry.h"
#include "hosts/fias/authkey.h"
#include "hosts/fias/journal.h"
#include "platform/private_file.h"
#include "tests/platform/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

using StateFiles = ScratchFolder;

// Runs `use`; true when it did its work, false when it refused (threw, or
// said why in the text it returns).
bool Works(const std::function<std::string()>& use) {
  try {
    return use().empty();
  } catch (const std::exception&) {
    return false;
  }
}

// Why `use` refused: what it threw, or the text it returned.
std::string Why(const std::function<std::string()>& use) {
  try {
    return use();
  } catch (const std::exception& e) {
    return e.what();
  }
}

struct StateFile {
  const char* what;
  const char* name;
  std::string good;                    // a text the file may hold
  bool others_refused;                 // else narrowed
  std::function<std::string(const std::string& path)> read, make;
};

std::vector<StateFile> Files() {
  const std::string secret = "desk\tFRONT\t" + std::string(64, 'a') + "\t5\n";
  return {
      {"token", "agent-token", std::string(32, '7') + "\n", false,
       [](const std::string& path) {
         const auto token = agent::LoadOrCreateToken(path);
         return !token.ok() ? token.status().message() : token.value().value.size() == 32 ? "" : "?";
       },
       [](const std::string& path) {
         const auto token = agent::LoadOrCreateToken(path);
         return !token.ok() ? token.status().message() : token.value().made ? "" : "?";
       }},
      {"desks registry", "desks", secret, true,
       [](const std::string& path) {
         const auto listed = desks::DeskRegistry(path).List();
         return !listed.ok() ? listed.status().message() : listed.value().size() == 1 ? "" : "?";
       },
       [](const std::string& path) {
         return desks::DeskRegistry(path).Pair("FRONT", 100).status().message();
       }},
      {"desk secret", "desk-secret", "FRONT\t" + std::string(64, 'b') + "\n", true,
       [](const std::string& path) {
         const auto read = desks::ReadDeskSecret(path);
         return !read.ok() ? read.status().message() : read.value() ? "" : "?";
       },
       [](const std::string& path) {
         return desks::WriteDeskSecret(path, {"FRONT", {}}).message();
       }},
      {"key file", "fias-authkey", fias::HandOverText(fias::RandomKey().value()) + "\n", true,
       [](const std::string& path) { return fias::ReadKeyFile(path).status().message(); },
       [](const std::string& path) { return fias::CreateKeyFile(path).status().message(); }},
      {"journal", "fias-journal", "unanswered\t00000001\n", false,
       [](const std::string& path) {
         fias::Journal journal(path);
         return journal.Unanswered("00000002");
       },
       [](const std::string& path) {
         fias::Journal journal(path);
         return journal.Cut({"00000003", "G1", "3", "261208093000"});
       }},
  };
}

TEST_F(StateFiles, MadeOwnerOnlyInOwnerOnlyFolders) {
  for (const StateFile& file : Files()) {
    SCOPED_TRACE(file.what);
    const std::string path = Path(std::string("new-") + file.name + "/state/" + file.name);
    ASSERT_TRUE(Works([&] { return file.make(path); }));
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(Mode(fs::path(path).parent_path().string()), 0700u);
    EXPECT_EQ(Mode(fs::path(path).parent_path().parent_path().string()), 0700u);
    EXPECT_TRUE(Works([&] { return file.read(path); }));
  }
  // The registry's lock beside it, made by the registry's change.
  EXPECT_EQ(Mode(Path("new-desks/state/desks.lock")), 0600u);
}

TEST_F(StateFiles, ALinkAtThePathIsNeverFollowed) {
  for (const StateFile& file : Files()) {
    SCOPED_TRACE(file.what);
    // What a stranger with write access to the folder plants: a link to a
    // file of theirs (read as ours, written or narrowed through).
    const std::string target = Path(std::string("planted-") + file.name);
    Write(target, file.good, 0644);
    const std::string path = Path(file.name);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_FALSE(Works([&] { return file.read(path); })) << "read through the link";
    Works([&] { return file.make(path); });  // refused, or the link replaced by a file
    EXPECT_EQ(Text(target), file.good);
    EXPECT_EQ(Mode(target), 0644u);
    fs::remove(path);
  }
  // The registry's lock, planted as a link: no change goes through it.
  const std::string target = Path("planted-lock");
  Write(target, "", 0644);
  ASSERT_EQ(symlink(target.c_str(), Path("other.lock").c_str()), 0);
  EXPECT_FALSE(Works([&] {
    return desks::DeskRegistry(Path("other")).Pair("FRONT", 100).status().message();
  }));
  EXPECT_EQ(Mode(target), 0644u);
  EXPECT_FALSE(fs::exists(Path("other")));
}

TEST_F(StateFiles, OpenToOthersIsRefusedWithTheChmodOrNarrowed) {
  for (const StateFile& file : Files()) {
    SCOPED_TRACE(file.what);
    const std::string path = Path(file.name);
    Write(path, file.good, 0644);
    if (file.others_refused) {
      const std::string why = Why([&] { return file.read(path); });
      EXPECT_NE(why.find("chmod 600 " + path), std::string::npos) << why;
      EXPECT_EQ(Mode(path), 0644u);
      chmod(path.c_str(), 0600);
    }
    EXPECT_TRUE(Works([&] { return file.read(path); }));
    EXPECT_EQ(Mode(path), 0600u);
  }
}

// A state file that is there but holds what is none is refused with what
// mends it, and left as it was.
TEST_F(StateFiles, AFileThatHoldsNoneIsRefusedAndKept) {
  const struct {
    const char* name;
    std::string text;
    std::function<std::string(const std::string& path)> read;
    const char* why;
  } cases[] = {
      {"agent-token", std::string(31, '7') + "\n",
       [](const std::string& path) { return agent::LoadOrCreateToken(path).status().message(); },
       "holds no token of 32 figures; remove it to make a new one"},
      {"fias-authkey", "FidCrypt0S|" + std::string(24, 'A') + "\n",
       [](const std::string& path) { return fias::ReadKeyFile(path).status().message(); },
       "is 18 bytes long, not 16"},
      {"desk-secret", "FRONT\n",
       [](const std::string& path) { return desks::ReadDeskSecret(path).status().message(); },
       "is not one of ours: not one line of a desk name and its secret"},
      {"desks", "desk\tFRONT\tx\t5\n",
       [](const std::string& path) { return desks::DeskRegistry(path).List().status().message(); },
       ", line 1: the secret is not a digest"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(c.name);
    Write(path, c.text, 0600);
    const std::string why = c.read(path);
    EXPECT_NE(why.find(path), std::string::npos) << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(Text(path), c.text);
  }
}

TEST_F(StateFiles, AFolderOrAPipeAtThePathIsRefused) {
  for (const StateFile& file : Files()) {
    SCOPED_TRACE(file.what);
    const std::string path = Path(file.name);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(Works([&] { return file.read(path); }));  // and does not hang
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(Works([&] { return file.read(path); }));
    fs::remove(path);
  }
}

TEST_F(StateFiles, ATornJournalLineStaysApartFromTheNextEntry) {
  const std::string path = Path("fias-journal");
  // The write of the second cut died after "0000".
  Write(path, "cut\t00000001\tG1\t3\t261208093000\nunanswered\t0000", 0600);
  fias::Journal journal(path);
  EXPECT_TRUE(journal.Unreported().empty()) << "a torn line read as an entry";
  EXPECT_EQ(journal.Unanswered("00000001"), "");
  EXPECT_EQ(Text(path),
            "cut\t00000001\tG1\t3\t261208093000\ntorn\tunanswered 0000\nunanswered\t00000001\n");
  ASSERT_EQ(journal.Unreported().size(), 1u);
  EXPECT_EQ(journal.Unreported()[0].reservation, "G1");
  // A journal that is all one torn line.
  const std::string lone = Path("lone-journal");
  Write(lone, "cut\t0000", 0600);
  fias::Journal second(lone);
  EXPECT_EQ(second.Reported("00000009"), "");
  EXPECT_EQ(Text(lone), "torn\tcut 0000\nreported\t00000009\n");
}

TEST_F(StateFiles, DamagedRegistryLinesAreSetAsideWhenITRemovesOrPairs) {
  const std::string path = Path("desks");
  const std::string good = "desk\tFRONT\t" + std::string(64, 'a') + "\t5\n" +
                           "desk\tBACK\t" + std::string(64, 'b') + "\t6\n";
  Write(path, "desk\tFRONT\t" + std::string(64, 'a') + "\t5\ngarbage line\n" +
                  "desk\tBACK\t" + std::string(64, 'b') + "\t6\ndesk\tBACK\t" +
                  std::string(64, 'c') + "\t7\n",
        0600);
  desks::DeskRegistry registry(path);
  EXPECT_FALSE(registry.List().ok());  // the agent reads strictly
  EXPECT_FALSE(registry.Remove("FRONT").ok());
  std::string note;
  EXPECT_EQ(registry.Remove("FRONT", &note), true);
  EXPECT_NE(note.find("2 lines"), std::string::npos) << note;
  EXPECT_NE(note.find(path + ".bad"), std::string::npos) << note;
  EXPECT_EQ(Text(path + ".bad"), "garbage line\ndesk\tBACK\t" + std::string(64, 'c') + "\t7\n");
  EXPECT_EQ(Mode(path + ".bad"), 0600u);
  ASSERT_EQ(registry.List().value().size(), 1u);
  EXPECT_EQ(registry.List().value()[0].name, "BACK");
  EXPECT_EQ(registry.SecretOf("BACK").value(), desks::DigestFromHex(std::string(64, 'b')));
  // Pair mends as well.
  Write(path, good + "code\tX\n", 0600);
  note.clear();
  ASSERT_TRUE(registry.Pair("NEW", 100, &note).ok());
  EXPECT_NE(note.find("1 line"), std::string::npos) << note;
  EXPECT_EQ(registry.List().value().size(), 3u);
  (void)good;
}

}  // namespace
