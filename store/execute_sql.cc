#include "store/execute_sql.h"

#include <cctype>

#include "util/status.h"
#include "util/text.h"

namespace holvanter {
namespace {

constexpr char kUpdateWords[] = "INSERT,DELETE,UPDATE";

}  // namespace

Result<std::optional<RecordSet>> ExecuteSql(Connection& connection, const std::string& statement,
                                            std::string& status_text) {
  // The statement split at its blanks: an empty statement has no first word.
  if (statement.empty()) return Status::SubscriptOutOfRange("Subscript out of range");
  // The databases read a statement up to its first NUL: refuse it rather
  // than run a statement cut short.
  if (statement.find('\0') != std::string::npos)
    return Status::Database("the statement holds a NUL character: " +
                            statement.substr(0, statement.find('\0')));
  const std::string first_word = statement.substr(0, statement.find(' '));

  const bool is_update = std::string_view(kUpdateWords).find(ToUpperAscii(first_word)) !=
                             std::string_view::npos ||
                         statement.find("INTO") != std::string::npos;
  if (is_update) {
    HV_RETURN_IF_ERROR(connection.BeginTrans());
    Status done = connection.Execute(statement);
    if (done.ok()) done = connection.CommitTrans();
    if (!done.ok()) {
      // A failed statement leaves no lock and nothing half-done behind.
      connection.RollbackTrans();
      return done;
    }
    status_text = first_word + " query successful";
    return std::optional<RecordSet>();
  }

  HV_ASSIGN_OR_RETURN(RecordSet records, connection.Query(std::string(Trim(statement))));
  if (!records.Eof() && !records.Bof()) {
    records.MoveFirst();
    status_text = "查询到" + std::to_string(records.RecordCount()) + " 条记录 ";
  }
  return std::optional<RecordSet>(std::move(records));
}

}  // namespace holvanter
