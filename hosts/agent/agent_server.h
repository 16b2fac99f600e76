// The running agent: its encoder workers, its key link and desks, the HTTP
// listener, the dispatch of each request through the route table and the
// security policy, and the ordered stop. Every part of it takes its time
// from the one clock it is given.
#ifndef HOLVANTER_HOSTS_AGENT_AGENT_SERVER_H_
#define HOLVANTER_HOSTS_AGENT_AGENT_SERVER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "hosts/agent/agent.h"
#include "hosts/agent/idempotency.h"
#include "hosts/clock/clock.h"

namespace agent {

class AgentServer {
 public:
  AgentServer(const AgentOptions& options, std::string token, std::optional<KeyLinkSetup> key_link,
              std::optional<DesksSetup> desks, std::unique_ptr<IdempotencyKeys> idempotency,
              const hosts::Clock& clock);
  ~AgentServer();

  // Listens and serves until stopped; the process exit status. `listening`
  // is called once it listens, with the address it answers on; `ended` once
  // its loop has ended.
  int Run(const std::function<void(const std::string& where)>& listening,
          const std::function<void()>& ended);
  // Stops it as SIGTERM does; any thread.
  void Stop(const std::string& why);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_SERVER_H_
