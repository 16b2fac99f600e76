// An encoder library that cannot be loaded, or lacks a function: the call
// that needs it fails with the loader's error, and ClosePort still answers 0.
// Built once per case, each run in its own process (the library is looked up
// once per process): MISSING_LIBRARY, WITHOUT_CREATE_CARD, CREATE_CARD_ONLY.
// The C face's mapping of these failures is shown once, for the missing library.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "card/encoder_link.h"
#include "component/encoder_recording.h"
#include "component/thread_state.h"
#include "holvanter/holvanter.h"
#include "holvanter/tavo_card.h"
#include "support/failure.h"

namespace holvanter {
namespace {

using test_support::Failure;
using test_support::FailureOf;

bool Contains(const std::string& text, const char* piece) {
  return text.find(piece) != std::string::npos;
}

#if defined(MISSING_LIBRARY)

TEST(MissingLibrary, OpenPortAndReadCardFailWithFileNotFound) {
  TavoCard card;
  const Failure open = FailureOf([&] { card.OpenPort(0); });
  EXPECT_EQ(open.hresult, kErrFileNotFound);
  EXPECT_TRUE(Contains(open.message, "lyComm")) << open.message;
  EXPECT_EQ(ThisThreadState().port_state, -1);

  std::string no = "kept", room, begin, end;
  EXPECT_EQ(card.ReadCard(0, no, room, begin, end), 0);  // not opened: nothing to load

  ThisThreadState().port_state = 1;  // as if an earlier open had succeeded
  EXPECT_EQ(FailureOf([&] { card.ReadCard(0, no, room, begin, end); }).hresult, kErrFileNotFound);
  EXPECT_EQ(no, "kept");
  EXPECT_EQ(card.ClosePort(), 0);
  CardImage image{};
  EXPECT_EQ(FailureOf(ReadCardImage(image).status()).hresult, kErrFileNotFound);
  EXPECT_EQ(FailureOf(WriteCardImage(image).status()).hresult, kErrFileNotFound);
}

TEST(MissingLibrary, CFaceReturnsTheHresult) {
  tavo_card* card = nullptr;
  ASSERT_EQ(tavo_card_create(&card), 0);
  int32_t result = 42;
  EXPECT_EQ(tavo_open_port(card, 0, nullptr, &result), kErrFileNotFound);
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(Contains(tavo_last_error(), "lyComm")) << tavo_last_error();
  ThisThreadState().port_state = 1;
  char no[TAVO_TEXT_CAP] = "kept", room[TAVO_TEXT_CAP] = "", begin[TAVO_TEXT_CAP] = "",
       end[TAVO_TEXT_CAP] = "";
  int16_t read_result = 42;
  EXPECT_EQ(tavo_read_card(card, 0, no, room, begin, end, &read_result), kErrFileNotFound);
  EXPECT_EQ(read_result, 42);
  EXPECT_STREQ(no, "kept");
  EXPECT_EQ(tavo_close_port(card, nullptr, &result), 0);
  EXPECT_EQ(result, 0);
  tavo_card_release(card);
}

#elif defined(WITHOUT_CREATE_CARD)

TEST(WithoutCreateCard, OpenPortFailsWithEntryPointNotFound) {
  ASSERT_NE(TheRecording(), nullptr) << "the recording liblyComm.so is not on LD_LIBRARY_PATH";
  TavoCard card;
  const Failure open = FailureOf([&] { card.OpenPort(0); });
  EXPECT_EQ(open.hresult, kErrEntryPointNotFound);
  EXPECT_TRUE(Contains(open.message, "createCard")) << open.message;
  EXPECT_EQ(ThisThreadState().port_state, -1);
  EXPECT_EQ(card.ClosePort(), 0);
  EXPECT_EQ(TheRecording()->destroy_calls, 0);
}

#elif defined(CREATE_CARD_ONLY)

TEST(CreateCardOnly, ReadCardFailsWithEntryPointNotFoundAndClosePortAnswersZero) {
  Recording* rec = TheRecording();
  ASSERT_NE(rec, nullptr) << "the recording liblyComm.so is not on LD_LIBRARY_PATH";
  TavoCard card;
  EXPECT_EQ(card.OpenPort(0), 1);
  EXPECT_EQ(rec->create_calls, 1);

  std::string no = "kept", room, begin, end;
  const Failure read = FailureOf([&] { card.ReadCard(0, no, room, begin, end); });
  EXPECT_EQ(read.hresult, kErrEntryPointNotFound);
  EXPECT_TRUE(Contains(read.message, "readPass")) << read.message;
  EXPECT_EQ(no, "kept");
  EXPECT_EQ(card.ClosePort(), 0);  // destroyCard is missing: ignored
  EXPECT_EQ(ThisThreadState().port_state, 1);
  EXPECT_EQ(FailureOf(WriteCardImage(BlankCardImage()).status()).hresult, kErrEntryPointNotFound);
}

#else
#error "name the case: MISSING_LIBRARY, WITHOUT_CREATE_CARD or CREATE_CARD_ONLY"
#endif

}  // namespace
}  // namespace holvanter
