// The wait for an encoder worker on a real worker thread: a job that runs
// in time answers with its result, one that waits too long is taken back
// and never runs, and a worker that stops answers at once.
#include "hosts/net/submit_within.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace hostnet {
namespace {

namespace asio = boost::asio;
using Worker = frontdesk::EncoderWorker;

SubmitJob On(Worker& worker) {
  return [&worker](std::function<void()> run) { return worker.Submit(std::move(run)); };
}

TEST(SubmitWithin, DoneInTimeExpiredWhenTheEncoderStaysBusyOrStops) {
  asio::io_context io;
  Worker worker(0, [] { return true; });
  std::vector<std::string> heard;  // in the order the loop heard them
  std::atomic<int> runs{0};
  const auto submit = [&](const std::string& name, std::chrono::milliseconds wait,
                          std::chrono::milliseconds takes) {
    SubmitWithin<std::string>(
        io, On(worker), wait,
        [&runs, name, takes] {
          ++runs;
          std::this_thread::sleep_for(takes);
          return name + " done";
        },
        [&heard](std::string result) { heard.push_back(result); },
        [&heard, name] { heard.push_back(name + " expired"); });
  };
  // The first holds the encoder for 300 ms: the second's 100 ms run out
  // while it waits; the third waits long enough.
  submit("first", std::chrono::seconds(5), std::chrono::milliseconds(300));
  submit("second", std::chrono::milliseconds(100), std::chrono::milliseconds(0));
  submit("third", std::chrono::seconds(5), std::chrono::milliseconds(0));
  io.run_for(std::chrono::seconds(10));
  EXPECT_EQ(heard, (std::vector<std::string>{"second expired", "first done", "third done"}));
  EXPECT_EQ(runs, 2);  // the expired job never ran

  worker.Stop();
  io.restart();
  heard.clear();
  submit("late", std::chrono::seconds(5), std::chrono::milliseconds(0));
  EXPECT_EQ(heard, (std::vector<std::string>{"late expired"}));  // at once, not at the wait's end
  io.run_for(std::chrono::milliseconds(200));
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace hostnet
