// The link desk's side of the desks' link: it listens for desks, admits
// the paired ones, and runs the key requests of their coders on them. What
// becomes of each request is the routing's (routing.h); the hub keeps the
// connections and the timer and carries out what the routing says. The
// connections, the handshakes and the routing run on the agent's network
// thread; the key link's journal and the registry's watch are read and
// written on the hub's own worker thread, in the order the routing asked,
// and what they read comes back to the network thread.
#ifndef HOLVANTER_HOSTS_DESKS_HUB_H_
#define HOLVANTER_HOSTS_DESKS_HUB_H_

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "hosts/clock/clock.h"
#include "hosts/desks/channel.h"
#include "hosts/desks/registry.h"
#include "hosts/desks/routing.h"
#include "hosts/fias/journal.h"
#include "hosts/fias/key_service.h"

namespace desks {

// Handshakes pending at once, from one address and in all: the oldest goes
// first when a new connection would pass either.
constexpr std::size_t kMostHandshakesPerAddress = 4;
constexpr std::size_t kMostHandshakes = 32;

class DeskHub {
 public:
  struct Options {
    std::string address;  // to listen on
    unsigned short port = 0;
    std::chrono::milliseconds queue_wait{30000};  // the desk's own wait for its encoder
    std::map<std::string, std::vector<std::string>> coders;  // desk -> its key coders
  };
  using Log = std::function<void(const std::string&)>;

  DeskHub(boost::asio::io_context& io, Options options, DeskRegistry& registry,
          fias::KeyService& keys, fias::Journal& journal, Log log, const hosts::Clock& clock);
  // Waits for the journal's writes under way.
  ~DeskHub();

  // Starts listening; an error text when it cannot.
  std::string Listen();
  void Stop();
  unsigned short port() const { return port_; }

  // Runs `request` on encoder `port` of `desk`; `done` runs once.
  void Route(const std::string& desk, int port, const fias::Record& request,
             std::function<void(fias::KeyOutcome)> done);

  // Every desk the coders name or that joined: name, coders, whether it is
  // joined, its address and last contact.
  nlohmann::json Status() const;

 private:
  struct Joined {
    std::shared_ptr<Channel> channel;
    uint64_t link = 0;  // the routing's name for this joining
  };

  void Accept();
  void Admitted(const std::shared_ptr<Channel>& channel);
  Admission Admit(const std::string& desk, Mode mode);
  void NoteStranger(const std::string& address, const std::string& line);
  void Dropped(const std::shared_ptr<Channel>& channel, const std::string& why);
  void OnEvent(const std::shared_ptr<Channel>& channel, const SessionEvent& event);
  void OnJoined(const std::shared_ptr<Channel>& channel);
  void OnMessage(const std::shared_ptr<Channel>& channel, const std::string& payload);
  void OnClosed(const std::shared_ptr<Channel>& channel, const std::string& why);
  RoutingTime Now() const;
  // Carries out what the routing says, in order: an action on a file goes
  // to the worker, and those after it wait for it.
  void Carry();
  void Carry(std::vector<RoutingAction> actions);
  void CarryOut(const RoutingAction& action);
  // On the worker: reads or writes the file; the result, for the network
  // thread.
  std::function<void()> OnWorker(const RoutingAction& action);
  // The channel of `desk`'s joining `link`, or null once it left.
  std::shared_ptr<Channel> ChannelOf(const std::string& desk, uint64_t link) const;
  // Sets the timer to the routing's next deadline.
  void Arm();

  boost::asio::io_context& io_;
  const Options options_;
  DeskRegistry& registry_;
  fias::KeyService& keys_;
  fias::Journal& journal_;
  Log log_;
  const hosts::Clock& clock_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer timer_;
  std::optional<hosts::SteadyTime> armed_;
  unsigned short port_ = 0;
  bool stopping_ = false;
  Routing routing_;
  std::map<uint64_t, std::function<void(fias::KeyOutcome)>> waiting_;  // by request id
  std::set<std::shared_ptr<Channel>> handshaking_;
  std::map<std::string, Joined> joined_;
  std::map<std::string, std::string> last_contact_;  // by desk: local time, to the second
  // Reads and writes the journal and the registry, one after the other;
  // the destructor lets it finish before anything it uses goes.
  boost::asio::thread_pool worker_{1};
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_HUB_H_
