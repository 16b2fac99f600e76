#include "hosts/net/byte_pipe.h"

#include "hosts/clock/clock.h"

namespace hostnet {

namespace {

// The shell is the one part of a connection on real time: Asio's timers
// wait on the system's steady clock, so the core is told that clock's time.
// A test drives the core itself, on a clock of its own.
SteadyTime ShellTime() { return hosts::Clock::System().Steady(); }

}  // namespace

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

BytePipe::BytePipe(tcp::socket socket, PipeLimits limits)
    : socket_(std::move(socket)),
      limits_(std::move(limits)),
      write_timer_(socket_.get_executor()),
      core_timer_(socket_.get_executor()) {
  boost::system::error_code ec;
  const auto remote = socket_.remote_endpoint(ec);
  address_ = ec ? "?" : remote.address().to_string();
  peer_ = ec ? "?" : address_ + ":" + std::to_string(remote.port());
}

void BytePipe::Start(std::weak_ptr<PipeCore> core, Closed closed) {
  core_ = std::move(core);
  closed_handler_ = std::move(closed);
  started_ = true;
  Pump();
  if (!closing()) Read();
}

void BytePipe::Pump() {
  if (closed_ || !started_) return;
  const std::shared_ptr<PipeCore> core = core_.lock();
  if (!core) return Close("the connection's owner is gone");
  std::string bytes = core->TakeOutput();
  if (!overflowed_) {
    if (queued_ + bytes.size() > limits_.most_queued) return Overflowed();
    if (!bytes.empty()) {
      queued_ += bytes.size();
      writes_.push_back(std::move(bytes));
    }
    if (!writing_) Write();
  }
  if (closed_) return;
  if (const std::string done = core->Done(); !done.empty()) {
    core_timer_.cancel();
    return Close(done);
  }
  ArmTimer();
}

bool BytePipe::Fits(std::size_t bytes) {
  if (closed_ || overflowed_) return false;
  if (queued_ + bytes + 1024 <= limits_.most_queued) return true;
  Overflowed();
  return false;
}

void BytePipe::Overflowed() {
  // Closed from the loop, not from within the caller: its owner may be
  // going through its connections.
  overflowed_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    self->Shut(self->limits_.peer + " reads nothing: more than " +
               std::to_string(self->limits_.most_queued >> 10) + " KiB wait to be written");
  });
}

void BytePipe::Read() {
  socket_.async_read_some(
      asio::buffer(buffer_), [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
        if (self->closed_) return;
        if (ec) return self->Shut(ec == asio::error::eof ? self->limits_.peer_closed : ec.message());
        const std::shared_ptr<PipeCore> core = self->core_.lock();
        if (!core) return self->Close("the connection's owner is gone");
        core->Feed(std::string_view(self->buffer_.data(), n), ShellTime());
        if (self->closed_) return;
        self->Pump();
        // Nothing more is read from a core that is done.
        if (!self->closed_ && core->Done().empty()) self->Read();
      });
}

void BytePipe::Write() {
  if (writes_.empty() || closed_) return;
  writing_ = true;
  write_timer_.expires_after(limits_.write_limit);
  write_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
    if (!ec && self->writing_)
      self->Shut("a write took longer than " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                    self->limits_.write_limit)
                                    .count()) +
                 " s");
  });
  asio::async_write(socket_, asio::buffer(writes_.front()),
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

void BytePipe::ArmTimer() {
  const std::shared_ptr<PipeCore> core = core_.lock();
  const std::optional<SteadyTime> deadline = core ? core->Deadline() : std::nullopt;
  if (!deadline) {
    core_timer_.cancel();
    return;
  }
  core_timer_.expires_at(*deadline);
  core_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
    if (ec || self->closed_) return;
    const std::shared_ptr<PipeCore> core = self->core_.lock();
    if (!core) return self->Close("the connection's owner is gone");
    core->Tick(ShellTime());
    self->Pump();
  });
}

void BytePipe::Close(const std::string& why) {
  if (closed_ || closing_) return;
  closing_ = true;
  why_ = why;
  if (!writing_) Shut(why);
}

void BytePipe::Shut(const std::string& why) {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  write_timer_.cancel();
  core_timer_.cancel();
  writes_.clear();
  queued_ = 0;
  if (Closed closed = std::exchange(closed_handler_, nullptr)) closed(why);
}

}  // namespace hostnet
