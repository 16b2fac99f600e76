// The hotel's system code: five characters carried by every card.
#ifndef HOLVANTER_STORE_SYSTEM_CODE_H_
#define HOLVANTER_STORE_SYSTEM_CODE_H_

#include <string>

#include "platform/env.h"
#include "store/database.h"
#include "util/status.h"

namespace holvanter {

inline constexpr char kDefaultSystemCode[] = "TAVO1";
// The key that deciphers SpecRecord.CardID.
inline constexpr char kSystemCodeKey[] = "RmKeyIdx";

// Reads SpecRecord.CardID of the row InfoNo = 1 and returns the first five
// characters of the system code, in the ANSI code page (bytes as they go on
// the card): "TAVO1" for an empty or Null CardID, five blanks when there is
// no such row, else the code deciphered through mwic_32 (asc_hex,
// ic_decrypt), its text converted through `env`. A database failure or a
// missing mwic_32 is its failure.
Result<std::string> LoadSystemCode(Env& env, Connection& connection);

}  // namespace holvanter

#endif  // HOLVANTER_STORE_SYSTEM_CODE_H_
