#include "store/execute_sql.h"

#include <cctype>

#include "holvanter/tavo_card.h"

namespace holvanter {
namespace {

constexpr char kUpdateWords[] = "INSERT,DELETE,UPDATE";

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Leading and trailing blanks (the character " " only) removed.
std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::optional<RecordSet> ExecuteSql(Connection& connection, const std::string& statement,
                                    std::string& status_text) {
  // The statement split at its blanks: an empty statement has no first word.
  if (statement.empty()) throw TavoError(kErrSubscriptOutOfRange, "Subscript out of range");
  // The databases read a statement up to its first NUL: refuse it rather
  // than run a statement cut short.
  if (statement.find('\0') != std::string::npos)
    throw TavoError(kErrDatabase, "the statement holds a NUL character: " +
                                      statement.substr(0, statement.find('\0')));
  const std::string first_word = statement.substr(0, statement.find(' '));

  const bool is_update = std::string_view(kUpdateWords).find(UpperCase(first_word)) !=
                             std::string_view::npos ||
                         statement.find("INTO") != std::string::npos;
  if (is_update) {
    connection.BeginTrans();
    try {
      connection.Execute(statement);
      connection.CommitTrans();
    } catch (...) {
      // A failed statement leaves no lock and nothing half-done behind.
      connection.RollbackTrans();
      throw;
    }
    status_text = first_word + " query successful";
    return std::nullopt;
  }

  RecordSet records = connection.Query(TrimBlanks(statement));
  if (!records.Eof() && !records.Bof()) {
    records.MoveFirst();
    status_text = "查询到" + std::to_string(records.RecordCount()) + " 条记录 ";
  }
  return records;
}

}  // namespace holvanter
