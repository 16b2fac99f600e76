#include "hosts/agent/clerk_words.h"

#include <map>

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {

namespace r = holvanter::result;

const std::vector<ClerkWordsRow>& ClerkWordsTable() {
  // The page's words differ from the core's where the page knows more of
  // what the clerk was doing: -128 and -129 come up as a card is laid on
  // the encoder, -857 from a form that keeps the two rooms on one floor.
  static const std::vector<ClerkWordsRow> rows = {
      {r::kPortNotOpened, "", nullptr, "发卡器没有响应：请检查连线和电源，然后重试"},
      {r::kReadFailed, "",
       "The card could not be read: is a card on the encoder? Lay it flat and try again",
       "读不到卡：发卡器上有卡吗？把卡放平后重试"},
      {r::kNotWritten, "", "No card on the encoder: put a blank card on it and press Issue again",
       "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {r::kCardKind01, "", nullptr, "这不是宾客卡（类型 01）：请换一张宾客卡再试"},
      {r::kCardKindAA, "", nullptr, "这不是宾客卡（类型 AA）：请换一张宾客卡再试"},
      {r::kNoCard, "", nullptr, "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {r::kNoCard, "read", "No guest card on the encoder: the card there is blank or erased",
       "发卡器上没有宾客卡：这张卡是空白卡或已注销"},
      {r::kNoCard, "checkout", "Nothing to check out: the card on the encoder is blank or erased",
       "没有可退的房：发卡器上的卡是空白卡或已注销"},
      {r::kNoOpenRecord, "", nullptr, "这张卡之前已经退房：现在已注销，无需其他操作"},
      {r::kNoSettingsFile, "", nullptr, "本台没有设置发卡：请联系系统管理员"},
      {r::kNoDatabaseFile, "", nullptr, "本台找不到酒店数据库：请联系系统管理员"},
      {r::kDatabaseNotOpen, "", nullptr, "连接不上酒店数据库：请稍候重试，仍不行请联系系统管理员"},
      {r::kBadBegin, "", nullptr, "请检查入住日期和时间，然后重试"},
      {r::kBadEnd, "", nullptr, "请检查离店日期和时间：须晚于入住"},
      {r::kBadBuilding, "", nullptr, "请检查楼栋号：1 至 99"},
      {r::kBadFloor, "", nullptr, "请检查楼层号：1 至 99"},
      {r::kBadGuestRoom, "", nullptr, "请检查房号：四位数字，如 0203"},
      {r::kBadVillaRooms, "", "Check the two rooms: four figures each, on one floor",
       "请检查两间房号：各四位数字，在同一层"},
  };
  return rows;
}

nlohmann::json ClerkWordsOf(int code, const std::string& command) {
  const ClerkWordsRow* found = nullptr;
  for (const ClerkWordsRow& row : ClerkWordsTable())
    if (row.code == code && (row.command == command || (!found && *row.command == '\0')))
      found = &row;
  if (found)
    return {{"en", found->en ? found->en : frontdesk::ClerkMeaning(code)}, {"zh", found->zh}};
  const std::string figures = std::to_string(code);
  if (code >= 2 && code <= 255)
    return {{"en", frontdesk::ClerkMeaning(code)},
            {"zh", "卡没有写成（发卡器状态 " + figures + "）：请把卡平放在发卡器上，再按“发卡”"}};
  return {{"en", "Unexpected result " + figures + ": note it and call the system administrator"},
          {"zh", "意外的结果 " + figures + "：请记下并联系系统管理员"}};
}

nlohmann::json ClerkWordsOfRefusal(const std::string& refusal_code) {
  static const std::map<std::string, std::pair<const char*, const char*>> kWords = {
      {frontdesk::kCardInUse,
       {"This card still opens a guest's room: check it out first, take another card, or "
        "replace it",
        "这张卡还能打开客人的房间：请先退房、换一张卡，或选择覆盖"}},
      {frontdesk::kUnknownRoom,
       {"This room is not in the hotel's room list: check the room, building and floor",
        "酒店的房间清单里没有这个房间：请核对房号、楼号和楼层"}},
      {frontdesk::kStayEnded,
       {"The stay has already ended, so its card would open no door: check the end",
        "这次入住已经结束，卡打不开任何门：请核对离店时间"}},
      {frontdesk::kCardNotChecked,
       {"The card on the encoder could not be checked in the hotel database, so it was left "
        "as it is: try again in a moment; if it goes on, call the system administrator",
        "无法在酒店数据库里核对发卡器上的卡，卡保持原样：请稍后再试；一直这样请联系系统管理员"}}};
  const auto found = kWords.find(refusal_code);
  if (found == kWords.end())
    return {{"en", "Refused (" + refusal_code + "): note it and call the system administrator"},
            {"zh", "被拒绝（" + refusal_code + "）：请记下并联系系统管理员"}};
  return {{"en", found->second.first}, {"zh", found->second.second}};
}

}  // namespace agent
