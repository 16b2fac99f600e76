// A stand-in encoder library for rehearsing at a front desk without the
// encoder: it offers the exports of the real library, and the card lying on
// the encoder of port N is a file (see sim_card_file.h) holding the card's
// 4-byte password and 28 data bytes.
//
// readPass and writePass answer 0 when the encoder is not open, when no card
// lies on it, or when the card's password differs; 1 when done.
// LYCOMM_SIM_FAIL makes one kind of call fail, so hosts can rehearse
// failures: "open" (createCard answers 0), "read" (readPass answers 0),
// "write" (writePass answers 0) or "write=N" (writePass answers the status
// byte N and writes nothing). "read#N" and "write#N" fail only the Nth
// readPass or writePass of the process (it answers 0 and reads or writes
// nothing; the calls before and after it work): a failure in the middle of
// a host's sequence, such as the read after a check-out or the write after
// an erase. Calls are counted from the library's load, or from the last
// lycomm_sim_fail call.
//
// lycomm_sim_fail(plan), exported beside the vendor's functions, gives the
// process a plan of the same form in place of LYCOMM_SIM_FAIL (an empty one
// fails nothing; a null one goes back to LYCOMM_SIM_FAIL) and counts
// afresh. A test that loads this library finds it with dlsym or
// GetProcAddress and plans each step's failure within one process.
//
// The source is meant to build unchanged as lyComm.dll with MinGW: plain C
// stdio only, exports listed in lyComm.def.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_card_file.h"

#ifdef _WIN32
#define SIM_EXPORT
#define SIM_STDCALL __stdcall
#else
#define SIM_EXPORT __attribute__((visibility("default")))
#define SIM_STDCALL
#endif

namespace {

// The 1-based port of the open encoder; 0 while closed. One encoder per
// process, as with the real device.
std::atomic<int> open_port{0};

// What fails, as LYCOMM_SIM_FAIL or lycomm_sim_fail names it.
enum class Fail { kNothing, kOpen, kRead, kWrite, kWriteStatus, kNthRead, kNthWrite };
struct Plan {
  Fail fail = Fail::kNothing;
  int n = 0;  // the status of kWriteStatus; the call of kNthRead and kNthWrite, from 1
};

Plan ParsePlan(const char* text) {
  const std::string mode = text != nullptr ? text : "";
  if (mode == "open") return {Fail::kOpen, 0};
  if (mode == "read") return {Fail::kRead, 0};
  if (mode == "write") return {Fail::kWrite, 0};
  if (mode.rfind("write=", 0) == 0) return {Fail::kWriteStatus, std::atoi(mode.c_str() + 6) & 0xFF};
  if (mode.rfind("read#", 0) == 0) return {Fail::kNthRead, std::atoi(mode.c_str() + 5)};
  if (mode.rfind("write#", 0) == 0) return {Fail::kNthWrite, std::atoi(mode.c_str() + 6)};
  return {};
}

// The plan of lycomm_sim_fail, packed as fail * 65536 + n so that a call on
// any thread reads it whole; -1 while LYCOMM_SIM_FAIL decides.
std::atomic<long> given_plan{-1};
// readPass and writePass calls so far.
std::atomic<long> reads{0}, writes{0};

Plan CurrentPlan() {
  const long given = given_plan.load();
  if (given < 0) return ParsePlan(std::getenv("LYCOMM_SIM_FAIL"));
  return {static_cast<Fail>(given / 65536), static_cast<int>(given % 65536)};
}

struct CardFile {
  uint8_t password[lycomm_sim::kPasswordSize];
  uint8_t data[lycomm_sim::kDataSize];
};

// The card on the open encoder; false when the encoder is closed or no
// (whole) card lies on it.
bool LoadCard(CardFile& card) {
  const int port = open_port.load();
  if (port == 0) return false;
  std::FILE* file = std::fopen(lycomm_sim::CardFile(port).c_str(), "rb");
  if (file == nullptr) return false;
  uint8_t bytes[lycomm_sim::kCardFileSize + 1];
  const std::size_t n = std::fread(bytes, 1, sizeof bytes, file);
  std::fclose(file);
  if (n != lycomm_sim::kCardFileSize) return false;
  std::memcpy(card.password, bytes, lycomm_sim::kPasswordSize);
  std::memcpy(card.data, bytes + lycomm_sim::kPasswordSize, lycomm_sim::kDataSize);
  return true;
}

bool StoreCard(const CardFile& card) {
  std::FILE* file = std::fopen(lycomm_sim::CardFile(open_port.load()).c_str(), "r+b");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(card.password, 1, lycomm_sim::kPasswordSize, file) ==
                      static_cast<std::size_t>(lycomm_sim::kPasswordSize) &&
                  std::fwrite(card.data, 1, lycomm_sim::kDataSize, file) ==
                      static_cast<std::size_t>(lycomm_sim::kDataSize);
  return std::fclose(file) == 0 && ok;
}

bool PasswordMatches(const CardFile& card, const uint8_t given[lycomm_sim::kPasswordSize]) {
  return std::memcmp(card.password, given, lycomm_sim::kPasswordSize) == 0;
}

}  // namespace

extern "C" {

SIM_EXPORT uint8_t SIM_STDCALL createCard(uint8_t port) {
  if (CurrentPlan().fail == Fail::kOpen) return 0;
  open_port.store(port);
  return 1;
}

SIM_EXPORT void SIM_STDCALL destroyCard() { open_port.store(0); }

SIM_EXPORT uint8_t SIM_STDCALL readPass(
    uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t* b0, uint8_t* b1, uint8_t* b2,
    uint8_t* b3, uint8_t* b4, uint8_t* b5, uint8_t* b6, uint8_t* b7, uint8_t* b8, uint8_t* b9,
    uint8_t* b10, uint8_t* b11, uint8_t* b12, uint8_t* b13, uint8_t* b14, uint8_t* b15,
    uint8_t* b16, uint8_t* b17, uint8_t* b18, uint8_t* b19, uint8_t* b20, uint8_t* b21,
    uint8_t* b22, uint8_t* b23, uint8_t* b24, uint8_t* b25, uint8_t* b26, uint8_t* b27) {
  const Plan plan = CurrentPlan();
  const long call = ++reads;
  if (plan.fail == Fail::kRead || (plan.fail == Fail::kNthRead && call == plan.n)) return 0;
  CardFile card;
  const uint8_t password[] = {p1, p2, p3, p4};
  if (!LoadCard(card) || !PasswordMatches(card, password)) return 0;
  uint8_t* places[lycomm_sim::kDataSize] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,
                                            b10, b11, b12, b13, b14, b15, b16, b17, b18, b19,
                                            b20, b21, b22, b23, b24, b25, b26, b27};
  for (int i = 0; i < lycomm_sim::kDataSize; ++i) {
    if (places[i] == nullptr) return 0;
  }
  for (int i = 0; i < lycomm_sim::kDataSize; ++i) *places[i] = card.data[i];
  return 1;
}

SIM_EXPORT uint8_t SIM_STDCALL writePass(
    uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t b0, uint8_t b1, uint8_t b2,
    uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7, uint8_t b8, uint8_t b9,
    uint8_t b10, uint8_t b11, uint8_t b12, uint8_t b13, uint8_t b14, uint8_t b15, uint8_t b16,
    uint8_t b17, uint8_t b18, uint8_t b19, uint8_t b20, uint8_t b21, uint8_t b22, uint8_t b23,
    uint8_t b24, uint8_t b25, uint8_t b26, uint8_t b27) {
  const Plan plan = CurrentPlan();
  const long call = ++writes;
  if (plan.fail == Fail::kWrite || (plan.fail == Fail::kNthWrite && call == plan.n)) return 0;
  if (plan.fail == Fail::kWriteStatus && plan.n != 1) return static_cast<uint8_t>(plan.n);
  CardFile card;
  const uint8_t password[] = {p1, p2, p3, p4};
  if (!LoadCard(card) || !PasswordMatches(card, password)) return 0;
  const uint8_t data[lycomm_sim::kDataSize] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,
                                               b10, b11, b12, b13, b14, b15, b16, b17, b18, b19,
                                               b20, b21, b22, b23, b24, b25, b26, b27};
  std::memcpy(card.data, data, lycomm_sim::kDataSize);
  return StoreCard(card) ? 1 : 0;
}

SIM_EXPORT void SIM_STDCALL lycomm_sim_fail(const char* plan) {
  if (plan == nullptr) {
    given_plan.store(-1);
  } else {
    const Plan parsed = ParsePlan(plan);
    given_plan.store(static_cast<long>(parsed.fail) * 65536 + (parsed.n & 0xFFFF));
  }
  reads.store(0);
  writes.store(0);
}

// Exported like the real library's but never called by the component. They
// take any argument list (the caller removes what it pushed) and do nothing.
SIM_EXPORT uint8_t initCard(...) { return 0; }
SIM_EXPORT uint8_t amendPass(...) { return 0; }
SIM_EXPORT uint8_t WriteCard(...) { return 0; }
SIM_EXPORT uint8_t ReadCard(...) { return 0; }

}  // extern "C"
