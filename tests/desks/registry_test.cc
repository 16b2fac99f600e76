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
  EXPECT_TRUE(SameDigest(DigestFromHex(digest).value(), HmacSha256("Jefe", "what do ya want for nothing?")));
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
  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {good.substr(1), "63 characters, not 64"},
      {good + "a", "65 characters, not 64"},
      {std::string(), "0 characters, not 64"},
      {good.substr(1) + "g", "not all hexadecimal figures"},
      {good.substr(2) + " a", "not all hexadecimal figures"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    std::string why;
    EXPECT_FALSE(DigestFromHex(c.text, &why).has_value());
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(why.find(c.text.empty() ? "\x01" : c.text), std::string::npos) << "quoted: " << why;
    EXPECT_FALSE(DigestFromHex(c.text).has_value());  // without a reason asked for
  }
  EXPECT_EQ(Hex(DigestFromHex(std::string(64, 'F')).value()), std::string(64, 'f'));
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
  const std::string code = NewPairingCode().value();
  EXPECT_EQ(NormalizePairingCode(code), code);
  EXPECT_NE(NewPairingCode().value(), code);
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
  const std::string code = registry.Pair("FRONT-1", 1000).value();
  EXPECT_EQ(fs::status(File("state/desks")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // The lock file stays, its owner's alone; the system holds the lock itself.
  EXPECT_EQ(fs::status(File("state/desks.lock")).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
  const DeskRegistry::Claim claim =
      registry.ClaimCode("FRONT-1", 1000 + kPairingCodeSeconds - 1).value();
  EXPECT_EQ(claim.state, DeskRegistry::CodeState::kValid);
  EXPECT_EQ(claim.code, code);
  EXPECT_EQ(registry.ClaimCode("FRONT-1", 1001).value().state, DeskRegistry::CodeState::kNone);
  EXPECT_TRUE(registry.List().value().empty());

  ASSERT_TRUE(registry.Pair("FRONT-1", 1000).ok());
  const DeskRegistry::Claim late =
      registry.ClaimCode("FRONT-1", 1000 + kPairingCodeSeconds).value();
  EXPECT_EQ(late.state, DeskRegistry::CodeState::kExpired);
  EXPECT_EQ(late.code, "");
  EXPECT_EQ(registry.ClaimCode("FRONT-1", 1000).value().state, DeskRegistry::CodeState::kNone);
}

TEST_F(Registry, KeepSecretOfRemoveAndList) {
  DeskRegistry registry(File("desks"));
  const Secret first = HmacSha256("a", "1"), second = HmacSha256("b", "2");
  ASSERT_TRUE(registry.Keep("FRONT-1", first, 500).ok());
  const std::string code = registry.Pair("FRONT-1", 600).value();  // paired again: old secret kept
  ASSERT_TRUE(registry.Pair("BACK", 700).ok());
  EXPECT_EQ(DeskRegistry(File("desks")).SecretOf("FRONT-1").value(), first);
  EXPECT_EQ(registry.SecretOf("BACK").value(), std::nullopt);

  const std::vector<DeskEntry> entries = registry.List().value();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "BACK");
  EXPECT_FALSE(entries[0].paired);
  EXPECT_EQ(entries[0].code_expires, 700 + kPairingCodeSeconds);
  EXPECT_EQ(entries[1].name, "FRONT-1");
  EXPECT_TRUE(entries[1].paired);
  EXPECT_EQ(entries[1].paired_at, 500);
  EXPECT_EQ(entries[1].code_expires, 600 + kPairingCodeSeconds);

  EXPECT_EQ(registry.ClaimCode("FRONT-1", 601).value().code, code);
  ASSERT_TRUE(registry.Keep("FRONT-1", second, 601).ok());
  EXPECT_EQ(registry.SecretOf("FRONT-1").value(), second);
  EXPECT_EQ(registry.Remove("FRONT-1"), true);
  EXPECT_EQ(registry.Remove("FRONT-1"), false);
  EXPECT_EQ(registry.Remove("BACK"), true);  // a pending code alone
  EXPECT_TRUE(registry.List().value().empty());
  // A name that is no desk's is refused before the file is touched.
  const std::string no_name = "\"no good\" is not a desk name";
  EXPECT_NE(registry.Pair("no good", 1).status().message().find(no_name), std::string::npos);
  EXPECT_NE(registry.Keep("no good", first, 1).message().find(no_name), std::string::npos);
  EXPECT_NE(WriteDeskSecret(File("desk-secret"), {"no good", first}).message().find(no_name),
            std::string::npos);
  EXPECT_FALSE(fs::exists(File("desk-secret")));
  EXPECT_TRUE(registry.List().value().empty());
}

TEST_F(Registry, MalformedLinesAreRefusedByFileAndLine) {
  const std::string desk = "desk\tA\t" + std::string(64, '0') + "\t5\n";
  const std::string code = "code\tA\t" + NewPairingCode().value() + "\t5";
  const struct {
    std::string line;
    const char* why;
  } cases[] = {
      {std::string("desk\tB\t") + std::string(63, '0') + "\t5",
       "the secret is not a digest: 63 characters"},
      {"desk\tB\tx\t5\textra", "not four fields separated by tabs"},
      {"code\tB\tABCD-EFGH\t5", "not a pairing code"},
      {"code\tB\t" + NewPairingCode().value() + "\t-5", "the last field is not a time in seconds"},
      {"token\tB\tx\t5", "neither a desk line nor a code line"},
      {"desk\tB C\t" + std::string(64, '0') + "\t5", "the second field is not a desk name"},
      {desk.substr(0, desk.size() - 1), "a second desk line for A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Write("desks", desk + c.line + "\n", 0600);
    DeskRegistry registry(File("desks"));
    // Each way in reads the file strictly, and a change leaves it as it was.
    const holvanter::Status refusals[] = {
        registry.List().status(), registry.SecretOf("A").status(),
        registry.PeekCode("A", 1).status(), registry.ClaimCode("A", 1).status(),
        registry.Keep("C", Secret{}, 1), registry.Pair("C", 1).status(),
        registry.Remove("A").status()};
    for (const holvanter::Status& refused : refusals)
      EXPECT_NE(refused.message().find(File("desks") + ", line 2: " + c.why), std::string::npos)
          << refused.message();
    std::ifstream in(File("desks"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), desk + c.line + "\n");
  }
  // A second code line is refused by its own line, after the first one.
  Write("desks", desk + code + "\n" + code + "\n", 0600);
  const std::string why = DeskRegistry(File("desks")).List().status().message();
  EXPECT_NE(why.find(", line 3: a second code line for A"), std::string::npos) << why;
}

TEST_F(Registry, DeskSecretFileIsItsOwnersAlone) {
  const std::string path = File("desk-secret");
  EXPECT_EQ(ReadDeskSecret(path).value(), std::nullopt);
  ASSERT_TRUE(WriteDeskSecret(path, {"FRONT-2", HmacSha256("k", "d")}).ok());
  ASSERT_TRUE(WriteDeskSecret(path, {"FRONT-3", HmacSha256("k", "e")}).ok());  // replaces
  const std::optional<DeskSecret> read = ReadDeskSecret(path).value();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->desk, "FRONT-3");
  EXPECT_EQ(read->secret, HmacSha256("k", "e"));

  chmod(path.c_str(), 0640);
  const std::string open = ReadDeskSecret(path).status().message();
  EXPECT_NE(open.find("chmod 600 " + path), std::string::npos) << open;
  EXPECT_NE(open.find("pair the desk again"), std::string::npos) << open;
  const struct {
    std::string text;
    const char* why;
  } bad[] = {
      {"FRONT-2\n", "not one line of a desk name and its secret"},
      {"FRONT-2\t" + std::string(64, 'a') + "\textra\n", "not one line of a desk name"},
      {"FRONT 2\t" + std::string(64, 'a') + "\n", "its first field is not a desk name"},
      {"FRONT-2\t" + std::string(63, 'a') + "\n", "its secret is not a digest: 63 characters"},
      {"FRONT-2\t" + std::string(63, 'a') + "x\n", "its secret is not a digest: not all hex"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    Write("desk-secret", c.text, 0600);
    const holvanter::Result<std::optional<DeskSecret>> refused = ReadDeskSecret(path);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.status().message().find("the desk secret file " + path +
                                              " is not one of ours: " + c.why),
              std::string::npos)
        << refused.status().message();
  }
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
      DeskRegistry registry(File("desks"));
      for (int i = 0; i < kDesks; ++i)
        if (!registry.Pair(std::string(1, 'A' + p) + std::to_string(i), i).ok()) _exit(1);
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(DeskRegistry(File("desks")).List().value().size(), 2u * kDesks);
}

}  // namespace
}  // namespace desks
