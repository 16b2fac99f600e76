#include "hosts/agent/clerk_words.h"

#include "holvanter/result_codes.h"
#include "hosts/frontdesk/frontdesk.h"

namespace agent {
namespace {

const ClerkWordsRow* RowOf(const std::string& code, const std::string& command) {
  const ClerkWordsRow* found = nullptr;
  for (const ClerkWordsRow& row : ClerkWordsTable())
    if (row.code == code && (row.command == command || (!found && *row.command == '\0')))
      found = &row;
  return found;
}

// `text` with "{status}" as the figures of `status`.
std::string WithStatus(std::string text, const std::string& status) {
  if (const std::size_t at = text.find("{status}"); at != std::string::npos)
    text.replace(at, 8, status);
  return text;
}

}  // namespace

const std::vector<ClerkWordsRow>& ClerkWordsTable() {
  // The page's words differ from the core's where the page knows more of
  // what the clerk was doing: -128 and -129 come up as a card is laid on
  // the encoder, -857 from a form that keeps the two rooms on one floor.
  static const std::vector<ClerkWordsRow> rows = {
      // The component's result codes.
      {"done", "", nullptr, "已完成"},
      {"port_not_opened", "", nullptr, "发卡器没有响应：请检查连线和电源，然后重试"},
      {"read_failed", "",
       "The card could not be read: is a card on the encoder? Lay it flat and try again",
       "读不到卡：发卡器上有卡吗？把卡放平后重试"},
      {"not_written", "", "No card on the encoder: put a blank card on it and press Issue again",
       "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {"card_kind_01", "", nullptr, "这不是宾客卡（类型 01）：请换一张宾客卡重试"},
      {"card_kind_aa", "", nullptr, "这不是宾客卡（类型 AA）：请换一张宾客卡重试"},
      {"no_card", "", nullptr, "发卡器上没有卡：请放一张空白卡，再按“发卡”"},
      {"no_card", "read", "No guest card on the encoder: the card there is blank or erased",
       "发卡器上没有宾客卡：这张卡是空白卡或已注销"},
      {"no_card", "checkout", "Nothing to check out: the card on the encoder is blank or erased",
       "这张卡没有可退房的记录：发卡器上的卡是空白卡或已注销"},
      {"no_open_record", "", nullptr, "这张卡之前已经退房：现在已注销，无需其他操作"},
      {"no_settings_file", "", nullptr, "本台没有设置发卡：请联系系统管理员"},
      {"no_database_file", "", nullptr, "本台找不到酒店数据库：请联系系统管理员"},
      {"database_not_open", "", nullptr, "连接不上酒店数据库：请稍后重试，仍不行请联系系统管理员"},
      {"bad_begin", "", nullptr, "请检查入住日期和时间，然后重试"},
      {"bad_end", "", nullptr, "请检查离店日期和时间：须晚于入住"},
      {"bad_building", "", nullptr, "请检查楼栋号：1 至 99"},
      {"bad_floor", "", nullptr, "请检查楼层号：1 至 99"},
      {"bad_guest_room", "", nullptr, "请检查房号：四位数字，如 0203"},
      {"bad_villa_rooms", "", "Check the two rooms: four figures each, on one floor",
       "请检查两间房号：各四位数字，在同一层"},
      // Any status 2 to 255: a test holds the English to the core's.
      {"write_status", "",
       "The card was not written (encoder status {status}): lay it flat on the encoder and press "
       "Issue again",
       "写卡未完成（发卡器状态 {status}）：请把卡平放在发卡器上，再按“发卡”"},
      // Refusals before any card work.
      {"card_in_use", "",
       "This card still opens a guest's room: check it out first, take another card, or replace it",
       "这张卡还能打开住客的房间：请先退房、换一张卡，或选择覆盖"},
      {"unknown_room", "",
       "This room is not in the hotel's room list: check the room, building and floor",
       "酒店的房间表里没有这个房间：请核对房号、楼栋和楼层"},
      {"stay_ended", "",
       "The stay has already ended, so its card would open no door: check the departure",
       "这次入住已经结束，卡打不开任何门：请核对离店时间"},
      {"card_not_checked", "",
       "The card on the encoder could not be checked in the hotel database, so it was left as it "
       "is: try again in a moment; if it goes on, call the system administrator",
       "无法在酒店数据库里核对发卡器上的卡，卡保持原样：请稍后重试；仍不行请联系系统管理员"},
      // Requests the agent did not take: nothing was done.
      {"bad_json", "", "The request is not valid JSON: nothing was done; call the system administrator",
       "请求不是有效的 JSON：未做任何操作。请联系系统管理员"},
      {"unknown_field", "",
       "The request has a field the agent does not take: nothing was done; call the system "
       "administrator",
       "请求里有发卡服务不认识的字段：未做任何操作。请联系系统管理员"},
      {"missing_field", "", "The request lacks a value: nothing was done; fill it in and try again",
       "请求缺少必填项：未做任何操作。请填写后重试"},
      {"invalid_field", "", "A value of the request is not valid: nothing was done; check it and try again",
       "请求中有一项的值无效：未做任何操作。请检查后重试"},
      {"unknown_parameter", "",
       "The request's address has a parameter the agent does not take: nothing was done; call the "
       "system administrator",
       "请求地址里有发卡服务不认识的参数：未做任何操作。请联系系统管理员"},
      {"invalid_parameter", "",
       "A value of the request's address is not valid: nothing was done; check it and try again",
       "请求地址中的参数无效：未做任何操作。请检查后重试"},
      {"bad_idempotency_key", "",
       "The request's Idempotency-Key is not valid: nothing was done; call the system administrator",
       "请求的 Idempotency-Key 无效：未做任何操作。请联系系统管理员"},
      {"unauthorized", "",
       "The agent did not accept the token: type it again, or ask the system administrator for the "
       "new one",
       "发卡服务不接受这个令牌：请重新输入，或向系统管理员索取新令牌"},
      {"origin_not_allowed", "", "This page may not use the agent: call the system administrator",
       "这个网页无权使用发卡服务：请联系系统管理员"},
      {"not_found", "", "The agent has no such address: call the system administrator",
       "发卡服务没有这个地址：请联系系统管理员"},
      {"method_not_allowed", "",
       "The agent does not take this request at this address: call the system administrator",
       "发卡服务在这个地址不接受这种请求：请联系系统管理员"},
      {"body_too_large", "", "The request is too large: nothing was done; call the system administrator",
       "请求太大：未做任何操作。请联系系统管理员"},
      {"idempotency_key_reused", "",
       "This Idempotency-Key was used for another request: nothing was done; call the system "
       "administrator",
       "这个 Idempotency-Key 已用于另一个请求：未做任何操作。请联系系统管理员"},
      {"encoder_busy", "", "The encoder is busy with another card: nothing was done; try again in a moment",
       "发卡器正在处理另一张卡：未做任何操作。请稍后重试"},
      {"agent_stopping", "", "The agent is stopping: try again once it runs again",
       "发卡服务正在停止：请等它重新运行后重试"},
      // Failures of the agent's own calls.
      {"call_failed", "", "The card operation failed: note the message and call the system administrator",
       "操作失败：请记下提示并联系系统管理员"},
      {"database_failed", "",
       "The hotel database did not answer: try again in a moment; if it goes on, call the system "
       "administrator",
       "酒店数据库没有响应：请稍后重试；仍不行请联系系统管理员"},
  };
  return rows;
}

nlohmann::json ClerkWordsOf(int code, const std::string& command) {
  const std::string figures = std::to_string(code);
  // A result the table has no row for, 0 among them (a done operation
  // needs no words): the words for an unexpected code.
  const ClerkWordsRow* row =
      code == holvanter::result::kDone ? nullptr : RowOf(frontdesk::ResultName(code), command);
  if (row == nullptr)
    return {{"en", "Unexpected result " + figures + ": note it and call the system administrator"},
            {"zh", "意外的结果 " + figures + "：请记下并联系系统管理员"}};
  return {{"en", row->en ? WithStatus(row->en, figures) : frontdesk::ClerkMeaning(code)},
          {"zh", WithStatus(row->zh, figures)}};
}

nlohmann::json ClerkWordsOfCode(const std::string& code, const std::string& command) {
  const ClerkWordsRow* row = RowOf(code, command);
  if (row == nullptr)
    return {{"en", "Refused (" + code + "): note it and call the system administrator"},
            {"zh", "被拒绝（" + code + "）：请记下并联系系统管理员"}};
  // A result code by its name alone: the core's words for it; an encoder's
  // write status without its figures.
  const std::optional<int> result = frontdesk::ResultCodeNamed(code);
  return {{"en", row->en ? WithStatus(row->en, "?") : frontdesk::ClerkMeaning(result.value_or(0))},
          {"zh", WithStatus(row->zh, "?")}};
}

}  // namespace agent
