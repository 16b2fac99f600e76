// DES through the system's own cryptographic provider (CryptoAPI): MinGW has
// no nettle, and Windows carries DES in its base providers.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "des_ecb.h"

namespace mwic_sim {

void DesEcb(const uint8_t key[8], bool decipher, const uint8_t* in, std::size_t length,
            uint8_t* out) {
  std::memset(out, 0, length);
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                            CRYPT_VERIFYCONTEXT)) {
    return;
  }
  // A plain-text key blob: header, key length, then the 8 key bytes.
  struct {
    BLOBHEADER header;
    DWORD size;
    BYTE bytes[8];
  } blob{};
  blob.header.bType = PLAINTEXTKEYBLOB;
  blob.header.bVersion = CUR_BLOB_VERSION;
  blob.header.aiKeyAlg = CALG_DES;
  blob.size = 8;
  std::memcpy(blob.bytes, key, 8);
  HCRYPTKEY des = 0;
  if (CryptImportKey(provider, reinterpret_cast<const BYTE*>(&blob), sizeof blob, 0, 0, &des)) {
    DWORD mode = CRYPT_MODE_ECB;
    CryptSetKeyParam(des, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0);
    std::vector<BYTE> data(in, in + length);
    DWORD n = static_cast<DWORD>(length);
    // Not the final block: whole 8-byte blocks, no padding added or removed.
    const BOOL ok = decipher ? CryptDecrypt(des, 0, FALSE, 0, data.data(), &n)
                             : CryptEncrypt(des, 0, FALSE, 0, data.data(), &n,
                                            static_cast<DWORD>(data.size()));
    if (ok) std::memcpy(out, data.data(), length);
    CryptDestroyKey(des);
  }
  CryptReleaseContext(provider, 0);
}

}  // namespace mwic_sim
