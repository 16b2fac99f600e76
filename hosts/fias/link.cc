#include "hosts/fias/link.h"

#include <algorithm>
#include <utility>

namespace fias {

const std::vector<RecordFields> kKeyRecordFields = {
    // K#, KO and the track data are not asked for: one key per request,
    // and these locks have no access areas or tracks to encode.
    {"KR", "KCKTRNWSDATIGAGDDTG#GNSICT"},
    {"KD", "KCRNWSDATIG#"},
    {"KM", "KCRNROWSDATIGAGDDTG#GNSI"},
    {"KZ", "ASCTKCWSRNGNGDDTG#DATI"},
    {"KA", "ASCTKCWSG#DATI"},
};

namespace {

// A link record (LS, LA, LE, LD) carries the key system's wall clock.
Record Stamped(const char* id, const Moment& now) {
  Record record;
  record.id = id;
  record.Add("DA", now.date).Add("TI", now.time);
  return record;
}

// Why a record that is no key request goes no further: the interface sends
// every family its settings name, and the key system only handles keys.
std::string IgnoredBecause(const std::string& id) {
  static const struct {
    const char* id;
    const char* family;
  } kFamilies[] = {
      {"GI", "guest data"},      {"GO", "guest data"},      {"GC", "guest data"},
      {"PS", "a posting"},       {"PA", "a posting"},       {"DS", "a database swap"},
      {"DE", "a database swap"}, {"KA", "a key answer"},    {"LD", "a link description"},
      {"LR", "a link description"},
  };
  for (const auto& family : kFamilies) {
    if (id == family.id) return id + ": " + family.family + ", not handled by the key system";
  }
  return id + ": not a record the key system handles";
}

// The start of a dropped text, enough to tell records apart in the log but
// not a guest's name.
std::string Opening(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 3)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u >= 0x7F) ? '?' : c;
  }
  return out;
}

// A family the interface only tells the key system of, or a record of the
// key system's own kind: none expects an answer.
bool NeedsNoAnswer(const std::string& id) {
  static const char* const kTold[] = {"GI", "GO", "GC", "PS", "PA", "DS", "DE", "KA", "LD", "LR"};
  return std::find(std::begin(kTold), std::end(kTold), id) != std::end(kTold);
}

}  // namespace

Link::Link(LinkSettings settings) : settings_(std::move(settings)), reader_(settings_.text_bytes) {}

void Link::Connected(const Moment& now) {
  // Nothing of an earlier connection goes out on this one.
  reader_.Reset();
  output_.clear();
  last_stamp_.clear();
  waiting_answer_since_.reset();
  connected_at_ = now.steady;
  last_heard_ = now.steady;
  state_ = State::kWaitingStart;
}

void Link::Received(std::string_view bytes, const Moment& now) {
  if (state_ == State::kClosed) return;
  std::vector<FrameReader::Event> read;
  reader_.Feed(bytes, read);
  for (FrameReader::Event& event : read) {
    // A record after one that closed the link is not answered.
    if (state_ == State::kClosed) return;
    switch (event.kind) {
      case FrameReader::Event::kRecord:
        OnRecord(event.record, now);
        break;
      case FrameReader::Event::kMalformed:
        events_.push_back(
            {LinkEvent::kDropped, {}, "malformed record \"" + Opening(event.text) + "...\""});
        break;
      case FrameReader::Event::kOversize:
        events_.push_back({LinkEvent::kDropped, {},
                           "record \"" + Opening(event.text) + "...\" over " +
                               std::to_string(FrameReader::kMaxRecord) + " bytes without ETX"});
        break;
    }
  }
}

void Link::OnRecord(const Record& record, const Moment& now) {
  events_.push_back({LinkEvent::kRecordIn, record, {}});
  last_heard_ = now.steady;
  const std::string& id = record.id;
  if (id == "LS" || id == "LA" || id == "LE") {
    // The cryptogram of the next LD is made over this record's clock.
    last_stamp_ = record.Value("DA") + record.Value("TI");
  }

  if (state_ == State::kEnding && id != "LE") return;  // only its LE counts now
  if (id == "LS") {
    // The interface starts the link, answers the key system's LS, or
    // restarted while the link was up: each time it needs the description.
    Describe(now);
  } else if (id == "LA") {
    switch (state_) {
      case State::kDescribed:
        state_ = State::kUp;
        waiting_answer_since_.reset();
        events_.push_back({LinkEvent::kUp, {}, {}});
        break;
      case State::kWaitingStart:
      case State::kSentStart:
        // The interface answered the key system's LS (or spoke first) with
        // LA: it still needs the description, and its next LA brings the
        // link up.
        Describe(now);
        break;
      case State::kUp:
        waiting_answer_since_.reset();  // the answer to an alive check
        break;
      case State::kEnding:
      case State::kClosed:
        break;
    }
  } else if (id == "LE") {
    if (state_ == State::kEnding) {
      Close("the interface answered LE");
      return;
    }
    Queue(Stamped("LE", now));
    Close("LE from the interface");
  } else if (NeedsNoAnswer(id)) {
    events_.push_back({LinkEvent::kIgnored, record, IgnoredBecause(id)});
  } else if (up()) {
    // A key request, or a record the host refuses with an answer: a PMS
    // never asks again by itself.
    events_.push_back({LinkEvent::kRequest, record, {}});
  } else {
    events_.push_back({LinkEvent::kIgnored, record, id + " before the link is up"});
  }
}

void Link::Describe(const Moment& now) {
  Record description = Stamped("LD", now);
  description.Add("V#", settings_.version).Add("IF", "DL");
  if (settings_.cryptogram) {
    const holvanter::Result<std::string> cryptogram = settings_.cryptogram(last_stamp_);
    if (!cryptogram.ok()) {
      Close("cannot make the cryptogram: " + cryptogram.status().message());
      return;
    }
    description.Add("RT", "4").Add("CG", cryptogram.value());
  }
  Queue(description);
  for (const RecordFields& type : kKeyRecordFields) {
    Record announce;
    announce.id = "LR";
    announce.Add("RI", type.id).Add("FL", type.fields);
    Queue(announce);
  }
  Queue(Stamped("LA", now));
  state_ = State::kDescribed;
  waiting_answer_since_ = now.steady;
}

void Link::Tick(const Moment& now) {
  const std::optional<SteadyTime> deadline = next_deadline();
  if (!deadline || now.steady < *deadline) return;
  switch (state_) {
    case State::kWaitingStart:
      Queue(Stamped("LS", now));
      state_ = State::kSentStart;
      waiting_answer_since_ = now.steady;
      break;
    case State::kSentStart:
      Close("no answer to the LS sent after connecting");
      break;
    case State::kDescribed:
      Close("no LA after the link description");
      break;
    case State::kUp:
      if (waiting_answer_since_) {
        Close("no LA to the alive check");
      } else {
        Queue(Stamped("LS", now));
        waiting_answer_since_ = now.steady;
      }
      break;
    case State::kEnding:
      Close("no LE from the interface after the key system's LE");
      break;
    case State::kClosed:
      break;
  }
}

void Link::Disconnected() {
  state_ = State::kClosed;
  reader_.Reset();
  waiting_answer_since_.reset();
}

void Link::End(const Moment& now) {
  if (state_ == State::kClosed || state_ == State::kEnding) return;
  Queue(Stamped("LE", now));
  state_ = State::kEnding;
  waiting_answer_since_.reset();
  ended_at_ = now.steady;
}

bool Link::Send(const Record& record) {
  if (!up()) return false;
  Queue(record);
  return true;
}

std::string Link::TakeOutput() { return std::exchange(output_, std::string()); }

std::vector<LinkEvent> Link::TakeEvents() { return std::exchange(events_, {}); }

std::optional<SteadyTime> Link::next_deadline() const {
  switch (state_) {
    case State::kClosed:
      return std::nullopt;
    case State::kWaitingStart:
      return connected_at_ + settings_.start_wait;
    case State::kSentStart:
    case State::kDescribed:
      return *waiting_answer_since_ + settings_.answer_wait;
    case State::kUp:
      if (waiting_answer_since_) return *waiting_answer_since_ + settings_.answer_wait;
      return last_heard_ + settings_.alive_interval;
    case State::kEnding:
      return ended_at_ + settings_.end_wait;
  }
  return std::nullopt;
}

void Link::Queue(const Record& record) {
  output_ += EncodeRecord(record, settings_.text_bytes);
  events_.push_back({LinkEvent::kRecordOut, record, {}});
}

void Link::Close(const std::string& why) {
  // What is queued (an LE) stays for the host to write before it closes.
  state_ = State::kClosed;
  reader_.Reset();
  waiting_answer_since_.reset();
  events_.push_back({LinkEvent::kClose, {}, why});
}

}  // namespace fias
