// The bearer token that every card request must carry: made at first start,
// kept in a file that only its owner can read.
#ifndef HOLVANTER_HOSTS_AGENT_TOKEN_H_
#define HOLVANTER_HOSTS_AGENT_TOKEN_H_

#include <string>

#include "util/status.h"

namespace agent {

// Where the token lives unless --token-file says otherwise:
// $XDG_STATE_HOME/holvanter/agent-token (~/.local/state/...) on Linux,
// %LOCALAPPDATA%\Holvanter\agent-token on Windows. Empty when that folder is
// unknown (no HOME, no LOCALAPPDATA): never the working folder, which may
// be anyone's.
std::string DefaultTokenFile();

// Makes `folder` the agent's state folder for this process, in place of the
// user's: the Windows service keeps its token, key, journal and desks
// registry in a folder of the machine's (%ProgramData%\Holvanter).
void SetStateFolder(const std::string& folder);

struct Token {
  std::string value;
  bool made = false;  // made now, not read from an earlier start
};
// Reads the token at `path`, or makes a new one (128 random bits as 32 hex
// figures) that its owner alone may read (on Windows: an access list of its
// own). An existing token file is narrowed to its owner. Answers why when
// neither works.
holvanter::Result<Token> LoadOrCreateToken(const std::string& path);

// Compares in time independent of where the texts differ.
bool SameToken(const std::string& a, const std::string& b);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_TOKEN_H_
