// The PMS key link's own journal of the cards it cut: which reservation and
// workstation asked for each card and when, so that a key read can name the
// reservation (G#) back, and so that a card cut while the link was down is
// not forgotten.
//
// A text file of one line per event, appended and synced as it happens:
// "cut", card number, G#, WS and the request's time (YYMMDDHHMMSS), or
// "unanswered" and the card number, or "reported" and the card number
// once a joined desk has told the link desk of it, separated by tabs (FIAS values carry no
// control characters). The same file on Linux and Windows, readable with
// any text tool, and never rewritten: a journal of any age is taken as it
// is. Its owner's alone (0600, in folders made 0700), opened through the
// hosts' state files. When the journal opens, a last line torn by a write
// that died is made whole when all of its entry is there (only its line
// break was lost), and otherwise set on a "torn" line of its own, which
// readers pass by.
//
// A hotel's journal grows by some 400 cards a day for years, so lookups
// never read it through: it is read once, a piece at a time, when it opens,
// into an index kept in memory (numbers, not texts: about 16 bytes a card
// while reservation numbers are plain figures, as PMSs send them; any other
// G# costs its text once), and every entry written after goes into the
// index as well. CardsOf and
// Unreported answer from memory alone, on any thread, the network thread
// too; Find reads the one line of the card's cut, so it belongs on a
// worker (an encoder's, the desks' hub's).
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
  friend bool operator==(const CutCard&, const CutCard&) = default;
};

class Journal {
 public:
  // The journal at `path`, read into its index now when it is there; the
  // file and its folder are made at the first entry. Entries that cannot
  // be written are reported, never thrown; a journal that cannot be read
  // now is read at the next entry, which says why when it cannot.
  explicit Journal(std::string path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Each returns an empty text, or why the entry was not kept.
  std::string Cut(const CutCard& card);
  std::string Unanswered(const std::string& card_no);
  // An unanswered card that the link desk has now heard of.
  std::string Reported(const std::string& card_no);

  // The unanswered cards not yet reported, oldest first. From memory.
  std::vector<CutCard> Unreported() const;

  // The cards cut for reservation `reservation` (G#), in the order they
  // were cut: a number given out again counts for its newest cut only.
  // From memory.
  std::vector<std::string> CardsOf(const std::string& reservation) const;

  // The newest cut of `card_no`, or nullopt. Reads that cut's line.
  std::optional<CutCard> Find(const std::string& card_no) const;

  const std::string& path() const { return path_; }

 private:
  class Index;

  std::string Append(const std::string& line);
  // Opens the file for entries: its torn last line mended, and the index
  // brought up to its end. Under file_mutex_; throws PrivateFileError.
  void Open();

  const std::string path_;
  // Entries go to the file one at a time, in the order of the index. An
  // entry's sync holds file_mutex_ alone, so a lookup never waits for the
  // disk; index_mutex_ guards the index, and file_ against its change.
  mutable std::mutex file_mutex_;
  mutable std::mutex index_mutex_;
  std::unique_ptr<holvanter::PrivateFile> file_;
  bool reopen_ = true;  // under file_mutex_: opened before the next entry
  std::unique_ptr<Index> index_;
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
