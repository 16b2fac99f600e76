// What the link desk answers the PMS with when a joined desk has run a key
// request: never the desk's record as given, but the link desk's own, built
// from the pending request, with only the desk's status, clear text and
// card facts in it, each checked. No I/O in it, so tests drive it alone.
#ifndef HOLVANTER_HOSTS_DESKS_ANSWER_H_
#define HOLVANTER_HOSTS_DESKS_ANSWER_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "hosts/fias/codepage.h"
#include "hosts/fias/record.h"

namespace desks {

// What a PMS shows of CT and GN, in bytes of the hotel's code page.
constexpr std::size_t kClearTextBytes = 40;

// The answer to `request` (KR, KD, KM or KZ) from what the desk `told` (its
// answer record) and the card it says it `cut`. `answer` gives the link
// desk's own answer record to the request with a status (the key services'
// KA or KZ: AS, CT, KC, WS, G#, DA, TI); `reservation_of` a card's
// reservation from the link desk's journal. Taken from the desk: AS (one of
// OK UR RY BY NG DN), CT cut to kClearTextBytes in `page`, a cut card of 8
// figures for a KR or a room move (KM) answered OK, and for a KZ answered OK its RN, GN (cut
// alike), GD (6 figures) and DT (HH:MM). nullopt, with `why`, when the desk
// lies: an answer of another kind, for another WS, KC or (KA) G#, or a value
// that is none.
std::optional<fias::Record> AnswerFor(
    const fias::Record& request, const fias::Record& told, const std::string& cut,
    fias::CodePage page, const std::function<fias::Record(const std::string& status)>& answer,
    const std::function<std::optional<std::string>(const std::string& card)>& reservation_of,
    std::string& why);

}  // namespace desks

#endif  // HOLVANTER_HOSTS_DESKS_ANSWER_H_
