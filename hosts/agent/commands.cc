// tavocard serve | decode: the front-desk agent and the card image decoder.
#include <iostream>
#include <sstream>

#include "hosts/agent/agent.h"
#include "hosts/agent/service.h"
#include "hosts/agent/token.h"
#include "hosts/desks/desks_command.h"
#include "hosts/fias/authkey_command.h"
#include "hosts/frontdesk/frontdesk.h"
#include "hosts/frontdesk/image_decode.h"
#include "util/text.h"

namespace agent {
namespace {

// The settings file as CLI11 reads it, once checked: a key mistyped, a line
// without "=", or a heading the agent has no section for would otherwise be
// passed over in silence, and the agent would run on its defaults (the
// port 8866 in place of the one meant).
class SettingsFormat : public CLI::ConfigTOML {
 public:
  explicit SettingsFormat(const CLI::App& app) : app_(app) {}

  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
    std::ostringstream text;
    text << input.rdbuf();
    const CLI::Option* config = app_.get_config_ptr();
    const std::string file = config != nullptr && config->count() > 0
                                 ? config->as<std::vector<std::string>>().back()
                                 : std::string("the settings file");
    SettingsSections sections{{"fias-rooms", {}}};
    for (const CLI::Option* option : app_.get_subcommand("serve")->get_options())
      for (const std::string& name : option->get_lnames())
        if (name != "help") sections["serve"].push_back(holvanter::ToLowerAscii(name));
    const holvanter::Result<std::string> checked = CheckedSettings(file, text.str(), sections);
    if (!checked.ok()) {
      std::cerr << "tavocard serve: " << checked.status().message() << "\n";
      throw CLI::RuntimeError(frontdesk::kExitUsage);
    }
    std::istringstream normal(checked.value());
    return CLI::ConfigTOML::from_config(normal);
  }

 private:
  const CLI::App& app_;
};

}  // namespace

void AddAgentCommands(CLI::App& app) {
  auto options = std::make_shared<AgentOptions>();
  CLI::App* serve = app.add_subcommand(
      "serve",
      "run the front-desk agent: a local HTTP service through which a browser-based PMS issues, "
      "reads and checks out cards on this desk's encoder (Ctrl+C or SIGTERM stops it); the "
      "options can also come from the [serve] section of a settings file given with --config "
      "FILE");
  serve->add_option("--address", options->address,
                    "the address to listen on; keep the loopback address unless the PMS runs "
                    "on another machine")
      ->capture_default_str();
  serve->add_option("--listen-port", options->port, "the TCP port to listen on (0: any free one)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  serve->add_option("--port", options->encoder_port, "encoder port, counted from 0")
      ->capture_default_str()
      ->check(CLI::Range(-1, 254));
  const std::string default_token = DefaultTokenFile();
  serve->add_option("--token-file", options->token_file,
                    "the bearer token file, made at first start (default " +
                        (default_token.empty() ? std::string("none: no state folder is known")
                                               : default_token) +
                        ")");
  serve->add_flag("--new-token", options->new_token,
                  "make a new bearer token in place of the old one: programs and browsers that "
                  "used the old one, the page's remembered sign-in included, must be given the new");
  serve->add_option("--origin", options->origins,
                    "a browser origin allowed to call the agent (the PMS's address, e.g. "
                    "https://pms.hotel.lan); repeat for more");
  serve->add_option("--queue-wait", options->queue_wait_seconds,
                    "seconds a request may wait for the encoder before it gets 503")
      ->capture_default_str()
      ->check(CLI::Range(0.01, 3600.0));
  serve->add_option("--checkin-time", options->checkin_time,
                    "the hotel's check-in time, HH:MM, which the page proposes as a stay's begin")
      ->capture_default_str();
  serve->add_option("--checkout-time", options->checkout_time,
                    "the hotel's check-out time, HH:MM, which the page proposes as a stay's end")
      ->capture_default_str();
  serve->add_option("--fias", options->fias,
                    "keep the PMS key link (FIAS): connect to the PMS interface program at "
                    "HOST:PORT, and cut, read and check out cards for its key requests");
  serve->add_option("--fias-coder", options->fias_coders,
                    "KC=PORT: the PMS key coder KC is the encoder on PORT (counted from 0), "
                    "or KC=DESK:PORT an encoder of a joined desk; repeat for more; without it "
                    "every key coder is this agent's encoder");
  serve->add_option("--fias-room", options->fias_rooms,
                    "PMSROOM=BUILDING,FLOOR,ROOM: where a PMS room is when the room list cannot "
                    "say (the same number in two buildings, a room name with letters); repeat "
                    "for more, or list them in the [fias-rooms] section of the settings file");
  serve->add_option("--fias-encoding", options->fias_encoding,
                    "the PMS interface's code page: windows-1252, gbk or utf-8")
      ->capture_default_str();
  serve->add_option("--fias-checkout-time", options->fias_checkout_time,
                    "the check-out time, HH:MM, of key requests without a departure time "
                    "(default: --checkout-time)");
  serve->add_option("--fias-authkey-file", options->fias_authkey_file,
                    "the key file of connection authentication (tavocard fias-authkey new), "
                    "when the PMS interface requires it (default: fias-authkey beside the token "
                    "file, when there is one)");
  serve->add_option("--fias-la-wait", options->fias_la_wait_seconds,
                    "seconds to wait for the PMS interface's LA after the link description "
                    "or an alive check before the link is closed (a busy interface answers late)")
      ->check(CLI::Range(1.0, 600.0))
      ->capture_default_str();
  serve->add_option("--fias-journal", options->fias_journal,
                    "the key link's journal of the cards it cut (default: fias-journal beside "
                    "the token file)");
  serve->add_option("--desks-listen", options->desks_listen,
                    "ADDR:PORT: on the desk that keeps the key link, let the paired desks "
                    "join it there (see tavocard desks)");
  serve->add_option("--join", options->join,
                    "HOST:PORT: join the desk that keeps the key link, so that its key "
                    "requests for this desk's coders are cut on this desk's encoder");
  serve->add_option("--desk", options->desk, "this desk's name, with --join");
  serve->add_option("--pair", options->pair,
                    "the pairing code of this desk's first join (tavocard desks pair on the "
                    "link desk)");
  // CLI11 reads settings files for the whole command only: the [serve]
  // section of the file holds the options above (listen-port = 8866,
  // origin = ["https://pms.hotel.lan"]).
  app.set_config("--config", "",
                 "a settings file whose [serve] section holds options of tavocard serve");
  app.config_formatter(std::make_shared<SettingsFormat>(app));
  serve->fallthrough();
  // The room map of a settings file is a section of its own ([fias-rooms]),
  // read apart from the command's options.
  serve->callback([options, &app] {
    // A setting that is wrong stops the agent before it starts anything.
    const auto wrong = [](const holvanter::Status& status) {
      std::cerr << "tavocard serve: " << status.message() << "\n";
      throw CLI::RuntimeError(frontdesk::kExitUsage);
    };
    const CLI::Option* config = app.get_config_ptr();
    const std::string rooms_file =
        config != nullptr && config->count() > 0 ? config->as<std::string>() : std::string();
    if (const holvanter::Status hours = CheckHotelHours(*options); !hours.ok()) wrong(hours);
    holvanter::Result<std::optional<KeyLinkSetup>> key_link = KeyLinkSetupOf(*options, rooms_file);
    if (!key_link.ok()) wrong(key_link.status());
    holvanter::Result<std::optional<DesksSetup>> desks = DesksSetupOf(*options, *key_link);
    if (!desks.ok()) wrong(desks.status());
    if (*key_link) {
      const holvanter::Result<std::string> warning = CheckRoomTargets(**key_link);
      if (!warning.ok()) wrong(warning.status());
      if (!warning.value().empty()) std::cout << warning.value() << std::endl;
      std::cout << (*key_link)->authkey_note << std::endl;
    }
    const int status = Serve(*options, std::move(*key_link), std::move(*desks));
    if (status != frontdesk::kExitDone) throw CLI::RuntimeError(status);
  });

  // The key of the key link's connection authentication lives with the
  // agent's other state, beside its token.
  fias::AddAuthKeyCommand(app, default_token.empty()
                                   ? std::string()
                                   : default_token.substr(0, default_token.find_last_of("/\\") + 1) +
                                         "fias-authkey");
  // So does the registry of the desks that may join this agent's key link.
  desks::AddDesksCommand(app, default_token.empty()
                                  ? std::string()
                                  : default_token.substr(0, default_token.find_last_of("/\\") + 1) +
                                        "desks");

  AddServiceCommand(app);

  auto image = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  CLI::App* decode = app.add_subcommand(
      "decode", "show what a raw 28-byte card image holds (56 hexadecimal figures, from a card "
                "reader's dump)");
  decode->add_option("HEX", *image, "the card image; blanks are ignored")->required();
  decode->add_flag("--json", *json, "print the result as JSON");
  decode->callback([image, json] {
    std::string hex;
    for (char c : *image)
      if (c != ' ' && c != ':' && c != '-') hex += c;
    holvanter::Result<nlohmann::json> decoded = frontdesk::DecodeImageHex(hex);
    if (!decoded.ok()) {
      std::cerr << "tavocard decode: the image " << decoded.status().message() << "\n";
      throw CLI::RuntimeError(frontdesk::kExitUsage);
    }
    nlohmann::json& card = decoded.value();
    if (*json) {
      std::cout << frontdesk::Dump(card, 2) << "\n";
    } else {
      const auto text = [&](const char* key) {
        return card[key].is_null() || card[key] == "" ? std::string("-")
               : card[key].is_string() ? card[key].get<std::string>()
                                       : card[key].dump();
      };
      std::string rooms;
      for (const auto& room : card["rooms"]) rooms += (rooms.empty() ? "" : " ") + room.get<std::string>();
      std::cout << "kind         " << text("kind") << " (kind byte " << text("kind_byte") << ")\n"
                << "system code  " << text("system_code") << "\n"
                << "card number  " << text("card_no") << " (" << text("card_no_hex") << ")\n"
                << "building     " << text("building") << "  floor " << text("floor")
                << "  rooms " << (rooms.empty() ? "-" : rooms) << "\n"
                << "begin        " << text("begin") << "\n"
                << "end          " << text("end") << "\n"
                << "result       " << text("result") << ": " << text("meaning") << "\n";
    }
    // An image that reading would refuse (no card, another kind) is a refusal.
    if (card["result"].get<int>() != 0) throw CLI::RuntimeError(frontdesk::kExitRefused);
  });
}

}  // namespace agent
