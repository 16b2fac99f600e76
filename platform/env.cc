// What every Env shares: the wait for a file lock, kept on the Env's own
// clock whichever system serves the lock.
#include "platform/env.h"

#include <algorithm>

namespace holvanter {

FileLockResult Env::LockFile(const std::string& path, int wait_ms, LockFileMode mode) {
  FileLockResult result;
  std::unique_ptr<FileLockRequest> request = RequestFileLock(path, mode, &result.error);
  if (request == nullptr) return result;
  // The request stays queued with the system while the wait looks at it in
  // short steps: a lock given back is taken within a few milliseconds, and
  // the limit is kept by this Env's clock, which a test may move itself.
  constexpr uint64_t kFirstStepMicros = 1000;
  constexpr uint64_t kLongestStepMicros = 5000;
  const uint64_t limit = wait_ms > 0 ? static_cast<uint64_t>(wait_ms) * 1000 : 0;
  const uint64_t start = NowMicros();
  uint64_t step = kFirstStepMicros;
  for (;;) {
    result.lock = request->Granted(&result.error);
    if (result.lock != nullptr || !result.error.empty()) return result;
    const uint64_t waited = NowMicros() - start;
    if (waited >= limit) {
      result.timed_out = true;
      return result;
    }
    SleepForMicroseconds(static_cast<int>(std::min(step, limit - waited)));
    step = std::min(step * 2, kLongestStepMicros);
  }
}

}  // namespace holvanter
