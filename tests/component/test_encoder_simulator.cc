// The stand-in encoder library that lies beside the component: a card is a
// file per port, read and written only with the card password, and
// LYCOMM_SIM_FAIL rehearses failures.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "holvanter/tavo_card.h"
#include "support/component_env.h"
#include "stand_ins/lycomm_sim/sim_card_file.h"

namespace holvanter {
namespace {

const std::vector<uint8_t> kPassword = {0x5C, 0x1E, 0x93, 0xA7};

class Simulator : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/holvanter-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    // The card files and the component's folder (no settings file in it)
    // are the test's own.
    component_.emplace(folder_);
    setenv("LYCOMM_SIM_DIR", folder_.c_str(), 1);
    unsetenv("LYCOMM_SIM_FAIL");
  }
  void TearDown() override {
    TavoCard().ClosePort();
    component_.reset();
    unsetenv("LYCOMM_SIM_FAIL");
    std::filesystem::remove_all(folder_);
  }
  // Lays a card on the encoder of the library's port.
  void PutCard(int library_port, const std::vector<uint8_t>& password, const CardImage& image) {
    std::ofstream out(lycomm_sim::CardFile(library_port), std::ios::binary);
    out.write(reinterpret_cast<const char*>(password.data()), 4);
    out.write(reinterpret_cast<const char*>(image.data()), kCardImageSize);
  }
  std::vector<uint8_t> CardBytes(int library_port) {
    std::ifstream in(lycomm_sim::CardFile(library_port), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  static std::vector<uint8_t> Joined(const std::vector<uint8_t>& password, const CardImage& image) {
    std::vector<uint8_t> bytes = password;
    bytes.insert(bytes.end(), image.begin(), image.end());
    return bytes;
  }
  std::string folder_;
  std::optional<test_support::TestComponentFolder> component_;
};

const CardImage kGuest =
    BuildGuestImage("TAVO1", "003039", "200710150000", "200710171430", "0305", 3, 1).value();

TEST_F(Simulator, NoCardOrAnotherPasswordMeansNothingReadOrWritten) {
  TavoCard card;
  ASSERT_EQ(card.OpenPort(0), 1);
  CardImage image{};
  EXPECT_EQ(ReadCardImage(image), -99);
  EXPECT_EQ(WriteCardImage(kGuest), 0);
  EXPECT_FALSE(std::filesystem::exists(lycomm_sim::CardFile(1)));

  const std::vector<uint8_t> other = {0x5C, 0x1E, 0x93, 0xA8};
  PutCard(1, other, kGuest);
  EXPECT_EQ(ReadCardImage(image), -99);
  EXPECT_EQ(WriteCardImage(BlankCardImage()), 0);
  EXPECT_EQ(CardBytes(1), Joined(other, kGuest));
}

TEST_F(Simulator, IssueOntoABlankCardThenReadItBack) {
  PutCard(1, kPassword, BlankCardImage());
  TavoCard card;
  ASSERT_EQ(card.OpenPort(0), 1);
  std::string no, room, begin, end;
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), -700);

  EXPECT_EQ(WriteCardImage(kGuest), 1);
  EXPECT_EQ(CardBytes(1), Joined(kPassword, kGuest));
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), 0);
  EXPECT_EQ(no, "00012345");
  EXPECT_EQ(room, "01#03#0305");
  EXPECT_EQ(begin, "20071015");
  EXPECT_EQ(end, "200710171430");
}

TEST_F(Simulator, EachPortHasItsOwnCardAndAClosedEncoderReadsNothing) {
  PutCard(1, kPassword, kGuest);
  PutCard(3, kPassword, BlankCardImage());
  TavoCard card;
  ASSERT_EQ(card.OpenPort(2), 3);
  CardImage image{};
  EXPECT_EQ(ReadCardImage(image), 0);
  EXPECT_EQ(image, BlankCardImage());
  ASSERT_EQ(card.OpenPort(0), 1);
  EXPECT_EQ(ReadCardImage(image), 0);
  EXPECT_EQ(image, kGuest);
  EXPECT_EQ(card.ClosePort(), 0);
  EXPECT_EQ(ReadCardImage(image), -99);
}

TEST_F(Simulator, RehearsedFailures) {
  PutCard(1, kPassword, BlankCardImage());
  TavoCard card;
  CardImage image{};

  setenv("LYCOMM_SIM_FAIL", "open", 1);
  EXPECT_EQ(card.OpenPort(0), -99);
  unsetenv("LYCOMM_SIM_FAIL");
  ASSERT_EQ(card.OpenPort(0), 1);

  setenv("LYCOMM_SIM_FAIL", "read", 1);
  EXPECT_EQ(ReadCardImage(image), -99);
  std::string no, room, begin, end;
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), -128);
  EXPECT_EQ(WriteCardImage(kGuest), 1);  // only reading fails

  // A refused write leaves the card as it was (the issue flow suite rehearses
  // "write" and other status bytes).
  setenv("LYCOMM_SIM_FAIL", "write=0", 1);
  EXPECT_EQ(WriteCardImage(BlankCardImage()), 0);
  EXPECT_EQ(CardBytes(1), Joined(kPassword, kGuest));
  setenv("LYCOMM_SIM_FAIL", "write=1", 1);
  EXPECT_EQ(WriteCardImage(BlankCardImage()), 1);
  EXPECT_EQ(CardBytes(1), Joined(kPassword, BlankCardImage()));
  EXPECT_EQ(ReadCardImage(image), 0);  // reading is not affected

  // Only the Nth read or write, counted from the plan given to the process.
  unsetenv("LYCOMM_SIM_FAIL");
  const auto plan = reinterpret_cast<void (*)(const char*)>(
      dlsym(dlopen("liblyComm.so", RTLD_NOW), "lycomm_sim_fail"));
  ASSERT_NE(plan, nullptr);
  plan("read#2");
  EXPECT_EQ(ReadCardImage(image), 0);
  EXPECT_EQ(ReadCardImage(image), -99);
  EXPECT_EQ(ReadCardImage(image), 0);
  plan("write#1");
  EXPECT_EQ(WriteCardImage(kGuest), 0);
  EXPECT_EQ(CardBytes(1), Joined(kPassword, BlankCardImage()));
  EXPECT_EQ(WriteCardImage(kGuest), 1);
  plan(nullptr);  // LYCOMM_SIM_FAIL decides again
  setenv("LYCOMM_SIM_FAIL", "read", 1);
  EXPECT_EQ(ReadCardImage(image), -99);
}

}  // namespace
}  // namespace holvanter
