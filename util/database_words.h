// Words of ours that a database failure begins with, where a layer above
// the store tells failures apart by their kind without seeing the store.
#ifndef HOLVANTER_UTIL_DATABASE_WORDS_H_
#define HOLVANTER_UTIL_DATABASE_WORDS_H_

namespace holvanter {

// The connection to the server was lost under a statement (the server
// stopped, its machine is gone, its pair is changing over to the standby):
// a failure that may pass, which the key link answers with RY.
inline constexpr char kDatabaseConnectionLost[] = "the connection to the database server was lost";

}  // namespace holvanter

#endif  // HOLVANTER_UTIL_DATABASE_WORDS_H_
