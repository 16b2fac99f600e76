#include "hosts/agent/agent_log.h"

#include <ctime>
#include <iostream>
#include <mutex>

#include "util/log_escape.h"

namespace agent {

void Log(const std::string& line) {
  static std::mutex mutex;
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::lock_guard<std::mutex> lock(mutex);
  std::cout << stamp << " " << holvanter::EscapeForLog(line) << std::endl;
}

}  // namespace agent
