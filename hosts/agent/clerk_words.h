// What the front-desk page tells the clerk about an answer of the agent, in
// each language the page speaks, by the answer's error code (the list of
// the OpenAPI document: a result code's name such as "no_card", or the
// agent's own, such as "encoder_busy"). One table holds them all. For a
// result code the English is the core's clerk meaning
// (frontdesk::ClerkMeaning) except where the page's own operation asks for
// other words; the Chinese is this table's. The page shows what the agent's
// answer carries ("clerk"), so that no copy of the table lives in it.
#ifndef HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_
#define HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace agent {

struct ClerkWordsRow {
  const char* code;     // the error code of the answer ("no_card", "encoder_busy")
  const char* command;  // "read", "checkout": words for that operation alone; "" any
  const char* en;       // nullptr: the core's clerk meaning of the result code of that name
  const char* zh;       // "{status}" stands for an encoder's write status
};

// Every row, for the test that holds it to the core's table and to the
// OpenAPI document's list of error codes.
const std::vector<ClerkWordsRow>& ClerkWordsTable();

// {"en": ..., "zh": ...} for result `code` of the operation `command`
// ("issue", "villa", "read", "checkout"): the operation's own row, the
// code's, the encoder's write status, or the words for an unexpected code.
nlohmann::json ClerkWordsOf(int code, const std::string& command);

// The same for an answer by its error code alone: a refusal before any card
// work ("card_in_use", "unknown_room", ...) or a request the agent did not
// take ("bad_json", "encoder_busy", ...), which carry no result code to
// look up; words that name the code for one the table lacks.
nlohmann::json ClerkWordsOfCode(const std::string& code, const std::string& command = "");

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_CLERK_WORDS_H_
