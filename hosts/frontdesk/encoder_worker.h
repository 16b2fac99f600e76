// The one thread that owns an encoder port, shared by the hosts of one
// process (the agent and the PMS key link). The component keeps its port
// state per thread, so every card operation of a port runs here, one at a
// time, in arrival order.
#ifndef HOLVANTER_HOSTS_FRONTDESK_ENCODER_WORKER_H_
#define HOLVANTER_HOSTS_FRONTDESK_ENCODER_WORKER_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace frontdesk {

class EncoderWorker {
 public:
  // A queued operation. It either runs on the worker thread or is expired
  // by whoever gives up on it first, never both.
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
    std::function<void()> run_;
    std::atomic<int> state_{kWaiting};
  };

  // Starts the thread, which first tries the encoder on `port` (0-based)
  // with `probe` (true: it opened).
  EncoderWorker(int port, std::function<bool()> probe);
  ~EncoderWorker();  // Stop()

  // Queues `run`; null when the worker is stopping. The caller expires the
  // job when it has waited too long.
  std::shared_ptr<Job> Submit(std::function<void()> run);

  // Refuses new jobs, lets the running one finish, drops the waiting ones
  // (their callers answer them) and joins the thread.
  void Stop();

  int port() const { return port_; }
  // Returns once the first try of the encoder has ended (or the worker is
  // stopping), so that nothing answers for the encoder before it was tried.
  void WaitUntilProbed();
  // Whether the encoder opened for the last operation (or the probe).
  bool opened() const { return opened_.load(); }
  void set_opened(bool opened) { opened_ = opened; }
  std::size_t waiting() const;

 private:
  void Loop(std::function<bool()> probe);

  const int port_;
  std::atomic<bool> opened_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  bool probed_ = false;
  std::thread thread_;
};

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_ENCODER_WORKER_H_
