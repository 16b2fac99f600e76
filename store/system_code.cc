#include "store/system_code.h"

#include <cstdint>
#include <cstring>

#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/mwic_32.h"

namespace holvanter {
namespace {

constexpr std::size_t kSystemCodeLength = 5;
constexpr int32_t kCipherBytes = 8;

std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The 8 plain bytes of an enciphered CardID, through mwic_32.
std::string Decipher(Env& env, const std::string& card_id) {
  const auto asc_hex =
      reinterpret_cast<AscHexFunction>(VendorFunction(kMwicLibrary, "asc_hex"));
  const auto ic_decrypt =
      reinterpret_cast<IcDecryptFunction>(VendorFunction(kMwicLibrary, "ic_decrypt"));

  const std::string hex = env.ToAnsi(TrimBlanks(card_id));
  uint8_t enciphered[kCipherBytes] = {};
  asc_hex(hex.c_str(), enciphered, kCipherBytes);  // its status is not examined

  const std::string key = env.ToAnsi(kSystemCodeKey);
  char plain[kCipherBytes + 1];
  std::memset(plain, ' ', kCipherBytes);
  plain[kCipherBytes] = '\0';
  ic_decrypt(key.c_str(), enciphered, kCipherBytes, plain);
  return std::string(plain, kCipherBytes);
}

}  // namespace

std::string LoadSystemCode(Env& env, Connection& connection) {
  std::string system_code(8, ' ');
  std::string status;
  std::optional<RecordSet> spec = ExecuteSql(connection, "Select * From SpecRecord Where InfoNo= 1 ", status);
  if (spec && !spec->Bof() && !spec->Eof()) {
    const std::string card_id = spec->Field("CardID").value_or("");
    // The emptiness test comes before the blanks are stripped.
    system_code = card_id.empty() ? std::string(kDefaultSystemCode) : Decipher(env, card_id);
  }
  return system_code.substr(0, kSystemCodeLength);
}

}  // namespace holvanter
