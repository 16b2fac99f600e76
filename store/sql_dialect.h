// The component writes its statements in Access SQL. Databases that do not
// understand it get the statement rewritten, outside quoted strings, and
// only where they need it:
//   #2007-Oct-20 12:30:00#  (also YYYY-MM-DD, times HH:mm or HH:mm:ss)
//                           -> '2007-10-20 12:30:00' (PostgreSQL, MariaDB
//                              and MySQL: TIMESTAMP '...'; to MariaDB a #
//                              would open a comment)
//   IsNull(x)               -> ((x) IS NULL)
//   IIf(c, a, b)            -> CASE WHEN c THEN a ELSE b END
//   SET Table.Column =      -> SET Column =
#ifndef HOLVANTER_STORE_SQL_DIALECT_H_
#define HOLVANTER_STORE_SQL_DIALECT_H_

#include <string>
#include <string_view>

namespace holvanter {

// kMariaDb stands for MySQL too: the same statements serve both. Quoted text
// reaches them unchanged; the connection makes them read it as Access does
// (a doubled quote, and no backslash escapes).
enum class SqlDialect { kAccess, kSqlite, kPostgres, kMariaDb };

// `statement` as `dialect` understands it; kAccess returns it unchanged.
// Throws StatusError (kDatabase) for a date literal it cannot read.
std::string RewriteStatement(std::string_view statement, SqlDialect dialect);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SQL_DIALECT_H_
