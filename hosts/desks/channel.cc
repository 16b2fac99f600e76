#include "hosts/desks/channel.h"

namespace desks {

namespace net = boost::asio;

Channel::Channel(net::ip::tcp::socket socket, Session session)
    : socket_(std::move(socket)), session_(std::move(session)), write_timer_(socket_.get_executor()) {
  boost::system::error_code ec;
  const auto remote = socket_.remote_endpoint(ec);
  address_ = ec ? "?" : remote.address().to_string();
  peer_ = ec ? "?" : address_ + ":" + std::to_string(remote.port());
}

void Channel::Start() {
  Flush();
  Read();
}

bool Channel::Send(const nlohmann::json& message) {
  if (closed_ || closing_ || overflowed_ || !session_.Seal(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) return false;
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
  if (closed_ || overflowed_) return;
  if (queued_ + bytes.size() > kMostQueuedBytes) {
    // Closed from the loop, not from within the caller's Send: the hub may
    // be going through its desks.
    overflowed_ = true;
    net::post(socket_.get_executor(), [self = shared_from_this()] {
      self->Shut("the other side reads nothing: more than " +
                 std::to_string(kMostQueuedBytes >> 10) + " KiB wait to be written");
    });
    return;
  }
  if (!bytes.empty()) {
    queued_ += bytes.size();
    writes_.push_back(std::move(bytes));
  }
  if (!writing_) Write();
}

void Channel::Write() {
  if (writes_.empty() || closed_) return;
  writing_ = true;
  write_timer_.expires_after(kWriteLimit);
  write_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
    if (!ec && self->writing_)
      self->Shut("a write took longer than " + std::to_string(kWriteLimit.count()) + " s");
  });
  net::async_write(socket_, net::buffer(writes_.front()),
                   [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                     self->writing_ = false;
                     self->write_timer_.cancel();
                     if (self->closed_) return;
                     self->queued_ -= self->writes_.front().size();
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
  write_timer_.cancel();
  writes_.clear();
  queued_ = 0;
  if (handlers_.closed) {
    auto closed = std::move(handlers_.closed);
    handlers_ = {};
    closed(why);
  }
}

}  // namespace desks
