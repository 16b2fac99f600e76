// tavocard hotel init --dsn: a hotel on the server database that an ODBC
// file data source names, shared by several front desks.
#ifndef HOLVANTER_TOOLS_TAVOCARD_HOTEL_DSN_H_
#define HOLVANTER_TOOLS_TAVOCARD_HOTEL_DSN_H_

#include <memory>
#include <string>

#include "store/database.h"

namespace tavocard {

// Connects to the database of the file data source at `dsn_path` as the
// component will. Throws holvanter::StatusError with the driver's message when
// the file is no data source or the connection fails, and, unless `force`,
// when the database already holds a hotel (its CardRecord table).
std::unique_ptr<holvanter::Connection> OpenDataSourceForInit(const std::string& dsn_path,
                                                             bool force);

}  // namespace tavocard

#endif  // HOLVANTER_TOOLS_TAVOCARD_HOTEL_DSN_H_
