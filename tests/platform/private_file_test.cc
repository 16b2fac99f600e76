// The hosts' state files and locks on a real file system: what is made is
// its owner's alone, a link is never followed, a file of another user or
// one far too long is refused, a file others may reach is refused or
// narrowed as asked, a new file never replaces one, a replacement is whole,
// and an owner-only lock keeps a second holder out until the first ends.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/private_file.h"
#include "tests/platform/scratch_folder.h"

namespace holvanter {
namespace {

namespace fs = std::filesystem;

using PrivateFiles = ScratchFolder;

// The kind and message of the refusal of `read`, or kNotFound with "read"
// when it read.
std::pair<PrivateFileError::Kind, std::string> Refusal(const std::string& path,
                                                       std::size_t max_bytes,
                                                       OpenToOthers others) {
  try {
    ReadPrivateFile(path, "test file", max_bytes, others);
    return {PrivateFileError::kNotFound, "read"};
  } catch (const PrivateFileError& e) {
    return {e.kind(), e.what()};
  }
}

TEST_F(PrivateFiles, ReadRefusesWhatIsNotOursAlone) {
  const std::string target = Path("target");
  Write(target, "secret", 0600);
  ASSERT_EQ(symlink(target.c_str(), Path("link").c_str()), 0);
  Write(Path("long"), std::string(5000, 'x'), 0600);
  Write(Path("others"), "secret", 0640);
  Write(Path("stranger"), "secret", 0600);
  // A file of another user (nobody's): the tests run as root on CI, which
  // may give it away; elsewhere the case is left out.
  const bool stranger = chown(Path("stranger").c_str(), 65534, 65534) == 0;
  const struct {
    const char* name;
    PrivateFileError::Kind kind;
    const char* says;
  } cases[] = {
      {"link", PrivateFileError::kOther, "is a symbolic link; it is not followed"},
      {"long", PrivateFileError::kOther, "is far longer than it can be"},
      {"others", PrivateFileError::kOpenToOthers, "(mode 0640); make it its owner's alone with chmod 600"},
      {"stranger", PrivateFileError::kOther, "belongs to another user (uid 65534)"},
  };
  for (const auto& c : cases) {
    if (std::string(c.name) == "stranger" && !stranger) continue;
    SCOPED_TRACE(c.name);
    const auto [kind, message] = Refusal(Path(c.name), 4096, OpenToOthers::kRefuse);
    EXPECT_EQ(kind, c.kind);
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_NE(message.find(Path(c.name)), std::string::npos) << message;
  }
  EXPECT_EQ(Text(target), "secret");
  EXPECT_EQ(Mode(Path("others")), 0640u);  // refused, not touched
  // The size cap is the caller's: exactly the cap is read.
  EXPECT_EQ(ReadPrivateFile(Path("long"), "test file", 5000, OpenToOthers::kRefuse)->size(), 5000u);
  // Narrowed when the caller asks, on the open file.
  EXPECT_EQ(ReadPrivateFile(Path("others"), "test file", 100, OpenToOthers::kNarrow), "secret");
  EXPECT_EQ(Mode(Path("others")), 0600u);
  EXPECT_EQ(ReadPrivateFile(Path("missing"), "test file", 100, OpenToOthers::kRefuse), std::nullopt);
}

TEST_F(PrivateFiles, CreateIsNewOwnerOnlyAndNeverOverAnything) {
  const std::string path = Path("a/b/state");
  CreatePrivateFile(path, "first\n", "test file", "there already");
  EXPECT_EQ(Text(path), "first\n");
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_EQ(Mode(Path("a/b")), 0700u);
  EXPECT_EQ(Mode(Path("a")), 0700u);
  // Over a file, or a link (dangling too), it refuses with the caller's words.
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
  for (const std::string& there : {path, Path("dangling")}) {
    try {
      CreatePrivateFile(there, "second\n", "test file", "there already");
      ADD_FAILURE() << there;
    } catch (const PrivateFileError& e) {
      EXPECT_EQ(e.kind(), PrivateFileError::kExists);
      EXPECT_STREQ(e.what(), "there already");
    }
  }
  EXPECT_EQ(Text(path), "first\n");
  EXPECT_FALSE(fs::exists(Path("nowhere")));
}

TEST_F(PrivateFiles, ReplaceIsWholeAndLeavesNothingBeside) {
  const std::string path = Path("registry");
  Write(path, "old\n", 0644);
  // A write that died left its new file; one planted as a link goes, unfollowed.
  const std::string target = Path("target");
  Write(target, "theirs", 0644);
  ASSERT_EQ(symlink(target.c_str(), (path + ".new").c_str()), 0);
  ReplacePrivateFile(path, "new\n", "test file");
  EXPECT_EQ(Text(path), "new\n");
  EXPECT_EQ(Mode(path), 0600u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".new")));
  EXPECT_EQ(Text(target), "theirs");
  // A link at the path itself is replaced by a file, its target untouched.
  ASSERT_EQ(symlink(target.c_str(), Path("linked").c_str()), 0);
  ReplacePrivateFile(Path("linked"), "ours\n", "test file");
  EXPECT_FALSE(fs::is_symlink(Path("linked")));
  EXPECT_EQ(Text(Path("linked")), "ours\n");
  EXPECT_EQ(Text(target), "theirs");
}

// The lock a child process holds for `hold_ms`, once it says so on a pipe.
pid_t HoldLockInChild(const std::string& path, int hold_ms) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    FileLockResult taken = Env::Default()->LockFile(path, 1000, LockFileMode::kOwnerOnly);
    const char byte = taken.lock ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    usleep(hold_ms * 1000);
    _exit(0);  // the lock goes with the process, given back by no one
  }
  close(ready[1]);
  char byte = 0;
  const bool got = read(ready[0], &byte, 1) == 1 && byte == 'y';
  close(ready[0]);
  return got ? child : -1;
}

TEST_F(PrivateFiles, OwnerOnlyLockIsPrivateAndKeepsASecondHolderOut) {
  const std::string path = Path("state/desks.lock");
  {
    FileLockResult taken = Env::Default()->LockFile(path, 100, LockFileMode::kOwnerOnly);
    ASSERT_TRUE(taken.lock) << taken.error;
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(Mode(Path("state")), 0700u);
    // A second holder in this process is kept out as well, and waits its time.
    const auto start = std::chrono::steady_clock::now();
    FileLockResult second = Env::Default()->LockFile(path, 200, LockFileMode::kOwnerOnly);
    EXPECT_FALSE(second.lock);
    EXPECT_TRUE(second.timed_out);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  }
  // Another process: kept out while it holds the lock, let in the moment it
  // ends (not at the end of the wait). A lock of its own: a child inherits
  // the descriptors of this process, among them the one the abandoned wait
  // above may hold the first lock on.
  const std::string other = Path("state/other.lock");
  const pid_t child = HoldLockInChild(other, 400);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(Env::Default()->LockFile(other, 50, LockFileMode::kOwnerOnly).timed_out);
  const auto start = std::chrono::steady_clock::now();
  FileLockResult after = Env::Default()->LockFile(other, 10000, LockFileMode::kOwnerOnly);
  EXPECT_TRUE(after.lock) << after.error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PrivateFiles, OwnerOnlyLockRefusesALinkAndNarrowsAnOpenFile) {
  const std::string target = Path("planted");
  Write(target, "", 0644);
  ASSERT_EQ(symlink(target.c_str(), Path("linked.lock").c_str()), 0);
  FileLockResult linked = Env::Default()->LockFile(Path("linked.lock"), 100, LockFileMode::kOwnerOnly);
  EXPECT_FALSE(linked.lock);
  EXPECT_FALSE(linked.timed_out);
  EXPECT_NE(linked.error.find("symbolic link"), std::string::npos) << linked.error;
  EXPECT_EQ(Mode(target), 0644u);
  // A lock file left open to others by an older program is narrowed.
  Write(Path("open.lock"), "", 0666);
  EXPECT_TRUE(Env::Default()->LockFile(Path("open.lock"), 100, LockFileMode::kOwnerOnly).lock);
  EXPECT_EQ(Mode(Path("open.lock")), 0600u);
  // The shared mode stays as the desks' database lock needs it: the guarded
  // file's permissions, not the owner's alone.
  Write(Path("hotel.mdb"), "", 0664);
  EXPECT_TRUE(Env::Default()->LockFile(Path("hotel.mdb.lock"), 100, LockFileMode::kShared).lock);
  EXPECT_EQ(Mode(Path("hotel.mdb.lock")), 0664u);
}

}  // namespace
}  // namespace holvanter
