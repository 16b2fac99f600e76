// Desks joining the link desk: the message authentication and its digests'
// hexadecimal form, the pairing codes a clerk types, and the
// registry of paired desks as `tavocard desks` and the agent share it.
#include "hosts/desks/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace desks {
namespace {

namespace fs = std::filesystem;

// RFC 4231, test case 2, through the desks' own call (the vectors are in
// tests/crypto).
TEST(Mac, PublishedHmacSha256Vector) {
  const std::string digest = "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
  EXPECT_EQ(Hex(HmacSha256("Jefe", "what do ya want for nothing?")), digest);
  EXPECT_TRUE(SameDigest(DigestFromHex(digest), HmacSha256("Jefe", "what do ya want for nothing?")));
}

TEST(Mac, DigestsDifferingAnywhereAreNotTheSameAndBadHexIsRefused) {
  const Digest a = HmacSha256("key", "data");
  for (std::size_t i : {0, 17, 31}) {
    Digest b = a;
    b[i] ^= 0x80;
    EXPECT_FALSE(SameDigest(a, b)) << i;
  }
  EXPECT_NE(RandomBytes(32), RandomBytes(32));
  const std::string good(64, 'a');
  for (const std::string& bad : {good.substr(1), good + "a", good.substr(1) + "g", std::string()})
    EXPECT_THROW(DigestFromHex(bad), DeskError) << bad;
  EXPECT_EQ(Hex(DigestFromHex(std::string(64, 'F'))), std::string(64, 'f'));
}

TEST(PairingCode, TypedFormsAndRefusals) {
  const struct {
    std::string typed, code;
  } cases[] = {
      {"7KQ4-XM2C-9RTB-H3WD", "7KQ4-XM2C-9RTB-H3WD"},
      {" 7kq4 xm2c\t9rtb-h3wd ", "7KQ4-XM2C-9RTB-H3WD"},
      {"7KQ4XM2C9RTBH3WD", "7KQ4-XM2C-9RTB-H3WD"},
      {"7KQ4-XM2C-9RTB-H3W", ""},    // short
      {"7KQ4-XM2C-9RTB-H3WDA", ""},  // long
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizePairingCode(c.typed), c.code) << c.typed;
  // No 0, O, 1, I, L or U: misread on a screen.
  for (char c : std::string("0O1ILU#"))
    EXPECT_EQ(NormalizePairingCode(std::string("7KQ4-XM2C-9RTB-H3W") + c), "") << c;
  const std::string code = NewPairingCode();
  EXPECT_EQ(NormalizePairingCode(code), code);
  EXPECT_NE(NewPairingCode(), code);
}

TEST(DeskName, Rule) {
  for (const std::string& name :
       std::initializer_list<std::string>{"FRONT-2", "a", "desk_9", std::string(32, 'x')})
    EXPECT_TRUE(IsDeskName(name)) << name;
  for (const std::string& name : std::initializer_list<std::string>{
           "", "a b", "a\tb", "a:b", "caf\xc3\xa9", std::string(33, 'x')})
    EXPECT_FALSE(IsDeskName(name)) << name;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "desks-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string File(const std::string& name) const { return (folder_ / name).string(); }
  void Write(const std::string& name, const std::string& text, mode_t mode) {
    std::ofstream(File(name)) << text;
    chmod(File(name).c_str(), mode);
  }

  fs::path folder_;
};

TEST_F(Registry, ACodeServesOneTryWhileGood) {
  DeskRegistry registry(File("state/desks"));  // its folder is made
  const std::string code = registry.Pair("FRONT-1", 1000);
  EXPECT_EQ(fs::status(File("state/desks")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // The lock file stays, its owner's alone; the system holds the lock itself.
  EXPECT_EQ(fs::status(File("state/desks.lock")).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
  const DeskRegistry::Claim claim = registry.ClaimCode("FRONT-1", 1000 + kPairingCodeSeconds - 1);
  EXPECT_EQ(claim.state, DeskRegistry::CodeState::kValid);
  EXPECT_EQ(claim.code, code);
  EXPECT_EQ(registry.ClaimCode("FRONT-1", 1001).state, DeskRegistry::CodeState::kNone);
  EXPECT_TRUE(registry.List().empty());

  registry.Pair("FRONT-1", 1000);
  const DeskRegistry::Claim late = registry.ClaimCode("FRONT-1", 1000 + kPairingCodeSeconds);
  EXPECT_EQ(late.state, DeskRegistry::CodeState::kExpired);
  EXPECT_EQ(late.code, "");
  EXPECT_EQ(registry.ClaimCode("FRONT-1", 1000).state, DeskRegistry::CodeState::kNone);
}

TEST_F(Registry, KeepSecretOfRemoveAndList) {
  DeskRegistry registry(File("desks"));
  const Secret first = HmacSha256("a", "1"), second = HmacSha256("b", "2");
  registry.Keep("FRONT-1", first, 500);
  const std::string code = registry.Pair("FRONT-1", 600);  // paired again: old secret kept
  registry.Pair("BACK", 700);
  EXPECT_EQ(DeskRegistry(File("desks")).SecretOf("FRONT-1"), first);
  EXPECT_EQ(registry.SecretOf("BACK"), std::nullopt);

  const std::vector<DeskEntry> entries = registry.List();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "BACK");
  EXPECT_FALSE(entries[0].paired);
  EXPECT_EQ(entries[0].code_expires, 700 + kPairingCodeSeconds);
  EXPECT_EQ(entries[1].name, "FRONT-1");
  EXPECT_TRUE(entries[1].paired);
  EXPECT_EQ(entries[1].paired_at, 500);
  EXPECT_EQ(entries[1].code_expires, 600 + kPairingCodeSeconds);

  EXPECT_EQ(registry.ClaimCode("FRONT-1", 601).code, code);
  registry.Keep("FRONT-1", second, 601);
  EXPECT_EQ(registry.SecretOf("FRONT-1"), second);
  EXPECT_TRUE(registry.Remove("FRONT-1"));
  EXPECT_FALSE(registry.Remove("FRONT-1"));
  EXPECT_TRUE(registry.Remove("BACK"));  // a pending code alone
  EXPECT_TRUE(registry.List().empty());
  EXPECT_THROW(registry.Pair("no good", 1), DeskError);
}

TEST_F(Registry, MalformedLinesAreRefusedByFileAndLine) {
  const std::string desk = "desk\tA\t" + std::string(64, '0') + "\t5\n";
  for (const std::string& line : std::initializer_list<std::string>{
           std::string("desk\tB\t") + std::string(63, '0') + "\t5", "desk\tB\tx\t5\textra",
           "code\tB\tABCD-EFGH\t5", "code\tB\t" + NewPairingCode() + "\t-5", "token\tB\tx\t5",
           "desk\tB C\t" + std::string(64, '0') + "\t5", desk.substr(0, desk.size() - 1)}) {
    Write("desks", desk + line + "\n", 0600);
    try {
      DeskRegistry(File("desks")).List();
      ADD_FAILURE() << "accepted " << line;
    } catch (const DeskError& e) {
      EXPECT_NE(std::string(e.what()).find(File("desks") + ", line 2"), std::string::npos)
          << e.what();
    }
  }
}

TEST_F(Registry, DeskSecretFileIsItsOwnersAlone) {
  const std::string path = File("desk-secret");
  EXPECT_EQ(ReadDeskSecret(path), std::nullopt);
  WriteDeskSecret(path, {"FRONT-2", HmacSha256("k", "d")});
  WriteDeskSecret(path, {"FRONT-3", HmacSha256("k", "e")});  // replaces
  const std::optional<DeskSecret> read = ReadDeskSecret(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->desk, "FRONT-3");
  EXPECT_EQ(read->secret, HmacSha256("k", "e"));

  chmod(path.c_str(), 0640);
  try {
    ReadDeskSecret(path);
    ADD_FAILURE() << "a group-readable secret was read";
  } catch (const DeskError& e) {
    EXPECT_NE(std::string(e.what()).find("chmod 600 " + path), std::string::npos) << e.what();
  }
  Write("desk-secret", "FRONT-2\n", 0600);
  EXPECT_THROW(ReadDeskSecret(path), DeskError);
}

// The agent and `tavocard desks` change the file at once: no change is lost,
// and a lock left by a program that died does not stop them for good.
TEST_F(Registry, ConcurrentProcessesLoseNothing) {
  // A lock file left by a program that died holds no lock.
  std::ofstream(File("desks.lock")) << "";
  constexpr int kDesks = 25;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      try {
        DeskRegistry registry(File("desks"));
        for (int i = 0; i < kDesks; ++i)
          registry.Pair(std::string(1, 'A' + p) + std::to_string(i), i);
      } catch (...) {
        _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(DeskRegistry(File("desks")).List().size(), 2u * kDesks);
}

}  // namespace
}  // namespace desks
