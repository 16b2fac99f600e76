// tavocard serve: the bearer token and the kept Idempotency-Keys loaded,
// then the agent run until it is stopped; and the stop from a service
// manager's thread (tavocard service on Windows).
#include <filesystem>
#include <iostream>
#include <mutex>

#include "hosts/agent/agent.h"
#include "hosts/agent/agent_log.h"
#include "hosts/agent/agent_server.h"
#include "hosts/agent/idempotency.h"
#include "hosts/agent/token.h"
#include "hosts/clock/clock.h"
#include "hosts/frontdesk/exit_status.h"
#include "platform/paths.h"

namespace agent {
namespace {

// The agent that Serve runs, for a service manager that stops it from a
// thread of its own.
struct Running {
  std::mutex mutex;
  AgentServer* server = nullptr;   // while it listens
  std::string stop_asked;          // a stop that came before it listened
  std::function<void(const std::string&)> listening;
};

Running& TheRunning() {
  static Running running;
  return running;
}

}  // namespace

void SetListeningHook(std::function<void(const std::string& where)> hook) {
  Running& running = TheRunning();
  std::lock_guard<std::mutex> lock(running.mutex);
  running.listening = std::move(hook);
}

void StopServing(const std::string& why) {
  Running& running = TheRunning();
  std::lock_guard<std::mutex> lock(running.mutex);
  if (running.server == nullptr) {
    running.stop_asked = why;
    return;
  }
  running.server->Stop(why);
}

int Serve(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
          std::optional<DesksSetup> desks) {
  const std::string token_file =
      options.token_file.empty() ? DefaultTokenFile() : options.token_file;
  if (token_file.empty()) {
    std::cerr << "tavocard serve: no folder of this user's own for the token ("
#ifdef _WIN32
                 "LOCALAPPDATA"
#else
                 "XDG_STATE_HOME or HOME"
#endif
                 " is not set); give one with --token-file PATH\n";
    return frontdesk::kExitUsage;
  }
  // The one place the agent's clock is chosen: the system's.
  const hosts::Clock& clock = hosts::Clock::System();
  AgentServer server(options, std::move(key_link), std::move(desks), clock);
  // The port first: a start on a port where an agent already listens ends
  // here, before it touches the token (with --new-token it would replace a
  // token that the running agent never reads again, and look like a
  // revocation) or that agent's kept answers.
  if (const std::optional<int> failed = server.Listen()) {
    if (options.new_token && *failed == frontdesk::kExitFailedCall)
      std::cerr << "tavocard serve: --new-token: the token is left as it was; if an agent listens "
                   "on that port, stop it first, then start again with --new-token\n";
    return *failed;
  }
  if (options.new_token) {
    // A new token revokes the old one, and this start every page session
    // (they live in the running agent's memory only): an old token that
    // cannot be removed would be loaded again and stay valid, so the agent
    // does not start on it.
    std::error_code failed;
    std::filesystem::remove(holvanter::Utf8Path(token_file), failed);
    if (failed) {
      std::cerr << "tavocard serve: --new-token: cannot remove the old token " << token_file
                << ": " << failed.message() << "\n";
      return frontdesk::kExitFailedCall;
    }
  }
  const holvanter::Result<Token> loaded = LoadOrCreateToken(token_file);
  if (!loaded.ok()) {
    std::cerr << "tavocard serve: " << loaded.status().message() << "\n";
    return frontdesk::kExitFailedCall;
  }
  const Token& token = loaded.value();
  // The log (a journal, a console kept open) is read by more people than
  // the token file: the token shows once, when it is made.
  if (token.made)
    std::cout << "bearer token " << token.value << " made and kept in " << token_file
              << " (readable by its owner only); it is not shown again" << std::endl;
  else
    std::cout << "bearer token kept in " << token_file << std::endl;
  holvanter::Result<std::unique_ptr<IdempotencyKeys>> idempotency =
      IdempotencyKeys::Open(BesideTokenFile(options, "idempotency-keys"), clock, Log);
  if (!idempotency.ok()) {
    std::cerr << "tavocard serve: " << idempotency.status().message() << "\n";
    return frontdesk::kExitFailedCall;
  }
  return server.Run(
      token.value, std::move(*idempotency),
      [&server](const std::string& where) {
        std::string stop_asked;
        std::function<void(const std::string&)> listening;
        {
          Running& running = TheRunning();
          std::lock_guard<std::mutex> lock(running.mutex);
          running.server = &server;
          stop_asked = running.stop_asked;
          listening = running.listening;
        }
        if (!stop_asked.empty()) server.Stop(stop_asked);
        if (listening) listening(where);
      },
      [] {
        Running& running = TheRunning();
        std::lock_guard<std::mutex> lock(running.mutex);
        running.server = nullptr;
      });
}

}  // namespace agent
