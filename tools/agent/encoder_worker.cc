#include "tools/agent/encoder_worker.h"

namespace agent {

EncoderWorker::EncoderWorker(int port) : port_(port), thread_([this] { Loop(); }) {}

EncoderWorker::~EncoderWorker() { Stop(); }

std::shared_ptr<EncoderWorker::Job> EncoderWorker::Submit(
    std::function<void(holvanter::TavoCard&)> run) {
  auto job = std::make_shared<Job>();
  job->run_ = std::move(run);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return nullptr;
    queue_.push_back(job);
  }
  wake_.notify_one();
  return job;
}

int32_t EncoderWorker::EnsureOpen(holvanter::TavoCard& card) {
  if (port_state_.load() == 1) return port_ + 1;
  const int32_t opened = card.OpenPort(port_);
  port_state_ = opened == port_ + 1 ? 1 : 0;
  return opened;
}

std::size_t EncoderWorker::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void EncoderWorker::Loop() {
  // The object and the port state it stands for live on this thread only.
  holvanter::TavoCard card;
  try {
    EnsureOpen(card);
  } catch (const holvanter::TavoError&) {
    port_state_ = 0;  // no encoder library: every operation says so again
  }
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    if (job->Claim(Job::kRunning)) job->run_(card);
  }
  if (port_state_.load() == 1) card.ClosePort();
}

void EncoderWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace agent
