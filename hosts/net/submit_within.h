// "Run this on the encoder's worker within `wait`, or answer busy": the one
// way the key link, a joined desk and the agent queue card work. A job
// that has not started when the wait runs out is taken back and `expired`
// runs instead of `done`; both run on the network loop, and one of them
// runs once.
#ifndef HOLVANTER_HOSTS_NET_SUBMIT_WITHIN_H_
#define HOLVANTER_HOSTS_NET_SUBMIT_WITHIN_H_

#include <chrono>
#include <functional>
#include <memory>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>

#include "hosts/frontdesk/encoder_worker.h"

namespace hostnet {

// Queues a job on a worker; null when the worker is stopping.
using SubmitJob =
    std::function<std::shared_ptr<frontdesk::EncoderWorker::Job>(std::function<void()> run)>;

// `run` on the worker through `submit`; its result to `done`, or `expired`
// when it waited longer than `wait` or the worker is stopping. Returns the
// wait's timer, null when the worker refused the job (`expired` has then
// already run): a host that stops cancels the timer to end the wait now,
// and a job that has not started then expires at once.
template <typename Result>
std::shared_ptr<boost::asio::steady_timer> SubmitWithin(
    boost::asio::io_context& io, const SubmitJob& submit, std::chrono::milliseconds wait,
    std::function<Result()> run, std::function<void(Result)> done,
    std::function<void()> expired) {
  auto timer = std::make_shared<boost::asio::steady_timer>(io, wait);
  auto job = submit([&io, timer, run = std::move(run), done] {
    Result result = run();
    boost::asio::post(io, [timer, done, result = std::move(result)]() mutable {
      timer->cancel();
      done(std::move(result));
    });
  });
  if (!job) {
    expired();
    return nullptr;
  }
  // Woken by the wait running out or by a cancel: the answer's own cancel
  // comes after the job started, so Expire() is false then.
  timer->async_wait([timer, job, expired = std::move(expired)](boost::system::error_code) {
    if (job->Expire()) expired();
  });
  return timer;
}

}  // namespace hostnet

#endif  // HOLVANTER_HOSTS_NET_SUBMIT_WITHIN_H_
