// One TCP connection joined to a protocol core that has no I/O in it (the
// key link's Link, the desks' Session): what arrives is fed to the core with
// the time, what the core gives is written in order, its deadline is kept on
// a timer, and when the core is done the connection closes once its last
// bytes are written. The key link and both sides of the desks' link use it;
// it runs on the agent's network loop.
#ifndef HOLVANTER_HOSTS_NET_BYTE_PIPE_H_
#define HOLVANTER_HOSTS_NET_BYTE_PIPE_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

namespace hostnet {

using SteadyTime = std::chrono::steady_clock::time_point;

// What the pipe drives. The core acts on its own events within Feed and
// Tick (through its owner); the pipe only moves bytes and keeps time.
class PipeCore {
 public:
  virtual ~PipeCore() = default;
  // Bytes arrived at `now`.
  virtual void Feed(std::string_view bytes, SteadyTime now) = 0;
  // The deadline passed; `now` is at or after it.
  virtual void Tick(SteadyTime now) = 0;
  // The bytes to write, in order; taking them empties the core's queue.
  virtual std::string TakeOutput() = 0;
  // When Tick is due; nullopt: no timer.
  virtual std::optional<SteadyTime> Deadline() const = 0;
  // Non-empty once the core is done: the connection closes, after its last
  // bytes, for this reason.
  virtual std::string Done() const = 0;
};

struct PipeLimits {
  // The other side in the words of the log: "the other side", "the interface".
  std::string peer = "the other side";
  // The reason given when the other side closes the connection.
  std::string peer_closed = "closed by the other side";
  // A side that stops reading is given up, not queued for without end: past
  // this many bytes waiting to be written, or a write that takes longer than
  // write_limit, the connection closes.
  std::size_t most_queued = 1 << 20;
  std::chrono::milliseconds write_limit{10000};
};

class BytePipe : public std::enable_shared_from_this<BytePipe> {
 public:
  // Once, when the connection has closed for any reason.
  using Closed = std::function<void(const std::string& why)>;

  BytePipe(boost::asio::ip::tcp::socket socket, PipeLimits limits);

  // Writes what `core` has to say first, and starts reading. The core is
  // held weakly: once it is gone nothing more is fed, and what is queued is
  // still written before the close. `closed` runs once, at the close.
  void Start(std::weak_ptr<PipeCore> core, Closed closed);
  // After the core was given something to send from outside Feed or Tick:
  // writes its output, closes when it is done, sets its timer again.
  void Pump();
  // Closes once what is queued has been written; the first reason stays.
  void Close(const std::string& why);
  // Closes at once, dropping what is queued.
  void Shut(const std::string& why);
  // Whether `bytes` more would still fit in the queue (with room for a
  // kilobyte of the core's own); when not, the connection is closed as one
  // whose other side reads nothing, from the loop.
  bool Fits(std::size_t bytes);

  bool open() const { return !closed_; }
  // Open, not closing, and not given up for a queue too long.
  bool writable() const { return !closed_ && !closing_ && !overflowed_; }
  bool closing() const { return closing_ || closed_; }
  const std::string& peer() const { return peer_; }
  // The other side's address alone, without its port.
  const std::string& address() const { return address_; }
  std::size_t queued() const { return queued_; }

 private:
  void Read();
  void Write();
  void ArmTimer();
  void Overflowed();

  boost::asio::ip::tcp::socket socket_;
  std::weak_ptr<PipeCore> core_;
  const PipeLimits limits_;
  Closed closed_handler_;
  std::string peer_, address_;
  std::array<char, 8192> buffer_{};
  std::deque<std::string> writes_;
  std::size_t queued_ = 0;  // bytes in writes_
  boost::asio::steady_timer write_timer_;
  boost::asio::steady_timer core_timer_;
  bool started_ = false;
  bool writing_ = false;
  bool overflowed_ = false;
  bool closing_ = false;
  bool closed_ = false;
  std::string why_;
};

}  // namespace hostnet

#endif  // HOLVANTER_HOSTS_NET_BYTE_PIPE_H_
