// Any bytes from the PMS interface, cut into reads anywhere and with time
// passing between them, through the key system's side of the FIAS link, the
// way the agent drives it (answering key requests, reconnecting after a
// close): never a crash; what the link writes is whole records the
// interface can read, one for each record it says it sent, none with a
// fault (in a single-byte or a double-byte code page); every record but the
// link's own and the families it is only told of reaches the host to be
// answered, and none unless the link is up; the events tell the link's
// state as it is; a record's log line is one line; a tick leaves no timer
// already due; the key system's LE closes within its wait.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/fias/link.h"

namespace {

using fias::Link;
using fias::LinkEvent;

fias::Moment At(int64_t ms) {
  char time[32];
  std::snprintf(time, sizeof time, "%02lld%02lld%02lld", static_cast<long long>(ms / 3600000 % 24),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60));
  return {fias::SteadyTime{} + std::chrono::milliseconds(ms), "240105", time};
}

// The written bytes as records: each STX, a record's text, ETX, nothing
// between them. Returns how many, or -1 with `why` set.
int Frames(const std::string& out, fias::TextBytes bytes, std::string& why) {
  int count = 0;
  for (std::size_t pos = 0; pos < out.size(); ++count) {
    const std::size_t etx = out.find(fias::kEtx, pos);
    if (out[pos] != fias::kStx || etx == std::string::npos) {
      why = "not framed: " + out.substr(pos);
      return -1;
    }
    const std::string text = out.substr(pos + 1, etx - pos - 1);
    const std::optional<fias::Record> record = fias::ParseRecord(text, bytes);
    if (!record || !record->fault.empty()) {
      why = "no sound record: " + text + (record ? " (" + record->fault + ")" : std::string());
      return -1;
    }
    pos = etx + 1;
  }
  return count;
}

// Checks what one call to the link gave; `up` follows the link as the
// events tell it. A close reconnects, as the agent does.
void Check(Link& link, bool& up, const fias::Moment& now) {
  std::string why;
  const std::string out = link.TakeOutput();
  const int frames = Frames(out, link.settings().text_bytes, why);
  FUZZ_CHECK(frames >= 0, why);
  int records_out = 0;
  bool closed = false;
  const std::vector<LinkEvent> events = link.TakeEvents();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const LinkEvent& e = events[i];
    FUZZ_CHECK(!closed, "an event after the close: " + std::to_string(e.kind));
    if (e.kind == LinkEvent::kRecordIn || e.kind == LinkEvent::kRecordOut) {
      // The agent logs every record: one line, whatever the interface sent.
      const std::string logged = fias::ForLog(e.record);
      for (char c : logged) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, logged);
    }
    switch (e.kind) {
      case LinkEvent::kRecordOut:
        ++records_out;
        if (e.record.id == "LD") up = false;  // describing again
        break;
      case LinkEvent::kUp:
        up = true;
        break;
      case LinkEvent::kRequest:
        FUZZ_CHECK(up, "a request while the link is down: " + fias::ForLog(e.record));
        FUZZ_CHECK(e.record.id != "LS" && e.record.id != "LA" && e.record.id != "LE" &&
                       e.record.id != "GI" && e.record.id != "KA" && e.record.id != "LR",
                   "a record for the host that wants no answer: " + e.record.id);
        [[fallthrough]];
      case LinkEvent::kIgnored:
        FUZZ_CHECK(i > 0 && events[i - 1].kind == LinkEvent::kRecordIn &&
                       events[i - 1].record.id == e.record.id && events[i - 1].record.fields == e.record.fields,
                   "not after its record: " + fias::ForLog(e.record));
        break;
      case LinkEvent::kClose:
        closed = true;
        up = false;
        break;
      default:
        break;
    }
  }
  FUZZ_CHECK(records_out == frames, std::to_string(records_out) + " records out, " +
                                        std::to_string(frames) + " written");
  FUZZ_CHECK(link.up() == up, "the events say " + std::string(up ? "up" : "down"));
  FUZZ_CHECK(link.next_deadline().has_value() == (link.state() != Link::State::kClosed), "deadline");
  if (closed) {
    FUZZ_CHECK(link.state() == Link::State::kClosed, "still open after the close");
    link.Disconnected();
    link.Connected(now);
  }
}

}  // namespace

// The first byte: bit 0 a site with connection authentication, bits 1-3
// the longest read, bits 4-7 how time passes between reads, bit 7 also a
// double-byte code page (GBK). The rest is what the interface sends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  fias::LinkSettings settings;
  settings.version = "1.0.0";
  if (setup & 0x80) settings.text_bytes = fias::TextBytes::kDoubleByte;
  if (setup & 1) settings.cryptogram = [](const std::string& stamp) { return "FidCryptAB;" + stamp; };
  static const std::size_t kLongestRead[] = {1, 2, 3, 7, 16, 64, 1024, 9000};
  static const int64_t kStep[] = {0, 1, 100, 999, 1000, 3000, 10000, 60000, 300000};
  const std::size_t longest = kLongestRead[(setup >> 1) & 7];

  Link link(settings);
  bool up = false;
  int64_t ms = 0;
  link.Connected(At(ms));
  std::size_t pos = 1;
  for (unsigned round = 0; pos < size; ++round) {
    // The reads' lengths and the time between them vary with the bytes read.
    const std::size_t length = std::min<std::size_t>(size - pos, 1 + data[pos] % longest);
    const fias::Moment now = At(ms);
    link.Received(std::string_view(reinterpret_cast<const char*>(data + pos), length), now);
    Check(link, up, now);
    if (link.up()) {
      // A key answer carrying read bytes: a '|' or control byte must not
      // break the record.
      fias::Record answer;
      answer.id = "KA";
      answer.Add("AS", "OK").Add("CT", std::string(reinterpret_cast<const char*>(data + pos), length));
      FUZZ_CHECK(link.Send(answer), "Send refused while up");
      Check(link, up, now);
    }
    pos += length;
    ms += kStep[((setup >> 4) + round) % (sizeof kStep / sizeof kStep[0])];
    const fias::Moment later = At(ms);
    link.Tick(later);
    const std::optional<fias::SteadyTime> deadline = link.next_deadline();
    FUZZ_CHECK(!deadline || *deadline > later.steady, "a timer due after the tick");
    Check(link, up, later);
  }
  link.End(At(ms));
  up = false;  // ending: no more requests
  Check(link, up, At(ms));
  link.Tick(At(ms + 2000));
  FUZZ_CHECK(link.state() == Link::State::kClosed || link.state() == Link::State::kWaitingStart,
             "the key system's LE still open after its wait");
  return 0;
}
