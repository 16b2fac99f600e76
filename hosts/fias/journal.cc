#include "hosts/fias/journal.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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

}  // namespace

Journal::Journal(std::string path) : path_(std::move(path)) {}

Journal::~Journal() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string Journal::Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    file_ = std::fopen(path_.c_str(), "ab");
    if (file_ == nullptr)
      return "the journal " + path_ + " cannot be opened: " + std::strerror(errno);
  }
  // Flushed to the disk before the answer leaves: a card the PMS was told
  // about is in the journal even if the desk loses power next.
  const bool written = std::fputs((line + "\n").c_str(), file_) >= 0 && std::fflush(file_) == 0;
#ifdef _WIN32
  const bool synced = written && _commit(_fileno(file_)) == 0;
#else
  const bool synced = written && fsync(fileno(file_)) == 0;
#endif
  if (!synced) return "the journal " + path_ + " cannot be written: " + std::strerror(errno);
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
  std::ifstream in(path_, std::ios::binary);
  std::map<std::string, CutCard> cuts;
  std::vector<CutCard> open;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> parts = Split(line);
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
  std::ifstream in(path_, std::ios::binary);
  std::optional<CutCard> found;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> parts = Split(line);
    if (parts.size() == 5 && parts[0] == "cut" && parts[1] == card_no)
      found = CutCard{parts[1], parts[2], parts[3], parts[4]};
  }
  return found;
}

std::vector<std::string> Journal::CardsOf(const std::string& reservation) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ifstream in(path_, std::ios::binary);
  // A number the numbering gave out again belongs to its newest cut.
  std::map<std::string, std::string> newest;
  std::vector<std::string> order;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> parts = Split(line);
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
