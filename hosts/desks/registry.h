// Who may join the link desk, and with what: the link desk's registry of
// paired desks and their pending pairing codes, and a desk's own secret.
//
// The registry is a text file beside the agent's token file ("desks"),
// readable by its owner alone (one that others may read is refused: it
// holds every desk's secret), rewritten whole (a new file renamed over the
// old one) under a lock, since `tavocard desks` and the running agent both
// change it. One line per entry, fields separated by tabs:
//   desk  NAME  SECRET(64 hex)  PAIRED-AT(unix seconds)
//   code  NAME  CODE            EXPIRES-AT(unix seconds)
// A desk's own file ("desk-secret" beside its token file) holds one line:
//   NAME  SECRET(64 hex)
#ifndef HOLVANTER_HOSTS_DESKS_REGISTRY_H_
#define HOLVANTER_HOSTS_DESKS_REGISTRY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hosts/desks/desk_name.h"
#include "hosts/desks/mac.h"
#include "util/status.h"

namespace desks {

// IsDeskName (desk_name.h): a desk name as it appears in --fias-coder
// KC=NAME:PORT and in the files above.

// How long a pairing code is good for.
constexpr int64_t kPairingCodeSeconds = 10 * 60;

// A pairing code as the clerk types it: 16 characters of an alphabet with
// no 0/O, 1/I/L or U, in four groups ("7KQ4-XM2C-9RTB-H3WD"), 80 bits. A
// short code guessed offline would give away the desk's secret, which is
// derived from it. A failure of the system's random source is answered.
holvanter::Result<std::string> NewPairingCode();
// The code in its one form: upper case, groups kept, blanks dropped; empty
// when `typed` is not a code.
std::string NormalizePairingCode(const std::string& typed);

struct DeskEntry {
  std::string name;
  bool paired = false;
  int64_t paired_at = 0;       // paired
  int64_t code_expires = 0;    // a pairing code pending (0: none)
};

// Every call answers a failure (a file that cannot be read, locked or
// written, a line that is none, a name that is no desk's) with a message
// that names the registry and what is wrong.
class DeskRegistry {
 public:
  explicit DeskRegistry(std::string path);

  // A new pairing code for `desk` valid until now + kPairingCodeSeconds; it
  // replaces a pending one. A desk already paired keeps its secret until it
  // pairs again with this code.
  // With `set_aside`, lines of the file that are none are moved to its
  // ".bad" file instead of stopping the change, and `set_aside` says so.
  holvanter::Result<std::string> Pair(const std::string& desk, int64_t now,
                                      std::string* set_aside = nullptr);

  enum class CodeState { kNone, kExpired, kValid };
  struct Claim {
    CodeState state = CodeState::kNone;
    std::string code;  // kValid
  };
  // The pending code of `desk` as it is at `now`, left in place: a hello
  // alone, which anyone may send, does not use a code up.
  holvanter::Result<Claim> PeekCode(const std::string& desk, int64_t now) const;
  // Takes the pending code of `desk` away (a code serves one try: a proof,
  // right or wrong) and says whether it was still good at `now`.
  holvanter::Result<Claim> ClaimCode(const std::string& desk, int64_t now);

  // Keeps `secret` for `desk`, paired at `now`, replacing an older one.
  holvanter::Status Keep(const std::string& desk, const Secret& secret, int64_t now);
  // Forgets `desk` and its pending code; false when it had neither.
  // `set_aside` as for Pair: IT can cut a desk off a damaged registry.
  holvanter::Result<bool> Remove(const std::string& desk, std::string* set_aside = nullptr);

  // The secret of a paired desk, read from the file as it is now.
  holvanter::Result<std::optional<Secret>> SecretOf(const std::string& desk) const;
  // Every paired desk's secret, by name, in one read of the file: the link
  // desk's watch for desks removed or paired again.
  holvanter::Result<std::map<std::string, Secret>> Secrets() const;
  // Every desk paired or with a code pending, by name.
  holvanter::Result<std::vector<DeskEntry>> List() const;

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
};

// A desk's own secret file.
struct DeskSecret {
  std::string desk;
  Secret secret{};
};
// Writes the file readable by its owner alone, replacing an older one.
holvanter::Status WriteDeskSecret(const std::string& path, const DeskSecret& secret);
// nullopt when there is no file; a failure when it is not one of ours, or
// (POSIX) when group or others may read it.
holvanter::Result<std::optional<DeskSecret>> ReadDeskSecret(const std::string& path);

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_REGISTRY_H_
