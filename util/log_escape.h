// One line of a log is one event: whatever a value brings in (a PMS field,
// an HTTP target, a refusal from whoever answers at an address, a driver's
// message) is written out where it could break the line, forge another one
// or turn a terminal or viewer against its reader.
#ifndef HOLVANTER_UTIL_LOG_ESCAPE_H_
#define HOLVANTER_UTIL_LOG_ESCAPE_H_

#include <string>
#include <string_view>

namespace holvanter {

// `text` with tab, line feed and carriage return written as \t \n \r; the
// other C0 controls, DEL and every byte that is not part of valid UTF-8 as
// \xNN; the C1 controls, the bidirectional controls (which reorder what a
// viewer shows) and the line and paragraph separators as \uNNNN. Valid
// UTF-8 text otherwise passes as it is, backslashes too.
std::string EscapeForLog(std::string_view text);

}  // namespace holvanter

#endif  // HOLVANTER_UTIL_LOG_ESCAPE_H_
