#include "tools/tavocard/hotel_dsn.h"

#include <optional>

#include "holvanter/tavo_card.h"
#include "store/odbc_connection.h"
#include "store/odbc_open.h"

namespace tavocard {

std::unique_ptr<holvanter::Connection> OpenDataSourceForInit(const std::string& dsn_path,
                                                             bool force) {
  const std::optional<holvanter::OdbcTarget> target = holvanter::PlanOdbcOpen(*holvanter::Env::Default(), dsn_path);
  if (!target) {
    throw holvanter::TavoError(holvanter::kErrDatabase,
                               dsn_path + " is no ODBC file data source (an [ODBC] section "
                                          "naming a DRIVER and its keywords)");
  }
  auto connection = std::make_unique<holvanter::OdbcConnection>(target->connection_string,
                                                                target->numbering_lock_path);
  if (!force) {
    bool has_hotel = false;
    try {
      connection->Query("SELECT COUNT(*) AS N FROM CardRecord");
      has_hotel = true;
    } catch (const holvanter::TavoError&) {
      // No CardRecord table: nothing to lose.
    }
    if (has_hotel) {
      throw holvanter::TavoError(holvanter::kErrDatabase,
                                 "the database already holds a hotel; give --force to replace "
                                 "it with an empty one");
    }
  }
  return connection;
}

}  // namespace tavocard
