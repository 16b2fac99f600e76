// The one thread that owns an encoder port. The component keeps its port
// state and database connection per thread, so every card operation of a
// port runs here, one at a time, in arrival order.
#ifndef HOLVANTER_TOOLS_AGENT_ENCODER_WORKER_H_
#define HOLVANTER_TOOLS_AGENT_ENCODER_WORKER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "holvanter/tavo_card.h"

namespace agent {

class EncoderWorker {
 public:
  // A queued operation. Exactly one of run and expire is ever called:
  // run on the worker thread, expire by whoever gives up on it first.
  class Job {
   public:
    // Takes the job away from the queue unless it has started; true when
    // it will not run.
    bool Expire() { return Claim(kExpired); }

   private:
    friend class EncoderWorker;
    enum State { kWaiting, kRunning, kExpired };
    bool Claim(State to) {
      int expected = kWaiting;
      return state_.compare_exchange_strong(expected, to);
    }
    std::function<void(holvanter::TavoCard&)> run_;
    std::atomic<int> state_{kWaiting};
  };

  // Opens the encoder on `port` (0-based) on the new thread right away.
  explicit EncoderWorker(int port);
  ~EncoderWorker();  // Stop()

  // Queues `run`; null when the worker is stopping. The caller expires the
  // job when it has waited too long.
  std::shared_ptr<Job> Submit(std::function<void(holvanter::TavoCard&)> run);

  // Opens the encoder again when it is not open; the OpenPort result, or
  // port + 1 when it was open. Only for a running job.
  int32_t EnsureOpen(holvanter::TavoCard& card);

  // Refuses new jobs, lets the running one finish, drops the waiting ones
  // (their callers answer them), closes the encoder and joins the thread.
  void Stop();

  int port() const { return port_; }
  // The last port state this worker saw: 1 open, -1 not tried, else the
  // byte the encoder library returned.
  int port_state() const { return port_state_.load(); }
  std::size_t waiting() const;

 private:
  void Loop();

  const int port_;
  std::atomic<int> port_state_{-1};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace agent

#endif  // HOLVANTER_TOOLS_AGENT_ENCODER_WORKER_H_
