// The protocol between a desk and the link desk, with no I/O in it: frames
// in and out of a byte stream, the handshake that proves each side to the
// other, and messages sealed with a counter and HMAC-SHA256.
//
// Every frame is a 4-byte big-endian length, a type byte and its body:
//   H hello      desk -> link  version, mode (J join, P pair), 16-byte nonce, desk name
//   C challenge  link -> desk  16-byte nonce
//   P proof      desk -> link  HMAC(K, "desk" 0 name 0 desk-nonce link-nonce)
//   W welcome    link -> desk  HMAC(K, "link" 0 name 0 desk-nonce link-nonce)
//   R refusal    link -> desk  why, in words, and the link desk closes
//   M message    either way    8-byte counter, payload, HMAC(direction key, counter payload)
// K is the desk's secret; a desk that pairs derives it from the pairing
// code and both nonces, so neither the code nor the secret ever crosses
// the network. Each direction has its own key drawn from K and both
// nonces, and its counter counts 1, 2, 3...: a message altered, replayed,
// left out or taken from another connection is refused, and the connection
// closes. Payloads cross in clear text, as on the PMS's own key link.
#ifndef HOLVANTER_HOSTS_DESKS_PROTOCOL_H_
#define HOLVANTER_HOSTS_DESKS_PROTOCOL_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hosts/desks/mac.h"

namespace desks {

constexpr std::size_t kMostFrameBytes = 256 * 1024;  // a frame's type and body
constexpr std::size_t kNonceBytes = 16;
// The most a sealed message carries: a frame less its type, counter and tag.
constexpr std::size_t kMostPayloadBytes = kMostFrameBytes - 1 - 8 - 32;
constexpr uint8_t kProtocolVersion = 1;

// How long each side waits for the other before it gives the connection up:
// the link desk pings a joined desk this often, and a side that hears
// nothing for kSilenceLimit closes. A handshake has kHandshakeLimit from the
// link desk's accept, whatever arrives.
constexpr std::chrono::seconds kPingEvery{10};
constexpr std::chrono::seconds kSilenceLimit{30};
constexpr std::chrono::seconds kHandshakeLimit{10};
using SteadyTime = std::chrono::steady_clock::time_point;

enum class Mode : char { kJoin = 'J', kPair = 'P' };

struct Frame {
  char type = 0;
  std::string body;
};

std::string EncodeFrame(char type, std::string_view body);

// Cuts a byte stream into frames, however the bytes arrive.
class FrameSplitter {
 public:
  // False once the stream cannot be ours (an empty or oversized frame):
  // the connection is to close.
  bool Feed(std::string_view bytes);
  std::optional<Frame> Next();

 private:
  std::string buffer_;
  bool broken_ = false;
};

// What the link desk knows of a desk that says hello: the key to prove
// with (the secret, or the pairing code when it pairs), or why it is
// refused.
//
// Anyone on the hotel network may say hello with any desk's name, so a desk
// that is not paired, or has no good code out, is not refused at its hello:
// the handshake goes on with a key no one holds and ends at the proof with
// the same words a wrong secret or code hears. A stranger learns nothing
// of which desks are paired or have a code out.
struct Admission {
  std::string refusal;   // non-empty: refused at once with these words
  std::string key;
  std::string withheld;  // non-empty: refused at the proof; why, for the link desk's log
  // Called once at the proof with whether it was right; a non-empty answer
  // refuses the desk (why, for the log). A pairing code is taken away here,
  // by a proof and by nothing before it.
  std::function<std::string(bool proved)> on_proof;

  static Admission Refused(std::string words) {
    Admission a;
    a.refusal = std::move(words);
    return a;
  }
  static Admission Withheld(std::string why) {
    Admission a;
    a.withheld = std::move(why);
    return a;
  }
  static Admission WithKey(std::string key, std::function<std::string(bool)> on_proof = nullptr) {
    Admission a;
    a.key = std::move(key);
    a.on_proof = std::move(on_proof);
    return a;
  }
};

struct SessionEvent {
  enum Kind {
    kJoined,   // both sides proved; messages may flow
    kMessage,  // a sealed message's payload, authentic and in order
    kRefused,  // link: it refused the desk; desk: the link desk refused it
    kFault,    // a frame out of place, altered, replayed or forged
    kTimedOut, // no handshake in time, or the other side silent too long; `text` says which
    kPing,     // link: time to show a joined desk that the link desk is there
  };
  Kind kind;
  std::string text;
};

class Session {
 public:
  // A desk's side: `key` is its secret (kJoin) or the pairing code (kPair);
  // `now`: when the connection was made.
  static Session ForDesk(std::string desk, Mode mode, std::string key, std::string nonce,
                         SteadyTime now);
  // The link desk's side: `admit` looks the desk up when it says hello;
  // `now`: when the connection was accepted.
  using Admit = std::function<Admission(const std::string& desk, Mode mode)>;
  static Session ForLink(Admit admit, std::string nonce, SteadyTime now);

  // Feeds bytes received at `now`; events and output follow.
  void Feed(std::string_view bytes, SteadyTime now);
  // Time passed; call at Deadline() or later. A handshake or a silence that
  // went on too long closes the session (kTimedOut); a ping that is due on
  // the link desk's side is a kPing.
  void Tick(SteadyTime now);
  // When Tick is due next; nullopt once closed.
  std::optional<SteadyTime> Deadline() const;
  // Seals `payload` into the output; false before joining, after closing,
  // or for a payload over kMostPayloadBytes.
  bool Seal(std::string_view payload);

  std::vector<SessionEvent> TakeEvents();
  std::string TakeOutput();
  // The connection is to close once the output is written.
  bool closed() const { return state_ == State::kClosed; }
  // When the connection was made, as the session was told.
  SteadyTime started() const { return started_; }
  bool joined() const { return state_ == State::kJoined; }
  const std::string& desk() const { return desk_; }
  Mode mode() const { return mode_; }
  // The desk's secret, once joined: derived from the code when it paired.
  const Secret& secret() const { return secret_; }

 private:
  enum class State { kHello, kChallenge, kProof, kWelcome, kJoined, kClosed };
  Session() = default;
  void OnFrame(const Frame& frame);
  void OnHello(const std::string& body);
  void OnChallenge(const std::string& body);
  void OnProof(const std::string& body);
  void OnWelcome(const std::string& body);
  void OnMessage(const std::string& body);
  void DeriveKeys();
  void Refuse(const std::string& why);
  // Refuses with `words` on the wire and `why` in the event.
  void Refuse(const std::string& words, const std::string& why);
  // What a desk that cannot join hears at its proof, whatever the reason.
  std::string ProofRefusal() const;
  void Fault(const std::string& why);
  void TimedOut(const std::string& why);
  std::string Transcript() const;

  bool link_side_ = false;
  State state_ = State::kHello;
  Admit admit_;
  std::string desk_;
  Mode mode_ = Mode::kJoin;
  std::string key_;  // as given: secret bytes or pairing code
  std::string withheld_;
  std::function<std::string(bool)> on_proof_;
  std::string desk_nonce_, link_nonce_;
  Secret secret_{};
  Digest send_key_{}, receive_key_{};
  uint64_t sent_ = 0, received_ = 0;
  SteadyTime started_{}, heard_{}, next_ping_{};
  FrameSplitter reader_;
  std::string output_;
  std::vector<SessionEvent> events_;
};

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_PROTOCOL_H_
