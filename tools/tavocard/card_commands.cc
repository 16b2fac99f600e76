// tavocard issue | villa | checkout: the front desk's card operations, each
// opening the encoder, making one call and closing the encoder again.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "holvanter/tavo_card.h"
#include "tools/tavocard/commands.h"
#include "tools/tavocard/result_text.h"

namespace tavocard {
namespace {

struct CardOptions {
  int port = 0;
  bool json = false;
  std::string begin, end, name, room, rooms;
  int building = 0, floor = 0;
};

// The present local time as a stamp YYYYMMDDhhmm, for a check-out, whose
// dates the component checks but does not use.
std::string NowStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M", &tm);
  return buf;
}

void Report(const std::string& command, const CardOptions& o, int result,
            const std::string& card_no) {
  if (o.json) {
    nlohmann::json j{{"command", command}, {"result", result}, {"meaning", ResultMeaning(result)}};
    if (!card_no.empty()) j["card_no"] = card_no;
    std::cout << j.dump() << "\n";
  } else {
    if (!card_no.empty()) std::cout << "card number: " << card_no << "\n";
    std::cout << "result: " << result << " (" << ResultMeaning(result) << ")\n";
  }
  if (result != 0) throw CLI::RuntimeError(result < 0 ? 1 : 2);
}

// Opens the encoder on o.port, runs `call`, closes the encoder. A failed
// call of the component is reported with its HRESULT.
template <typename Call>
void WithEncoder(const std::string& command, const CardOptions& o, Call call) {
  try {
    holvanter::TavoCard card;
    const int32_t opened = card.OpenPort(o.port);
    if (opened != o.port + 1) {
      Report(command, o, opened, "");
      return;
    }
    std::string card_no;
    int result = 0;
    try {
      result = call(card, card_no);
    } catch (...) {
      card.ClosePort();
      throw;
    }
    card.ClosePort();
    Report(command, o, result, card_no);
  } catch (const holvanter::TavoError& e) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e.hresult()));
    if (o.json)
      std::cout << nlohmann::json{{"command", command}, {"error", code}, {"message", e.what()}}.dump()
                << "\n";
    else
      std::cerr << "tavocard " << command << ": failed with " << code << ": " << e.what() << "\n";
    throw CLI::RuntimeError(3);
  }
}

void AddCommon(CLI::App* sub, CardOptions& o) {
  sub->add_option("--port", o.port, "encoder port, counted from 0")->capture_default_str();
  sub->add_flag("--json", o.json, "print the result as JSON");
}

void AddStay(CLI::App* sub, CardOptions& o) {
  sub->add_option("--begin", o.begin, "begin of the stay, YYYYMMDDhhmm")->required();
  sub->add_option("--end", o.end, "end of the stay, YYYYMMDDhhmm")->required();
  sub->add_option("--building", o.building, "building number, 1 to 99")->required();
  sub->add_option("--floor", o.floor, "floor number, 1 to 99")->required();
  sub->add_option("--name", o.name, "the card holder's name")->required();
}

}  // namespace

void AddCardCommands(CLI::App& app) {
  static CardOptions issue, villa, checkout;

  auto* i = app.add_subcommand("issue", "issue a guest card for one room");
  AddStay(i, issue);
  i->add_option("--room", issue.room, "room number, up to four figures")->required();
  AddCommon(i, issue);
  i->callback([] {
    WithEncoder("issue", issue, [](holvanter::TavoCard& card, std::string& card_no) {
      return card.WriteCard(0, issue.begin, issue.end, card_no,
                            static_cast<int16_t>(issue.building),
                            static_cast<int16_t>(issue.floor), issue.room, issue.name);
    });
  });

  auto* v = app.add_subcommand("villa", "issue a villa card for two rooms on one floor");
  AddStay(v, villa);
  v->add_option("--rooms", villa.rooms, "the two rooms, eight figures: RRRRrrrr")->required();
  AddCommon(v, villa);
  v->callback([] {
    WithEncoder("villa", villa, [](holvanter::TavoCard& card, std::string& card_no) {
      return card.VillaCard(0, villa.begin, villa.end, card_no,
                            static_cast<int16_t>(villa.building),
                            static_cast<int16_t>(villa.floor), villa.rooms, villa.name);
    });
  });

  auto* c = app.add_subcommand("checkout",
                               "check out the card on the encoder: release its rooms, close its "
                               "record, erase it");
  AddCommon(c, checkout);
  c->callback([] {
    WithEncoder("checkout", checkout, [](holvanter::TavoCard& card, std::string& card_no) {
      std::string room_no, begin_date, end_date;
      const int16_t read = card.ReadCard(0, card_no, room_no, begin_date, end_date);
      if (read != 0) return read;
      if (!checkout.json && !card_no.empty())
        std::cout << "checking out card " << card_no << " for rooms " << room_no << "\n";
      // The villa check-out releases every room the card carries, one room
      // of a guest card or both of a villa card.
      const std::string now = NowStamp();
      std::string ignored;
      return card.VillaCard(0, now, now, ignored, 1, 1, "00000000", "");
    });
  });
}

}  // namespace tavocard
