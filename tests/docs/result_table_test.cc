// The result-code table that PMS developers read (docs/integrating.md,
// between its result-codes markers) says what the component itself says:
// the same codes, each with the name result_codes.h gives it and the very
// meaning and clerk texts of the component's table of result meanings, and
// the encoder's write statuses as one range.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/result_meanings.h"

namespace {

const std::string kBegin = "<!-- result-codes: begin -->";
const std::string kEnd = "<!-- result-codes: end -->";
const std::vector<std::string> kHeader = {"code", "C name", "meaning", "what the clerk does"};

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string WithoutBackticks(std::string s) {
  std::erase(s, '`');
  return s;
}

// The cells of one table line ("| a | b |"), an escaped \| kept in its cell.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
      cell += '|';
      ++i;
    } else if (line[i] == '|') {
      cells.push_back(Trim(cell));
      cell.clear();
    } else {
      cell += line[i];
    }
  }
  return cells;
}

struct Row {
  int line;
  std::vector<std::string> cells;
};

struct Table {
  std::string problem;  // why the table could not be read; empty when it was
  std::vector<std::string> header;
  std::vector<Row> rows;
};

Table ReadTable(const std::string& path) {
  Table table;
  std::ifstream in(path);
  bool inside = false, ended = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string text = Trim(line);
    if (text == kBegin) {
      inside = true;
      continue;
    }
    if (text == kEnd && inside) {
      ended = true;
      break;
    }
    if (!inside || text.empty() || text[0] != '|') continue;
    if (table.header.empty()) {
      table.header = Cells(text);
    } else if (!std::regex_match(text, std::regex(R"(\|( *:?-+:? *\|)+)"))) {
      table.rows.push_back({number, Cells(text)});
    }
  }
  if (!inside) table.problem = "no line " + kBegin;
  else if (!ended) table.problem = "no line " + kEnd + " after " + kBegin;
  return table;
}

// The enumerators of result_codes.h by value, read from its text as a C
// programmer reads it.
std::map<int, std::string> EnumeratorsByValue() {
  std::ifstream in(HOLVANTER_RESULT_CODES_H);
  std::stringstream text;
  text << in.rdbuf();
  std::map<int, std::string> names;
  const std::string header = text.str();
  const std::regex enumerator(R"(\b(TAVO_[A-Z0-9_]+)\s*=\s*(-?\d+))");
  for (auto it = std::sregex_iterator(header.begin(), header.end(), enumerator);
       it != std::sregex_iterator(); ++it)
    names[std::stoi((*it)[2])] = (*it)[1];
  return names;
}

std::optional<int> Code(const std::string& cell) {
  if (!std::regex_match(cell, std::regex(R"(-?\d+)"))) return std::nullopt;
  return std::stoi(cell);
}

class DocsResultTable : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(HOLVANTER_INTEGRATING))
      GTEST_SKIP() << HOLVANTER_INTEGRATING << " does not exist yet: no table to check";
    table_ = ReadTable(HOLVANTER_INTEGRATING);
    ASSERT_EQ(table_.problem, "") << HOLVANTER_INTEGRATING;
    ASSERT_EQ(table_.header, kHeader) << HOLVANTER_INTEGRATING << ": the table's header";
    for (const Row& row : table_.rows)
      ASSERT_EQ(row.cells.size(), kHeader.size()) << Where(row) << ": not four cells";
  }

  static std::string Where(const Row& row) {
    return std::string(HOLVANTER_INTEGRATING) + ":" + std::to_string(row.line);
  }

  // The table's rows by code; the range row and unreadable codes aside.
  std::map<int, const Row*> RowsByCode() {
    std::map<int, const Row*> rows;
    for (const Row& row : table_.rows) {
      if (row.cells[0] == "2 to 255") continue;
      const std::optional<int> code = Code(row.cells[0]);
      EXPECT_TRUE(code) << Where(row) << ": code \"" << row.cells[0] << "\" is not a number";
      if (code) {
        EXPECT_TRUE(rows.emplace(*code, &row).second) << Where(row) << ": " << *code
                                                      << " a second time";
      }
    }
    return rows;
  }

  Table table_;
};

TEST_F(DocsResultTable, HasEveryCodeOfTheComponentAndNoOther) {
  std::set<int> documented, meant;
  for (const auto& [code, row] : RowsByCode()) documented.insert(code);
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable())
    meant.insert(row.code);
  EXPECT_EQ(documented, meant);
}

TEST_F(DocsResultTable, SaysWhatTheComponentSays) {
  const std::map<int, std::string> names = EnumeratorsByValue();
  ASSERT_FALSE(names.empty()) << HOLVANTER_RESULT_CODES_H << ": no enumerator read";
  const std::map<int, const Row*> rows = RowsByCode();
  for (const holvanter::ResultMeaningRow& meaning : holvanter::ResultMeaningTable()) {
    const auto found = rows.find(meaning.code);
    if (found == rows.end()) continue;  // a missing row fails the test above
    const Row& row = *found->second;
    SCOPED_TRACE(Where(row));
    const auto name = names.find(meaning.code);
    EXPECT_TRUE(name != names.end()) << "result_codes.h names no code " << meaning.code;
    if (name != names.end()) {
      EXPECT_EQ(row.cells[1], "`" + name->second + "`");
    }
    EXPECT_EQ(WithoutBackticks(row.cells[2]), meaning.full);
    EXPECT_EQ(WithoutBackticks(row.cells[3]), meaning.clerk);
  }
}

TEST_F(DocsResultTable, HasTheWriteStatusesAsOneRange) {
  int ranges = 0;
  for (const Row& row : table_.rows) {
    if (row.cells[0] != "2 to 255") continue;
    ++ranges;
    EXPECT_EQ(row.cells[1], "") << Where(row) << ": the write statuses have no C name";
    EXPECT_NE(row.cells[2], "") << Where(row);
    EXPECT_NE(row.cells[3], "") << Where(row);
  }
  EXPECT_EQ(ranges, 1);
  // The range the row names is the component's.
  EXPECT_TRUE(holvanter::IsWriteStatus(2) && holvanter::IsWriteStatus(255));
  EXPECT_FALSE(holvanter::IsWriteStatus(1) || holvanter::IsWriteStatus(256));
}

}  // namespace
