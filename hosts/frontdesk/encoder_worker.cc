#include "hosts/frontdesk/encoder_worker.h"

namespace frontdesk {

EncoderWorker::EncoderWorker(int port, std::function<bool()> probe)
    : port_(port), thread_([this, probe = std::move(probe)] { Loop(probe); }) {}

EncoderWorker::~EncoderWorker() { Stop(); }

std::shared_ptr<EncoderWorker::Job> EncoderWorker::Submit(std::function<void()> run) {
  auto job = std::make_shared<Job>();
  job->run_ = std::move(run);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return nullptr;
    queue_.push_back(job);
  }
  wake_.notify_all();  // the loop, not a waiter for the probe, must see it
  return job;
}

std::size_t EncoderWorker::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void EncoderWorker::WaitUntilProbed() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return probed_ || stopping_; });
}

void EncoderWorker::Loop(std::function<bool()> probe) {
  opened_ = probe();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    probed_ = true;
  }
  wake_.notify_all();
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    if (job->Claim(Job::kRunning)) job->run_();
  }
}

void EncoderWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace frontdesk
