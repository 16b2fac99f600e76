#include "hosts/desks/channel.h"

namespace desks {

namespace net = boost::asio;

Channel::Channel(net::ip::tcp::socket socket, Session session)
    : socket_(std::move(socket)), session_(std::move(session)) {
  boost::system::error_code ec;
  const auto remote = socket_.remote_endpoint(ec);
  peer_ = ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
}

void Channel::Start() {
  Flush();
  Read();
}

bool Channel::Send(const nlohmann::json& message) {
  if (closed_ || closing_ || !session_.Seal(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) return false;
  Flush();
  return true;
}

void Channel::Close(const std::string& why) {
  if (closed_ || closing_) return;
  closing_ = true;
  why_ = why;
  if (!writing_) Shut(why);
}

void Channel::Read() {
  socket_.async_read_some(
      net::buffer(buffer_), [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
        if (self->closed_) return;
        if (ec) return self->Shut(ec == net::error::eof ? "closed by the other side" : ec.message());
        self->heard_ = std::chrono::steady_clock::now();
        self->session_.Feed(std::string_view(self->buffer_.data(), n));
        // Events may close or send: the session's output goes after them.
        for (const SessionEvent& event : self->session_.TakeEvents()) {
          if (self->closed_) return;
          self->handlers_.event(event);
        }
        if (self->closed_) return;
        if (self->session_.closed()) {
          self->Flush();
          return self->Close("the session ended");
        }
        self->Flush();
        self->Read();
      });
}

void Channel::Flush() {
  std::string bytes = session_.TakeOutput();
  if (!bytes.empty() && !closed_) writes_.push_back(std::move(bytes));
  if (!writing_) Write();
}

void Channel::Write() {
  if (writes_.empty() || closed_) return;
  writing_ = true;
  net::async_write(socket_, net::buffer(writes_.front()),
                   [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                     self->writing_ = false;
                     if (self->closed_) return;
                     self->writes_.pop_front();
                     if (ec) return self->Shut(ec.message());
                     if (!self->writes_.empty()) return self->Write();
                     if (self->closing_) self->Shut(self->why_);
                   });
}

void Channel::Shut(const std::string& why) {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  writes_.clear();
  if (handlers_.closed) {
    auto closed = std::move(handlers_.closed);
    handlers_ = {};
    closed(why);
  }
}

}  // namespace desks
