// The clerk's words for a result code, which the page shows from the agent's
// answer: both languages for every code of the core's table, the core's
// English unless the page's operation asks for its own, and the rules for
// the encoder's write statuses and unexpected codes.
#include "hosts/agent/clerk_words.h"

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "component/result_meanings.h"
#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {
namespace {

namespace r = holvanter::result;

TEST(ClerkWords, EveryCodeInBothLanguages) {
  std::set<int> general;
  for (const ClerkWordsRow& row : ClerkWordsTable()) {
    SCOPED_TRACE(std::to_string(row.code) + " " + row.command);
    ASSERT_NE(row.zh, nullptr);
    EXPECT_GT(std::string(row.zh).size(), 10u);
    // A Chinese text: Han characters (U+4E00 to U+9FFF, E4 to E9 in UTF-8).
    const std::string zh = row.zh;
    EXPECT_TRUE(std::any_of(zh.begin(), zh.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0xE4 && static_cast<unsigned char>(c) <= 0xE9;
    })) << "no Chinese: " << zh;
    // An English of its own only where it says something else than the core.
    if (row.en != nullptr && *row.command == '\0')
      EXPECT_NE(std::string(row.en), holvanter::ClerkMeaning(row.code));
    if (*row.command == '\0') EXPECT_TRUE(general.insert(row.code).second) << "twice";
  }
  for (const holvanter::ResultMeaningRow& row : holvanter::ResultMeaningTable())
    EXPECT_EQ(general.count(row.code), row.code == r::kDone ? 0u : 1u) << row.code;
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
       "没有可退的房：发卡器上的卡是空白卡或已注销"},
      {r::kBadFloor, "read", "", "请检查楼层号：1 至 99"},
      {r::kNotWritten, "issue", "No card on the encoder: put a blank card on it and press Issue again",
       "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {7, "issue", "", "卡没有写成（发卡器状态 7）：请把卡平放在发卡器上，再按“发卡”"},
      {255, "villa", "", "卡没有写成（发卡器状态 255）：请把卡平放在发卡器上，再按“发卡”"},
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

// A refusal before any card work has no result code: its words come by its
// name, never as an unexpected result.
TEST(ClerkWords, OfARefusal) {
  for (const char* code : {frontdesk::kCardInUse, frontdesk::kUnknownRoom, frontdesk::kStayEnded,
                           frontdesk::kCardNotChecked}) {
    const nlohmann::json words = ClerkWordsOfRefusal(code);
    for (const char* language : {"en", "zh"}) {
      const std::string said = words[language];
      EXPECT_EQ(said.find("Refused ("), std::string::npos) << code << " " << language;
      EXPECT_EQ(said.find("被拒绝"), std::string::npos) << code << " " << language;
    }
  }
  EXPECT_NE(ClerkWordsOfRefusal("not_a_code")["en"].get<std::string>().find("not_a_code"),
            std::string::npos);
}

}  // namespace
}  // namespace agent
