// The byte pipe over a real loopback TCP pair: bytes both ways with the
// time, the core's deadline, its last words before the close, and each way
// a connection ends (the other side closes, reads nothing, the core is
// gone).
#include "hosts/net/byte_pipe.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hostnet {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// A core that answers every read with its bytes in capitals, says `last`
// and is done at a read of "bye", and counts its ticks.
class ShoutingCore : public PipeCore {
 public:
  void Feed(std::string_view bytes, SteadyTime now) override {
    heard += bytes;
    fed_at.push_back(now);
    for (char c : bytes) output += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (heard.find("bye") != std::string::npos) done = "the core said goodbye";
  }
  void Tick(SteadyTime now) override {
    ++ticks;
    ticked_at = now;
    deadline.reset();
    output += "tick";
  }
  std::string TakeOutput() override { return std::exchange(output, {}); }
  std::optional<SteadyTime> Deadline() const override { return deadline; }
  std::string Done() const override { return done; }

  std::string heard, output, done;
  std::vector<SteadyTime> fed_at;
  std::optional<SteadyTime> deadline;
  int ticks = 0;
  SteadyTime ticked_at{};
};

// A connected pair on 127.0.0.1: `near` for the pipe, `far` for the test.
struct Pair {
  asio::io_context io;
  tcp::socket near{io}, far{io};
  Pair() {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    far.connect(acceptor.local_endpoint());
    acceptor.accept(near);
  }
  // What the far side reads until the pipe closes, running the loop.
  std::string ReadAll() {
    std::string all;
    std::array<char, 65536> buffer;
    boost::system::error_code ec;
    std::function<void()> read = [&] {
      far.async_read_some(asio::buffer(buffer), [&](boost::system::error_code e, std::size_t n) {
        all.append(buffer.data(), n);
        if (e) {
          ec = e;
          return;
        }
        read();
      });
    };
    read();
    io.run_for(std::chrono::seconds(10));
    io.restart();
    return all;
  }
};

struct Outcome {
  std::string closed;  // the reason, once closed
  int closes = 0;
};

std::shared_ptr<BytePipe> Open(Pair& pair, const std::shared_ptr<PipeCore>& core, Outcome& out,
                               PipeLimits limits = {}) {
  auto pipe = std::make_shared<BytePipe>(std::move(pair.near), std::move(limits));
  pipe->Start(core, [&out](const std::string& why) {
    out.closed = why;
    ++out.closes;
  });
  return pipe;
}

TEST(BytePipe, FeedsWithTheTimeWritesInOrderAndClosesAfterTheCoresLastWords) {
  Pair pair;
  auto core = std::make_shared<ShoutingCore>();
  core->output = "hello ";
  Outcome out;
  const SteadyTime before = std::chrono::steady_clock::now();
  auto pipe = Open(pair, core, out);
  EXPECT_EQ(pipe->peer(), "127.0.0.1:" + std::to_string(pair.far.local_endpoint().port()));
  EXPECT_EQ(pipe->address(), "127.0.0.1");
  asio::write(pair.far, asio::buffer(std::string("abc ")));
  asio::write(pair.far, asio::buffer(std::string("bye")));
  EXPECT_EQ(pair.ReadAll(), "hello ABC BYE");
  EXPECT_EQ(core->heard, "abc bye");
  ASSERT_FALSE(core->fed_at.empty());
  EXPECT_GE(core->fed_at.front(), before);
  EXPECT_EQ(out.closed, "the core said goodbye");
  EXPECT_EQ(out.closes, 1);
  EXPECT_FALSE(pipe->open());
}

TEST(BytePipe, TicksTheCoreAtItsDeadline) {
  Pair pair;
  auto core = std::make_shared<ShoutingCore>();
  const SteadyTime deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  core->deadline = deadline;
  Outcome out;
  auto pipe = Open(pair, core, out);
  std::array<char, 16> buffer;
  std::size_t n = 0;
  pair.far.async_read_some(asio::buffer(buffer), [&](boost::system::error_code, std::size_t got) {
    n = got;
    pipe->Close("enough");
  });
  pair.io.run_for(std::chrono::seconds(10));
  EXPECT_EQ(std::string(buffer.data(), n), "tick");
  EXPECT_EQ(core->ticks, 1);
  EXPECT_GE(core->ticked_at, deadline);
  EXPECT_EQ(out.closed, "enough");
}

// Each way a connection ends, and the reason the owner hears.
TEST(BytePipe, EachEndIsReportedOnceWithItsReason) {
  const struct {
    const char* name;
    std::function<void(Pair&, BytePipe&, std::shared_ptr<ShoutingCore>&)> act;
    std::string why;
    std::string far_reads;  // what the far side reads before the end
  } cases[] = {
      {"the other side closes",
       [](Pair& pair, BytePipe&, std::shared_ptr<ShoutingCore>&) { pair.far.close(); },
       "the interface closed it", ""},
      {"the owner closes after what is queued",
       [](Pair&, BytePipe& pipe, std::shared_ptr<ShoutingCore>& core) {
         core->output = "last words";
         pipe.Pump();
         pipe.Close("stopping");
         pipe.Close("a later reason is not kept");
       },
       "stopping", "last words"},
      {"more queued than the limit",
       [](Pair&, BytePipe& pipe, std::shared_ptr<ShoutingCore>& core) {
         core->output = std::string(3000, 'x');
         pipe.Pump();
       },
       "the interface reads nothing: more than 2 KiB wait to be written", ""},
      {"an answer that would not fit",
       [](Pair&, BytePipe& pipe, std::shared_ptr<ShoutingCore>&) {
         EXPECT_TRUE(pipe.Fits(100));
         EXPECT_FALSE(pipe.Fits(1500));
         EXPECT_FALSE(pipe.writable());
       },
       "the interface reads nothing: more than 2 KiB wait to be written", ""},
      {"the core is gone, its queued bytes are not",
       [](Pair&, BytePipe& pipe, std::shared_ptr<ShoutingCore>& core) {
         core->output = "kept";
         pipe.Pump();
         core.reset();
         pipe.Pump();
       },
       "the connection's owner is gone", "kept"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    auto core = std::make_shared<ShoutingCore>();
    Outcome out;
    auto pipe = Open(pair, core, out,
                     {"the interface", "the interface closed it", 2048, std::chrono::seconds(5)});
    c.act(pair, *pipe, core);
    if (pair.far.is_open()) {
      EXPECT_EQ(pair.ReadAll(), c.far_reads);
    } else {
      pair.io.run_for(std::chrono::seconds(5));
    }
    EXPECT_EQ(out.closed, c.why);
    EXPECT_EQ(out.closes, 1);
    EXPECT_FALSE(pipe->open());
  }
}

}  // namespace
}  // namespace hostnet
