#include "hosts/desks/protocol.h"

#include <algorithm>
#include <utility>

#include "hosts/desks/desk_name.h"

namespace desks {
namespace {

constexpr std::size_t kLengthBytes = 4, kCounterBytes = 8;
constexpr std::size_t kMostRefusalBytes = 200;
static_assert(kMostPayloadBytes == kMostFrameBytes - 1 - kCounterBytes - Digest().size(),
              "a message's type, counter and tag leave its payload the rest of a frame");

std::string BigEndian(uint64_t value, std::size_t bytes) {
  std::string out(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i)
    out[bytes - 1 - i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

uint64_t FromBigEndian(std::string_view bytes) {
  uint64_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<uint8_t>(c);
  return value;
}

std::string AsBytes(const Digest& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::optional<Digest> DigestOf(std::string_view bytes) {
  if (bytes.size() != Digest().size()) return std::nullopt;
  Digest digest;
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(bytes[i]);
  return digest;
}

// A key that can prove something: a whole secret to join with, a pairing
// code that is not empty. Any other key would stand for the all-zero secret
// or the empty code (HMAC pads a key with zeros), which anyone can compute.
bool UsableKey(Mode mode, const std::string& key) {
  return mode == Mode::kJoin ? key.size() == Secret().size() : !key.empty();
}

}  // namespace

std::string EncodeFrame(char type, std::string_view body) {
  return BigEndian(body.size() + 1, kLengthBytes) + type + std::string(body);
}

bool FrameSplitter::Feed(std::string_view bytes) {
  if (broken_) return false;
  buffer_.append(bytes);
  if (buffer_.size() >= kLengthBytes) {
    const uint64_t length = FromBigEndian(std::string_view(buffer_).substr(0, kLengthBytes));
    if (length == 0 || length > kMostFrameBytes) broken_ = true;
  }
  return !broken_;
}

std::optional<Frame> FrameSplitter::Next() {
  if (broken_ || buffer_.size() < kLengthBytes) return std::nullopt;
  const uint64_t length = FromBigEndian(std::string_view(buffer_).substr(0, kLengthBytes));
  if (length == 0 || length > kMostFrameBytes) {
    broken_ = true;
    return std::nullopt;
  }
  if (buffer_.size() < kLengthBytes + length) return std::nullopt;
  Frame frame{buffer_[kLengthBytes], buffer_.substr(kLengthBytes + 1, length - 1)};
  buffer_.erase(0, kLengthBytes + length);
  // The next frame's length is judged as soon as it is there.
  if (buffer_.size() >= kLengthBytes) {
    const uint64_t next = FromBigEndian(std::string_view(buffer_).substr(0, kLengthBytes));
    if (next == 0 || next > kMostFrameBytes) broken_ = true;
  }
  return frame;
}

Session Session::ForDesk(std::string desk, Mode mode, std::string key, std::string nonce,
                         SteadyTime now) {
  Session session;
  session.started_ = session.heard_ = now;
  session.desk_ = std::move(desk);
  session.mode_ = mode;
  session.key_ = std::move(key);
  session.desk_nonce_ = std::move(nonce);
  session.state_ = State::kChallenge;
  std::string hello;
  hello += static_cast<char>(kProtocolVersion);
  hello += static_cast<char>(mode);
  hello += session.desk_nonce_ + session.desk_;
  session.output_ = EncodeFrame('H', hello);
  return session;
}

Session Session::ForLink(Admit admit, std::string nonce, SteadyTime now) {
  Session session;
  session.started_ = session.heard_ = now;
  session.link_side_ = true;
  session.admit_ = std::move(admit);
  session.link_nonce_ = std::move(nonce);
  session.state_ = State::kHello;
  return session;
}

void Session::Feed(std::string_view bytes, SteadyTime now) {
  if (state_ == State::kClosed) return;
  heard_ = now;
  if (!reader_.Feed(bytes)) return Fault("a frame that is no frame of a desk");
  while (state_ != State::kClosed) {
    std::optional<Frame> frame = reader_.Next();
    if (!frame) break;
    OnFrame(*frame);
  }
  if (state_ != State::kClosed && !reader_.Feed({}))
    Fault("a frame that is no frame of a desk");
}

void Session::OnFrame(const Frame& frame) {
  const char expected = [&] {
    switch (state_) {
      case State::kHello: return 'H';
      case State::kChallenge: return 'C';
      case State::kProof: return 'P';
      case State::kWelcome: return 'W';
      default: return 'M';
    }
  }();
  // The link desk may refuse at any step of the handshake.
  if (!link_side_ && frame.type == 'R' && state_ != State::kJoined) {
    events_.push_back({SessionEvent::kRefused, frame.body.substr(0, kMostRefusalBytes)});
    state_ = State::kClosed;
    return;
  }
  if (frame.type != expected) return Fault(std::string("an unexpected frame '") + frame.type + "'");
  switch (state_) {
    case State::kHello: return OnHello(frame.body);
    case State::kChallenge: return OnChallenge(frame.body);
    case State::kProof: return OnProof(frame.body);
    case State::kWelcome: return OnWelcome(frame.body);
    default: return OnMessage(frame.body);
  }
}

void Session::OnHello(const std::string& body) {
  if (body.size() < 2 + kNonceBytes) return Fault("a hello too short");
  if (static_cast<uint8_t>(body[0]) != kProtocolVersion)
    return Refuse("this link desk speaks version " + std::to_string(kProtocolVersion) +
                  " of the desks' protocol; update the desk");
  if (body[1] != static_cast<char>(Mode::kJoin) && body[1] != static_cast<char>(Mode::kPair))
    return Fault("a hello of no known kind");
  mode_ = static_cast<Mode>(body[1]);
  desk_nonce_ = body.substr(2, kNonceBytes);
  desk_ = body.substr(2 + kNonceBytes);
  if (!IsDeskName(desk_)) {
    desk_ = "?";
    return Refuse("not a desk name");
  }
  Admission admission = admit_(desk_, mode_);
  if (!admission.refusal.empty()) return Refuse(admission.refusal);
  withheld_ = admission.withheld;
  if (withheld_.empty() && !UsableKey(mode_, admission.key))
    withheld_ = "the link desk holds no usable key for desk " + desk_;
  // A key of the right form, which the proof cannot meet anyway: the
  // handshake looks the same to the desk whatever the link desk holds.
  key_ = withheld_.empty() ? admission.key : std::string(Secret().size(), '\x01');
  on_proof_ = std::move(admission.on_proof);
  state_ = State::kProof;
  output_ += EncodeFrame('C', link_nonce_);
}

void Session::OnChallenge(const std::string& body) {
  if (body.size() != kNonceBytes) return Fault("a challenge of the wrong size");
  if (!UsableKey(mode_, key_))
    return Fault(mode_ == Mode::kPair ? "this desk has no pairing code" : "this desk has no secret");
  link_nonce_ = body;
  DeriveKeys();
  output_ += EncodeFrame('P', AsBytes(HmacSha256(secret_, "desk" + Transcript())));
  state_ = State::kWelcome;
}

void Session::OnProof(const std::string& body) {
  DeriveKeys();
  const std::optional<Digest> proof = DigestOf(body);
  const bool proved = proof && SameDigest(*proof, HmacSha256(secret_, "desk" + Transcript()));
  if (!withheld_.empty()) return Refuse(ProofRefusal(), withheld_);
  if (on_proof_) {
    const std::string why = on_proof_(proved);
    if (!why.empty()) return Refuse(ProofRefusal(), why);
  }
  if (!proved)
    return Refuse(ProofRefusal(), mode_ == Mode::kPair ? "wrong pairing code" : "wrong desk secret");
  output_ += EncodeFrame('W', AsBytes(HmacSha256(secret_, "link" + Transcript())));
  state_ = State::kJoined;
  next_ping_ = heard_ + kPingEvery;
  events_.push_back({SessionEvent::kJoined, desk_});
}

void Session::OnWelcome(const std::string& body) {
  const std::optional<Digest> proof = DigestOf(body);
  if (!proof || !SameDigest(*proof, HmacSha256(secret_, "link" + Transcript())))
    return Fault("the link desk did not prove that it knows this desk's secret");
  state_ = State::kJoined;
  events_.push_back({SessionEvent::kJoined, desk_});
}

void Session::OnMessage(const std::string& body) {
  if (body.size() < kCounterBytes + Digest().size()) return Fault("a message too short");
  const std::string_view signed_part =
      std::string_view(body).substr(0, body.size() - Digest().size());
  const std::optional<Digest> tag = DigestOf(std::string_view(body).substr(signed_part.size()));
  if (!SameDigest(*tag, HmacSha256(receive_key_, signed_part)))
    return Fault("a message altered in flight, or not from " +
                 std::string(link_side_ ? "this desk" : "the link desk"));
  const uint64_t counter = FromBigEndian(signed_part.substr(0, kCounterBytes));
  if (counter != received_ + 1)
    return Fault("a message out of order or replayed (number " + std::to_string(counter) +
                 ", expected " + std::to_string(received_ + 1) + ")");
  received_ = counter;
  events_.push_back({SessionEvent::kMessage, std::string(signed_part.substr(kCounterBytes))});
}

bool Session::Seal(std::string_view payload) {
  if (state_ != State::kJoined) return false;
  // A larger frame would read at the other end as a stream that is not ours.
  if (payload.size() > kMostPayloadBytes) return false;
  const std::string signed_part = BigEndian(++sent_, kCounterBytes) + std::string(payload);
  output_ += EncodeFrame('M', signed_part + AsBytes(HmacSha256(send_key_, signed_part)));
  return true;
}

std::string Session::Transcript() const {
  return std::string(1, '\0') + desk_ + std::string(1, '\0') + desk_nonce_ + link_nonce_;
}

void Session::DeriveKeys() {
  if (mode_ == Mode::kPair) {
    secret_ = HmacSha256(std::string_view(key_), "pairing" + Transcript());
  } else {
    const std::optional<Digest> secret = DigestOf(key_);
    secret_ = secret ? *secret : Secret{};
  }
  const Digest to_link = HmacSha256(secret_, "desk to link" + Transcript());
  const Digest to_desk = HmacSha256(secret_, "link to desk" + Transcript());
  send_key_ = link_side_ ? to_desk : to_link;
  receive_key_ = link_side_ ? to_link : to_desk;
}

void Session::Refuse(const std::string& why) { Refuse(why, why); }

void Session::Refuse(const std::string& words, const std::string& why) {
  output_ += EncodeFrame('R', words.substr(0, kMostRefusalBytes));
  events_.push_back({SessionEvent::kRefused, why});
  state_ = State::kClosed;
}

std::string Session::ProofRefusal() const {
  return mode_ == Mode::kPair
             ? "no pairing code of desk " + desk_ +
                   " fits (none made, used, expired or mistyped): make a new one with "
                   "tavocard desks pair " + desk_ + " on the link desk"
             : "desk " + desk_ + " is not paired with this link desk, or not with this secret";
}

void Session::Tick(SteadyTime now) {
  const std::optional<SteadyTime> deadline = Deadline();
  if (!deadline || now < *deadline) return;
  if (link_side_ && state_ != State::kJoined) {
    if (now >= started_ + kHandshakeLimit) TimedOut("no handshake");
    return;
  }
  if (now >= heard_ + kSilenceLimit) {
    const std::string silent = "silent for " + std::to_string(kSilenceLimit.count()) + " s";
    return TimedOut(link_side_ ? silent : "the link desk was " + silent);
  }
  if (link_side_ && now >= next_ping_) {
    next_ping_ = now + kPingEvery;
    events_.push_back({SessionEvent::kPing, {}});
  }
}

std::optional<SteadyTime> Session::Deadline() const {
  if (state_ == State::kClosed) return std::nullopt;
  // The link desk gives a desk its handshake time, then pings it; a desk
  // only listens.
  if (link_side_ && state_ != State::kJoined) return started_ + kHandshakeLimit;
  const SteadyTime silence = heard_ + kSilenceLimit;
  if (!link_side_) return silence;
  return std::min(silence, next_ping_);
}

void Session::TimedOut(const std::string& why) {
  events_.push_back({SessionEvent::kTimedOut, why});
  state_ = State::kClosed;
}

void Session::Fault(const std::string& why) {
  events_.push_back({SessionEvent::kFault, why});
  state_ = State::kClosed;
}

std::vector<SessionEvent> Session::TakeEvents() { return std::exchange(events_, {}); }
std::string Session::TakeOutput() { return std::exchange(output_, {}); }

}  // namespace desks
