// FIAS records and their framing on TCP, with no I/O: bytes in, records out,
// and records in, bytes out.
//
// On the wire a record is STX (0x02), the record text, ETX (0x03); there is
// no check character on TCP. The text is a two-letter record ID and '|',
// then fields, each a two-character field ID, its value and '|':
// "KR|WS3|KC1|RN2781|". Values are kept byte for byte (leading zeros and
// blanks are significant; text is in the site's code page).
#ifndef HOLVANTER_HOSTS_FIAS_RECORD_H_
#define HOLVANTER_HOSTS_FIAS_RECORD_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fias {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';

// One record: its ID and its fields in the order they came or go.
struct Record {
  std::string id;  // "KR"
  std::vector<std::pair<std::string, std::string>> fields;  // {"RN", "2781"}
  // Why the record cannot be served as it came (a repeated field, a control
  // character, a field without its ID), in words; empty for a sound record.
  // The fields then hold what could be read, for the answer's echo.
  std::string fault;

  // The value of the first field `field_id`, or nullopt.
  std::optional<std::string> Get(std::string_view field_id) const;
  // The same, empty when absent.
  std::string Value(std::string_view field_id) const;
  bool Has(std::string_view field_id) const { return Get(field_id).has_value(); }
  // Appends a field; returns *this for chaining.
  Record& Add(std::string field_id, std::string value);
};

// How the site's code page puts text into bytes, as far as framing cares:
// in a double-byte page (GBK) the byte after a lead byte (0x81-0xFE) is the
// second half of a character, and may be 0x7C, the code of '|'.
enum class TextBytes { kSingle, kDoubleByte };

// The record text between STX and ETX ("KR|WS3|KC1|"), or nullopt when it is
// no record at all: an ID that is not two letters or digits, or no '|'
// after it. A record that has an ID but cannot be served as it came (a
// field shorter than its two-character ID, a field ID repeated, a control
// character, text after the last '|') comes back with `fault` saying why
// and the fields that could be read. A separator is only a '|' that is not
// the second byte of a double-byte character.
std::optional<Record> ParseRecord(std::string_view text, TextBytes bytes = TextBytes::kSingle);

// The record framed for the wire: STX, ID, '|', each field ID, value and
// '|', ETX. A character that cannot travel in a record (a '|', a control
// character, a double-byte character whose second byte is '|') goes as '?',
// never as half a character.
std::string EncodeRecord(const Record& record, TextBytes bytes = TextBytes::kSingle);

// The record text for the agent's log: guest names (GN) cut to their first
// letter and "...", a cryptogram (CG) shown as "CG...", no control bytes.
std::string ForLog(const Record& record);

// Splits a byte stream into records. One read may hold several records and
// one record may arrive over several reads; bytes outside STX...ETX are
// dropped, and so is a record that grows past kMaxRecord bytes without an
// ETX (what follows is dropped up to the next STX).
class FrameReader {
 public:
  static constexpr std::size_t kMaxRecord = 8 * 1024;
  explicit FrameReader(TextBytes bytes = TextBytes::kSingle) : bytes_(bytes) {}

  struct Event {
    enum Kind {
      kRecord,     // `record` holds it
      kMalformed,  // a framed text that is no record; `text` holds it (cut to 80 bytes)
                   // (a record with a fault is a kRecord: it is answered)
      kOversize,   // a record dropped for its size; `text` holds its first 80 bytes
    };
    Kind kind;
    Record record;
    std::string text;
  };

  // Feeds the bytes of one read; appends what they complete to `events`.
  void Feed(std::string_view bytes, std::vector<Event>& events);
  // Bytes held toward a record not yet complete.
  std::size_t pending() const { return pending_.size(); }
  // Forgets a partial record (the connection was lost).
  void Reset();

 private:
  enum class State { kOutside, kInside, kSkipping };
  TextBytes bytes_;
  State state_ = State::kOutside;
  std::string pending_;
};

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_RECORD_H_
