// Any statement text, rewritten for SQLite and for PostgreSQL: never a crash
// (a statement the rewriting cannot read fails with the database error it
// would have given), Access statements stay as they are, and every quoted
// text comes out byte for byte and in its order. The only quoted texts the
// rewriting adds are the date literals it converts.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "util/status.h"
#include "store/sql_dialect.h"

namespace {

// The quoted texts of a statement, quotes included: '...' or "...", a
// doubled quote staying inside, an unclosed one running to the end.
std::vector<std::string_view> QuotedTexts(std::string_view s) {
  std::vector<std::string_view> quoted;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\'' && s[i] != '"') continue;
    const char quote = s[i];
    std::size_t end = i + 1;
    while (end < s.size()) {
      if (s[end] == quote && end + 1 < s.size() && s[end + 1] == quote) {
        end += 2;
      } else if (s[end] == quote) {
        ++end;
        break;
      } else {
        ++end;
      }
    }
    if (end > s.size()) end = s.size();
    quoted.push_back(s.substr(i, end - i));
    i = end - 1;
  }
  return quoted;
}

// '2007-10-20 12:30:00': a converted date literal.
bool IsConvertedDate(std::string_view q) {
  static constexpr std::string_view kShape = "'dddd-dd-dd dd:dd:dd'";
  if (q.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (kShape[i] == 'd' ? (q[i] < '0' || q[i] > '9') : q[i] != kShape[i]) return false;
  }
  return true;
}

void CheckQuotedTextsKept(std::string_view statement, std::string_view rewritten) {
  const auto before = QuotedTexts(statement);
  const auto after = QuotedTexts(rewritten);
  std::size_t next = 0;
  for (std::string_view q : after) {
    if (next < before.size() && q == before[next]) {
      ++next;
      continue;
    }
    FUZZ_CHECK(IsConvertedDate(q), "quoted text " + std::string(q) + " added to\n  " +
                                       std::string(statement) + "\n  giving " +
                                       std::string(rewritten));
  }
  FUZZ_CHECK(next == before.size(), "quoted text " + std::string(before[next]) + " lost from\n  " +
                                        std::string(statement) + "\n  giving " +
                                        std::string(rewritten));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view statement(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(holvanter::RewriteStatement(statement, holvanter::SqlDialect::kAccess) == statement,
             std::string(statement));
  for (holvanter::SqlDialect dialect : {holvanter::SqlDialect::kSqlite,
                                        holvanter::SqlDialect::kPostgres,
                                        holvanter::SqlDialect::kMariaDb}) {
    std::string rewritten;
    try {
      rewritten = holvanter::RewriteStatement(statement, dialect);
    } catch (const holvanter::StatusError& e) {
      FUZZ_CHECK(e.status().code() == holvanter::Status::Code::kDatabase, e.what());
      continue;
    }
    CheckQuotedTextsKept(statement, rewritten);
  }
  return 0;
}
