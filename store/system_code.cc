#include "store/system_code.h"

#include <cstdint>
#include <cstring>

#include "platform/env.h"
#include "store/execute_sql.h"
#include "store/mwic_32.h"
#include "util/text.h"

namespace holvanter {
namespace {

constexpr std::size_t kSystemCodeLength = 5;
constexpr int32_t kCipherBytes = 8;

// The 8 plain bytes of an enciphered CardID, through mwic_32.
Result<std::string> Decipher(Env& env, const std::string& card_id) {
  HV_ASSIGN_OR_RETURN(void* const asc_hex_address, VendorFunction(kMwicLibrary, "asc_hex"));
  HV_ASSIGN_OR_RETURN(void* const ic_decrypt_address, VendorFunction(kMwicLibrary, "ic_decrypt"));
  const auto asc_hex = reinterpret_cast<AscHexFunction>(asc_hex_address);
  const auto ic_decrypt = reinterpret_cast<IcDecryptFunction>(ic_decrypt_address);

  const std::string hex = env.ToAnsi(std::string(Trim(card_id)));
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

Result<std::string> LoadSystemCode(Env& env, Connection& connection) {
  std::string system_code(8, ' ');
  std::string card_id;
  bool found = false;
  std::string status;
  HV_ASSIGN_OR_RETURN(std::optional<RecordSet> spec,
                      ExecuteSql(connection, "Select * From SpecRecord Where InfoNo= 1 ", status));
  if (spec && !spec->Bof() && !spec->Eof()) {
    HV_ASSIGN_OR_RETURN(card_id, Catching([&] { return spec->Field("CardID").value_or(""); }));
    found = true;
  }
  if (found) {
    // The emptiness test comes before the blanks are stripped.
    if (card_id.empty()) {
      system_code = kDefaultSystemCode;
    } else {
      HV_ASSIGN_OR_RETURN(system_code, Decipher(env, card_id));
    }
  }
  return system_code.substr(0, kSystemCodeLength);
}

}  // namespace holvanter
