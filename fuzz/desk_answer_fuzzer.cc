// The link desk's answer to the PMS from whatever a joined desk answers: a
// desk may be compromised and say anything. Whatever it says, what reaches
// the PMS is the link desk's own record for the pending request: of its
// kind, with the request's WS, KC and (KA) G#, a known status, a clear text
// of 40 bytes at most, only the fields a KA or KZ carries, and small.
//
// The first byte: bits 0-1 the request (KR, KD, KZ), bits 2-3 the code page.
// The rest: the desk's record text, a line break, the card it says it cut.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "hosts/desks/answer.h"

namespace {

fias::Record Own(const fias::Record& request, const std::string& status) {
  fias::Record answer{request.id == "KZ" ? "KZ" : "KA", {}};
  answer.Add("AS", status).Add("CT", "").Add("KC", request.Value("KC"));
  answer.Add("WS", request.Value("WS"));
  if (request.Has("G#")) answer.Add("G#", request.Value("G#"));
  return answer.Add("DA", "261208").Add("TI", "093000");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* const kRequests[] = {
      "KR|WS3|KC6|RN0101|GD261210|G#111|DA261208|TI093000|",
      "KD|WS3|KC6|RN0101|G#111|DA261208|TI093000|", "KZ|WS3|KC6|DA261208|TI093000|",
      "KR|WS3|KC6|RN0101|GD261210|DA261208|TI093000|"};
  static const fias::CodePage kPages[] = {fias::CodePage::kWindows1252, fias::CodePage::kGbk,
                                          fias::CodePage::kUtf8, fias::CodePage::kGbk};
  const fias::Record request = *fias::ParseRecord(kRequests[data[0] & 3]);
  const fias::CodePage page = kPages[(data[0] >> 2) & 3];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t line = rest.find('\n');
  const std::optional<fias::Record> told = fias::ParseRecord(rest.substr(0, line));
  if (!told) return 0;
  const std::string cut(line == rest.npos ? std::string_view() : rest.substr(line + 1));
  std::string why;
  const std::optional<fias::Record> answer = desks::AnswerFor(
      request, *told, cut, page, [&](const std::string& status) { return Own(request, status); },
      [](const std::string& card) -> std::optional<std::string> {
        return card == "00000123" ? std::optional<std::string>("777") : std::nullopt;
      },
      why);
  if (!answer) {
    FUZZ_CHECK(!why.empty(), "refused without saying why");
    return 0;
  }
  const bool read = request.id == "KZ";
  FUZZ_CHECK(answer->id == (read ? "KZ" : "KA"), "an answer of another kind: " + answer->id);
  for (const char* field : {"WS", "KC"})
    FUZZ_CHECK(answer->Value(field) == request.Value(field), std::string("another ") + field);
  if (!read) FUZZ_CHECK(answer->Value("G#") == request.Value("G#"), "another G#");
  FUZZ_CHECK(std::set<std::string>({"OK", "UR", "RY", "BY", "NG", "DN"}).count(answer->Value("AS")),
             "a status that is none: " + answer->Value("AS"));
  FUZZ_CHECK(answer->Value("CT").size() <= desks::kClearTextBytes, "a clear text past 40 bytes");
  FUZZ_CHECK(answer->Value("GN").size() <= desks::kClearTextBytes, "a name past 40 bytes");
  static const std::set<std::string> kFields = {"AS", "CT", "KC", "WS", "G#", "DA",
                                                "TI", "RN", "GN", "GD", "DT"};
  for (const auto& [id, value] : answer->fields)
    FUZZ_CHECK(kFields.count(id) == 1 && (read || (id != "RN" && id != "GN")),
               "a field the desk added: " + id);
  FUZZ_CHECK(answer->Value("DA") == "261208" && answer->Value("TI") == "093000",
             "the desk's time");
  FUZZ_CHECK(fias::EncodeRecord(*answer).size() < 256, "an answer past 256 bytes");
  FUZZ_CHECK(cut.empty() || (request.id == "KR" && answer->Value("AS") == "OK"),
             "a cut card taken for no cut");
  return 0;
}
