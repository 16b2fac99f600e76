// The TavoCard port methods, card reading and the encoder link against a
// recording encoder library: arguments as the library receives them, and
// every result the library can script.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "card/card_image.h"
#include "card/encoder_link.h"
#include "component/encoder_recording.h"
#include "component/thread_state.h"
#include "holvanter/holvanter.h"
#include "holvanter/tavo_card.h"
#include "support/component_env.h"

namespace holvanter {
namespace {

const std::vector<uint8_t> kPassword = {0x5C, 0x1E, 0x93, 0xA7};

class Encoder : public ::testing::Test {
 protected:
  void SetUp() override {
    // ReadCard looks for the diagnostic log's settings beside the component:
    // an empty folder of the test's own.
    char pattern[] = "/tmp/holvanter-encoder-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    component_.emplace(folder_);
    rec = TheRecording();
    ASSERT_NE(rec, nullptr) << "the recording liblyComm.so is not on LD_LIBRARY_PATH";
    *rec = Recording{};
  }
  void TearDown() override {
    component_.reset();
    std::filesystem::remove_all(folder_);
  }
  void Script(const CardImage& image, uint8_t status = 1) {
    std::memcpy(rec->read_image, image.data(), kCardImageSize);
    rec->read_status = status;
  }
  Recording* rec = nullptr;
  std::string folder_;
  std::optional<test_support::TestComponentFolder> component_;
};

int32_t HresultOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TavoError& e) {
    return e.hresult();
  }
  return 0;
}

CardImage FromHead(std::vector<uint8_t> head) {
  CardImage image;
  image.fill(0xFF);
  std::copy(head.begin(), head.end(), image.begin());
  return image;
}

// The guest card of the reading examples: card 12345, room 0305, floor 3,
// building 1, begin 2007-10-15, end 2007-10-17 14:30.
CardImage GuestExample(uint8_t kind) {
  return FromHead({kind, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x39, 0x30, 0x00, 0x0F, 0xA1, 0x14, 0x30,
                   0x0E, 0xAF, 0x03, 0x05, 0x03, 0x01});
}

TEST_F(Encoder, OpenPortPassesTheOneBasedPort) {
  struct Case {
    int32_t port;
    std::optional<int32_t> baud;
    int expected_library_port;
    int32_t expected_result;
  };
  const Case cases[] = {{-1, std::nullopt, 0, 0}, {0, 9600, 1, 1}, {2, std::nullopt, 3, 3},
                        {254, 19200, 255, 255}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    *rec = Recording{};
    TavoCard card;
    EXPECT_EQ(card.OpenPort(c.port, c.baud), c.expected_result);
    EXPECT_EQ(rec->create_calls, 1);
    EXPECT_EQ(rec->create_port, c.expected_library_port);
    EXPECT_EQ(ThisThreadState().port_state, 1);
  }
}

TEST_F(Encoder, OpenPortOutsideTheByteOverflowsWithoutCallingTheLibrary) {
  TavoCard card;
  for (int32_t port : {255, -2, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(HresultOf([&] { card.OpenPort(port); }), kErrOverflow) << port;
  }
  EXPECT_EQ(rec->create_calls, 0);
  EXPECT_EQ(ThisThreadState().port_state, -1);

  ASSERT_EQ(card.OpenPort(0), 1);
  EXPECT_EQ(HresultOf([&] { card.OpenPort(255); }), kErrOverflow);
  EXPECT_EQ(rec->create_calls, 1);
  EXPECT_EQ(ThisThreadState().port_state, 1);
}

TEST_F(Encoder, CreateCardOtherThanOneKeepsItsByteAsPortState) {
  Script(GuestExample(0x1B));
  TavoCard card;
  std::string no = "keep", room = "keep", begin = "keep", end = "keep";

  rec->create_result = 0;
  EXPECT_EQ(card.OpenPort(0), -99);
  EXPECT_EQ(ThisThreadState().port_state, 0);
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), 0);  // guard: nothing read
  EXPECT_EQ(rec->read_calls, 0);
  EXPECT_EQ(no + room + begin + end, "keepkeepkeepkeep");

  rec->create_result = 2;
  EXPECT_EQ(card.OpenPort(0), -99);
  EXPECT_EQ(ThisThreadState().port_state, 2);
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), 0);  // a state of 2 passes the guard
  EXPECT_EQ(rec->read_calls, 1);
  EXPECT_EQ(no, "00012345");
  EXPECT_EQ(card.ClosePort(), 0);
  EXPECT_EQ(rec->destroy_calls, 0);  // only a state of 1 is closed
}

TEST_F(Encoder, ClosePortCallsDestroyCardOnlyWhenOpen) {
  TavoCard card;
  EXPECT_EQ(card.ClosePort(), 0);
  EXPECT_EQ(rec->destroy_calls, 0);
  ASSERT_EQ(card.OpenPort(0), 1);
  EXPECT_EQ(card.ClosePort(7), 0);
  EXPECT_EQ(card.ClosePort(), 0);
  EXPECT_EQ(rec->destroy_calls, 2);
  EXPECT_EQ(ThisThreadState().port_state, 1);  // closing leaves the state
}

TEST_F(Encoder, BothCallsGetThePasswordThenTheTwentyEightPlacesInOrder) {
  Script(GuestExample(0x1B));
  CardImage image{};
  EXPECT_EQ(ReadCardImage(image), 0);
  EXPECT_EQ(std::vector<uint8_t>(rec->read_password, rec->read_password + 4), kPassword);
  std::set<uint8_t*> distinct;
  for (std::size_t i = 0; i < kCardImageSize; ++i) {
    EXPECT_EQ(rec->read_places[i], image.data() + i) << i;
    distinct.insert(rec->read_places[i]);
  }
  EXPECT_EQ(distinct.size(), kCardImageSize);
  EXPECT_EQ(image, GuestExample(0x1B));

  for (std::size_t i = 0; i < kCardImageSize; ++i) image[i] = static_cast<uint8_t>(7 * i + 3);
  EXPECT_EQ(WriteCardImage(image), 1);
  EXPECT_EQ(rec->write_calls, 1);
  EXPECT_EQ(std::vector<uint8_t>(rec->write_password, rec->write_password + 4), kPassword);
  EXPECT_EQ(std::vector<uint8_t>(rec->written, rec->written + 28),
            std::vector<uint8_t>(image.begin(), image.end()));
}

TEST_F(Encoder, ReadAndWriteStatuses) {
  for (uint8_t status : {0, 2, 255}) {
    Script(GuestExample(0x0B), status);
    CardImage image{};
    EXPECT_EQ(ReadCardImage(image), -99) << int(status);
    EXPECT_EQ(image, GuestExample(0x0B));  // whatever readPass left stays
  }
  for (uint8_t status : {0, 1, 2, 128, 255}) {
    rec->write_status = status;
    EXPECT_EQ(WriteCardImage(BlankCardImage()), static_cast<int16_t>(status));
  }
}

TEST_F(Encoder, ReadCardDecodesGuestAndVillaCards) {
  struct Case {
    const char* name;
    CardImage image;
    const char *card_no, *room_no, *begin, *end;
  };
  CardImage long_year = GuestExample(0x1B);
  long_year[9] = 0xC8;
  long_year[12] = 0xFF;
  CardImage long_year_villa = long_year;
  long_year_villa[0] = 0x1F;
  const Case cases[] = {
      {"guest 1B", GuestExample(0x1B), "00012345", "01#03#0305", "20071015", "200710171430"},
      {"guest 0B", GuestExample(0x0B), "00012345", "01#03#0305", "20071015", "200710171430"},
      {"villa 1F", GuestExample(0x1F), "00012345", "01#03#0305#0EAF", "20000101",
       "200710171430"},
      {"villa 0F", GuestExample(0x0F), "00012345", "01#03#0305#0EAF", "20000101",
       "200710171430"},
      {"villa example",
       FromHead({0x1F, 0x54, 0x41, 0x56, 0x4F, 0x31, 0x1A, 0x00, 0x00, 0x0F, 0xA4, 0x12, 0x30, 0x01,
                 0x02, 0x03, 0x04, 0x03, 0x02}),
       "00000026", "02#03#0304#0102", "20000101", "200710201230"},
      {"guest year 100", long_year, "00012345", "01#03#0305", "20071015", "20100100114FF"},
      {"villa year 100", long_year_villa, "00012345", "01#03#0305#0EAF", "20000101",
       "0100100114FF"},
      // Building and floor print as numbers, card number bytes low first.
      {"figures that differ in hex",
       FromHead({0x1B, 'H', 'O', 'T', 'E', 'L', 0xEF, 0xCD, 0xAB, 0xC7, 0xCF, 0x23, 0x59, 0x11,
                 0x20, 0x12, 0x34, 12, 99}),
       "11259375", "99#12#1234", "20080216", "209912312359"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script(c.image);
    TavoCard card;
    ASSERT_EQ(card.OpenPort(0), 1);
    std::string no = "x", room = "x", begin = "x", end = "x";
    EXPECT_EQ(card.ReadCard(0, no, room, begin, end), 0);
    EXPECT_EQ(no, c.card_no);
    EXPECT_EQ(room, c.room_no);
    EXPECT_EQ(begin, c.begin);
    EXPECT_EQ(end, c.end);
  }
}

TEST_F(Encoder, ReadCardResultCodesLeaveTheTextsAlone) {
  struct Case {
    uint8_t kind;
    uint8_t status;
    int16_t result;
  };
  const Case cases[] = {{0x1B, 0, -128}, {0x1B, 2, -128}, {0x01, 1, -500}, {0xAA, 1, -600},
                        {0xFF, 1, -700}, {0x00, 1, -700}, {0x1A, 1, -700}, {0x2B, 1, -700}};
  TavoCard card;
  ASSERT_EQ(card.OpenPort(0), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.kind) * 1000 + c.status);
    Script(GuestExample(c.kind), c.status);
    std::string no = "no", room = "room", begin = "begin", end = "end";
    EXPECT_EQ(card.ReadCard(0, no, room, begin, end), c.result);
    EXPECT_EQ(no + "|" + room + "|" + begin + "|" + end, "no|room|begin|end");
  }
  Script(BlankCardImage());
  std::string no, room, begin, end;
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), -700);
}

TEST_F(Encoder, PortStateIsSharedPerThreadAndResetByEveryNewObject) {
  Script(GuestExample(0x1B));
  TavoCard first;
  ASSERT_EQ(first.OpenPort(0), 1);

  // Another thread has its own state: its new object leaves ours alone.
  std::thread other([&] {
    TavoCard theirs;
    std::string no = "t", room, begin, end;
    EXPECT_EQ(theirs.ReadCard(0, no, room, begin, end), 0);
    EXPECT_EQ(no, "t");
    EXPECT_EQ(ThisThreadState().port_state, -1);
    rec->create_result = 0;
    EXPECT_EQ(theirs.OpenPort(0), -99);
    EXPECT_EQ(ThisThreadState().port_state, 0);
  });
  other.join();
  EXPECT_EQ(rec->read_calls, 0);
  EXPECT_EQ(ThisThreadState().port_state, 1);
  std::string no, room, begin, end;
  EXPECT_EQ(first.ReadCard(0, no, room, begin, end), 0);
  EXPECT_EQ(rec->read_calls, 1);
  EXPECT_EQ(no, "00012345");

  // A second object on this thread closes the door for both.
  TavoCard second;
  EXPECT_EQ(ThisThreadState().port_state, -1);
  no = "kept";
  EXPECT_EQ(first.ReadCard(0, no, room, begin, end), 0);
  EXPECT_EQ(second.ReadCard(0, no, room, begin, end), 0);
  EXPECT_EQ(rec->read_calls, 1);
  EXPECT_EQ(no, "kept");
  EXPECT_EQ(first.ClosePort(), 0);
  EXPECT_EQ(rec->destroy_calls, 0);
}

// The C face over the same library.
class CFace : public Encoder {
 protected:
  void SetUp() override {
    Encoder::SetUp();
    ASSERT_EQ(tavo_card_create(&card), 0);
  }
  void TearDown() override {
    tavo_card_release(card);
    Encoder::TearDown();
  }
  tavo_card* card = nullptr;
};

struct Buffers {
  char no[TAVO_TEXT_CAP] = "no";
  char room[TAVO_TEXT_CAP] = "room";
  char begin[TAVO_TEXT_CAP] = "begin";
  char end[TAVO_TEXT_CAP] = "end";
  int32_t ReadWith(tavo_card* card, int16_t* result) {
    return tavo_read_card(card, 0, no, room, begin, end, result);
  }
  std::string Joined() const { return std::string(no) + "|" + room + "|" + begin + "|" + end; }
};

TEST_F(CFace, PortCallsAndFailuresWithAPerThreadMessage) {
  int32_t result = 42;
  EXPECT_EQ(tavo_open_port(card, 255, nullptr, &result), kErrOverflow);
  EXPECT_EQ(result, 42);
  const std::string message = tavo_last_error();
  EXPECT_NE(message.find("255"), std::string::npos) << message;
  EXPECT_EQ(rec->create_calls, 0);

  std::string seen_elsewhere = "unset";
  std::thread([&] { seen_elsewhere = tavo_last_error(); }).join();
  EXPECT_EQ(seen_elsewhere, "");
  EXPECT_EQ(std::string(tavo_last_error()), message);

  // Omitted and given optional arguments.
  const int32_t baud = 9600, handle = 5;
  EXPECT_EQ(tavo_open_port(card, 2, nullptr, &result), 0);
  EXPECT_EQ(result, 3);
  EXPECT_STREQ(tavo_last_error(), "");  // a call that ran clears it
  EXPECT_EQ(tavo_open_port(card, 0, &baud, &result), 0);
  EXPECT_EQ(result, 1);
  result = 42;
  EXPECT_EQ(tavo_close_port(card, &handle, &result), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(tavo_close_port(card, nullptr, &result), 0);
  EXPECT_EQ(rec->destroy_calls, 2);

  Buffers buffers;
  const int32_t kNullPointer = static_cast<int32_t>(0x80004003);
  EXPECT_EQ(tavo_open_port(card, 0, nullptr, nullptr), kNullPointer);
  EXPECT_EQ(tavo_open_port(nullptr, 0, nullptr, &result), kNullPointer);
  EXPECT_EQ(tavo_read_card(card, 0, buffers.no, nullptr, buffers.begin, buffers.end, nullptr),
            kNullPointer);
  EXPECT_EQ(tavo_card_create(nullptr), kNullPointer);
}

TEST_F(CFace, ReadCardReplacesBuffersOnlyWhenACardWasDecoded) {
  int32_t opened = 0;
  ASSERT_EQ(tavo_open_port(card, 0, nullptr, &opened), 0);
  ASSERT_EQ(opened, 1);

  // Nothing decoded: nothing replaced, and a buffer without a terminator is
  // read only to its capacity.
  Buffers buffers;
  std::memset(buffers.no, 'N', TAVO_TEXT_CAP);
  int16_t result = 1;
  Script(BlankCardImage());
  EXPECT_EQ(buffers.ReadWith(card, &result), 0);
  EXPECT_EQ(result, -700);
  EXPECT_EQ(std::string(buffers.no, TAVO_TEXT_CAP), std::string(TAVO_TEXT_CAP, 'N'));
  EXPECT_EQ(std::string(buffers.room) + buffers.begin + buffers.end, "roombeginend");

  Script(GuestExample(0x1F));
  EXPECT_EQ(buffers.ReadWith(card, &result), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(buffers.Joined(), "00012345|01#03#0305#0EAF|20000101|200710171430");

  // A second object resets the thread's state: nothing is read, nothing replaced.
  tavo_card* another = nullptr;
  ASSERT_EQ(tavo_card_create(&another), 0);
  Buffers untouched;
  EXPECT_EQ(untouched.ReadWith(card, &result), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(untouched.Joined(), "no|room|begin|end");
  tavo_card_release(another);
}

}  // namespace
}  // namespace holvanter
