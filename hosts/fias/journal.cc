#include "hosts/fias/journal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/private_file.h"

namespace fias {
namespace {

// A value as it goes into a line: a tab or a line break would split it.
std::string Field(std::string_view value) {
  std::string out(value);
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

// An entry holds the values of one link record (at most 8 KB) and a card
// number: a longer line is none of ours. It is passed by, never held, so
// that whatever lies in the file, reading it takes little memory.
constexpr std::size_t kLongestEntry = 64 * 1024;
// The journal is read a piece at a time, however long it has grown.
constexpr std::size_t kPiece = 256 * 1024;

bool AllFigures(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One line of the journal, its values pointing into the line.
struct Entry {
  enum Kind { kNone, kCut, kUnanswered, kReported } kind = kNone;
  std::string_view card, reservation, workstation, requested_at;
};

Entry ParseEntry(std::string_view line) {
  std::array<std::string_view, 5> parts;
  std::size_t count = 0;
  for (std::size_t from = 0;;) {
    if (count == parts.size()) return {};  // more values than any entry has
    const std::size_t tab = line.find('\t', from);
    parts[count++] = line.substr(from, tab == std::string_view::npos ? tab : tab - from);
    if (tab == std::string_view::npos) break;
    from = tab + 1;
  }
  if (count == 5 && parts[0] == "cut")
    return {Entry::kCut, parts[1], parts[2], parts[3], parts[4]};
  if (count == 2 && parts[0] == "unanswered") return {Entry::kUnanswered, parts[1], {}, {}, {}};
  if (count == 2 && parts[0] == "reported") return {Entry::kReported, parts[1], {}, {}, {}};
  return {};
}

// A last line without its line break that is nevertheless all of an
// entry: the write died after its last value. Its last value proves it
// whole: a request time of twelve figures, or a card number of eight.
bool WholeEntry(std::string_view line) {
  const Entry entry = ParseEntry(line);
  switch (entry.kind) {
    case Entry::kCut:
      return entry.requested_at.size() == 12 && AllFigures(entry.requested_at);
    case Entry::kUnanswered:
    case Entry::kReported:
      return entry.card.size() == 8 && AllFigures(entry.card);
    default:
      return false;
  }
}

// Calls `visit(offset, line)` for each whole line from `from` on, in
// pieces of `piece` bytes, until it returns false; returns the end of the
// last whole line read. Lines longer than any entry are passed by.
template <typename Visit>
uint64_t ForEachLine(holvanter::PrivateFile& file, uint64_t from, std::size_t piece,
                     Visit&& visit) {
  std::string buffer(piece, '\0');
  std::string carried;  // the start of a line that runs on into the next piece
  bool too_long = false;
  uint64_t at = from, line_start = from;
  for (;;) {
    const std::size_t got = file.ReadAt(at, buffer.data(), buffer.size());
    if (got == 0) return line_start;
    const std::string_view text(buffer.data(), got);
    for (std::size_t start = 0;;) {
      const std::size_t end = text.find('\n', start);
      const std::string_view part =
          text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      too_long = too_long || carried.size() + part.size() > kLongestEntry;
      if (end == std::string_view::npos) {
        if (too_long) carried.clear();
        else carried.append(part);
        break;
      }
      if (!too_long) {
        std::string_view line = part;
        if (!carried.empty()) line = carried.append(part);
        if (!visit(line_start, line)) return line_start;
      }
      carried.clear();
      too_long = false;
      line_start = at + end + 1;
      start = end + 1;
    }
    at += got;
  }
}

// Figures read as a number, when they are no more than `most` long.
std::optional<uint32_t> Number(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > most || !AllFigures(text)) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// 32-bit numbers in pieces of 64K: they grow without copying what is there
// (a vector's doubling would hold the old and the new at once).
class Column {
 public:
  uint32_t operator[](uint32_t i) const { return pieces_[i >> kBits][i & kMask]; }
  uint32_t size() const { return size_; }
  void push_back(uint32_t value) {
    // Not cleared: a page of a piece counts in memory once it is written.
    if ((size_ & kMask) == 0) pieces_.emplace_back(new uint32_t[kMask + 1]);
    pieces_.back()[size_ & kMask] = value;
    ++size_;
  }

 private:
  static constexpr uint32_t kBits = 16, kMask = (1u << kBits) - 1;
  std::vector<std::unique_ptr<uint32_t[]>> pieces_;
  uint32_t size_ = 0;
};

// The texts that are no plain number, each kept once and known by a
// number from kAside on.
constexpr uint32_t kAside = 0x80000000u;
constexpr uint32_t kNoReservation = 0xFFFFFFFFu;

class Asides {
 public:
  std::optional<uint32_t> KeyOf(std::string_view text) const {
    const auto found = keys_.find(std::string(text));
    if (found == keys_.end()) return std::nullopt;
    return found->second;
  }
  uint32_t Keep(std::string_view text) {
    const auto [kept, added] =
        keys_.emplace(std::string(text), kAside + static_cast<uint32_t>(texts_.size()));
    if (added) texts_.push_back(&kept->first);
    return kept->second;
  }
  const std::string& TextOf(uint32_t key) const { return *texts_[key - kAside]; }

 private:
  std::unordered_map<std::string, uint32_t> keys_;
  std::vector<const std::string*> texts_;
};

}  // namespace

// What the journal holds, by number. Each cut line is a cut number (its
// place among the cut lines, oldest 0), with its card and reservation as
// 32-bit keys: a card number in record form (eight figures) and a G# of
// plain figures are their own key, any other text is kept aside once. Two
// lists of cut numbers, one in the order of cards (the newest cut of each)
// and one in the order of reservations (the cuts that count), are searched
// by halves; the cuts since they were last sorted are looked through, and
// sorted in once there are enough of them. So every lookup costs the same
// after years as on the first day, and a card costs 16 bytes. (Cut numbers
// of 32 bits last a thousand cards a day for eleven thousand years.)
class Journal::Index {
 public:
  // The end of the whole lines taken.
  uint64_t end = 0;

  // The journal's line at `offset`. `file` reads an earlier cut back.
  void Take(uint64_t offset, std::string_view line, holvanter::PrivateFile& file) {
    const Entry entry = ParseEntry(line);
    if (entry.kind == Entry::kCut) {
      const uint32_t cut = cards_.size();
      // A cut's line is found from the start of its stretch, read through
      // to it: a stretch holds a few cuts and no long run of other lines.
      if (cut % kStretch == 0 || offset - last_cut_end_ > kLongestEntry)
        stretches_.emplace_back(cut, offset);
      last_cut_end_ = offset + line.size() + 1;
      cards_.push_back(Numbered(entry.card) ? *Number(entry.card, 8)
                                            : card_asides_.Keep(entry.card));
      reservations_.push_back(KeepReservation(entry.reservation));
      recent_[cut % recent_.size()] = {cut, CutCard{std::string(entry.card),
                                                    std::string(entry.reservation),
                                                    std::string(entry.workstation),
                                                    std::string(entry.requested_at)}};
    } else if (entry.kind == Entry::kUnanswered) {
      std::optional<CutCard> cut;
      if (const auto key = CardKey(entry.card))
        if (const auto newest = NewestOf(*key)) cut = CutAt(*newest, file);
      unreported_.push_back(cut ? *cut : CutCard{std::string(entry.card), {}, {}, {}});
    } else if (entry.kind == Entry::kReported) {
      std::erase_if(unreported_, [&](const CutCard& card) { return card.card_no == entry.card; });
    }
    end = offset + line.size() + 1;
  }

  // Sorts the cuts looked through into the two lists once there are
  // enough of them to make it worth a pass over the lists.
  void Settle() {
    if (cards_.size() - sorted_ < kLooseCuts) return;
    const uint32_t first = sorted_, total = cards_.size();
    // The newest of the new cuts of each card. The room to grow costs no
    // memory until it is used, and spares the lists a copy for months.
    const auto with_room = [](std::size_t size) {
      std::vector<uint32_t> list;
      list.reserve(size + size / 8 + kLooseCuts);
      return list;
    };
    std::vector<uint32_t> cuts = with_room(total - first);
    for (uint32_t cut = first; cut < total; ++cut) cuts.push_back(cut);
    std::sort(cuts.begin(), cuts.end(), [this](uint32_t a, uint32_t b) {
      return cards_[a] != cards_[b] ? cards_[a] < cards_[b] : a < b;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cuts.size(); ++i)
      if (i + 1 == cuts.size() || cards_[cuts[i + 1]] != cards_[cuts[i]]) cuts[kept++] = cuts[i];
    cuts.resize(kept);
    // Each of them counts for its reservation, being the newest of its card.
    std::vector<uint32_t> counting = with_room(cuts.size());
    for (const uint32_t cut : cuts)
      if (reservations_[cut] != kNoReservation) counting.push_back(cut);
    // A card listed already: its number was given out again, and its
    // earlier cut no longer counts for its reservation.
    std::vector<uint32_t> superseded;
    kept = 0;
    for (const uint32_t cut : cuts) {
      const auto listed = ListedCard(cards_[cut]);
      if (listed != by_card_.end()) {
        superseded.push_back(*listed);
        *listed = cut;
      } else {
        cuts[kept++] = cut;
      }
    }
    cuts.resize(kept);
    MergeInto(by_card_, std::move(cuts),
              [this](uint32_t a, uint32_t b) { return cards_[a] < cards_[b]; });
    sorted_ = total;
    const auto by_reservation = [this](uint32_t a, uint32_t b) {
      return reservations_[a] != reservations_[b] ? reservations_[a] < reservations_[b] : a < b;
    };
    std::sort(counting.begin(), counting.end(), by_reservation);
    MergeInto(by_reservation_, std::move(counting), by_reservation);
    if (!superseded.empty()) {
      std::sort(superseded.begin(), superseded.end());
      std::erase_if(by_reservation_, [&](uint32_t cut) {
        return std::binary_search(superseded.begin(), superseded.end(), cut);
      });
    }
  }

  std::optional<CutCard> Find(std::string_view card_no, holvanter::PrivateFile* file) const {
    const auto key = CardKey(card_no);
    if (!key) return std::nullopt;
    const auto newest = NewestOf(*key);
    if (!newest) return std::nullopt;
    if (const CutCard* recent = Recent(*newest)) return *recent;
    if (!file) return std::nullopt;
    return CutAt(*newest, *file);
  }

  std::vector<std::string> CardsOf(std::string_view reservation) const {
    std::vector<std::string> cards;
    if (reservation.empty()) return cards;
    const auto key = ReservationKey(reservation);
    if (!key) return cards;
    const auto counts = [&](uint32_t cut) {
      if (NewestOf(cards_[cut]) == cut) cards.push_back(CardText(cards_[cut]));
    };
    const auto [from, to] = std::equal_range(
        by_reservation_.begin(), by_reservation_.end(), Key{*key}, Before{reservations_});
    std::for_each(from, to, counts);
    for (uint32_t cut = sorted_; cut < cards_.size(); ++cut)
      if (reservations_[cut] == *key) counts(cut);
    return cards;
  }

  const std::vector<CutCard>& unreported() const { return unreported_; }

 private:
  // Cuts in a stretch; cuts looked through before they are sorted in.
  static constexpr uint32_t kStretch = 32, kLooseCuts = 256;

  // Compares a cut's reservation with a key, both ways, for equal_range.
  struct Key {
    uint32_t value;
  };
  struct Before {
    const Column& reservations;
    bool operator()(uint32_t cut, Key key) const { return reservations[cut] < key.value; }
    bool operator()(Key key, uint32_t cut) const { return key.value < reservations[cut]; }
  };

  static bool Numbered(std::string_view card_no) {
    return card_no.size() == 8 && AllFigures(card_no);
  }

  std::optional<uint32_t> CardKey(std::string_view card_no) const {
    if (Numbered(card_no)) return Number(card_no, 8);
    return card_asides_.KeyOf(card_no);
  }

  std::string CardText(uint32_t key) const {
    if (key >= kAside) return card_asides_.TextOf(key);
    std::string text = std::to_string(key);
    return std::string(8 - text.size(), '0') + text;
  }

  // A G# of plain figures without a leading zero (as PMSs number their
  // reservations) is its own key.
  static std::optional<uint32_t> PlainReservation(std::string_view reservation) {
    if (reservation.size() > 1 && reservation[0] == '0') return std::nullopt;
    const auto number = Number(reservation, 10);
    return number && *number < kAside ? number : std::nullopt;
  }
  uint32_t KeepReservation(std::string_view reservation) {
    if (reservation.empty()) return kNoReservation;
    if (const auto plain = PlainReservation(reservation)) return *plain;
    return reservation_asides_.Keep(reservation);
  }
  // nullopt: no cut has this G#.
  std::optional<uint32_t> ReservationKey(std::string_view reservation) const {
    if (const auto plain = PlainReservation(reservation)) return plain;
    return reservation_asides_.KeyOf(reservation);
  }

  std::vector<uint32_t>::iterator ListedCard(uint32_t key) {
    const auto at = std::lower_bound(by_card_.begin(), by_card_.end(), key,
                                     [this](uint32_t cut, uint32_t k) { return cards_[cut] < k; });
    return at != by_card_.end() && cards_[*at] == key ? at : by_card_.end();
  }

  // The newest cut of the card with `key`.
  std::optional<uint32_t> NewestOf(uint32_t key) const {
    for (uint32_t cut = cards_.size(); cut-- > sorted_;)
      if (cards_[cut] == key) return cut;
    const auto at = std::lower_bound(by_card_.begin(), by_card_.end(), key,
                                     [this](uint32_t cut, uint32_t k) { return cards_[cut] < k; });
    if (at != by_card_.end() && cards_[*at] == key) return *at;
    return std::nullopt;
  }

  const CutCard* Recent(uint32_t cut) const {
    const auto& [number, card] = recent_[cut % recent_.size()];
    return number == cut ? &card : nullptr;
  }

  // Cut `cut` as its line says, read from the start of its stretch.
  std::optional<CutCard> CutAt(uint32_t cut, holvanter::PrivateFile& file) const {
    if (const CutCard* recent = Recent(cut)) return *recent;
    const auto stretch = std::prev(std::upper_bound(
        stretches_.begin(), stretches_.end(), cut,
        [](uint32_t c, const std::pair<uint32_t, uint64_t>& s) { return c < s.first; }));
    uint32_t at = stretch->first;
    std::optional<CutCard> found;
    try {
      ForEachLine(file, stretch->second, 8192, [&](uint64_t, std::string_view line) {
        const Entry entry = ParseEntry(line);
        if (entry.kind != Entry::kCut) return true;
        if (at++ != cut) return true;
        // Lines written into the file by another than this journal would
        // shift the count: a cut of another card is no answer.
        if (CardKey(entry.card) != cards_[cut]) return false;
        found = CutCard{std::string(entry.card), std::string(entry.reservation),
                        std::string(entry.workstation), std::string(entry.requested_at)};
        return false;
      });
    } catch (const holvanter::PrivateFileError&) {
      return std::nullopt;  // said by the next entry that cannot be kept either
    }
    return found;
  }

  // Merges `more` (in the order of `less`) into `list` (the same), from
  // the back, in the list's own room.
  template <typename Less>
  static void MergeInto(std::vector<uint32_t>& list, std::vector<uint32_t> more, Less less) {
    if (list.empty()) {
      list = std::move(more);
      return;
    }
    std::size_t i = list.size(), j = more.size(), k = list.size() + more.size();
    list.resize(k);
    while (j > 0) {
      if (i > 0 && less(more[j - 1], list[i - 1])) list[--k] = list[--i];
      else list[--k] = more[--j];
    }
  }

  Column cards_, reservations_;
  std::vector<std::pair<uint32_t, uint64_t>> stretches_;  // first cut, offset of its line
  uint64_t last_cut_end_ = 0;
  std::vector<uint32_t> by_card_, by_reservation_;
  uint32_t sorted_ = 0;  // the cuts before it are in the two lists
  Asides card_asides_, reservation_asides_;
  // The newest cuts whole: the unanswered card of a lost answer was cut
  // just before, and a card read is most often one cut just before.
  std::array<std::pair<std::optional<uint32_t>, CutCard>, 64> recent_{};
  std::vector<CutCard> unreported_;
};

Journal::Journal(std::string path) : path_(std::move(path)), index_(std::make_unique<Index>()) {
  try {
    // Only a journal that is there is read now; none is made before its
    // first entry.
    holvanter::PrivateFile there(path_, "journal", holvanter::PrivateFile::How::kRead,
                                 holvanter::OpenToOthers::kNarrow);
  } catch (const holvanter::PrivateFileError&) {
    return;  // none yet; or none to use, which the first entry says
  }
  std::lock_guard<std::mutex> lock(file_mutex_);
  try {
    Open();
  } catch (const holvanter::PrivateFileError&) {
    // Read again at the next entry, which says why if it still cannot be.
  }
}

Journal::~Journal() = default;

void Journal::Open() {
  // Made owner-only (0600, folders 0700); a link at the path is refused.
  auto file = std::make_unique<holvanter::PrivateFile>(
      path_, "journal", holvanter::PrivateFile::How::kAppend, holvanter::OpenToOthers::kNarrow);
  // A line torn by a write that died would glue onto the next entry. When
  // all of its entry is there, it gets its line break; otherwise it is cut
  // off and kept on a line of its own that readers pass by.
  const uint64_t size = file->Size();
  if (size > 0) {
    uint64_t whole = size;  // the end of the last line break
    std::string tail;
    char piece[4096];
    while (whole > 0 && tail.size() <= kLongestEntry) {
      const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(whole, sizeof piece));
      if (file->ReadAt(whole - take, piece, take) != take)
        throw holvanter::PrivateFileError(holvanter::PrivateFileError::kOther,
                                          "the journal " + path_ + " changed while it was read");
      const std::string_view read(piece, take);
      const std::size_t last = read.rfind('\n');
      if (last != std::string_view::npos) {
        tail.insert(0, read.substr(last + 1));
        whole -= take - last - 1;
        break;
      }
      tail.insert(0, read);
      whole -= take;
    }
    if (whole < size) {
      if (tail.size() > kLongestEntry || WholeEntry(tail)) {
        file->Append("\n");  // a line too long to be an entry stays as it is
      } else {
        file->Truncate(static_cast<std::size_t>(whole));
        file->Append("torn\t" + Field(tail) + "\n");
      }
    }
  }
  std::lock_guard<std::mutex> lock(index_mutex_);
  // A journal shorter than what was read of it was replaced by another.
  if (file->Size() < index_->end) index_ = std::make_unique<Index>();
  index_->end = ForEachLine(*file, index_->end, kPiece,
                            [&](uint64_t offset, std::string_view line) {
                              index_->Take(offset, line, *file);
                              return true;
                            });
  index_->Settle();
  file_ = std::move(file);
  reopen_ = false;
}

std::string Journal::Append(const std::string& line) {
  std::lock_guard<std::mutex> lock(file_mutex_);
  try {
    if (reopen_) Open();
    // Synced to the disk before the answer leaves: a card the PMS was told
    // about is in the journal even if the desk loses power next.
    file_->Append(line + "\n");
  } catch (const holvanter::PrivateFileError& e) {
    // Whatever part of the entry reached the file, the next entry opens
    // the journal again: mends its end and reads what is there. Lookups
    // read the file as it was meanwhile.
    reopen_ = true;
    return std::string("the journal cannot be kept: ") + e.what();
  }
  std::lock_guard<std::mutex> hold(index_mutex_);
  index_->Take(index_->end, line, *file_);
  index_->Settle();
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
  std::lock_guard<std::mutex> lock(index_mutex_);
  return index_->unreported();
}

std::optional<CutCard> Journal::Find(const std::string& card_no) const {
  std::lock_guard<std::mutex> lock(index_mutex_);
  return index_->Find(card_no, file_.get());
}

std::vector<std::string> Journal::CardsOf(const std::string& reservation) const {
  std::lock_guard<std::mutex> lock(index_mutex_);
  return index_->CardsOf(reservation);
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
