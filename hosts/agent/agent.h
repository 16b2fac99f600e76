// The front-desk agent: a local HTTP service through which a browser-based
// PMS issues, reads and checks out cards on the encoder of this desk.
#ifndef HOLVANTER_HOSTS_AGENT_AGENT_H_
#define HOLVANTER_HOSTS_AGENT_AGENT_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "hosts/fias/key_service.h"
#include "hosts/fias/link.h"

namespace agent {

struct AgentOptions {
  std::string address = "127.0.0.1";
  int port = 8866;
  int encoder_port = 0;                  // 0-based, as OpenPort counts
  std::string token_file;                // empty: the default path
  std::vector<std::string> origins;      // the browser origins CORS answers
  double queue_wait_seconds = 30;        // longest wait for the encoder
  // The hotel's hours, HH:MM, which the page proposes for a stay.
  std::string checkin_time = "14:00";
  std::string checkout_time = "12:00";

  // The PMS key link (FIAS), as given; KeyLinkSetupOf checks it.
  std::string fias;                      // HOST:PORT of the PMS interface; empty: no link
  std::vector<std::string> fias_coders;  // KC=PORT
  std::vector<std::string> fias_rooms;   // PMSROOM=BUILDING,FLOOR,ROOM
  std::string fias_encoding = "windows-1252";
  std::string fias_checkout_time;        // empty: checkout_time
  std::string fias_authkey_file;         // empty: no connection authentication
  std::string fias_journal;              // empty: beside the token file
};

// The minutes after midnight of an "HH:MM" time of day; nullopt for any
// other text.
std::optional<int> MinutesOfDay(const std::string& hh_mm);

// Throws std::invalid_argument naming the option when --checkin-time or
// --checkout-time is not HH:MM.
void CheckHotelHours(const AgentOptions& options);

// The key link as the agent runs it.
struct KeyLinkSetup {
  std::string host, port;
  fias::KeyServiceOptions keys;
  fias::LinkSettings link;
  std::string journal;
};
// The key link of `options` (nullopt without --fias), with the room lines of
// a settings file's [fias-rooms] section (`rooms_file`, empty: none). Throws
// std::invalid_argument naming the option that is wrong.
std::optional<KeyLinkSetup> KeyLinkSetupOf(const AgentOptions& options,
                                           const std::string& rooms_file);

// Serves until SIGINT or SIGTERM; returns the process exit status.
int Serve(const AgentOptions& options, std::optional<KeyLinkSetup> key_link);

// tavocard serve | decode
void AddAgentCommands(CLI::App& app);

// The embedded front-desk page and API description.
extern const char kFrontDeskPage[];
extern const char kOpenApiDocument[];
// The page's own script and style sheet; nullptr when the page has none.
extern const char* const kPageScript;
extern const char* const kPageStyle;
// The SHA-256 of each inline <script> and <style> element of the page, as
// hexadecimal figures, each after a blank.
extern const char kPageScriptHashes[];
extern const char kPageStyleHashes[];

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_H_
