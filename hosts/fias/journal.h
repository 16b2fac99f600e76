// The PMS key link's own journal of the cards it cut: which reservation and
// workstation asked for each card and when, so that a key read can name the
// reservation (G#) back, and so that a card cut while the link was down is
// not forgotten.
//
// A text file of one line per event, appended and flushed as it happens:
// "cut", card number, G#, WS and the request's time (YYMMDDHHMMSS), or
// "unanswered" and the card number, or "reported" and the card number
// once a joined desk has told the link desk of it, separated by tabs (FIAS values carry no
// control characters). The same file on Linux and Windows, readable with
// any text tool. Its owner's alone (0600, in folders made 0700), opened
// through the hosts' state files; a line torn by a write that died is set
// on a "torn" line of its own when the journal opens, which readers pass by.
#ifndef HOLVANTER_HOSTS_FIAS_JOURNAL_H_
#define HOLVANTER_HOSTS_FIAS_JOURNAL_H_

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace holvanter {
class PrivateFile;
}

namespace fias {

struct CutCard {
  std::string card_no;       // record form, eight figures
  std::string reservation;   // G#
  std::string workstation;   // WS
  std::string requested_at;  // YYMMDDHHMMSS
};

class Journal {
 public:
  // The journal at `path`; the file and its folder are made at the first
  // entry. Entries that cannot be written are reported, never thrown.
  explicit Journal(std::string path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Each returns an empty text, or why the entry was not kept.
  std::string Cut(const CutCard& card);
  std::string Unanswered(const std::string& card_no);
  // An unanswered card that the link desk has now heard of.
  std::string Reported(const std::string& card_no);

  // The unanswered cards not yet reported, oldest first.
  std::vector<CutCard> Unreported() const;

  // The cards cut for reservation `reservation` (G#), first cut first: a
  // number given out again counts for its newest cut only.
  std::vector<std::string> CardsOf(const std::string& reservation) const;

  // The newest cut of `card_no`, or nullopt.
  std::optional<CutCard> Find(const std::string& card_no) const;

  const std::string& path() const { return path_; }

 private:
  std::string Append(const std::string& line);

  const std::string path_;
  mutable std::mutex mutex_;
  std::unique_ptr<holvanter::PrivateFile> file_;
};

// What the hosts write to their log.
using Log = std::function<void(const std::string&)>;

// The one way of a cut card whose answer cannot reach whoever asked (the
// PMS connection or the desk that asked is gone, or the answer came after
// the PMS heard RY): the journal keeps the card as unanswered (its cut
// first, when `cut` is given) and `said` goes to the log, with why the
// journal could not keep it if it could not. The card and its record are
// in the hotel database either way.
void KeepUnanswered(Journal& journal, const Log& log, const std::string& said,
                    const std::string& card_no, const CutCard* cut = nullptr);

// Logs a journal write that failed: `why` is the entry's answer (empty:
// it was kept, nothing is said), `what` names the entry.
void LogUnkept(const Log& log, const std::string& what, const std::string& why);

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_JOURNAL_H_
