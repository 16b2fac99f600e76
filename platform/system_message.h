// The system's own words for a Windows error code.
#ifndef HOLVANTER_PLATFORM_SYSTEM_MESSAGE_H_
#define HOLVANTER_PLATFORM_SYSTEM_MESSAGE_H_

#ifdef _WIN32
#include <string>

namespace holvanter {

// The text Windows gives for `error` (a GetLastError() or a status of the
// registry and security calls), in UTF-8 whatever the desk's ANSI code page:
// on a Chinese desk the message reads in the log as the system wrote it,
// not as GBK bytes. Without a text, "Windows error N".
std::string SystemMessage(unsigned long error);

}  // namespace holvanter

#endif  // _WIN32
#endif  // HOLVANTER_PLATFORM_SYSTEM_MESSAGE_H_
