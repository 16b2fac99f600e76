// The front-desk agent: a local HTTP service through which a browser-based
// PMS issues, reads and checks out cards on the encoder of this desk.
#ifndef HOLVANTER_HOSTS_AGENT_AGENT_H_
#define HOLVANTER_HOSTS_AGENT_AGENT_H_

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "hosts/fias/key_service.h"
#include "hosts/fias/link.h"
#include "util/status.h"

namespace agent {

struct AgentOptions {
  std::string address = "127.0.0.1";
  int port = 8866;
  int encoder_port = 0;                  // 0-based, as OpenPort counts
  std::string token_file;                // empty: the default path
  bool new_token = false;                // replace the token (and revoke the page cookies)
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
  double fias_la_wait_seconds = 30;      // the interface's LA after the description

  // Desks joining the link desk, as given; DesksSetupOf checks them.
  std::string desks_listen;              // ADDR:PORT the link desk listens on for desks
  std::string join;                      // HOST:PORT of the link desk this desk joins
  std::string desk;                      // this desk's name
  std::string pair;                      // the pairing code of the first join
};

// The minutes after midnight of an "HH:MM" time of day; nullopt for any
// other text.
std::optional<int> MinutesOfDay(const std::string& hh_mm);

// An invalid argument naming the option when --checkin-time or
// --checkout-time is not HH:MM.
holvanter::Status CheckHotelHours(const AgentOptions& options);

// The sections a settings file of tavocard serve may have, by name in
// lower case, each with the keys it takes (lower case); a section given no
// keys takes any (the room map: its keys are the PMS's room names).
using SettingsSections = std::map<std::string, std::vector<std::string>>;
// The text of the settings file `file` with its section names, and the keys
// of every section that names its keys, in lower case, so that the
// reader finds "[Serve]" and "Listen-Port" too; or an invalid argument
// naming the file, the line (number and text) and the nearest known section
// or key, for the first line that is no known section, no known key, not
// "key = value" (a value over several lines of an array "[...]" is one), a
// blank line or a comment (# or ;).
holvanter::Result<std::string> CheckedSettings(const std::string& file, const std::string& text,
                                               const SettingsSections& sections);

// The key link as the agent runs it.
struct KeyLinkSetup {
  std::string host, port;
  fias::KeyServiceOptions keys;
  fias::LinkSettings link;
  std::string journal;
  std::string authkey_note;  // the log line saying which key, if any, proves the link
};
// The key link of `options` (nullopt without --fias), with the room lines of
// a settings file's [fias-rooms] section (`rooms_file`, empty: none), or an
// invalid argument naming the option that is wrong.
holvanter::Result<std::optional<KeyLinkSetup>> KeyLinkSetupOf(const AgentOptions& options,
                                                              const std::string& rooms_file);

// An invalid argument naming the first PMS room of the room map
// (--fias-room, [fias-rooms]) whose place the hotel's RoomList lacks: every
// key request for it would be refused. A database that cannot be reached
// cannot say: then the answer is a warning for the log (empty: none), and
// the link runs.
holvanter::Result<std::string> CheckRoomTargets(const KeyLinkSetup& key_link);

// The desks' link as the agent runs it: the link desk listens for desks,
// a desk joins the link desk.
struct DesksSetup {
  std::string listen_address;  // the link desk's
  unsigned short listen_port = 0;
  std::string registry;        // its registry of paired desks
  std::map<std::string, std::vector<std::string>> coders;  // desk -> key coders

  std::string join_host, join_port;  // a desk's
  std::string desk, pairing_code, secret_file, journal;
};
// The desks' part of `options` (nullopt when neither --desks-listen nor
// --join is given), checked against `key_link`; or an invalid argument
// naming the option that is wrong.
holvanter::Result<std::optional<DesksSetup>> DesksSetupOf(
    const AgentOptions& options, const std::optional<KeyLinkSetup>& key_link);

// The file of the agent's own state named `name`, beside its token file.
std::string BesideTokenFile(const AgentOptions& options, const std::string& name);

// Serves until SIGINT or SIGTERM, or StopServing; returns the process exit
// status.
int Serve(const AgentOptions& options, std::optional<KeyLinkSetup> key_link,
          std::optional<DesksSetup> desks);

// For a service manager that runs Serve (tavocard service on Windows): the
// hook is called once the agent listens and its key link and desks have
// started, with the address it answers on ("http://127.0.0.1:8866/").
void SetListeningHook(std::function<void(const std::string& where)> hook);
// Stops the agent that Serve runs as SIGTERM does, from any thread; a stop
// that comes while it is starting stops it as soon as it listens. `why`
// goes to the log ("stopping on WHY").
void StopServing(const std::string& why);

// tavocard serve | decode | service
void AddAgentCommands(CLI::App& app);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_AGENT_H_
