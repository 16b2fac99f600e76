// tavocard desks pair | list | remove: the registry of the desks that may
// join this link desk, as its clerk and the hotel's IT see it.
#include "hosts/desks/desks_command.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>  // Boost 1.74's Asio uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "hosts/desks/registry.h"
#include "hosts/clock/clock.h"
#include "hosts/frontdesk/exit_status.h"

namespace desks {
namespace {

using frontdesk::kExitFailedCall;  // the registry could not be read or written
using frontdesk::kExitRefused;     // no such desk
using frontdesk::kExitUsage;

struct Request {
  std::string registry;
  std::string desk;
  std::string agent = "127.0.0.1:8866";  // list: the link desk's agent, HOST:PORT
};

// The /v1/health answer of the agent at HOST:PORT (it needs no token), or
// nullopt when none answers with one within 2 seconds.
std::optional<nlohmann::json> HealthOf(const std::string& agent) {
  namespace asio = boost::asio;
  namespace beast = boost::beast;
  namespace http = beast::http;
  const std::size_t colon = agent.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::string host = agent.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  try {
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    beast::tcp_stream stream(io);
    http::request<http::empty_body> request{http::verb::get, "/v1/health", 11};
    request.set(http::field::host, agent);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    std::optional<nlohmann::json> health;
    stream.expires_after(std::chrono::seconds(2));
    resolver.async_resolve(host, agent.substr(colon + 1), [&](beast::error_code failed, auto found) {
      if (failed) return;
      stream.async_connect(found, [&](beast::error_code failed, auto) {
        if (failed) return;
        http::async_write(stream, request, [&](beast::error_code failed, std::size_t) {
          if (failed) return;
          http::async_read(stream, buffer, response, [&](beast::error_code failed, std::size_t) {
            if (failed || response.result() != http::status::ok) return;
            nlohmann::json body = nlohmann::json::parse(response.body(), nullptr, false);
            if (body.is_object()) health = std::move(body);
          });
        });
      });
    });
    io.run_for(std::chrono::seconds(3));  // the resolver has no expiry of its own
    return health;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Runs `act` on the registry once the request is usable, and turns the
// failure it answers into the command's exit status.
template <typename Act>
void Run(const std::string& verb, const Request& request, bool names_desk, Act act) {
  const std::string who = "tavocard desks " + verb + ": ";
  if (request.registry.empty()) {
    std::cerr << who << "no state folder is known (no HOME or LOCALAPPDATA); give --registry\n";
    throw CLI::RuntimeError(kExitUsage);
  }
  if (names_desk && !IsDeskName(request.desk)) {
    std::cerr << who << "\"" << request.desk
              << "\" is not a desk name: 1 to 32 of A-Z a-z 0-9 - _\n";
    throw CLI::RuntimeError(kExitUsage);
  }
  const holvanter::Status status = act(DeskRegistry(request.registry), who);
  if (!status.ok()) {
    std::cerr << who << status.message() << "\n";
    throw CLI::RuntimeError(kExitFailedCall);
  }
}

holvanter::Status Pair(DeskRegistry registry, const std::string& desk, int64_t now) {
  std::string set_aside;
  HV_ASSIGN_OR_RETURN(const std::string code, registry.Pair(desk, now, &set_aside));
  if (!set_aside.empty()) std::cerr << "tavocard desks pair: " << set_aside << "\n";
  std::cout << "Pairing code for the desk " << desk << ":\n\n    " << code << "\n\n"
            << "Good for one try until " << hosts::LocalTimeOf(now + kPairingCodeSeconds, "%H:%M")
            << " (" << kPairingCodeSeconds / 60 << " minutes). On that desk, its IT runs:\n\n"
            << "    tavocard serve --join LINK-DESK:PORT --desk " << desk << " --pair " << code
            << "\n\n"
            << "LINK-DESK: this computer's name or address on the hotel network;\n"
            << "PORT: the port of this agent's --desks-listen.\n";
  HV_ASSIGN_OR_RETURN(const std::optional<Secret> paired, registry.SecretOf(desk));
  if (paired)
    std::cout << desk
              << " is paired already and keeps its secret until it joins with this "
                 "code.\n";
  return holvanter::Status::Ok();
}

// Whether each desk is connected now is known to the running link desk
// alone (the registry holds who may join, not who did): its agent is
// asked, and without one that answers the list says that it does not know.
holvanter::Status List(const DeskRegistry& registry, int64_t now, const std::string& agent) {
  HV_ASSIGN_OR_RETURN(const std::vector<DeskEntry> entries, registry.List());
  if (entries.empty()) {
    std::cout << "No desk is paired and no pairing code is pending (" << registry.path() << ").\n";
    return holvanter::Status::Ok();
  }
  const std::optional<nlohmann::json> health = HealthOf(agent);
  const bool known = health && health->contains("desks") && (*health)["desks"].is_array();
  const auto connected = [&](const std::string& desk) -> std::string {
    for (const nlohmann::json& each : (*health)["desks"])
      if (each.value("name", "") == desk) {
        if (each.value("joined", false)) return "connected now";
        const nlohmann::json last = each.value("last_contact", nlohmann::json());
        return last.is_string() ? "not connected (last contact " + last.get<std::string>() + ")"
                                : "not connected";
      }
    return "not connected";
  };
  std::size_t width = 0;
  for (const DeskEntry& entry : entries) width = std::max(width, entry.name.size());
  for (const DeskEntry& entry : entries) {
    std::string line = entry.name + std::string(width - entry.name.size() + 2, ' ');
    line += entry.paired ? "paired " + hosts::LocalTimeOf(entry.paired_at, "%Y-%m-%d %H:%M")
                         : "not paired      ";
    if (entry.code_expires != 0)
      line += now < entry.code_expires
                  ? "  code pending until " + hosts::LocalTimeOf(entry.code_expires, "%H:%M")
                  : std::string("  code expired");
    if (known && entry.paired) line += "  " + connected(entry.name);
    std::cout << line << "\n";
  }
  if (!known)
    std::cout << "Connected now: not known, "
              << (health ? "the agent at " + agent + " keeps no desks link (--desks-listen)"
                         : "no agent answers at " + agent)
              << "; --agent HOST:PORT names the link desk's agent.\n";
  return holvanter::Status::Ok();
}

}  // namespace

void AddDesksCommand(CLI::App& app, const std::string& default_registry) {
  CLI::App* desks = app.add_subcommand("desks", "pair the desks that join this agent's key link");
  desks->require_subcommand(1);
  const auto add = [&](const char* name, const char* description, bool names_desk) {
    auto request = std::make_shared<Request>();
    request->registry = default_registry;
    CLI::App* command = desks->add_subcommand(name, description);
    if (names_desk) command->add_option("NAME", request->desk, "the desk's name")->required();
    command->add_option("--registry", request->registry, "the registry of paired desks")
        ->type_name("PATH")
        ->capture_default_str();
    return std::make_pair(command, request);
  };

  auto [pair, pair_request] = add("pair", "print a one-time code with which a desk joins", true);
  pair->callback([request = pair_request] {
    Run("pair", *request, true,
        [&](DeskRegistry registry, const std::string&) { return Pair(registry, request->desk, hosts::Clock::System().UnixSeconds()); });
  });

  auto [list, list_request] = add(
      "list", "show the paired desks and pending codes, and whether each is connected now", false);
  list->add_option("--agent", list_request->agent,
                   "the link desk's agent, which knows which desks are connected now")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  list->callback([request = list_request] {
    Run("list", *request, false, [&](DeskRegistry registry, const std::string&) {
      return List(registry, hosts::Clock::System().UnixSeconds(), request->agent);
    });
  });

  auto [remove, remove_request] = add("remove", "forget a desk: it can no longer join", true);
  remove->callback([request = remove_request] {
    Run("remove", *request, true, [&](DeskRegistry registry, const std::string& who) {
      // IT must be able to cut a desk off even when a line of the file is
      // damaged: the line is set aside, not a reason to refuse.
      std::string set_aside;
      HV_ASSIGN_OR_RETURN(const bool removed, registry.Remove(request->desk, &set_aside));
      if (!set_aside.empty()) std::cerr << who << set_aside << "\n";
      if (!removed) {
        std::cerr << who << "no desk " << request->desk << " in " << registry.path() << "\n";
        throw CLI::RuntimeError(kExitRefused);
      }
      std::cout << "Removed the desk " << request->desk
                << ": it can no longer join until it pairs again.\n";
      return holvanter::Status::Ok();
    });
  });
}

}  // namespace desks
