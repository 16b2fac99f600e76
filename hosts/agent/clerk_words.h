// What the front-desk page tells the clerk about a card operation's result
// code, in each language the page speaks. The English is the core's clerk
// meaning (frontdesk::ClerkMeaning) except where the page's own operation
// asks for other words; the Chinese is this table's. The page shows what the
// agent's answer carries ("clerk"), so that no copy of the table lives in it.
#ifndef HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_
#define HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace agent {

struct ClerkWordsRow {
  int code;
  const char* command;  // "read", "checkout": words for that operation alone; "" any
  const char* en;       // nullptr: the core's clerk meaning
  const char* zh;
};

// Every row, for the test that holds it to the core's table.
const std::vector<ClerkWordsRow>& ClerkWordsTable();

// {"en": ..., "zh": ...} for `code` of the operation `command` ("issue",
// "villa", "read", "checkout"): the operation's own row, the code's, the
// encoder's write status, or the words for an unexpected code.
nlohmann::json ClerkWordsOf(int code, const std::string& command);

// The same for a refusal before any card work, by its stable name
// ("card_in_use", "unknown_room", "stay_ended", "card_not_checked"): such
// an answer carries no result code to look up.
nlohmann::json ClerkWordsOfRefusal(const std::string& refusal_code);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_
