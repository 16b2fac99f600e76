// The C face with any buffer contents, any texts and any card on the
// encoder (the stand-in encoder library beside the component): never a
// crash and never a byte read or written past a buffer of TAVO_TEXT_CAP
// bytes, even one without its terminating zero. tavo_read_card hands over
// exactly the texts the C++ face reads and leaves every buffer whose text
// did not change as it was. The settings file names a file that is no
// database, so an issue or check-out ends before the card is written: it
// answers a negative result code or a failure with its message, with CardNo
// and the card as they were.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "card/encoder_link.h"
#include "fuzz/fuzz_check.h"
#include "holvanter/holvanter.h"
#include "holvanter/tavo_card.h"
#include "platform/env.h"
#include "store/settings.h"

namespace {

using Buffer = std::array<char, TAVO_TEXT_CAP>;

struct Desk {
  std::string card_file;
  holvanter::TavoCard* cpp = nullptr;
  tavo_card* c = nullptr;
};

// A new file each time: rewriting one in place makes the file system flush
// it to disk at every close, which would bound the run by the disk.
void WriteText(const std::string& path, const std::string& text) {
  std::remove(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  FUZZ_CHECK(out.good(), "cannot write " + path);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A front desk whose encoder holds a card file of our own and whose
// settings file names a file that is no database.
const Desk& TheDesk() {
  static const Desk desk = [] {
    static char folder[] = "/tmp/holvanter-fuzz-desk.XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr, "mkdtemp");
    std::atexit([] { std::filesystem::remove_all(folder); });
    setenv("LYCOMM_SIM_DIR", folder, 1);
    const std::string not_a_database = std::string(folder) + "/hotel.txt";
    WriteText(not_a_database, "not a hotel database\n");
    holvanter::Env* env = holvanter::Env::Default();
    WriteText(holvanter::SettingsFilePath(*env),
              "[Setting]\nDataBase=" + not_a_database + "\n");

    Desk d;
    d.card_file = std::string(folder) + "/port1.card";
    WriteText(d.card_file, std::string(4 + holvanter::kCardImageSize, '\xFF'));
    d.cpp = new holvanter::TavoCard;  // before the port opens: creating one resets it
    int32_t port = 0;
    FUZZ_CHECK(tavo_card_create(&d.c) == 0, tavo_last_error());
    FUZZ_CHECK(tavo_open_port(d.c, 0, nullptr, &port) == 0 && port == 1, tavo_last_error());
    return d;
  }();
  return desk;
}

// The card password as the encoder stores it, then the card's 28 bytes.
std::string CardFileBytes(const std::vector<uint8_t>& image) {
  const auto password = holvanter::CardPasswordBytes();
  std::string bytes(password.begin(), password.end());
  bytes.append(image.begin(), image.end());
  bytes.resize(4 + holvanter::kCardImageSize, '\xFF');
  return bytes;
}

// A buffer of exactly TAVO_TEXT_CAP bytes, with a zero somewhere or none.
Buffer FillBuffer(FuzzedDataProvider& input) {
  Buffer buffer;
  buffer.fill('7');
  const std::vector<char> bytes = input.ConsumeBytes<char>(input.ConsumeIntegralInRange(0, 64));
  if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  return buffer;
}

std::string TextIn(const Buffer& buffer) {
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

void CheckHandedOver(const char* name, const Buffer& before, const Buffer& after,
                     const std::string& text) {
  if (text == TextIn(before)) {
    FUZZ_CHECK(before == after, std::string(name) + " changed although its text did not");
  } else {
    FUZZ_CHECK(text.size() < TAVO_TEXT_CAP &&
                   std::memcmp(after.data(), text.c_str(), text.size() + 1) == 0,
               std::string(name) + " holds [" + TextIn(after) + "] instead of [" + text + "]");
  }
}

void ReadCardBothFaces(const Desk& desk, FuzzedDataProvider& input) {
  std::array<Buffer, 4> before;
  for (Buffer& b : before) b = FillBuffer(input);
  std::array<Buffer, 4> c_side = before;
  int16_t c_result = 0;
  const int32_t rc = tavo_read_card(desk.c, 0, c_side[0].data(), c_side[1].data(),
                                    c_side[2].data(), c_side[3].data(), &c_result);
  FUZZ_CHECK(rc == 0, tavo_last_error());

  std::array<std::string, 4> texts;
  for (int i = 0; i < 4; ++i) texts[i] = TextIn(before[i]);
  const int16_t cpp_result = desk.cpp->ReadCard(0, texts[0], texts[1], texts[2], texts[3]);
  FUZZ_CHECK(c_result == cpp_result, std::to_string(c_result) + " " + std::to_string(cpp_result));
  static const char* const kNames[] = {"CardNo", "RoomNO", "BeginDate", "EndDate"};
  for (int i = 0; i < 4; ++i) CheckHandedOver(kNames[i], before[i], c_side[i], texts[i]);
}

// A text argument: any bytes up to a zero, or NULL.
const char* TextArgument(FuzzedDataProvider& input, std::string& storage) {
  if (input.ConsumeIntegralInRange(0, 15) == 0) return nullptr;
  storage = input.ConsumeRandomLengthString(40);
  return storage.c_str();
}

void IssueWithoutDatabase(const Desk& desk, FuzzedDataProvider& input) {
  const bool villa = input.ConsumeBool();
  std::string begin, end, rooms, name;
  const char* begin_arg = TextArgument(input, begin);
  const char* end_arg = TextArgument(input, end);
  const char* rooms_arg = TextArgument(input, rooms);
  const char* name_arg = TextArgument(input, name);
  const auto bldg_no = input.ConsumeIntegral<int16_t>();
  const auto floor_no = input.ConsumeIntegral<int16_t>();
  const Buffer card_no_before = FillBuffer(input);
  Buffer card_no = card_no_before;
  const std::string card_before = ReadText(desk.card_file);

  int16_t result = 1;
  const int32_t rc =
      (villa ? tavo_villa_card : tavo_write_card)(desk.c, 0, begin_arg, end_arg, card_no.data(),
                                                  bldg_no, floor_no, rooms_arg, name_arg, &result);
  FUZZ_CHECK(rc == 0 ? result < 0 : *tavo_last_error() != '\0',
             "rc " + std::to_string(rc) + ", result " + std::to_string(result));
  FUZZ_CHECK(card_no == card_no_before, "CardNo changed: [" + TextIn(card_no) + "]");
  FUZZ_CHECK(ReadText(desk.card_file) == card_before, "the card was written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Desk& desk = TheDesk();
  FuzzedDataProvider input(data, size);
  WriteText(desk.card_file, CardFileBytes(input.ConsumeBytes<uint8_t>(holvanter::kCardImageSize)));
  ReadCardBothFaces(desk, input);
  IssueWithoutDatabase(desk, input);
  return 0;
}
