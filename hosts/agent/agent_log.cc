#include "hosts/agent/agent_log.h"

#include <iostream>
#include <mutex>

#include "hosts/fias/clock.h"
#include "util/log_escape.h"

namespace agent {

void Log(const std::string& line) {
  static std::mutex mutex;
  const std::string stamp = fias::UtcTimeText();
  std::lock_guard<std::mutex> lock(mutex);
  std::cout << stamp << " " << holvanter::EscapeForLog(line) << std::endl;
}

}  // namespace agent
