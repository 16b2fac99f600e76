// The PMS key link's options of tavocard serve, checked before anything
// starts: a mistyped coder or room map must stop the agent at once, not
// answer the PMS wrongly for a day.
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "holvanter/version.h"
#include "hosts/agent/agent.h"
#include "hosts/agent/token.h"
#include "hosts/desks/registry.h"
#include "hosts/fias/authkey.h"
#include "hosts/fias/codepage.h"
#include "hosts/frontdesk/hotel.h"
#include "platform/paths.h"
#include "util/text.h"

namespace agent {
namespace {

using holvanter::Status;

// An option that is wrong: the agent does not start, and says which.
Status Wrong(std::string message) { return Status::InvalidArgument(std::move(message)); }

// "A101 = 1,1,0101" or "A101=1,1,0101" into the room map.
Status AddRoom(std::map<std::string, fias::RoomPlace>& rooms, const std::string& line,
              const std::string& where) {
  const std::size_t equals = line.find('=');
  std::string pms_room(holvanter::Trim(line.substr(0, equals), holvanter::kWhiteSpace));
  std::string place(equals == std::string::npos
                        ? std::string_view()
                        : holvanter::Trim(line.substr(equals + 1), holvanter::kWhiteSpace));
  // Settings files may quote either side.
  for (std::string* text : {&pms_room, &place})
    if (text->size() >= 2 && (text->front() == '"' || text->front() == '\'') &&
        text->back() == text->front())
      *text = text->substr(1, text->size() - 2);
  const std::optional<fias::RoomPlace> parsed = fias::ParseRoomPlace(place);
  if (pms_room.empty() || !parsed)
    return Wrong(where + " '" + line +
                 "' is not PMSROOM=BUILDING,FLOOR,ROOM (such as 2781=1,2,0203)");
  rooms[pms_room] = *parsed;
  return Status::Ok();
}

// The number of single-character edits that turn `a` into `b`.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The name among `names` fewest edits away from `name` (the first of equals).
std::string Nearest(const std::string& name, const std::vector<std::string>& names) {
  std::string nearest;
  std::size_t best = std::string::npos;
  for (const std::string& each : names)
    if (const std::size_t distance = EditDistance(name, each); distance < best) {
      best = distance;
      nearest = each;
    }
  return nearest;
}

}  // namespace

holvanter::Result<std::string> CheckedSettings(const std::string& file, const std::string& text,
                                               const SettingsSections& sections) {
  std::vector<std::string> section_names, every_key;  // a key outside a section: any section's
  for (const auto& [name, keys] : sections) {
    section_names.push_back(name);
    every_key.insert(every_key.end(), keys.begin(), keys.end());
  }
  std::istringstream in(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
  std::string out;
  const SettingsSections::value_type* section = nullptr;  // none before the first heading
  int number = 0;
  bool array_goes_on = false;  // a value "[..." whose "]" is on a later line
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line(holvanter::Trim(raw, holvanter::kWhiteSpace));
    const auto wrong = [&](const std::string& what) {
      return Wrong(file + " line " + std::to_string(number) + " \"" + line + "\": " + what);
    };
    if (array_goes_on) {
      array_goes_on = line.empty() || line.back() != ']';
      out += line + "\n";
      continue;
    }
    if (line.empty() || line[0] == '#' || line[0] == ';') {
      out += line + "\n";
      continue;
    }
    if (line.front() == '[') {
      const std::string name = line.back() == ']'
                                   ? holvanter::ToLowerAscii(holvanter::Trim(
                                         std::string_view(line).substr(1, line.size() - 2),
                                         holvanter::kWhiteSpace))
                                   : std::string();
      const auto found = sections.find(name);
      if (found == sections.end())
        return wrong("no section of that name; the nearest known section is [" +
                     Nearest(name.empty() ? holvanter::ToLowerAscii(line) : name, section_names) +
                     "]");
      section = &*found;
      out += "[" + name + "]\n";
      continue;
    }
    const std::size_t equals = line.find('=');
    std::string key(holvanter::Trim(line.substr(0, equals), holvanter::kWhiteSpace));
    const std::string value(equals == std::string::npos
                                ? std::string_view()
                                : holvanter::Trim(std::string_view(line).substr(equals + 1),
                                                  holvanter::kWhiteSpace));
    const std::vector<std::string>& known =
        section != nullptr && !section->second.empty() ? section->second : every_key;
    const bool any_key = section != nullptr && section->second.empty();
    if (!any_key) key = holvanter::ToLowerAscii(key);
    if (equals == std::string::npos || key.empty() || value.empty()) {
      // "checkout-time 11:00": the key is the first word.
      const std::string first = key.substr(0, key.find_first_of(" \t"));
      return wrong("not key = value" +
                   (any_key ? std::string() : "; the nearest known key is " + Nearest(first, known)));
    }
    if (section == nullptr) {
      const std::string nearest = Nearest(key, known);
      std::string home;
      for (const auto& [name, keys] : sections)
        if (std::find(keys.begin(), keys.end(), nearest) != keys.end()) home = name;
      return wrong("a key before any section; the nearest known key is " + nearest + ", in [" +
                   home + "]");
    }
    if (!any_key && std::find(known.begin(), known.end(), key) == known.end())
      return wrong("no key " + key + " in [" + section->first + "]; the nearest known key is " +
                   Nearest(key, known));
    array_goes_on = value.front() == '[' && value.back() != ']';
    out += key + " = " + value + "\n";
  }
  return out;
}

std::optional<int> MinutesOfDay(const std::string& time) {
  const auto figure = [&](std::size_t at) { return time[at] >= '0' && time[at] <= '9'; };
  if (time.size() != 5 || time[2] != ':' || !figure(0) || !figure(1) || !figure(3) || !figure(4))
    return std::nullopt;
  const int hours = (time[0] - '0') * 10 + (time[1] - '0');
  const int minutes = (time[3] - '0') * 10 + (time[4] - '0');
  if (hours > 23 || minutes > 59) return std::nullopt;
  return hours * 60 + minutes;
}

holvanter::Status CheckHotelHours(const AgentOptions& options) {
  for (const auto& [option, time] : {std::pair{"--checkin-time", &options.checkin_time},
                                     std::pair{"--checkout-time", &options.checkout_time}})
    if (!MinutesOfDay(*time)) return Wrong(std::string(option) + " '" + *time + "' is not HH:MM");
  return Status::Ok();
}

holvanter::Result<std::optional<KeyLinkSetup>> KeyLinkSetupOf(const AgentOptions& options,
                                                              const std::string& rooms_file) {
  if (options.fias.empty()) return std::optional<KeyLinkSetup>();
  KeyLinkSetup setup;
  setup.link.version = HOLVANTER_VERSION;
  const std::size_t colon = options.fias.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == options.fias.size())
    return Wrong("--fias '" + options.fias + "' is not HOST:PORT");
  setup.host = options.fias.substr(0, colon);
  setup.port = options.fias.substr(colon + 1);
  if (setup.host.size() > 2 && setup.host.front() == '[' && setup.host.back() == ']')
    setup.host = setup.host.substr(1, setup.host.size() - 2);  // [::1]:5010

  setup.keys.default_port = options.encoder_port;
  for (const std::string& coder : options.fias_coders) {
    // KC=PORT, or KC=DESK:PORT for an encoder of a joined desk.
    const std::size_t equals = coder.find('=');
    const std::string name = coder.substr(0, equals);
    std::string port = equals == std::string::npos ? "" : coder.substr(equals + 1);
    std::string desk;
    if (const std::size_t colon = port.find(':'); colon != std::string::npos) {
      desk = port.substr(0, colon);
      port = port.substr(colon + 1);
    }
    const bool figures = !port.empty() && port.size() <= 3 &&
                         port.find_first_not_of("0123456789") == std::string::npos;
    if (name.empty() || name.size() > 8 || !figures || std::stoi(port) > 254 ||
        (coder.find(':') != std::string::npos && !desks::IsDeskName(desk)))
      return Wrong("--fias-coder '" + coder +
                   "' is not KC=PORT or KC=DESK:PORT (a key coder of up to 8 "
                   "characters, a desk name of letters, figures, - and _, and "
                   "an encoder port 0 to 254)");
    setup.keys.coders[name] = {desk, std::stoi(port)};
  }

  for (const std::string& room : options.fias_rooms)
    HV_RETURN_IF_ERROR(AddRoom(setup.keys.rooms, room, "--fias-room"));
  if (!rooms_file.empty()) {
    std::ifstream in(holvanter::Utf8Path(rooms_file));
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
      line = std::string(holvanter::Trim(line, holvanter::kWhiteSpace));
      if (line.empty() || line[0] == '#' || line[0] == ';') continue;
      if (line.front() == '[') {
        // Section names compare without case, as the settings check takes them.
        inside = holvanter::EqualsIgnoreCase(line, "[fias-rooms]");
        continue;
      }
      if (inside) HV_RETURN_IF_ERROR(AddRoom(setup.keys.rooms, line, "[fias-rooms] line"));
    }
  }

  const std::optional<fias::CodePage> page = fias::CodePageNamed(options.fias_encoding);
  if (!page)
    return Wrong("--fias-encoding '" + options.fias_encoding +
                 "' is none of windows-1252, gbk, utf-8");
  setup.keys.code_page = *page;
  // A GBK name may hold the byte of '|' as the second half of a character.
  setup.link.text_bytes = *page == fias::CodePage::kGbk ? fias::TextBytes::kDoubleByte
                                                        : fias::TextBytes::kSingle;
  setup.link.answer_wait = std::chrono::milliseconds(
      static_cast<long long>(options.fias_la_wait_seconds * 1000));

  // The key link ends a stay without a departure time at the hotel's own
  // check-out time unless told otherwise.
  const bool own = !options.fias_checkout_time.empty();
  const std::string& time = own ? options.fias_checkout_time : options.checkout_time;
  const std::optional<int> minutes = MinutesOfDay(time);
  if (!minutes)
    return Wrong(std::string(own ? "--fias-checkout-time" : "--checkout-time") +
                 " '" + time + "' is not HH:MM");
  setup.keys.checkout_minutes = *minutes;
  // A key for a later arrival opens from the hotel's check-in time that day.
  const std::optional<int> checkin = MinutesOfDay(options.checkin_time);
  if (!checkin)
    return Wrong("--checkin-time '" + options.checkin_time + "' is not HH:MM");
  setup.keys.checkin_minutes = *checkin;

  // The key that `tavocard fias-authkey new` wrote into the state folder
  // proves the link without being named: a key made and entered in the PMS
  // interface program but not used would leave the link unauthenticated.
  std::string key_file = options.fias_authkey_file;
  const std::string own_key = BesideTokenFile(options, "fias-authkey");
  std::error_code ec;
  const bool found = key_file.empty() && std::filesystem::exists(holvanter::Utf8Path(own_key), ec);
  if (found) key_file = own_key;
  if (!key_file.empty()) {
    const holvanter::Result<fias::AuthKey> key = fias::ReadKeyFile(key_file);
    if (!key.ok())
      return Wrong(std::string(found ? "the key in the state folder" : "--fias-authkey-file") +
                   ": " + key.status().message());
    setup.link.cryptogram = [key = key.value()](
                                const std::string& stamp) -> holvanter::Result<std::string> {
      HV_ASSIGN_OR_RETURN(const fias::AuthIv iv, fias::RandomIv());
      return fias::Cryptogram(key, iv, stamp);
    };
    setup.authkey_note = "fias: connection authentication with the key in " + key_file +
                         (found ? " (found in the state folder; --fias-authkey-file names another)"
                                : "");
  } else {
    setup.authkey_note = "fias: no connection authentication (no key in " + own_key +
                         ", no --fias-authkey-file)";
  }

  setup.journal = options.fias_journal.empty() ? BesideTokenFile(options, "fias-journal")
                                               : options.fias_journal;
  return std::optional<KeyLinkSetup>(std::move(setup));
}

holvanter::Result<std::string> CheckRoomTargets(const KeyLinkSetup& key_link) {
  if (key_link.keys.rooms.empty()) return std::string();
  const frontdesk::RoomListing listing = frontdesk::ListRooms({});
  if (listing.database.result != 0 || !listing.failure.empty())
    return "fias: the room map is not checked against the room list: " +
           (listing.database.result != 0 ? listing.database.reason : listing.failure);
  std::set<std::tuple<int, int, std::string>> places;
  for (const frontdesk::RoomRow& room : listing.rows)
    places.insert({room.building, room.floor, room.room});
  for (const auto& [pms_room, place] : key_link.keys.rooms)
    if (places.count({place.building, place.floor, place.room}) == 0)
      return Wrong("the PMS room " + pms_room + " is mapped (--fias-room or [fias-rooms]) to room " +
                   place.room + " of building " + std::to_string(place.building) + ", floor " +
                   std::to_string(place.floor) + ", which is not in the room list of " +
                   listing.database.path + " (tavocard hotel rooms add " +
                   std::to_string(place.building) + ":" + std::to_string(place.floor) + ":" +
                   place.room + ")");
  return std::string();
}

std::string BesideTokenFile(const AgentOptions& options, const std::string& name) {
  const std::string token = options.token_file.empty() ? DefaultTokenFile() : options.token_file;
  const std::size_t slash = token.find_last_of("/\\");
  return (slash == std::string::npos ? std::string(".") : token.substr(0, slash)) + "/" + name;
}

holvanter::Result<std::optional<DesksSetup>> DesksSetupOf(
    const AgentOptions& options, const std::optional<KeyLinkSetup>& key_link) {
  DesksSetup setup;
  if (key_link)
    for (const auto& [coder, target] : key_link->keys.coders)
      if (!target.desk.empty()) setup.coders[target.desk].push_back(coder);
  if (!setup.coders.empty() && options.desks_listen.empty())
    return Wrong("--fias-coder names desk " + setup.coders.begin()->first +
                 ", but no --desks-listen ADDR:PORT is given for desks to join");
  if (options.desks_listen.empty() && options.join.empty()) {
    if (!options.desk.empty() || !options.pair.empty())
      return Wrong("--desk and --pair go with --join HOST:PORT");
    return std::optional<DesksSetup>();
  }
  if (!options.desks_listen.empty()) {
    if (!key_link)
      return Wrong("--desks-listen is for the desk that keeps the key link "
                   "(--fias HOST:PORT)");
    const std::size_t colon = options.desks_listen.rfind(':');
    const std::string port = colon == std::string::npos ? "" : options.desks_listen.substr(colon + 1);
    if (colon == 0 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
      return Wrong("--desks-listen '" + options.desks_listen + "' is not ADDR:PORT");
    setup.listen_address = options.desks_listen.substr(0, colon);
    if (setup.listen_address.size() > 2 && setup.listen_address.front() == '[')
      setup.listen_address = setup.listen_address.substr(1, setup.listen_address.size() - 2);
    setup.listen_port = static_cast<unsigned short>(std::stoi(port));
    setup.registry = BesideTokenFile(options, "desks");
  }
  if (!options.join.empty()) {
    if (key_link)
      return Wrong("--join is for a desk without a key link of its own: the link "
                   "desk keeps the one link (drop --fias or --join)");
    const std::size_t colon = options.join.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == options.join.size())
      return Wrong("--join '" + options.join + "' is not HOST:PORT");
    setup.join_host = options.join.substr(0, colon);
    if (setup.join_host.size() > 2 && setup.join_host.front() == '[')
      setup.join_host = setup.join_host.substr(1, setup.join_host.size() - 2);
    setup.join_port = options.join.substr(colon + 1);
    if (!desks::IsDeskName(options.desk))
      return Wrong("--join needs --desk NAME (1 to 32 of letters, figures, - and _)");
    setup.desk = options.desk;
    setup.secret_file = BesideTokenFile(options, "desk-secret");
    setup.journal = options.fias_journal.empty() ? BesideTokenFile(options, "fias-journal")
                                                 : options.fias_journal;
    if (!options.pair.empty()) {
      setup.pairing_code = desks::NormalizePairingCode(options.pair);
      if (setup.pairing_code.empty())
        return Wrong("--pair '" + options.pair +
                     "' is not a pairing code (16 letters and figures, as "
                     "tavocard desks pair printed it)");
    } else {
      const holvanter::Result<std::optional<desks::DeskSecret>> secret =
          desks::ReadDeskSecret(setup.secret_file);
      if (!secret.ok()) return Wrong("--join: " + secret.status().message());
      if (!secret.value() || secret.value()->desk != setup.desk)
        return Wrong("desk " + setup.desk + " is not paired: run tavocard desks "
                     "pair " + setup.desk + " on the link desk, then start this "
                     "desk once with --pair CODE");
    }
  }
  return std::optional<DesksSetup>(std::move(setup));
}

}  // namespace agent
