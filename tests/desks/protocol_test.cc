// The protocol between a desk and the link desk, both sides in memory: the
// handshake with a secret and with a pairing code, the link desk's
// refusals, a link desk that cannot prove the secret, sealed messages that
// were altered, replayed, left out or taken from another connection, and
// frames however the bytes arrive; the session's timers with the time passed
// in.
#include "hosts/desks/protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace desks {
namespace {

using Texts = std::vector<std::string>;
// The time the tests connect at; what follows happens within it.
const SteadyTime kStart = SteadyTime() + std::chrono::hours(1);
const std::string kSecret(32, '\x5a'), kOtherSecret(32, '\xa5'), kCode = "483921";
// What a desk that cannot join hears at its proof, whatever the reason.
const std::string kNotPaired = "desk desk-1 is not paired with this link desk, or not with this secret";
const std::string kNoCode =
    "no pairing code of desk desk-2 fits (none made, used, expired or mistyped): make a new one "
    "with tavocard desks pair desk-2 on the link desk";

// The link desk knows desk-1 by `key` and has `code` out for pairing desk-2.
Session::Admit AdmitWith(std::string key = kSecret, std::string code = kCode) {
  return [key, code](const std::string& desk, Mode mode) -> Admission {
    if (desk == "desk-1" && mode == Mode::kJoin) return Admission::WithKey(key);
    if (desk == "desk-2" && mode == Mode::kPair) return Admission::WithKey(code);
    return Admission::Refused("desk " + desk + " is not paired with this link desk");
  };
}

// "kind:text" for each event, as the tests compare them.
Texts Kinds(const std::vector<SessionEvent>& events) {
  static const char* const kNames[] = {"joined:", "message:",   "refused:",
                                       "fault:",  "timed out:", "ping:"};
  Texts out;
  for (const SessionEvent& e : events) out.push_back(kNames[e.kind] + e.text);
  return out;
}

// Both sides and what each has heard; the bytes cross in pieces of `chunk`.
struct Wire {
  Session desk, link;
  std::size_t chunk = std::string::npos;
  Texts at_desk = {}, at_link = {};

  static void Move(Session& from, Session& to, Texts& heard, std::size_t chunk) {
    const std::string bytes = from.TakeOutput();
    for (std::size_t i = 0; i < bytes.size(); i += chunk) to.Feed(bytes.substr(i, chunk), kStart);
    for (std::string& e : Kinds(to.TakeEvents())) heard.push_back(std::move(e));
  }
  void ToLink() { Move(desk, link, at_link, chunk); }
  void ToDesk() { Move(link, desk, at_desk, chunk); }
  void Pump() {
    for (int i = 0; i < 4; ++i) ToLink(), ToDesk();
  }
};

Wire Connect(std::string name = "desk-1", Mode mode = Mode::kJoin, std::string key = kSecret,
             char desk_nonce = 'd', char link_nonce = 'l', Session::Admit admit = AdmitWith()) {
  return {Session::ForDesk(name, mode, key, std::string(kNonceBytes, desk_nonce), kStart),
          Session::ForLink(admit, std::string(kNonceBytes, link_nonce), kStart)};
}

TEST(DeskProtocol, JoinsAndCarriesMessagesInOrderHoweverTheBytesArrive) {
  for (std::size_t chunk : {std::string::npos, std::size_t{1}, std::size_t{7}}) {
    Wire w = Connect();
    w.chunk = chunk;
    w.ToLink(), w.ToDesk(), w.ToLink();  // hello, challenge, proof: the link desk has joined
    // Its first messages follow its welcome in the same bytes.
    EXPECT_TRUE(w.link.joined() && w.link.Seal("site") && w.link.Seal(std::string("\0\xff", 2)));
    w.ToDesk();
    for (const char* m : {"one", "", "three"}) EXPECT_TRUE(w.desk.Seal(m));
    w.Pump();
    EXPECT_EQ(w.at_desk, (Texts{"joined:desk-1", "message:site", std::string("message:\0\xff", 10)}));
    EXPECT_EQ(w.at_link, (Texts{"joined:desk-1", "message:one", "message:", "message:three"}));
    EXPECT_TRUE(w.desk.joined() && w.link.joined() && w.link.desk() == "desk-1");
  }
  // The largest message a frame carries arrives; a larger one is not sealed.
  Wire w = Connect();
  w.Pump();
  EXPECT_TRUE(w.desk.Seal(std::string(kMostPayloadBytes, 'x')));
  EXPECT_FALSE(w.desk.Seal(std::string(kMostPayloadBytes + 1, 'x')));
  w.Pump();
  EXPECT_TRUE(w.at_link.back() == "message:" + std::string(kMostPayloadBytes, 'x'));
  EXPECT_TRUE(w.link.joined());
}

TEST(DeskProtocol, PairingDerivesOneSecretPerConnectionThatLaterJoins) {
  Wire first = Connect("desk-2", Mode::kPair, kCode);
  Wire second = Connect("desk-2", Mode::kPair, kCode, 'D', 'L');
  first.Pump(), second.Pump();
  ASSERT_TRUE(first.desk.joined() && first.link.joined() && second.desk.joined());
  EXPECT_EQ(first.desk.secret(), first.link.secret());
  EXPECT_EQ(second.desk.secret(), second.link.secret());
  EXPECT_NE(first.desk.secret(), second.desk.secret());
  const std::string secret(reinterpret_cast<const char*>(first.desk.secret().data()), 32);
  EXPECT_EQ(secret.find(kCode), std::string::npos);
  EXPECT_NE(first.desk.secret(), Secret{});
  // The derived secret is what the desk joins with from then on.
  Wire later = Connect("desk-1", Mode::kJoin, secret, 'x', 'y', AdmitWith(secret));
  later.Pump();
  EXPECT_TRUE(later.desk.joined() && later.link.joined());
}

TEST(DeskProtocol, LinkDeskRefusesTheDeskThatCannotJoin) {
  const struct {
    const char* name;
    std::string desk;
    Mode mode;
    std::string key, words;  // the desk's key, and what it hears (when not empty)
    char version = kProtocolVersion;
    std::string secret_held = kSecret, code_held = kCode;  // the link desk's
  } cases[] = {
      {"wrong secret", "desk-1", Mode::kJoin, kOtherSecret, kNotPaired},
      {"wrong pairing code", "desk-2", Mode::kPair, "483922", kNoCode},
      {"secret given as a code", "desk-2", Mode::kPair, kSecret, kNoCode},
      {"not admitted", "desk-3", Mode::kJoin, kSecret, "desk desk-3 is not paired with this link desk"},
      {"no code out", "desk-1", Mode::kPair, kCode, "desk desk-1 is not paired with this link desk"},
      {"bad desk name", "desk 1", Mode::kJoin, kSecret, "not a desk name"},
      {"empty desk name", "", Mode::kJoin, kSecret, "not a desk name"},
      {"another version", "desk-1", Mode::kJoin, kSecret, "", 2},
      // Keys that prove nothing: anyone could compute with them.
      {"no secret", "desk-1", Mode::kJoin, kSecret, kNotPaired, kProtocolVersion, ""},
      {"no code", "desk-2", Mode::kPair, kCode, kNoCode, kProtocolVersion, kSecret, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wire w = Connect(c.desk, c.mode, c.key, 'd', 'l', AdmitWith(c.secret_held, c.code_held));
    std::string hello = w.desk.TakeOutput();
    hello[5] = c.version;  // after the length and the type
    w.link.Feed(hello, kStart);
    w.at_link = Kinds(w.link.TakeEvents());
    w.Pump();
    ASSERT_EQ(w.at_desk.size(), 1u);
    EXPECT_EQ(w.at_desk[0].rfind("refused:", 0), 0u);
    if (!c.words.empty()) {
      EXPECT_EQ(w.at_desk[0], "refused:" + c.words);
    }
    ASSERT_EQ(w.at_link.size(), 1u);
    EXPECT_EQ(w.at_link[0].rfind("refused:", 0), 0u);
    EXPECT_TRUE(w.desk.closed() && w.link.closed());
    EXPECT_FALSE(w.desk.Seal("x") || w.link.Seal("x"));
  }
}

// The link desk's registry as far as a pairing goes: a code out for desk-2,
// taken away by a proof (right or wrong) and by nothing before it.
struct CodeOut {
  std::optional<std::string> code = kCode;
  Session::Admit Admit() {
    return [this](const std::string& desk, Mode mode) -> Admission {
      if (desk != "desk-2" || mode != Mode::kPair) return Admission::Withheld("not desk-2 pairing");
      if (!code) return Admission::Withheld("no pairing code for desk desk-2");
      return Admission::WithKey(*code, [this](bool) -> std::string {
                return std::exchange(code, std::nullopt) ? "" : "the code was used meanwhile";
              });
    };
  }
};

TEST(DeskProtocol, OnlyAProofUsesAPairingCodeUpAndStrangersHearTheSame) {
  CodeOut registry;
  // A stranger's hello (and a hello alone is all a stranger can send
  // honestly) leaves the code for the desk it was made for.
  Wire stranger = Connect("desk-2", Mode::kPair, "000000", 's', 'S', registry.Admit());
  stranger.ToLink(), stranger.ToDesk();
  EXPECT_TRUE(registry.code.has_value());
  // Two hellos at once: the first proof takes the code, the second finds it gone.
  Wire desk = Connect("desk-2", Mode::kPair, kCode, 'd', 'l', registry.Admit());
  desk.ToLink(), desk.ToDesk();
  stranger.ToLink();  // its proof, of a wrong code
  EXPECT_FALSE(registry.code.has_value()) << "a wrong proof is the code's one try";
  desk.Pump();
  EXPECT_EQ(desk.at_desk, Texts{"refused:" + kNoCode});
  EXPECT_EQ(stranger.at_link, Texts{"refused:wrong pairing code"});
  EXPECT_EQ(desk.at_link, Texts{"refused:the code was used meanwhile"});

  // With a new code, a desk whose proof comes first joins; the code is gone.
  registry.code = kCode;
  Wire again = Connect("desk-2", Mode::kPair, kCode, 'a', 'A', registry.Admit());
  again.Pump();
  EXPECT_TRUE(again.desk.joined() && again.link.joined());
  EXPECT_FALSE(registry.code.has_value());
  // Whatever the link desk holds, a stranger with a wrong code hears the
  // same words, after the same challenge.
  for (bool held : {true, false}) {
    registry.code = held ? std::optional<std::string>(kCode) : std::nullopt;
    Wire guess = Connect("desk-2", Mode::kPair, "111111", 'g', 'G', registry.Admit());
    guess.Pump();
    EXPECT_EQ(guess.at_desk, Texts{"refused:" + kNoCode}) << held;
  }
}

TEST(DeskProtocol, DeskNeverJoinsALinkDeskThatCannotProveTheSecret) {
  // A link desk that holds another secret, on the very same nonces.
  Wire other = Connect("desk-1", Mode::kJoin, kOtherSecret, 'd', 'l', AdmitWith(kOtherSecret));
  other.ToLink(), other.ToDesk(), other.ToLink();
  const std::string forged = other.link.TakeOutput();
  // What follows the desk's proof instead of the link desk's welcome.
  for (const std::string& bytes :
       {forged, EncodeFrame('W', std::string(32, '\0')), EncodeFrame('W', forged.substr(5, 31)),
        EncodeFrame('M', std::string(40, '\0')), EncodeFrame('C', std::string(kNonceBytes, 'l'))}) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    Wire w = Connect();
    w.ToLink(), w.ToDesk();
    w.desk.TakeOutput();  // its proof, which never reaches the link desk
    w.desk.Feed(bytes, kStart);
    const Texts heard = Kinds(w.desk.TakeEvents());
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].rfind("fault:", 0), 0u);
    EXPECT_TRUE(w.desk.closed());
    EXPECT_FALSE(w.desk.joined() || w.desk.Seal("x"));
  }
  // A desk given no key proves nothing, and no welcome proves anything to it:
  // not even from a link desk that holds the keys an empty one stands for
  // (HMAC pads a key with zeros).
  for (auto [desk, mode] : {std::pair("desk-1", Mode::kJoin), std::pair("desk-2", Mode::kPair)}) {
    Wire w = Connect(desk, mode, "", 'd', 'l', AdmitWith(std::string(32, '\0'), std::string(1, '\0')));
    w.Pump();
    EXPECT_EQ(w.at_desk.at(0).rfind("fault:", 0), 0u);
    EXPECT_FALSE(w.desk.joined() || w.link.joined());
  }
}

// A joined pair, and the desk's three messages one frame each, not yet sent.
std::pair<Wire, Texts> Joined(char desk_nonce = 'd') {
  Wire w = Connect("desk-1", Mode::kJoin, kSecret, desk_nonce);
  w.Pump();
  Texts frames;
  for (const char* m : {"one", "two", "three"}) w.desk.Seal(m), frames.push_back(w.desk.TakeOutput());
  return {std::move(w), frames};
}

TEST(DeskProtocol, AlteredReplayedMissingOrForeignMessagesCloseTheConnection) {
  const Texts sent = Joined().second, foreign = Joined('e').second;
  const std::string& m = sent[0];
  Wire back = Joined().first;
  back.link.Seal("one");
  struct Case {
    std::string name, bytes;
    Texts before;  // what the link desk takes before the fault
  };
  std::vector<Case> cases = {
      {"replayed", sent[0] + sent[1] + sent[0], {"message:one", "message:two"}},
      {"one left out", sent[0] + sent[2], {"message:one"}},
      {"from another connection", foreign[0], {}},
      {"the link desk's own sent back", back.link.TakeOutput(), {}},
      {"no tag", EncodeFrame('M', m.substr(5, 8 + 3)), {}},
      {"tag cut short", EncodeFrame('M', m.substr(5, m.size() - 6)), {}},
      {"shorter than counter and tag", EncodeFrame('M', std::string(39, '\0')), {}},
  };
  // A byte flipped anywhere after the length: type, counter, payload, tag.
  for (std::size_t i = 4; i < m.size(); ++i) {
    cases.push_back({"byte " + std::to_string(i) + " flipped", m, {}});
    cases.back().bytes[i] ^= 0x01;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Wire w = Joined().first;
    w.link.Feed(c.bytes, kStart);
    Texts heard = Kinds(w.link.TakeEvents());
    ASSERT_EQ(heard.size(), c.before.size() + 1);
    EXPECT_EQ(heard.back().rfind("fault:", 0), 0u);
    heard.pop_back();
    EXPECT_EQ(heard, c.before);
    w.link.Feed(sent[1], kStart);
    EXPECT_TRUE(w.link.closed() && w.link.TakeEvents().empty());
    EXPECT_FALSE(w.link.Seal("x"));
  }
}

TEST(DeskProtocol, FrameSplitterRejectsEmptyAndOversizedFramesAndReassemblesSplits) {
  const struct {
    uint32_t length;
    bool ours;
  } lengths[] = {{0, false}, {1, true}, {kMostFrameBytes, true}, {kMostFrameBytes + 1, false}, {~0u, false}};
  for (const auto& c : lengths) {
    SCOPED_TRACE(c.length);
    const std::string header = {char(c.length >> 24), char(c.length >> 16), char(c.length >> 8),
                                char(c.length)};
    // First in the stream or behind a whole frame, and with its last byte late.
    for (const std::string& before : {std::string(), EncodeFrame('M', "x")}) {
      FrameSplitter reader;
      reader.Feed(before + header.substr(0, 3));
      EXPECT_EQ(reader.Next().has_value(), !before.empty());
      EXPECT_EQ(reader.Feed(header.substr(3)), c.ours);
      EXPECT_FALSE(reader.Next().has_value());
    }
    Wire w = Connect();
    w.link.Feed(header, kStart);
    EXPECT_EQ(w.link.closed(), !c.ours);
  }
  const std::string stream =
      EncodeFrame('H', std::string("\1J\0\4", 4)) + EncodeFrame('M', "") + EncodeFrame('R', "no");
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameSplitter reader;
    Texts frames;
    for (const std::string& part : {stream.substr(0, cut), stream.substr(cut)}) {
      ASSERT_TRUE(reader.Feed(part));
      while (std::optional<Frame> f = reader.Next()) frames.push_back(f->type + f->body);
    }
    EXPECT_EQ(frames, (Texts{std::string("H\1J\0\4", 5), "M", "Rno"})) << "cut at " << cut;
  }
}

// The session's own timers: a handshake has 10 s on the link desk's side, a
// joined desk is pinged every 10 s, and a side that hears nothing for 30 s
// gives the connection up; whatever arrives counts as heard.
TEST(DeskProtocol, HandshakeSilenceAndPingTimersRunOnTheTimePassedIn) {
  enum Side { kLinkSide, kDeskSide };
  enum Act { kTick, kHear };  // kHear: the other side's sealed message arrives
  struct Step {
    int at_ms;  // after kStart
    Act act;
    Texts events;
    int deadline_ms;  // after kStart; -1: none (closed)
  };
  const struct {
    const char* name;
    Side side;
    bool joined;
    std::vector<Step> steps;
  } cases[] = {
      {"a handshake that never finishes", kLinkSide, false,
       {{9999, kTick, {}, 10000}, {10000, kTick, {"timed out:no handshake"}, -1}}},
      {"a joined desk pinged, then silent", kLinkSide, true,
       {{9000, kTick, {}, 10000},
        {10000, kTick, {"ping:"}, 20000},
        {15000, kHear, {"message:x"}, 20000},
        {20500, kTick, {"ping:"}, 30500},
        {30500, kTick, {"ping:"}, 40500},
        {40500, kTick, {"ping:"}, 45000},
        {44999, kTick, {}, 45000},
        {45000, kTick, {"timed out:silent for 30 s"}, -1}}},
      {"a desk whose link desk falls silent", kDeskSide, true,
       {{4000, kTick, {}, 30000},
        {5000, kHear, {"message:x"}, 35000},
        {34999, kTick, {}, 35000},
        {35000, kTick, {"timed out:the link desk was silent for 30 s"}, -1}}},
      {"a desk that never hears a challenge", kDeskSide, false,
       {{30000, kTick, {"timed out:the link desk was silent for 30 s"}, -1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wire w = Connect();
    if (c.joined) w.Pump();
    ASSERT_EQ(w.link.joined(), c.joined);
    Session& side = c.side == kLinkSide ? w.link : w.desk;
    Session& other = c.side == kLinkSide ? w.desk : w.link;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.at_ms);
      const SteadyTime at = kStart + std::chrono::milliseconds(step.at_ms);
      if (step.act == kTick) {
        side.Tick(at);
      } else {
        ASSERT_TRUE(other.Seal("x"));
        side.Feed(other.TakeOutput(), at);
      }
      EXPECT_EQ(Kinds(side.TakeEvents()), step.events);
      const std::optional<SteadyTime> deadline = side.Deadline();
      if (step.deadline_ms < 0) {
        EXPECT_FALSE(deadline.has_value());
        EXPECT_TRUE(side.closed());
      } else {
        ASSERT_TRUE(deadline.has_value());
        EXPECT_EQ(*deadline - kStart, std::chrono::milliseconds(step.deadline_ms));
      }
    }
  }
}

}  // namespace
}  // namespace desks
