#include "hosts/fias/journal.h"

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform/private_file.h"

namespace fias {
namespace {

// A value as it goes into a line: a tab or a line break would split it.
std::string Field(const std::string& value) {
  std::string out = value;
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

// Years of cards are a few megabytes; far more is not a journal of ours.
constexpr std::size_t kMostJournalBytes = std::size_t{256} << 20;

// Each of the journal's whole lines, split at its tabs, one at a time: a
// last line without its line break was torn by a write that died, and
// counts for nothing. Lines are not gathered: the journal grows with every
// card, and a check-out reads it through.
void ForEachLine(const std::string& path,
                 const std::function<void(const std::vector<std::string>&)>& visit) {
  std::optional<std::string> text;
  try {
    text = holvanter::ReadPrivateFile(path, "journal", kMostJournalBytes,
                                      holvanter::OpenToOthers::kNarrow);
  } catch (const holvanter::PrivateFileError&) {
    // Read as empty: the next entry reports why the journal cannot be used.
  }
  if (!text) return;
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text->find('\n', start);
    if (end == std::string::npos) break;
    parts.clear();
    for (std::size_t from = start;;) {
      const std::size_t tab = text->find('\t', from);
      if (tab == std::string::npos || tab > end) {
        parts.emplace_back(*text, from, end - from);
        break;
      }
      parts.emplace_back(*text, from, tab - from);
      from = tab + 1;
    }
    visit(parts);
    start = end + 1;
  }
}

}  // namespace

Journal::Journal(std::string path) : path_(std::move(path)) {}

Journal::~Journal() = default;

std::string Journal::Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    if (!file_) {
      // Made owner-only (0600, folders 0700); a link at the path is refused.
      auto file = std::make_unique<holvanter::PrivateFile>(
          path_, "journal", holvanter::PrivateFile::How::kAppend,
          holvanter::OpenToOthers::kNarrow);
      // A line torn by a write that died would glue onto the next entry:
      // it is cut off and kept on a line of its own that readers pass by.
      const std::string text = file->ReadAll(kMostJournalBytes);
      if (!text.empty() && text.back() != '\n') {
        const std::size_t whole = text.rfind('\n') + 1;  // 0 when no line is whole
        file->Truncate(whole);
        file->Append("torn\t" + Field(text.substr(whole)) + "\n");
      }
      file_ = std::move(file);
    }
    // Synced to the disk before the answer leaves: a card the PMS was told
    // about is in the journal even if the desk loses power next.
    file_->Append(line + "\n");
  } catch (const holvanter::PrivateFileError& e) {
    return std::string("the journal cannot be kept: ") + e.what();
  }
  return {};
}

std::string Journal::Cut(const CutCard& card) {
  return Append("cut\t" + Field(card.card_no) + "\t" + Field(card.reservation) + "\t" +
                Field(card.workstation) + "\t" + Field(card.requested_at));
}

std::string Journal::Unanswered(const std::string& card_no) {
  return Append("unanswered\t" + Field(card_no));
}

std::string Journal::Reported(const std::string& card_no) {
  return Append("reported\t" + Field(card_no));
}

std::vector<CutCard> Journal::Unreported() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, CutCard> cuts;
  std::vector<CutCard> open;
  ForEachLine(path_, [&](const std::vector<std::string>& parts) {
    if (parts.size() == 5 && parts[0] == "cut") {
      cuts[parts[1]] = CutCard{parts[1], parts[2], parts[3], parts[4]};
    } else if (parts.size() == 2 && parts[0] == "unanswered") {
      const auto cut = cuts.find(parts[1]);
      open.push_back(cut != cuts.end() ? cut->second : CutCard{parts[1], {}, {}, {}});
    } else if (parts.size() == 2 && parts[0] == "reported") {
      std::erase_if(open, [&](const CutCard& card) { return card.card_no == parts[1]; });
    }
  });
  return open;
}

std::optional<CutCard> Journal::Find(const std::string& card_no) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<CutCard> found;
  ForEachLine(path_, [&](const std::vector<std::string>& parts) {
    if (parts.size() == 5 && parts[0] == "cut" && parts[1] == card_no)
      found = CutCard{parts[1], parts[2], parts[3], parts[4]};
  });
  return found;
}

std::vector<std::string> Journal::CardsOf(const std::string& reservation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // A number the numbering gave out again belongs to its newest cut.
  std::map<std::string, std::string> newest;
  std::vector<std::string> order;
  ForEachLine(path_, [&](const std::vector<std::string>& parts) {
    if (parts.size() != 5 || parts[0] != "cut") return;
    if (!newest.count(parts[1])) order.push_back(parts[1]);
    newest[parts[1]] = parts[2];
  });
  std::vector<std::string> cards;
  for (const std::string& card : order)
    if (!reservation.empty() && newest[card] == reservation) cards.push_back(card);
  return cards;
}

void KeepUnanswered(Journal& journal, const Log& log, const std::string& said,
                    const std::string& card_no, const CutCard* cut) {
  std::string unkept = cut ? journal.Cut(*cut) : std::string();
  if (const std::string why = journal.Unanswered(card_no); unkept.empty()) unkept = why;
  log(said + (unkept.empty() ? std::string() : "; " + unkept));
}

void LogUnkept(const Log& log, const std::string& what, const std::string& why) {
  if (!why.empty()) log(what + " is not in the journal: " + why);
}

}  // namespace fias
