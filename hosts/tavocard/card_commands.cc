// tavocard issue | villa | checkout | read: the front desk's card operations,
// each opening the encoder, making its calls and closing the encoder again.
#include <iostream>
#include <memory>
#include <string>

#include "hosts/frontdesk/frontdesk.h"
#include "hosts/tavocard/commands.h"

namespace tavocard {
namespace {

struct CardOptions {
  int port = 0;
  bool json = false;
  frontdesk::GuestStay guest;
  frontdesk::VillaStay villa;
};

// Prints the answer and ends with its exit status.
void Report(const frontdesk::CardAnswer& answer, bool json) {
  if (json) {
    std::cout << frontdesk::Dump(frontdesk::ToJson(answer), 2) << "\n";
  } else {
    // A refusal before any call and a failed call are the clerk's to read on
    // the error stream; an answer of the component goes to the output.
    (answer.usage_error.empty() && answer.refusal_code.empty() && !answer.hresult ? std::cout
                                                                                  : std::cerr)
        << frontdesk::ToText(answer);
  }
  const int status = frontdesk::ExitStatusOf(answer);
  if (status != frontdesk::kExitDone) throw CLI::RuntimeError(status);
}

void AddCommon(CLI::App* sub, CardOptions& o) {
  sub->add_option("--port", o.port, "encoder port, counted from 0")->capture_default_str();
  sub->add_flag("--json", o.json, "print the answer as one JSON object");
}

template <typename Stay>
void AddStay(CLI::App* sub, Stay& s) {
  sub->add_option("--begin", s.begin,
                  "begin of the stay: YYYYMMDDhhmm, or ISO 8601 (2026-12-09T14:00, an offset "
                  "such as +08:00 may follow)")
      ->required();
  sub->add_option("--end", s.end, "end of the stay, as --begin")->required();
  sub->add_option("--building", s.building, "building number, 1 to 99")->required();
  sub->add_option("--floor", s.floor, "floor number, 1 to 99")->required();
  sub->add_option("--name", s.holder, "the card holder's name")->required();
  sub->add_flag("--replace", s.replace,
                "write over a live card of this hotel on the encoder, checking it out first");
}

}  // namespace

void AddCardCommands(CLI::App& app) {
  auto issue = std::make_shared<CardOptions>();
  auto* i = app.add_subcommand("issue", "issue a guest card for one room");
  AddStay(i, issue->guest);
  i->add_option("--room", issue->guest.room, "room number, four figures (not 0000)")
      ->required();
  AddCommon(i, *issue);
  i->callback([issue] { Report(frontdesk::IssueGuestCard(issue->port, issue->guest), issue->json); });

  auto villa = std::make_shared<CardOptions>();
  auto* v = app.add_subcommand("villa", "issue a villa card for two rooms on one floor");
  AddStay(v, villa->villa);
  v->add_option("--rooms", villa->villa.rooms, "the two rooms, eight figures: RRRRrrrr")
      ->required();
  AddCommon(v, *villa);
  v->callback([villa] { Report(frontdesk::IssueVillaCard(villa->port, villa->villa), villa->json); });

  auto checkout = std::make_shared<CardOptions>();
  auto* c = app.add_subcommand("checkout",
                               "check out the card on the encoder: release its rooms, close its "
                               "record, erase it");
  AddCommon(c, *checkout);
  c->callback([checkout] { Report(frontdesk::CheckOut(checkout->port), checkout->json); });

  auto read = std::make_shared<CardOptions>();
  auto* r = app.add_subcommand("read", "read the card on the encoder: card number, rooms and dates");
  AddCommon(r, *read);
  r->callback([read] { Report(frontdesk::ReadCardOnEncoder(read->port), read->json); });
}

}  // namespace tavocard
