// What every Env shares: the wait for a file lock, kept on the Env's own
// clock whichever system serves the lock.
#include "platform/env.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace holvanter {

uint64_t Env::NowMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void Env::SleepForMicroseconds(int micros) {
  if (micros > 0) std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

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
