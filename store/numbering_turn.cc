#include <string>

#include "util/status.h"
#include "platform/env.h"
#include "store/database.h"

namespace holvanter {
namespace {

class FileTurn : public NumberingTurn {
 public:
  explicit FileTurn(std::unique_ptr<FileLock> lock) : lock_(std::move(lock)) {}

 private:
  std::unique_ptr<FileLock> lock_;
};

}  // namespace

Result<std::unique_ptr<NumberingTurn>> TakeFileNumberingTurn(Env& env,
                                                             const std::string& lock_path) {
  FileLockResult taken =
      env.LockFile(lock_path, kCommandTimeoutSeconds * 1000, LockFileMode::kShared);
  if (taken.lock) return std::unique_ptr<NumberingTurn>(std::make_unique<FileTurn>(std::move(taken.lock)));
  if (taken.timed_out) {
    return Status::Database(("no card numbering turn within " +
                                      std::to_string(kCommandTimeoutSeconds) +
                                      " seconds: another desk holds the lock file " + lock_path));
  }
  return Status::Database(("the card numbering lock file " + lock_path + " cannot be locked: " + taken.error));
}

std::string BusyDatabaseMessage(const std::string& database_message) {
  return "the database stayed busy, locked by another connection, for the command time limit "
         "of " +
         std::to_string(kCommandTimeoutSeconds) + " seconds: " + database_message;
}

}  // namespace holvanter
