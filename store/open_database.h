// Opening the hotel database named by the settings file.
#ifndef HOLVANTER_STORE_OPEN_DATABASE_H_
#define HOLVANTER_STORE_OPEN_DATABASE_H_

#include <memory>
#include <string>

#include "store/database.h"

namespace holvanter {

// Replaces `db_connection` with a new connection to the database at
// `database_path` (the previous one is released first, which closes it).
// The file's content decides the backend: an SQLite database opens with
// SQLite; an Access file and an ODBC file data source open through ODBC.
// Any failure gives false, never an error; `db_connection` is then empty.
bool OpenDatabase(const std::string& database_path, std::unique_ptr<Connection>& db_connection);

// Why the last OpenDatabase on this thread gave false: the database's or
// the driver's own message; empty after an open that succeeded.
const std::string& LastOpenFailure();

}  // namespace holvanter

#endif  // HOLVANTER_STORE_OPEN_DATABASE_H_
