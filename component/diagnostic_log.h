// The diagnostic log: off unless the settings file has a [Log] section
// naming a file. Then each card method appends one line: the moment, the
// method, its inputs (the holder name shortened), the result, the time
// taken and, when the method did not do all its work, the reason. Other
// programs that read Tavoper.ini ignore the section.
//
//   [Log]
//   File=/var/log/holvanter/cards.log
//   Level=calls        ; every card method (the default); "failures": only
//                      ; those that did not do all their work; "off"
//
// The log never holds the database password, and a card method's line is
// always one line, whatever its inputs or its failure reason hold. It rolls
// at 4 MiB, keeping three older files (FILE.1 to FILE.3), and each file's
// first line says so.
#ifndef HOLVANTER_COMPONENT_DIAGNOSTIC_LOG_H_
#define HOLVANTER_COMPONENT_DIAGNOSTIC_LOG_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "component/call_context.h"
#include "component/thread_state.h"
#include "holvanter/tavo_card.h"

namespace holvanter {

// The inputs of an issue or check-out as the log shows them.
std::string IssueInputs(const std::string& begin, const std::string& end, int bldg_no,
                        int floor_no, const char* rooms_key, const std::string& rooms,
                        const std::string& holder);

// A holder name as the log shows it: its first two characters and "…".
std::string ShortenedName(std::string_view utf8);
// `text` with the database password masked wherever it stands, and the
// value of every PWD or PASSWORD keyword (any case, blanks allowed around
// '=') masked as a driver would read it: to the next ';' or the end, or a
// braced value ("{a;b}}c}") whole.
std::string WithoutPasswords(std::string text);
// `text` with every control character written out as the hosts' logs write
// them (util/log_escape.h): \n, \r, \t, \xNN for the other C0 controls, DEL
// and bytes that are no UTF-8, \uNNNN for C1 and bidirectional controls. A
// log line stays one line, and shows what it holds.
std::string EscapeControlCharacters(std::string_view text);

// Appends the line of one card method when the log is on.
void LogCardMethod(Env& env, const char* method, const std::string& inputs, const std::string& outcome,
                   bool failed, double milliseconds);

// Runs the body of a card method in a call context of its own: clears the
// thread's failure reason, times the body and logs it, a failed call with
// its message, and the card number `card_no` as the method left it. The
// call's database connection is closed before the method returns, whatever
// way it ends.
template <typename Body>
int16_t RunCardMethod(const char* method, const std::string& inputs, const std::string& card_no,
                      Body body) {
  ThreadState& state = ThisThreadState();
  state.failure_reason.clear();
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };
  CallContext context(ComponentEnv());
  try {
    const int16_t result = [&]() -> int16_t {
      try {
        return body(context);
      } catch (const StatusError& e) {
        ThrowIfFailed(e.status());  // the store's failure, as the caller sees it
        throw;
      }
    }();
    context.connection.reset();
    state.failure_reason = context.failure_reason;
    std::string outcome = "CardNo=" + card_no + " result=" + std::to_string(result);
    if (!state.failure_reason.empty()) outcome += " reason=\"" + state.failure_reason + "\"";
    LogCardMethod(context.env, method, inputs, outcome, result != 0, elapsed());
    return result;
  } catch (const TavoError& e) {
    context.connection.reset();
    state.failure_reason = e.what();
    char hresult[16];
    std::snprintf(hresult, sizeof hresult, "0x%08X", static_cast<unsigned>(e.hresult()));
    LogCardMethod(context.env, method, inputs,
                  "CardNo=" + card_no + " failed=" + hresult + " reason=\"" + e.what() + "\"", true,
                  elapsed());
    throw;
  }
}

}  // namespace holvanter

#endif  // HOLVANTER_COMPONENT_DIAGNOSTIC_LOG_H_
