// The key system's side of the PMS key link as a state machine with no I/O.
// The link speaks FIAS, the Fidelio Interface Application protocol that PMS
// interface programs speak to key systems (its records: record.h). The
// machine is told when the connection opens, what bytes arrived and what
// time it is, and gives the bytes to send, what happened, and when to close.
//
// Set-up: the interface sends LS; the key system answers LD (with RT and CG
// when the site requires connection authentication), one LR per record type
// it uses, and LA; the interface's LA brings the link up. When nothing
// arrives within 3 s of connecting, the key system sends LS itself. An LS
// while the link is up means the interface restarted: describe again. When
// the link has been quiet for 5 minutes, the key system sends LS as an
// alive check; no LA within 30 s (a busy interface may answer late)
// closes the connection. LE from the interface is answered with LE and
// closes; the key system's own LE waits up to 2 s for the interface's LE.
// While the link is up every record but the link records and the families
// the key system is only told of reaches the host, which answers each one:
// key records (KR, KD, KM, KZ), records it cannot serve (an unknown ID, a
// record with a fault), so that no PMS clerk waits for an answer that never
// comes.
#ifndef HOLVANTER_HOSTS_FIAS_LINK_H_
#define HOLVANTER_HOSTS_FIAS_LINK_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/fias/record.h"
#include "util/status.h"

namespace fias {

using SteadyTime = std::chrono::steady_clock::time_point;

// What time it is, for the link's timers and for the DA and TI fields.
struct Moment {
  SteadyTime steady;
  std::string date;  // DA: YYMMDD, the local wall clock
  std::string time;  // TI: HHMMSS
};

struct LinkSettings {
  std::string version;  // V# of LD: the agent's version
  // The cryptogram of connection authentication over the DA and TI values
  // of the last link record received, run together (YYMMDDHHMMSS): the CG
  // value, "FidCryptAB;..." (authkey.h). Empty: the site requires none, and
  // LD carries neither RT nor CG. A cryptogram that cannot be made (the
  // system's random source or cipher failed) closes the link: an LD without
  // it would only lock the key system out.
  std::function<holvanter::Result<std::string>(const std::string& stamp)> cryptogram;
  std::chrono::milliseconds start_wait{3000};      // no LS after connecting: send LS
  std::chrono::milliseconds alive_interval{300000};  // quiet this long: alive check
  std::chrono::milliseconds answer_wait{30000};    // no LA after LD or an alive LS: close
  std::chrono::milliseconds end_wait{2000};        // our LE: the interface's LE within this
  // How the site's code page puts text into bytes (a GBK name may hold a
  // byte 0x7C that is no separator).
  TextBytes text_bytes = TextBytes::kSingle;
};

// The record types the key system sends or receives and the fields of each,
// as its LR records announce them.
struct RecordFields {
  const char* id;
  const char* fields;  // field IDs run together: "KCKTRNWS..."
};
extern const std::vector<RecordFields> kKeyRecordFields;  // KR, KD, KM, KZ, KA

struct LinkEvent {
  enum Kind {
    kRecordIn,   // a record arrived (any record; for the log)
    kRecordOut,  // a record was queued to send (for the log)
    kUp,         // the interface's LA: the link is up
    kRequest,    // a record to answer while the link is up: a key request (KR,
                 // KD, KM, KZ), or one that cannot be served (`record.fault`,
                 // another ID)
    kIgnored,    // a record the key system does not handle; `detail` says why
    kDropped,    // bytes that were no record (malformed, oversize); `detail`
    kClose,      // close the connection now; `detail` says why
  };
  Kind kind;
  Record record;
  std::string detail;
};

class Link {
 public:
  enum class State {
    kClosed,        // no connection
    kWaitingStart,  // connected, waiting for the interface's LS
    kSentStart,     // the key system sent LS itself, waiting for an answer
    kDescribed,     // LD, LRs and LA sent, waiting for the interface's LA
    kUp,            // key requests flow
    kEnding,        // the key system sent LE, waiting for the interface's LE
  };

  explicit Link(LinkSettings settings);
  const LinkSettings& settings() const { return settings_; }

  // The connection opened.
  void Connected(const Moment& now);
  // Bytes arrived.
  void Received(std::string_view bytes, const Moment& now);
  // Time passed; call at next_deadline() or sooner.
  void Tick(const Moment& now);
  // The connection closed or failed (by either side): back to kClosed.
  void Disconnected();
  // Ends the link politely: sends LE, and closes at the interface's LE or
  // after end_wait (kClose then tells the host).
  void End(const Moment& now);

  // Queues a record to the interface (a key answer): false, nothing queued,
  // unless the link is up.
  bool Send(const Record& record);

  // The bytes to write, in order; taking them empties the queue.
  std::string TakeOutput();
  // What happened since the last call, in order.
  std::vector<LinkEvent> TakeEvents();

  State state() const { return state_; }
  bool up() const { return state_ == State::kUp; }
  // When Tick must be called next; nullopt: no timer runs.
  std::optional<SteadyTime> next_deadline() const;

 private:
  void Describe(const Moment& now);
  void Queue(const Record& record);
  void OnRecord(const Record& record, const Moment& now);
  void Close(const std::string& why);

  LinkSettings settings_;
  State state_ = State::kClosed;
  FrameReader reader_;
  std::string output_;
  std::vector<LinkEvent> events_;
  std::string last_stamp_;  // DA and TI of the last link record received
  SteadyTime connected_at_{};
  SteadyTime last_heard_{};
  std::optional<SteadyTime> waiting_answer_since_;  // LD or alive LS sent, no LA yet
  SteadyTime ended_at_{};                           // our LE sent
};

}  // namespace fias

#endif  // HOLVANTER_HOSTS_FIAS_LINK_H_
