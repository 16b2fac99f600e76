// The front-desk agent: a local HTTP service through which a browser-based
// PMS issues, reads and checks out cards on the encoder of this desk.
#ifndef HOLVANTER_HOSTS_AGENT_AGENT_H_
#define HOLVANTER_HOSTS_AGENT_AGENT_H_

#include <chrono>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace agent {

struct AgentOptions {
  std::string address = "127.0.0.1";
  int port = 8866;
  int encoder_port = 0;                  // 0-based, as OpenPort counts
  std::string token_file;                // empty: the default path
  std::vector<std::string> origins;      // the browser origins CORS answers
  double queue_wait_seconds = 30;        // longest wait for the encoder
};

// Serves until SIGINT or SIGTERM; returns the process exit status.
int Serve(const AgentOptions& options);

// tavocard serve | decode
void AddAgentCommands(CLI::App& app);

// The embedded front-desk page and API description.
extern const char kFrontDeskPage[];
extern const char kOpenApiDocument[];

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_H_
