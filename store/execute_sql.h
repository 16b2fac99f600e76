// ExecuteSql: the one routine through which every statement runs.
#ifndef HOLVANTER_STORE_EXECUTE_SQL_H_
#define HOLVANTER_STORE_EXECUTE_SQL_H_

#include <optional>
#include <string>

#include "store/database.h"

namespace holvanter {

// Runs `statement` on `connection`. A statement whose first word (text before
// the first blank, upper-cased) is a piece of "INSERT,DELETE,UPDATE", or that
// contains "INTO", is an update: it runs in a transaction of its own, and
// `status_text` becomes the first word + " query successful"; a failing
// update is rolled back before its error leaves. Anything else is a query:
// the record set is returned positioned on its first row, and when it has
// rows `status_text` becomes "查询到" + count + " 条记录 ".
// A failure is the statement's, or kSubscriptOutOfRange for an empty one;
// `status_text` is then unchanged.
Result<std::optional<RecordSet>> ExecuteSql(Connection& connection, const std::string& statement,
                                            std::string& status_text);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_EXECUTE_SQL_H_
