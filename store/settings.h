// The settings file Tavoper.ini beside the component, and the database it
// names.
#ifndef HOLVANTER_STORE_SETTINGS_H_
#define HOLVANTER_STORE_SETTINGS_H_

#include <cstdint>
#include <string>

#include "platform/env.h"

namespace holvanter {

inline constexpr char kSettingsFileName[] = "Tavoper.ini";
// The fixed password of the hotel database: on every Access connection,
// and masked wherever the component writes text out.
inline constexpr char kDatabasePassword[] = "lockhousepw";

// The settings file: SettingsFolder() + Tavoper.ini, beside the component
// unless the Env names another folder.
std::string SettingsFilePath(Env& env);

// Reads section "Setting", key "DataBase" of the settings file afresh into
// `database_path` (UTF-8, at most 255 bytes in the ANSI code page).
// Returns 0, -800 when the settings file is missing, or -820 when no file
// exists at the path it names.
int16_t ReadDatabasePath(Env& env, std::string& database_path);

// Why ReadDatabasePath gave `result` (-800 or -820) in words, with the
// settings file and the path it looked at; empty for 0.
std::string DatabasePathFailure(Env& env, int16_t result, const std::string& database_path);

// How long a server database session is kept open after a card method for
// the next one (SessionPool): key "IdleSeconds" of section "Pool" of the
// settings file, 0 to 600; kDefaultIdleSeconds when the settings file or
// the key is missing or the value is no number in that range. 0: every
// card method opens a new session and closes it when it ends.
inline constexpr int kDefaultIdleSeconds = 5;
int ReadIdleSessionSeconds(Env& env);

// "DRIVER=Microsoft Access Driver (*.mdb);DBQ=" + path + ";pwd=lockhousepw".
std::string BuildConnectionString(const std::string& database_path);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SETTINGS_H_
