// Any bytes from the network, cut into reads anywhere, through the link
// desk's side of the desks' protocol (which knows desk-1 by its secret and
// has a pairing code out for desk-2) or through a desk's side: never a
// crash; what a side writes is whole frames of the kinds that side sends;
// a side joins only a desk it knows, and only on input that carries the
// other side's genuine proof; no event after the close, which ends on a
// refusal or a fault; messages only once joined, and sealing works exactly
// then.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/desks/protocol.h"

namespace {

using desks::Mode;
using desks::Session;
using desks::SessionEvent;

// The same as the recorded sessions of the seed corpus, so that a seed
// joins and the runs go on from there into the sealed messages.
const std::string kSecret(32, '\x5a');
const std::string kCode = "483921";
const std::string kDeskNonce(desks::kNonceBytes, 'D'), kLinkNonce(desks::kNonceBytes, 'L');
// Every read arrives within the handshake's time: the timers are the unit test's.
const desks::SteadyTime kStart = desks::SteadyTime() + std::chrono::hours(1);

// How often the link desk's side took the pairing code this run, and whether
// the last proof that took it was right.
int code_claims = 0;
bool code_proved = false;

desks::Admission Admit(const std::string& desk, Mode mode) {
  if (desk == "desk-1" && mode == Mode::kJoin) return desks::Admission::WithKey(kSecret);
  // The pairing code is taken at the proof, right or wrong, and only there.
  if (desk == "desk-2" && mode == Mode::kPair)
    return desks::Admission::WithKey(kCode, [](bool proved) {
      ++code_claims;
      code_proved = proved;
      return std::string();
    });
  // As the link desk does: strangers go on to the proof and are refused there.
  return desks::Admission::Withheld("desk " + desk + " is not paired with this link desk");
}

// What the genuine other side proves in a handshake on these nonces: the
// desk's proof and the link desk's welcome, by desk name. Neither can be
// made without the key, so a side joins only on input that carries it.
struct Proofs {
  std::string proof, welcome;
};
const Proofs& Genuine(const std::string& desk) {
  static const auto record = [](const char* name, Mode mode, const std::string& key) {
    Session desk = Session::ForDesk(name, mode, key, kDeskNonce, kStart);
    Session link = Session::ForLink(Admit, kLinkNonce, kStart);
    link.Feed(desk.TakeOutput(), kStart);
    desk.Feed(link.TakeOutput(), kStart);
    const std::string proof = desk.TakeOutput();
    link.Feed(proof, kStart);
    FUZZ_CHECK(link.joined(), "the genuine handshake of " + std::string(name));
    return Proofs{proof.substr(5), link.TakeOutput().substr(5)};
  };
  static const Proofs desk1 = record("desk-1", Mode::kJoin, kSecret);
  static const Proofs desk2 = record("desk-2", Mode::kPair, kCode);
  return desk == "desk-1" ? desk1 : desk2;
}

// The side's output as frames; each of a kind in `kinds`, nothing left over.
std::vector<desks::Frame> Frames(const std::string& out, const std::string& kinds) {
  desks::FrameSplitter reader;
  FUZZ_CHECK(reader.Feed(out), "written bytes that are no frames");
  std::vector<desks::Frame> frames;
  std::size_t framed = 0;
  while (std::optional<desks::Frame> frame = reader.Next()) {
    FUZZ_CHECK(kinds.find(frame->type) != std::string::npos,
               std::string("a frame '") + frame->type + "' from this side");
    framed += 5 + frame->body.size();
    frames.push_back(std::move(*frame));
  }
  FUZZ_CHECK(framed == out.size(),
             std::to_string(out.size() - framed) + " bytes after the last frame");
  return frames;
}

// What a side does as it is driven: joined once, messages only after it,
// a refusal or a fault only as the last event, and then closed.
struct Watch {
  bool link_side, joined = false, closed = false;

  // `heard`: every byte the side was fed so far.
  void Check(Session& session, std::string_view heard) {
    const std::string out = session.TakeOutput();
    const std::vector<SessionEvent> events = session.TakeEvents();
    if (closed) {
      FUZZ_CHECK(events.empty() && out.empty(), "events or output after the close");
      return;
    }
    Frames(out, link_side ? "CWRM" : "HPM");
    for (const SessionEvent& e : events) {
      FUZZ_CHECK(!closed, "an event after a refusal or fault: " + e.text);
      switch (e.kind) {
        case SessionEvent::kJoined:
          FUZZ_CHECK(!joined, "joined twice");
          joined = true;
          FUZZ_CHECK((session.desk() == "desk-1" && session.mode() == Mode::kJoin) ||
                         (session.desk() == "desk-2" && session.mode() == Mode::kPair),
                     "joined a desk it does not know: " + session.desk());
          FUZZ_CHECK(!link_side || session.mode() != Mode::kPair || (code_claims == 1 && code_proved),
                     "paired without taking the code with a right proof");
          FUZZ_CHECK(heard.find(link_side ? Genuine(session.desk()).proof
                                          : Genuine(session.desk()).welcome) != heard.npos,
                     "joined without the other side's proof");
          break;
        case SessionEvent::kMessage:
          FUZZ_CHECK(joined, "a message before joining");
          break;
        case SessionEvent::kRefused:
          FUZZ_CHECK(!joined, "refused after joining");
          [[fallthrough]];
        case SessionEvent::kFault:
          closed = true;
          break;
      }
    }
    FUZZ_CHECK(code_claims <= 1, "the pairing code taken twice in one handshake");
    FUZZ_CHECK(session.closed() == closed, "closed without a refusal or fault, or the other way");
    FUZZ_CHECK(session.joined() == (joined && !closed), "joined() disagrees with the events");
  }
};

}  // namespace

// The first byte: bit 0 the link desk's side (else a desk's), bit 1 the
// desk pairs with its code (else joins with its secret), bits 2-4 the
// longest read. The rest is what the other side sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  const bool link_side = setup & 1;
  Genuine("desk-1"), Genuine("desk-2");  // recorded once, before this run's count
  code_claims = 0;
  static const std::size_t kLongestRead[] = {1, 2, 3, 5, 16, 37, 300, 4096};
  const std::size_t longest = kLongestRead[(setup >> 2) & 7];
  Session session = link_side ? Session::ForLink(Admit, kLinkNonce, kStart)
                    : (setup & 2) ? Session::ForDesk("desk-2", Mode::kPair, kCode, kDeskNonce, kStart)
                                  : Session::ForDesk("desk-1", Mode::kJoin, kSecret, kDeskNonce, kStart);
  Watch watch{link_side};
  watch.Check(session, {});
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (std::size_t pos = 1; pos < size;) {
    const std::size_t length = std::min<std::size_t>(size - pos, 1 + data[pos] % longest);
    const std::string_view read = input.substr(pos, length);
    session.Feed(read, kStart);
    watch.Check(session, input.substr(1, pos + length - 1));
    // A joined side answers with what it read: one whole message frame.
    const bool sealed = session.Seal(read);
    FUZZ_CHECK(sealed == session.joined(),
               std::string("Seal ") + (sealed ? "took" : "refused") + " a message");
    if (sealed) {
      const std::string out = session.TakeOutput();
      FUZZ_CHECK(Frames(out, "M").size() == 1, "a sealed message as more than one frame");
    }
    pos += length;
  }
  return 0;
}
