// The wait for an encoder worker on a real worker thread: a job that runs
// in time answers with its result, one that waits too long is taken back
// and never runs, and a worker that stops answers at once.
#include "hosts/net/submit_within.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
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
    return SubmitWithin<std::string>(
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
  EXPECT_EQ(submit("late", std::chrono::seconds(5), std::chrono::milliseconds(0)), nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"late expired"}));  // at once, not at the wait's end
  io.run_for(std::chrono::milliseconds(200));
  EXPECT_EQ(runs, 2);
}

// A host that stops cancels the waits: the job waiting expires then, not
// at the end of its wait, and the job running still answers with its result.
TEST(SubmitWithin, ACancelledWaitExpiresAWaitingJobAtOnce) {
  asio::io_context io;
  Worker worker(0, [] { return true; });
  std::vector<std::string> heard;
  const auto submit = [&](const std::string& name, std::chrono::milliseconds takes) {
    return SubmitWithin<std::string>(
        io, On(worker), std::chrono::seconds(30),
        [name, takes] {
          std::this_thread::sleep_for(takes);
          return name + " done";
        },
        [&heard](std::string result) { heard.push_back(result); },
        [&heard, name] { heard.push_back(name + " expired"); });
  };
  const auto running = submit("running", std::chrono::milliseconds(300));
  const auto waiting = submit("waiting", std::chrono::milliseconds(0));
  ASSERT_NE(running, nullptr);
  ASSERT_NE(waiting, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the first has started
  running->cancel();
  waiting->cancel();
  // A guard: the loop has no work between the expiry and the answer.
  auto guard = asio::make_work_guard(io);
  const auto started = std::chrono::steady_clock::now();
  while (heard.size() < 2 && std::chrono::steady_clock::now() - started < std::chrono::seconds(5))
    io.run_one_for(std::chrono::milliseconds(100));
  EXPECT_EQ(heard, (std::vector<std::string>{"waiting expired", "running done"}));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace hostnet
