#include "hosts/fias/journal.h"

#include <map>
#include <sstream>
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

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> parts;
  std::stringstream in(line);
  for (std::string part; std::getline(in, part, '\t');) parts.push_back(part);
  return parts;
}

// Years of cards are a few megabytes; far more is not a journal of ours.
constexpr std::size_t kMostJournalBytes = std::size_t{256} << 20;

// The journal's whole lines: a last line without its line break was torn by
// a write that died, and counts for nothing.
std::vector<std::vector<std::string>> Lines(const std::string& path) {
  std::optional<std::string> text;
  try {
    text = holvanter::ReadPrivateFile(path, "journal", kMostJournalBytes,
                                      holvanter::OpenToOthers::kNarrow);
  } catch (const holvanter::PrivateFileError&) {
    // Read as empty: the next entry reports why the journal cannot be used.
  }
  std::vector<std::vector<std::string>> lines;
  if (!text) return lines;
  for (std::size_t start = 0;;) {
    const std::size_t end = text->find('\n', start);
    if (end == std::string::npos) break;
    lines.push_back(Split(text->substr(start, end - start)));
    start = end + 1;
  }
  return lines;
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
  for (const std::vector<std::string>& parts : Lines(path_)) {
    if (parts.size() == 5 && parts[0] == "cut") {
      cuts[parts[1]] = CutCard{parts[1], parts[2], parts[3], parts[4]};
    } else if (parts.size() == 2 && parts[0] == "unanswered") {
      const auto cut = cuts.find(parts[1]);
      open.push_back(cut != cuts.end() ? cut->second : CutCard{parts[1], {}, {}, {}});
    } else if (parts.size() == 2 && parts[0] == "reported") {
      std::erase_if(open, [&](const CutCard& card) { return card.card_no == parts[1]; });
    }
  }
  return open;
}

std::optional<CutCard> Journal::Find(const std::string& card_no) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<CutCard> found;
  for (const std::vector<std::string>& parts : Lines(path_)) {
    if (parts.size() == 5 && parts[0] == "cut" && parts[1] == card_no)
      found = CutCard{parts[1], parts[2], parts[3], parts[4]};
  }
  return found;
}

std::vector<std::string> Journal::CardsOf(const std::string& reservation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // A number the numbering gave out again belongs to its newest cut.
  std::map<std::string, std::string> newest;
  std::vector<std::string> order;
  for (const std::vector<std::string>& parts : Lines(path_)) {
    if (parts.size() != 5 || parts[0] != "cut") continue;
    if (!newest.count(parts[1])) order.push_back(parts[1]);
    newest[parts[1]] = parts[2];
  }
  std::vector<std::string> cards;
  for (const std::string& card : order)
    if (!reservation.empty() && newest[card] == reservation) cards.push_back(card);
  return cards;
}

}  // namespace fias
