#include "hosts/agent/agent_log.h"

#include <iostream>
#include <mutex>

#include "hosts/clock/clock.h"
#include "util/log_escape.h"

namespace agent {

void Log(const std::string& line) {
  static std::mutex mutex;
  // The log's stamps are the system's time, whichever clock the agent's
  // rules run on: a reader matches them with the hotel's other logs.
  const std::string stamp = hosts::UtcTimeText(hosts::Clock::System());
  std::lock_guard<std::mutex> lock(mutex);
  std::cout << stamp << " " << holvanter::EscapeForLog(line) << std::endl;
}

}  // namespace agent
