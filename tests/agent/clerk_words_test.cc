// The clerk's words for an answer, which the page shows from the agent's
// answer: both languages for every error code the agent can give (the
// OpenAPI document's list) and every code of the core's table, the core's
// English unless the page's operation asks for its own, and the rules for
// the encoder's write statuses and unexpected codes.
#include "hosts/agent/clerk_words.h"

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "component/result_meanings.h"
#include "holvanter/result_codes.h"
#include "hosts/agent/page_assets.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {
namespace {

namespace r = holvanter::result;

TEST(ClerkWords, EveryCodeInBothLanguages) {
  std::set<std::string> general;
  for (const ClerkWordsRow& row : ClerkWordsTable()) {
    SCOPED_TRACE(std::string(row.code) + " " + row.command);
    ASSERT_NE(row.zh, nullptr);
    EXPECT_GT(std::string(row.zh).size(), 5u);
    // A Chinese text: Han characters (U+4E00 to U+9FFF, E4 to E9 in UTF-8).
    const std::string zh = row.zh;
    EXPECT_TRUE(std::any_of(zh.begin(), zh.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0xE4 && static_cast<unsigned char>(c) <= 0xE9;
    })) << "no Chinese: " << zh;
    // An English of its own only where it says something else than the core;
    // the agent's own codes, which the core has no words for, need one.
    const std::optional<int> result = frontdesk::ResultCodeNamed(row.code);
    if (row.en != nullptr && *row.command == '\0' && result)
      EXPECT_NE(std::string(row.en), holvanter::ClerkMeaning(*result));
    if (!result && std::string(row.code) != "write_status") EXPECT_NE(row.en, nullptr);
    if (*row.command == '\0') EXPECT_TRUE(general.insert(row.code).second) << "twice";
  }
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable())
    EXPECT_EQ(general.count(row.name), 1u) << row.code;
  // Every code an answer of the agent can carry, as its document lists them,
  // has words of its own, not the words for a code the table lacks.
  const nlohmann::json doc = nlohmann::json::parse(kOpenApiDocument);
  const nlohmann::json& codes = doc["components"]["schemas"]["ErrorObject"]["properties"]["code"]["enum"];
  ASSERT_GT(codes.size(), 30u);
  for (const std::string code : codes) {
    EXPECT_EQ(general.count(code), 1u) << code << " has no clerk's words";
    const nlohmann::json words = ClerkWordsOfCode(code);
    EXPECT_EQ(words["en"].get<std::string>().find("Refused ("), std::string::npos) << code;
    EXPECT_EQ(words["zh"].get<std::string>().find("被拒绝"), std::string::npos) << code;
  }
}

TEST(ClerkWords, OfAnAnswer) {
  struct Case {
    int code;
    std::string command, en, zh;  // en empty: the core's clerk meaning
  } cases[] = {
      {r::kNoCard, "issue", "", "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {r::kNoCard, "villa", "", "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {r::kNoCard, "read", "No guest card on the encoder: the card there is blank or erased",
       "发卡器上没有宾客卡：这张卡是空白卡或已注销"},
      {r::kNoCard, "checkout", "Nothing to check out: the card on the encoder is blank or erased",
       "这张卡没有可退房的记录：发卡器上的卡是空白卡或已注销"},
      {r::kBadFloor, "read", "", "请检查楼层号：1 至 99"},
      {r::kNotWritten, "issue", "No card on the encoder: put a blank card on it and press Issue again",
       "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {7, "issue", "", "写卡未完成（发卡器状态 7）：请把卡平放在发卡器上，再按“发卡”"},
      {255, "villa", "", "写卡未完成（发卡器状态 255）：请把卡平放在发卡器上，再按“发卡”"},
      {-5, "read", "Unexpected result -5: note it and call the system administrator",
       "意外的结果 -5：请记下并联系系统管理员"},
      {r::kDone, "issue", "Unexpected result 0: note it and call the system administrator",
       "意外的结果 0：请记下并联系系统管理员"},
      {256, "issue", "Unexpected result 256: note it and call the system administrator",
       "意外的结果 256：请记下并联系系统管理员"},
  };
  for (const Case& c : cases) {
    const nlohmann::json words = ClerkWordsOf(c.code, c.command);
    EXPECT_EQ(words["en"], c.en.empty() ? holvanter::ClerkMeaning(c.code) : c.en) << c.code << c.command;
    EXPECT_EQ(words["zh"], c.zh) << c.code << " " << c.command;
  }
}

// An answer without a result code has its words by its error code (every
// listed code is held above); a result code's name gives its words, and a
// code the table lacks is named in them.
TEST(ClerkWords, OfACode) {
  // A result code by its name: the core's English; the operation's own row.
  EXPECT_EQ(ClerkWordsOfCode("bad_end")["en"], holvanter::ClerkMeaning(r::kBadEnd));
  EXPECT_EQ(ClerkWordsOfCode("no_card", "checkout")["zh"], "这张卡没有可退房的记录：发卡器上的卡是空白卡或已注销");
  EXPECT_NE(ClerkWordsOfCode("not_a_code")["en"].get<std::string>().find("not_a_code"),
            std::string::npos);
}

}  // namespace
}  // namespace agent
