#include "store/sql_dialect.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

#include "util/status.h"
#include "util/calendar.h"
#include "util/text.h"

namespace holvanter {
namespace {

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool IsWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The end of the quoted text that starts at `begin` (one past the closing
// quote; a doubled quote stays inside). An unclosed quote runs to the end:
// the database then reports it.
std::size_t QuotedEnd(std::string_view s, std::size_t begin) {
  const char quote = s[begin];
  std::size_t i = begin + 1;
  while (i < s.size()) {
    if (s[i] == quote) {
      if (i + 1 < s.size() && s[i + 1] == quote) {
        i += 2;
        continue;
      }
      return i + 1;
    }
    ++i;
  }
  return s.size();
}

bool IsQuote(char c) { return c == '\'' || c == '"'; }

// The position of the parenthesis that closes the one at `open`, skipping
// quoted text; npos when it is never closed.
std::size_t ClosingParen(std::string_view s, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < s.size();) {
    const char c = s[i];
    if (IsQuote(c)) {
      i = QuotedEnd(s, i);
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && --depth == 0) return i;
    ++i;
  }
  return std::string_view::npos;
}

// The arguments between the parentheses, split at the commas of their own
// level (commas inside quotes or nested calls stay).
std::vector<std::string_view> SplitArguments(std::string_view inner) {
  std::vector<std::string_view> args;
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < inner.size();) {
    const char c = inner[i];
    if (IsQuote(c)) {
      i = QuotedEnd(inner, i);
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (c == ',' && depth == 0) {
      args.push_back(inner.substr(start, i - start));
      start = i + 1;
    }
    ++i;
  }
  args.push_back(inner.substr(start));
  return args;
}

// Statement blanks: the blank, tab and line ends.
constexpr std::string_view kStatementBlanks = " \t\r\n";

std::string_view TrimBlanks(std::string_view s) { return Trim(s, kStatementBlanks); }

[[noreturn]] void BadDate(std::string_view literal) {
  throw StatusError(Status::Database("Syntax error in date in query expression '" + std::string(literal) + "'."));
}

// Reads 1 to `max_digits` figures at `pos`; -1 when there are none.
int ReadNumber(std::string_view s, std::size_t& pos, std::size_t max_digits) {
  int value = 0;
  std::size_t digits = 0;
  while (pos < s.size() && digits < max_digits && std::isdigit(static_cast<unsigned char>(s[pos]))) {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    ++digits;
  }
  return digits == 0 ? -1 : value;
}

int MonthFromName(std::string_view name) {
  static constexpr std::array<const char*, 12> kNames = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (std::size_t m = 0; m < kNames.size(); ++m)
    if (EqualsIgnoreCase(name, kNames[m])) return static_cast<int>(m) + 1;
  return -1;
}

// "#YYYY-MM-DD[ HH:mm[:ss]]#" or "#YYYY-MMM-DD[ ...]#" as
// "YYYY-MM-DD HH:MM:SS".
std::string IsoFromAccessDate(std::string_view literal) {
  const std::string_view body = TrimBlanks(literal.substr(1, literal.size() - 2));
  std::size_t pos = 0;
  const int year = ReadNumber(body, pos, 4);
  if (year < 0 || pos != 4 || pos >= body.size() || body[pos] != '-') BadDate(literal);
  ++pos;
  int month = -1;
  if (pos < body.size() && std::isalpha(static_cast<unsigned char>(body[pos]))) {
    const std::size_t start = pos;
    while (pos < body.size() && std::isalpha(static_cast<unsigned char>(body[pos]))) ++pos;
    month = MonthFromName(body.substr(start, pos - start));
  } else {
    month = ReadNumber(body, pos, 2);
  }
  if (month < 1 || month > 12 || pos >= body.size() || body[pos] != '-') BadDate(literal);
  ++pos;
  const int day = ReadNumber(body, pos, 2);
  if (day < 1 || day > DaysInMonth(year, month)) BadDate(literal);
  int hour = 0, minute = 0, second = 0;
  if (pos < body.size()) {
    if (!IsBlank(body[pos])) BadDate(literal);
    while (pos < body.size() && IsBlank(body[pos])) ++pos;
    hour = ReadNumber(body, pos, 2);
    if (pos >= body.size() || body[pos] != ':') BadDate(literal);
    ++pos;
    minute = ReadNumber(body, pos, 2);
    if (pos < body.size() && body[pos] == ':') {
      ++pos;
      second = ReadNumber(body, pos, 2);
    }
    if (pos != body.size() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 59)
      BadDate(literal);
  }
  char iso[32];
  std::snprintf(iso, sizeof iso, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                second);
  return iso;
}

class Rewriter {
 public:
  explicit Rewriter(SqlDialect dialect) : dialect_(dialect) {}

  std::string Rewrite(std::string_view s) const {
    std::string out;
    out.reserve(s.size() + 16);
    // Inside the assignment list of an UPDATE: after SET, up to WHERE.
    bool in_set_list = false;
    bool expect_target = false;
    int depth = 0;
    std::size_t i = 0;
    while (i < s.size()) {
      const char c = s[i];
      if (IsQuote(c)) {
        const std::size_t end = QuotedEnd(s, i);
        out.append(s.substr(i, end - i));
        i = end;
        expect_target = false;
        continue;
      }
      if (c == '#') {
        const std::size_t close = s.find('#', i + 1);
        if (close == std::string_view::npos) BadDate(s.substr(i));
        // The converted literal is quoted text: a quote right beside it
        // would join the two into one text, so a blank keeps them apart.
        if (!out.empty() && IsQuote(out.back())) out.push_back(' ');
        out += DateLiteral(s.substr(i, close + 1 - i));
        if (close + 1 < s.size() && IsQuote(s[close + 1])) out.push_back(' ');
        i = close + 1;
        expect_target = false;
        continue;
      }
      if (IsWordStart(c) && (i == 0 || (!IsWordChar(s[i - 1]) && s[i - 1] != '.'))) {
        std::size_t end = i;
        while (end < s.size() && IsWordChar(s[end])) ++end;
        const std::string_view word = s.substr(i, end - i);
        if (EqualsIgnoreCase(word, "IsNull") || EqualsIgnoreCase(word, "IIf")) {
          std::size_t open = end;
          while (open < s.size() && IsBlank(s[open])) ++open;
          const std::size_t close =
              open < s.size() && s[open] == '(' ? ClosingParen(s, open) : std::string_view::npos;
          if (close != std::string_view::npos) {
            const auto args = SplitArguments(s.substr(open + 1, close - open - 1));
            out += EqualsIgnoreCase(word, "IsNull") ? NullTest(args, s.substr(i, close + 1 - i))
                                            : Conditional(args, s.substr(i, close + 1 - i));
            i = close + 1;
            expect_target = false;
            continue;
          }
        }
        if (depth == 0 && EqualsIgnoreCase(word, "SET")) {
          in_set_list = true;
          expect_target = true;
          out.append(word);
          i = end;
          continue;
        }
        if (depth == 0 && (EqualsIgnoreCase(word, "WHERE") || EqualsIgnoreCase(word, "FROM"))) in_set_list = false;
        if (in_set_list && expect_target) {
          // Table.Column = : SQLite and PostgreSQL take the bare column.
          std::size_t after = end;
          if (after + 1 < s.size() && s[after] == '.' && IsWordStart(s[after + 1])) {
            std::size_t column_end = after + 1;
            while (column_end < s.size() && IsWordChar(s[column_end])) ++column_end;
            std::size_t eq = column_end;
            while (eq < s.size() && IsBlank(s[eq])) ++eq;
            if (eq < s.size() && s[eq] == '=') {
              out.append(s.substr(after + 1, column_end - after - 1));
              i = column_end;
              expect_target = false;
              continue;
            }
          }
        }
        expect_target = false;
        out.append(word);
        i = end;
        continue;
      }
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth == 0 && in_set_list) expect_target = true;
      else if (!IsBlank(c)) expect_target = false;
      out.push_back(c);
      ++i;
    }
    return out;
  }

 private:
  std::string DateLiteral(std::string_view literal) const {
    const std::string iso = IsoFromAccessDate(literal);
    return dialect_ == SqlDialect::kSqlite ? "'" + iso + "'" : "TIMESTAMP '" + iso + "'";
  }

  std::string NullTest(const std::vector<std::string_view>& args, std::string_view call) const {
    if (args.size() != 1 || TrimBlanks(args[0]).empty())
      throw StatusError(Status::Database("Wrong number of arguments used with function in query "
                                    "expression '" + std::string(call) + "'."));
    return "((" + Rewrite(args[0]) + ") IS NULL)";
  }

  std::string Conditional(const std::vector<std::string_view>& args, std::string_view call) const {
    if (args.size() != 3)
      throw StatusError(Status::Database("Wrong number of arguments used with function in query "
                                    "expression '" + std::string(call) + "'."));
    return "(CASE WHEN " + std::string(TrimBlanks(Rewrite(args[0]))) + " THEN " +
           std::string(TrimBlanks(Rewrite(args[1]))) + " ELSE " +
           std::string(TrimBlanks(Rewrite(args[2]))) + " END)";
  }

  SqlDialect dialect_;
};

}  // namespace

std::string RewriteStatement(std::string_view statement, SqlDialect dialect) {
  if (dialect == SqlDialect::kAccess) return std::string(statement);
  return Rewriter(dialect).Rewrite(statement);
}

}  // namespace holvanter
