#include "hosts/desks/channel.h"

namespace desks {

Channel::Channel(boost::asio::ip::tcp::socket socket, Session session)
    : session_(std::move(session)),
      pipe_(std::make_shared<hostnet::BytePipe>(std::move(socket), hostnet::PipeLimits{})) {}

// A channel its owner let go of still writes what it queued, then closes.
Channel::~Channel() { pipe_->Close("the connection was let go"); }

void Channel::Start() {
  std::weak_ptr<Channel> weak = weak_from_this();
  pipe_->Start(weak, [weak](const std::string& why) {
    auto self = weak.lock();
    if (!self || !self->handlers_.closed) return;
    auto closed = std::exchange(self->handlers_, {}).closed;
    closed(why);
  });
}

bool Channel::Send(const nlohmann::json& message) {
  if (!pipe_->writable() ||
      !session_.Seal(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)))
    return false;
  pipe_->Pump();
  return true;
}

void Channel::Feed(std::string_view bytes, hostnet::SteadyTime now) {
  session_.Feed(bytes, now);
  HandOn();
}

void Channel::Tick(hostnet::SteadyTime now) {
  session_.Tick(now);
  HandOn();
}

// Events may close or send: the session's output goes after them.
void Channel::HandOn() {
  for (const SessionEvent& event : session_.TakeEvents()) {
    if (!pipe_->open()) return;
    handlers_.event(event);
  }
}

}  // namespace desks
