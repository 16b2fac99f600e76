// The C face: a thin adapter over TavoCard. Nothing thrown inside the
// component crosses it; every failure becomes its HRESULT and a message that
// tavo_last_error() returns on the same thread.
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "component/diagnostic_log.h"
#include "component/thread_state.h"
#include "holvanter/holvanter.h"
#include "holvanter/tavo_card.h"

struct tavo_card {
  holvanter::TavoCard object;
};

namespace {

using holvanter::kErrPointer;
using holvanter::kErrFail;

thread_local std::string last_error;

// A caller's in/out buffer: read at most TAVO_TEXT_CAP bytes, so a buffer
// that lacks its terminating zero is never read past its end.
std::string ReadBuffer(const char* buffer) {
  return std::string(buffer, strnlen(buffer, TAVO_TEXT_CAP));
}

std::string ReadText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Stores `value` into the caller's buffer when the method replaced it. A value
// too long for the buffer is cut to TAVO_TEXT_CAP - 1 bytes at a character
// boundary (no output of the component comes near that length).
void WriteBackIfChanged(char* buffer, const std::string& before, const std::string& after) {
  if (after == before) return;
  std::size_t n = after.size();
  if (n > TAVO_TEXT_CAP - 1) {
    n = TAVO_TEXT_CAP - 1;
    while (n > 0 && (static_cast<unsigned char>(after[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buffer, after.data(), n);
  buffer[n] = '\0';
}

// Runs one method call: 0 when it ran, else the HRESULT of the failure.
template <typename Body>
int32_t Guarded(Body&& body) noexcept {
  try {
    last_error.clear();
    body();
    return 0;
  } catch (const holvanter::TavoError& e) {
    try {
      last_error = e.what();
    } catch (...) {
    }
    return e.hresult();
  } catch (const std::exception& e) {
    try {
      last_error = e.what();
    } catch (...) {
    }
    return kErrFail;
  } catch (...) {
    try {
      last_error = "unknown failure";
    } catch (...) {
    }
    return kErrFail;
  }
}

int32_t NullArgument(const char* what) noexcept {
  try {
    last_error = std::string("Invalid pointer: ") + what + " is NULL";
  } catch (...) {
  }
  return kErrPointer;
}

// WriteCard and VillaCard through the C face: the same parameters, rooms
// aside.
using IssueMethod = int16_t (holvanter::TavoCard::*)(int32_t, const std::string&,
                                                     const std::string&, std::string&, int16_t,
                                                     int16_t, const std::string&,
                                                     const std::string&);

int32_t CallIssueMethod(IssueMethod method, tavo_card* card, int32_t IcDevH,
                        const char* BeginDate, const char* EndDate, char* CardNo, int16_t BldgNo,
                        int16_t FloorNo, const char* rooms, const char* HoderName,
                        int16_t* result) {
  if (card == nullptr) return NullArgument("card");
  if (CardNo == nullptr) return NullArgument("CardNo");
  if (result == nullptr) return NullArgument("result");
  return Guarded([&] {
    const std::string before = ReadBuffer(CardNo);
    std::string card_no = before;
    // The card number is handed back even when the call then fails: the
    // database already holds it.
    struct WriteBack {
      char* buffer;
      const std::string& before;
      std::string& after;
      ~WriteBack() { WriteBackIfChanged(buffer, before, after); }
    } write_back{CardNo, before, card_no};
    *result = (card->object.*method)(IcDevH, ReadText(BeginDate), ReadText(EndDate), card_no,
                                     BldgNo, FloorNo, ReadText(rooms), ReadText(HoderName));
  });
}

}  // namespace

extern "C" {

int32_t tavo_card_create(tavo_card** card) {
  if (card == nullptr) return NullArgument("card");
  return Guarded([&] { *card = new tavo_card; });
}

void tavo_card_release(tavo_card* card) { delete card; }

int32_t tavo_open_port(tavo_card* card, int32_t port, const int32_t* baud, int32_t* result) {
  if (card == nullptr) return NullArgument("card");
  if (result == nullptr) return NullArgument("result");
  return Guarded([&] {
    std::optional<int32_t> baud_value;
    if (baud != nullptr) baud_value = *baud;
    *result = card->object.OpenPort(port, baud_value);
  });
}

int32_t tavo_close_port(tavo_card* card, const int32_t* IcDevH, int32_t* result) {
  if (card == nullptr) return NullArgument("card");
  if (result == nullptr) return NullArgument("result");
  return Guarded([&] {
    std::optional<int32_t> handle;
    if (IcDevH != nullptr) handle = *IcDevH;
    *result = card->object.ClosePort(handle);
  });
}

int32_t tavo_write_card(tavo_card* card, int32_t IcDevH, const char* BeginDate,
                        const char* EndDate, char* CardNo, int16_t BldgNo, int16_t FloorNo,
                        const char* Rooms, const char* HoderName, int16_t* result) {
  return CallIssueMethod(&holvanter::TavoCard::WriteCard, card, IcDevH, BeginDate, EndDate, CardNo,
                         BldgNo, FloorNo, Rooms, HoderName, result);
}

int32_t tavo_read_card(tavo_card* card, int32_t IcDevH, char* CardNo, char* RoomNO,
                       char* BeginDate, char* EndDate, int16_t* result) {
  if (card == nullptr) return NullArgument("card");
  if (CardNo == nullptr) return NullArgument("CardNo");
  if (RoomNO == nullptr) return NullArgument("RoomNO");
  if (BeginDate == nullptr) return NullArgument("BeginDate");
  if (EndDate == nullptr) return NullArgument("EndDate");
  if (result == nullptr) return NullArgument("result");
  return Guarded([&] {
    const std::string card_before = ReadBuffer(CardNo);
    const std::string room_before = ReadBuffer(RoomNO);
    const std::string begin_before = ReadBuffer(BeginDate);
    const std::string end_before = ReadBuffer(EndDate);
    std::string card_no = card_before, room_no = room_before, begin = begin_before,
                end = end_before;
    *result = card->object.ReadCard(IcDevH, card_no, room_no, begin, end);
    WriteBackIfChanged(CardNo, card_before, card_no);
    WriteBackIfChanged(RoomNO, room_before, room_no);
    WriteBackIfChanged(BeginDate, begin_before, begin);
    WriteBackIfChanged(EndDate, end_before, end);
  });
}

int32_t tavo_villa_card(tavo_card* card, int32_t IcDevH, const char* BeginDate,
                        const char* EndDate, char* CardNo, int16_t BldgNo, int16_t FloorNo,
                        const char* RoomNO, const char* HoderName, int16_t* result) {
  return CallIssueMethod(&holvanter::TavoCard::VillaCard, card, IcDevH, BeginDate, EndDate, CardNo,
                         BldgNo, FloorNo, RoomNO, HoderName, result);
}

const char* tavo_last_error(void) { return last_error.c_str(); }

const char* tavo_last_reason(void) {
  thread_local std::string reason;
  try {
    // Read from the thread's state: creating an object would reset the port.
    reason = holvanter::WithoutPasswords(holvanter::ThisThreadState().failure_reason);
  } catch (...) {
    reason.clear();
  }
  return reason.c_str();
}

}  // extern "C"
