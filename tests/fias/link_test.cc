// The link state machine through every sequence a connection can take, run
// with and without connection authentication, on the exact bytes it writes.
#include "hosts/fias/link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace fias {
namespace {

// The wall clock is noon plus the step's milliseconds, to the second.
Moment At(int ms) {
  char time[16];
  std::snprintf(time, sizeof time, "12%02d%02d", ms / 60000 % 60, ms / 1000 % 60);
  return {SteadyTime{} + std::chrono::milliseconds(ms), "240105", time};
}

// Steps write "[LS|...]" for STX LS|... ETX; "{stamp}" stands for RT4 and
// the cryptogram over that stamp when the site requires it.
std::string Wire(std::string text, bool authenticated) {
  for (std::size_t open; (open = text.find('{')) != std::string::npos;) {
    const std::size_t size = text.find('}', open) - open + 1;
    text.replace(open, size, authenticated ? "RT4|CGX" + text.substr(open + 1, size - 2) + "|" : "");
  }
  std::replace(text.begin(), text.end(), '[', kStx);
  std::replace(text.begin(), text.end(), ']', kEtx);
  return text;
}

std::string Described(const std::string& time, const std::string& stamp) {
  return "[LD|DA240105|TI" + time + "|V#7.1|IFDL|{" + stamp + "}][LR|RIKR|FLKCKTRNWSDATIGAGDDTG#GNSICT|]"
         "[LR|RIKD|FLKCRNWSDATIG#|][LR|RIKM|FLKCRNROWSDATIGAGDDTG#GNSI|][LR|RIKZ|FLASCTKCWSRNGNGDDTG#DATI|][LR|RIKA|FLASCTKCWSG#DATI|][LA|DA240105|TI" +
         time + "|]";
}

using S = Link::State;
constexpr S kWaiting = S::kWaitingStart, kSentLS = S::kSentStart, kDescr = S::kDescribed, kUp = S::kUp,
            kEnding = S::kEnding, kClosed = S::kClosed;
struct Step {
  int at;              // ms after the start
  const char* ops;     // Connect, Receive, Tick, End, Send, Disconnect
  std::string in;      // R: bytes; S: the record's text
  std::string out;     // the bytes written
  std::string events;  // in, out, up, request, gnored, dropped, close
  S state;
  int deadline;        // ms after the start; -1: none
  const char* detail = "";
};

std::vector<Step> Then(std::vector<Step> steps, const std::vector<Step>& then) {
  steps.insert(steps.end(), then.begin(), then.end());
  return steps;
}

// Connected at 0, the interface's LS at 100 and its LA at 200: up. Or the
// key system's own LS after 3 s.
const Step kConnect = {0, "C", "", "", "", kWaiting, 3000};
const Step kLS = {100, "R", "[LS|DA240105|TI115959|]", Described("120000", "240105115959"), "iooooooo", kDescr, 30100};
const Step kLA = {200, "R", "[LA|DA240105|TI120000|]", "", "iu", kUp, 300200};
const std::vector<Step> kLinkUp = {kConnect, kLS, kLA};
const std::vector<Step> kKeySystemStarts = {kConnect, {2999, "T", "", "", "", kWaiting, 3000},
                                            {3000, "T", "", "[LS|DA240105|TI120003|]", "o", kSentLS, 33000}};

const struct {
  const char* name;
  std::vector<Step> steps;
} kSequences[] = {
    {"interface first; other records", Then(kLinkUp, {
        {300, "R", "[KR|RN1|][KD|RN1|][KZ|KC1|]", "", "iririr", kUp, 300300},
        // Families the key system is only told of need no answer; any
        // other record is answered, however it came.
        {400, "R", "[GI|RN1|][PS|RN1|][DS|][KA|ASOK|][XY|]", "", "igigigigir", kUp, 300400, "GI: guest data"},
        {450, "R", "[KM|G#1|RN2|RO1|][KR|G+35607|RN1|][KR|RN1|RN2|][KR|RN1\x0A|][KR][KR|RN1]", "",
         "iriririririr", kUp, 300450},
        {500, "R", "[KR|rn1|][K?|RN1|][KR|" + std::string(9000, 'x'), "", "irdd", kUp, 300500, "over 8192 bytes"},
        {600, "R", "][KR|RN1|]", "", "ir", kUp, 300600}})},
    {"key system first, LA answers", Then(kKeySystemStarts, {
        {3500, "R", "[LA|DA170831|TI102201|]", Described("120003", "170831102201"), "iooooooo", kDescr, 33500},
        {3600, "R", "[LA|DA240105|TI120003|]", "", "iu", kUp, 303600}})},
    {"key system first, LS answers", Then(kKeySystemStarts, {
        {4000, "R", "[LS|DA240105|TI120004|]", Described("120004", "240105120004"), "iooooooo", kDescr, 34000}})},
    {"key system first, no answer", Then(kKeySystemStarts, {{33000, "T", "", "", "c", kClosed, -1, "no answer"}})},
    {"interface restart", Then(kLinkUp, {
        {60000, "R", "[LS|DA240105|TI120100|]", Described("120100", "240105120100"), "iooooooo", kDescr, 90000},
        {60100, "R", "[LA|DA240105|TI120100|]", "", "iu", kUp, 360100}})},
    {"LE from the interface", Then(kLinkUp, {
        {1000, "R", "[LE|DA240105|TI120001|][KR|RN1|]", "[LE|DA240105|TI120001|]", "ioc", kClosed, -1, "LE"},
        {1100, "R", "[LS|DA240105|TI120001|]", "", "", kClosed, -1}, {400000, "T", "", "", "", kClosed, -1}})},
    {"no LA after the description", {kConnect, kLS, {30099, "T", "", "", "", kDescr, 30100},
                                     {30100, "T", "", "", "c", kClosed, -1, "no LA after"}}},
    {"alive checks", Then(kLinkUp, {
        {300199, "T", "", "", "", kUp, 300200}, {300200, "T", "", "[LS|DA240105|TI120500|]", "o", kUp, 330200},
        {305000, "R", "[LA|DA240105|TI120505|]", "", "i", kUp, 605000},
        {605000, "T", "", "[LS|DA240105|TI121005|]", "o", kUp, 635000},
        {606000, "R", "[KR|RN1|]", "", "ir", kUp, 635000},
        {635000, "T", "", "", "c", kClosed, -1, "no LA to the alive check"}})},
    {"nothing before the link is up; the key system ends", {kConnect,
        {50, "R", "[KR|RN1|]", "", "ig", kWaiting, 3000, "KR before the link is up"},
        {60, "S", "KA|ASOK|", "", "", kWaiting, 3000}, kLS,
        {150, "R", "[KD|RN1|]", "", "ig", kDescr, 30100, "KD before the link is up"},
        {160, "S", "KA|ASOK|", "", "", kDescr, 30100}, kLA,
        {300, "S", "KA|ASOK|CTcard 00000101 room 0203|", "[KA|ASOK|CTcard 00000101 room 0203|]", "o", kUp, 300200},
        // The key system's LE waits 2 s for the interface's LE.
        {5000, "E", "", "[LE|DA240105|TI120005|]", "o", kEnding, 7000}, {5100, "S", "KA|ASOK|", "", "", kEnding, 7000},
        {5200, "ER", "[KR|RN1|][LS|DA240105|TI120005|]", "", "ii", kEnding, 7000},
        {7000, "T", "", "", "c", kClosed, -1, "no LE from the interface"}, {7100, "E", "", "", "", kClosed, -1}}},
    {"the interface answers the key system's LE", Then(kLinkUp, {
        {1000, "E", "", "[LE|DA240105|TI120001|]", "o", kEnding, 3000},
        {1500, "R", "[LE|DA240105|TI120001|]", "", "ic", kClosed, -1, "the interface answered LE"}})},
    {"reconnect forgets the partial record", Then(kLinkUp, {
        {300, "R", "[KR|RN", "", "", kUp, 300200}, {400, "D", "", "", "", kClosed, -1},
        {500, "C", "", "", "", kWaiting, 3500},
        {600, "R", "1|][LS|DA240105|TI120000|]", Described("120000", "240105120000"), "iooooooo", kDescr, 30600},
        // What was queued for a connection that is gone does not go out on the next.
        {700, "RC", "[LS|DA240105|TI120000|]", "", "iooooooo", kWaiting, 3700}})},
};

TEST(Link, EverySequence) {
  for (bool authenticated : {false, true}) {
    for (const auto& sequence : kSequences) {
      LinkSettings settings;
      settings.version = "7.1";
      if (authenticated) settings.cryptogram = [](const std::string& stamp) { return "X" + stamp; };
      Link link(settings);
      for (const Step& step : sequence.steps) {
        SCOPED_TRACE(std::string(sequence.name) + (authenticated ? ", authenticated" : "") + ", at " +
                     std::to_string(step.at));
        const Moment now = At(step.at);
        for (const char* op = step.ops; *op; ++op) {
          switch (*op) {
            case 'C': link.Connected(now); break;
            case 'R': link.Received(Wire(step.in, authenticated), now); break;
            case 'T': link.Tick(now); break;
            case 'E': link.End(now); break;
            case 'S': EXPECT_EQ(link.Send(*ParseRecord(step.in)), !step.out.empty()); break;
            case 'D': link.Disconnected(); break;
          }
        }
        EXPECT_EQ(link.TakeOutput(), Wire(step.out, authenticated));
        std::string kinds, details;
        for (const LinkEvent& e : link.TakeEvents()) {
          kinds += "iourgdc"[e.kind];
          details += e.detail + ";";
        }
        EXPECT_EQ(kinds, step.events);
        EXPECT_NE(details.find(step.detail), std::string::npos) << details;
        EXPECT_EQ(link.state(), step.state);
        EXPECT_EQ(link.next_deadline(), step.deadline < 0 ? std::nullopt : std::optional(At(step.deadline).steady));
      }
    }
  }
}

// A cryptogram that cannot be made (the system's random source or cipher
// failed) closes the link instead of sending an LD the interface would
// refuse and count against the key system.
TEST(Link, ACryptogramThatCannotBeMadeClosesTheLink) {
  LinkSettings settings;
  settings.version = "7.1";
  settings.cryptogram = [](const std::string&) -> holvanter::Result<std::string> {
    return holvanter::Status::InvalidArgument("no random source");
  };
  Link link(settings);
  link.Connected(At(0));
  link.Received("\x02LS|DA240105|TI120000|\x03", At(100));
  EXPECT_EQ(link.TakeOutput(), "");
  std::string kinds, details;
  for (const LinkEvent& e : link.TakeEvents()) {
    kinds += "iourgdc"[e.kind];
    details += e.detail + ";";
  }
  EXPECT_EQ(kinds, "ic");
  EXPECT_NE(details.find("cannot make the cryptogram: no random source"), std::string::npos)
      << details;
  EXPECT_EQ(link.state(), kClosed);
}

}  // namespace
}  // namespace fias
