// Opening the hotel database named by the settings file.
#ifndef HOLVANTER_STORE_OPEN_DATABASE_H_
#define HOLVANTER_STORE_OPEN_DATABASE_H_

#include <memory>
#include <string>

#include "platform/env.h"
#include "store/database.h"

namespace holvanter {

// Replaces `db_connection` with a new connection to the database at
// `database_path` (the previous one is released first, which closes it).
// The file's content, read through `env`, decides the backend: an SQLite database opens with
// SQLite; an Access file and an ODBC file data source open through ODBC.
// Any failure gives false, never an error; `db_connection` is then empty and
// `failure`, when given, receives why (the database's or the driver's own
// message), which the card methods keep for a host that asks after a -840.
bool OpenDatabase(Env& env, const std::string& database_path,
                  std::unique_ptr<Connection>& db_connection, std::string* failure = nullptr);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_OPEN_DATABASE_H_
