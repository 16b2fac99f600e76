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
  AgentServer(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
              std::optional<DesksSetup> desks, const hosts::Clock& clock);
  ~AgentServer();

  // Takes the HTTP port, before anything of the agent's state is read or
  // written: a second start on a port an agent already listens on stops
  // here, and leaves that agent's token and kept answers as they are. The
  // exit status when it cannot (said on stderr), nullopt when it listens.
  std::optional<int> Listen();
  // Serves with the bearer token `token` and the kept Idempotency-Keys
  // until stopped (listening first when Listen was not called); the process
  // exit status. `listening` is called once it serves, with the address it
  // answers on; `ended` once its loop has ended.
  int Run(std::string token, std::unique_ptr<IdempotencyKeys> idempotency,
          const std::function<void(const std::string& where)>& listening,
          const std::function<void()>& ended);
  // Stops it as SIGTERM does; any thread.
  void Stop(const std::string& why);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_SERVER_H_
