#include "hosts/fias/record.h"

#include <algorithm>
#include <cstdio>

namespace fias {
namespace {

constexpr char kSeparator = '|';
constexpr std::size_t kReportedText = 80;

bool IsControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

bool IsIdChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Field IDs also use '#', '$' and '+': G#, K#, V#, $1, $2, G+.
// The document's own example also sends G+ (a profile number).
bool IsFieldIdChar(char c) { return IsIdChar(c) || c == '#' || c == '$' || c == '+'; }

}  // namespace

std::optional<std::string> Record::Get(std::string_view field_id) const {
  for (const auto& [id, value] : fields) {
    if (id == field_id) return value;
  }
  return std::nullopt;
}

std::string Record::Value(std::string_view field_id) const {
  return Get(field_id).value_or(std::string());
}

Record& Record::Add(std::string field_id, std::string value) {
  fields.emplace_back(std::move(field_id), std::move(value));
  return *this;
}

std::optional<Record> ParseRecord(std::string_view text, TextBytes bytes) {
  if (text.size() < 2 || !IsIdChar(text[0]) || !IsIdChar(text[1]) ||
      (text.size() > 2 && text[2] != kSeparator)) {
    return std::nullopt;
  }
  Record record;
  record.id = std::string{text[0], text[1]};
  const auto fault = [&](std::string why) {
    if (record.fault.empty()) record.fault = std::move(why);
  };
  if (text.size() == 2) fault("no '|' after the record ID");
  std::size_t pos = 3;
  while (pos < text.size()) {
    // The field runs to the next '|' that is a separator: in a double-byte
    // page the second byte of a character is never one.
    std::size_t end = pos;
    bool closed = false;
    while (end < text.size()) {
      const unsigned char u = static_cast<unsigned char>(text[end]);
      if (text[end] == kSeparator) {
        closed = true;
        break;
      }
      end += (bytes == TextBytes::kDoubleByte && u >= 0x81 && u <= 0xFE && end + 1 < text.size()) ? 2 : 1;
    }
    end = std::min(end, text.size());
    const std::string_view field = text.substr(pos, end - pos);
    pos = end + 1;
    if (!closed) fault("text after the last '|'");
    if (field.size() < 2 || !IsFieldIdChar(field[0]) || !IsFieldIdChar(field[1])) {
      fault("a field without a field ID");
      continue;
    }
    std::string id(field.substr(0, 2));
    if (std::any_of(field.begin(), field.end(), IsControl)) fault("a control character in " + id);
    if (record.Has(id)) fault("field " + id + " given twice");
    record.Add(std::move(id), std::string(field.substr(2)));
  }
  return record;
}

std::string EncodeRecord(const Record& record, TextBytes bytes) {
  std::string out;
  out += kStx;
  out += record.id;
  out += kSeparator;
  for (const auto& [id, value] : record.fields) {
    out += id;
    // A '|' would end the field early and STX/ETX would cut the frame: the
    // interface would read another record than the one meant. A character
    // that cannot go whole goes as '?', so that what follows stays text of
    // the page.
    for (std::size_t i = 0; i < value.size(); ++i) {
      const unsigned char u = static_cast<unsigned char>(value[i]);
      if (bytes == TextBytes::kDoubleByte && u >= 0x81 && u <= 0xFE) {
        const bool whole = i + 1 < value.size() && value[i + 1] != kSeparator && !IsControl(value[i + 1]);
        if (whole) {
          out.append(value, i, 2);
        } else {
          out += '?';
        }
        // A lead byte whose second byte is a separator or control character
        // takes it along: it was never a separator of its own.
        if (i + 1 < value.size()) ++i;
        continue;
      }
      out += (value[i] == kSeparator || IsControl(value[i])) ? '?' : value[i];
    }
    out += kSeparator;
  }
  out += kEtx;
  return out;
}

std::string ForLog(const Record& record) {
  std::string out = record.id + kSeparator;
  for (const auto& [id, value] : record.fields) {
    out += id;
    if (id == "CG") {
      // The cryptogram proves the key system to the interface; the log
      // never shows it.
      out += "...";
    } else if (id == "GN") {
      // A guest's name stays out of the log but for a first letter, and a
      // letter of a multi-byte code page is not cut in half.
      if (!value.empty()) {
        const unsigned char first = static_cast<unsigned char>(value[0]);
        if (first >= 0x20 && first < 0x7F && value[0] != kSeparator) out += value[0];
        out += "...";
      }
    } else {
      // A '|' of a value shows as '?', as it would travel; a control
      // character as \xHH, so that one line is one record.
      for (char c : value) {
        if (IsControl(c)) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c == kSeparator ? '?' : c;
        }
      }
    }
    out += kSeparator;
  }
  return out;
}

void FrameReader::Feed(std::string_view bytes, std::vector<Event>& events) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (state_ != State::kInside) {
      // Outside a frame, or past a record too long to keep: only an STX
      // matters.
      const std::size_t stx = bytes.find(kStx, pos);
      if (stx == std::string_view::npos) return;
      state_ = State::kInside;
      pending_.clear();
      pos = stx + 1;
      continue;
    }

    const std::size_t mark = bytes.find_first_of(std::string_view("\x02\x03", 2), pos);
    const std::size_t stop = mark == std::string_view::npos ? bytes.size() : mark;
    // At most one byte past the limit is kept, however long the read.
    pending_.append(bytes.substr(pos, std::min(stop - pos, kMaxRecord + 1 - pending_.size())));
    if (pending_.size() > kMaxRecord) {
      events.push_back({Event::kOversize, {}, pending_.substr(0, kReportedText)});
      pending_.clear();
      state_ = State::kSkipping;
      pos = stop;
      continue;
    }
    if (mark == std::string_view::npos) return;
    pos = mark + 1;

    if (bytes[mark] == kStx) {
      // A new record began before this one ended: the interface gave up on
      // it, and so does the reader.
      if (!pending_.empty()) {
        events.push_back({Event::kMalformed, {}, pending_.substr(0, kReportedText)});
      }
      pending_.clear();
      continue;
    }

    if (std::optional<Record> record = ParseRecord(pending_, bytes_)) {
      events.push_back({Event::kRecord, std::move(*record), {}});
    } else {
      events.push_back({Event::kMalformed, {}, pending_.substr(0, kReportedText)});
    }
    pending_.clear();
    state_ = State::kOutside;
  }
}

void FrameReader::Reset() {
  state_ = State::kOutside;
  pending_.clear();
}

}  // namespace fias
