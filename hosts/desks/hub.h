// The link desk's side of the desks' link: it listens for desks, admits
// the paired ones, and runs the key requests of their coders on them.
// Everything here runs on the agent's network thread.
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
  struct Pending {
    fias::Record request;
    int port = 0;
    std::function<void(fias::KeyOutcome)> done;
    std::shared_ptr<boost::asio::steady_timer> timer;
    std::chrono::steady_clock::time_point sent;
  };
  struct Joined {
    std::shared_ptr<Channel> channel;
    std::map<uint64_t, Pending> pending;
  };

  void Accept();
  void Admitted(const std::shared_ptr<Channel>& channel);
  Admission Admit(const std::string& desk, Mode mode);
  // Logs what a connection that has not joined did, in few lines however
  // many there are: each different line from an address once in 10 s, and
  // then how many were not shown.
  void NoteStranger(const std::string& address, const std::string& line);
  void NoteSummaries();
  // The record the link desk answers the PMS with, built from the pending
  // request; of the desk's answer only its status, its clear text and its
  // card facts, each checked. nullopt with `why` when the answer lies.
  std::optional<fias::Record> SpeakFor(const fias::Record& request, const fias::Record& told,
                                       const std::string& cut, std::string& why) const;
  void Late(const std::shared_ptr<Channel>& channel, const fias::CutCard& card);
  void Dropped(const std::shared_ptr<Channel>& channel, const std::string& why);
  void OnEvent(const std::shared_ptr<Channel>& channel, const SessionEvent& event);
  void OnJoined(const std::shared_ptr<Channel>& channel);
  void OnMessage(const std::shared_ptr<Channel>& channel, const std::string& payload);
  void OnClosed(const std::shared_ptr<Channel>& channel, const std::string& why);
  // An answer that names no request of this desk, or does not fit it, is
  // answered with why (the desk is dropped for it).
  holvanter::Status Answered(const std::string& desk, uint64_t id, const fias::KeyOutcome& outcome);
  void Lost(const std::string& desk, uint64_t id);
  // Every second: drops a desk removed from the registry, and sums up what
  // strangers did.
  void Watch();

  boost::asio::io_context& io_;
  const Options options_;
  DeskRegistry& registry_;
  fias::KeyService& keys_;
  fias::Journal& journal_;
  Log log_;
  const hosts::Clock& clock_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer watch_;
  unsigned short port_ = 0;
  bool stopping_ = false;
  uint64_t next_id_ = 0;
  std::set<std::shared_ptr<Channel>> handshaking_;
  std::map<std::string, Joined> joined_;
  // Requests routed to a desk and lost (answered RY), by desk and id: the
  // only ones a late answer or report of that desk may name.
  struct LostRequest {
    fias::Record request;
    std::string routed_at;  // YYMMDDHHMMSS
  };
  std::map<std::string, std::map<uint64_t, LostRequest>> lost_;
  struct Noted {
    std::chrono::steady_clock::time_point since;
    std::set<std::string> shown;
    uint64_t unshown = 0;
  };
  std::map<std::string, Noted> noted_;  // by address
  std::map<std::string, std::string> last_contact_;  // by desk: local time, to the second
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_HUB_H_
