#include "store/settings.h"

#include <cstring>
#include <string>

#include "platform/env.h"

namespace holvanter {
namespace {

constexpr char kSettingsSection[] = "Setting";
constexpr char kDatabaseKey[] = "DataBase";
// The value is read into a buffer of this size: at most 255 bytes and a zero.
constexpr std::size_t kValueBufferSize = 256;

}  // namespace

std::string SettingsFilePath(Env& env) {
  return env.SettingsFolder() + env.PathSeparator() + kSettingsFileName;
}

int16_t ReadDatabasePath(Env& env_ref, std::string& database_path) {
  Env* env = &env_ref;
  const std::string settings_file = SettingsFilePath(env_ref);
  if (!env->FileExists(settings_file)) return -800;

  database_path.clear();
  char buffer[kValueBufferSize];
  std::memset(buffer, ' ', sizeof buffer);
  const std::string default_value = env->ToAnsi(database_path);
  const std::size_t n = env->GetPrivateProfileString(kSettingsSection, kDatabaseKey,
                                                     default_value.c_str(), buffer, sizeof buffer,
                                                     settings_file);
  database_path = env->FromAnsi(std::string(buffer, n < sizeof buffer ? n : sizeof buffer - 1));

  // An empty value names no file: the database counts as missing.
  if (database_path.empty() || !env->FileExists(database_path)) return -820;
  return 0;
}

std::string DatabasePathFailure(Env& env, int16_t result, const std::string& database_path) {
  if (result == 0) return {};
  if (result == -800) return "no settings file " + SettingsFilePath(env);
  return "the settings file " + SettingsFilePath(env) + " names DataBase=\"" + database_path +
         "\", where no file is";
}

int ReadIdleSessionSeconds(Env& env) {
  char buffer[16] = {};
  const std::size_t n = env.GetPrivateProfileString("Pool", "IdleSeconds", "", buffer,
                                                    sizeof buffer, SettingsFilePath(env));
  const std::string value(buffer, n < sizeof buffer ? n : sizeof buffer - 1);
  if (value.empty() || value.size() > 3 ||
      value.find_first_not_of("0123456789") != std::string::npos)
    return kDefaultIdleSeconds;
  const int seconds = std::stoi(value);
  return seconds <= 600 ? seconds : kDefaultIdleSeconds;
}

std::string BuildConnectionString(const std::string& database_path) {
  return std::string("DRIVER=Microsoft Access Driver (*.mdb);DBQ=") + database_path + ";pwd=" +
         kDatabasePassword;
}

}  // namespace holvanter
