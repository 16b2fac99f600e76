// Connection authentication of the FIAS link: the key, its file, and the
// cryptogram the link's LD carries. The cipher and the random source are the
// system's (nettle and getrandom on Linux, CNG on Windows); base64, the
// padding and the file's text are one code for both.
#include "hosts/fias/authkey.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#endif

namespace fias {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHandOverPrefix = "FidCrypt0S|";
constexpr std::string_view kCryptogramPrefix = "FidCryptAB;";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// A key file holds one line of 36 characters; anything far longer is not one.
constexpr std::size_t kMaxKeyFileSize = 4096;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Key material must not linger in memory the program gives back; a
// volatile write is not optimised away.
void Wipe(void* data, std::size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *p++ = 0;
}

std::string ExistsMessage(const std::string& path) {
  return "the key file " + path +
         " exists already; a new key locks the PMS interface out until IT enters it there, so "
         "remove the file first if a new key is really wanted";
}

#ifdef _WIN32

std::string SystemMessage(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "Windows error " + std::to_string(error) : message;
}

// Paths are UTF-8 throughout the product, as in platform/env_windows.cc.
std::wstring WidePath(const std::string& path) {
  if (path.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                    static_cast<int>(path.size()), nullptr, 0);
  if (n <= 0) throw AuthKeyError("the key file path " + path + " is not UTF-8 text");
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), n);
  return wide;
}

void CheckCng(NTSTATUS status, const char* call) {
  if (!BCRYPT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    throw AuthKeyError(std::string("the system's cryptography failed (") + call + ": " + code +
                       ")");
  }
}

void FillRandom(uint8_t* out, std::size_t size) {
  CheckCng(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG),
           "BCryptGenRandom");
}

// AES-128-CBC over whole blocks, padded by the caller.
std::vector<uint8_t> EncryptCbc(const AuthKey& key, const AuthIv& iv, std::vector<uint8_t> blocks) {
  struct Handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ~Handles() {
      if (key != nullptr) BCryptDestroyKey(key);
      if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
  } h;
  CheckCng(BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0),
           "BCryptOpenAlgorithmProvider");
  CheckCng(BCryptSetProperty(h.algorithm, BCRYPT_CHAINING_MODE,
                             reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                             sizeof(BCRYPT_CHAIN_MODE_CBC), 0),
           "BCryptSetProperty");
  AuthKey secret = key;
  const NTSTATUS made = BCryptGenerateSymmetricKey(h.algorithm, &h.key, nullptr, 0, secret.data(),
                                                   static_cast<ULONG>(secret.size()), 0);
  Wipe(secret.data(), secret.size());
  CheckCng(made, "BCryptGenerateSymmetricKey");
  // BCryptEncrypt leaves the last cipher block in the IV buffer it is given.
  AuthIv chain = iv;
  std::vector<uint8_t> out(blocks.size());
  ULONG written = 0;
  CheckCng(BCryptEncrypt(h.key, blocks.data(), static_cast<ULONG>(blocks.size()), nullptr,
                         chain.data(), static_cast<ULONG>(chain.size()), out.data(),
                         static_cast<ULONG>(out.size()), &written, 0),
           "BCryptEncrypt");
  if (written != out.size()) throw AuthKeyError("the system's cryptography gave a short cipher");
  return out;
}

// Whether `user` (the token's user SID) is SYSTEM or the token an
// administrator's (elevated).
bool MachineAdministrator(PSID user) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &size) && EqualSid(user, sid))
    return true;
  size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

// Security attributes whose DACL grants the current user (the token's user
// SID) alone, protected from the folder's inherited entries: the key file is
// as private as its POSIX mode 0600 twin. A file made by SYSTEM or by an
// administrator grants SYSTEM and Administrators as well, who could take it
// anyway: the Windows service (SYSTEM) then reads the key that IT made, and
// IT the token that the service made.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) Fail("OpenProcessToken");
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size / sizeof(DWORD) + 1);
    const bool got = GetTokenInformation(token, TokenUser, user_.data(),
                                         static_cast<DWORD>(user_.size() * sizeof(DWORD)), &size);
    CloseHandle(token);
    if (!got) Fail("GetTokenInformation");
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    std::vector<PSID> granted{sid};
    if (MachineAdministrator(sid)) {
      for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        std::vector<DWORD>& other = machine_[type == WinLocalSystemSid ? 0 : 1];
        other.resize(SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1);
        if (!CreateWellKnownSid(type, nullptr, other.data(), &size)) Fail("CreateWellKnownSid");
        if (!EqualSid(sid, other.data())) granted.push_back(other.data());
      }
    }
    DWORD acl_size = sizeof(ACL);
    for (PSID each : granted)
      acl_size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(each);
    acl_.resize(acl_size / sizeof(DWORD) + 1);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size() * sizeof(DWORD)), ACL_REVISION))
      Fail("InitializeAcl");
    for (PSID each : granted)
      if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, each))
        Fail("AddAccessAllowedAce");
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      Fail("SetSecurityDescriptorDacl");
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
  SECURITY_ATTRIBUTES* get() { return &attributes_; }
  PACL acl() { return reinterpret_cast<PACL>(acl_.data()); }

 private:
  [[noreturn]] static void Fail(const char* call) {
    throw AuthKeyError(std::string("cannot make an owner-only access list (") + call + ": " +
                       SystemMessage(GetLastError()) + ")");
  }
  std::vector<DWORD> user_;  // TOKEN_USER, DWORD-aligned
  std::vector<DWORD> machine_[2];  // SYSTEM's and Administrators' SIDs, when granted
  std::vector<DWORD> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// The missing folders above the key file, made owner-only as the file is.
void MakeFolders(const fs::path& folder, OwnerOnly& access, const std::string& path) {
  if (folder.empty() || GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  if (folder.parent_path() != folder) MakeFolders(folder.parent_path(), access, path);
  if (!CreateDirectoryW(folder.c_str(), access.get()) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw AuthKeyError("cannot make the folder of the key file " + path + ": " +
                       SystemMessage(GetLastError()));
}

void WriteNewFile(const std::string& path, const std::string& text, const std::string& what,
                  const std::string& exists_message) {
  OwnerOnly access;
  const fs::path wide(WidePath(path));
  MakeFolders(wide.parent_path(), access, path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, access.get(), CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
      throw AuthKeyError(exists_message);
    throw AuthKeyError("cannot create the " + what + " " + path + ": " + SystemMessage(error));
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) {
    // A half-written file would be refused at the next try as existing.
    DeleteFileW(wide.c_str());
    throw AuthKeyError("cannot write the " + what + " " + path + ": " + SystemMessage(error));
  }
}

void Narrow(const std::string& path, const std::string& what) {
  OwnerOnly access;
  std::wstring wide = WidePath(path);
  // Protected: the folder's inherited entries (Users, a shared folder's
  // groups) no longer reach the file.
  const DWORD error = SetNamedSecurityInfoW(
      wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, access.acl(), nullptr);
  if (error != ERROR_SUCCESS)
    throw AuthKeyError("cannot narrow the " + what + " " + path + " to its owner: " +
                       SystemMessage(error));
}

// On Windows the file's access list is not checked here: CreateKeyFile made
// it owner-only, and the agent's state folder under LOCALAPPDATA is its
// user's alone (the service's, under ProgramData, SYSTEM's and
// Administrators').
std::string ReadKeyFileText(const std::string& path) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw AuthKeyError("cannot open the key file " + path + ": " + SystemMessage(GetLastError()));
  std::string text(kMaxKeyFileSize + 1, '\0');
  DWORD got = 0, total = 0;
  bool ok = true;
  while (total < text.size()) {
    ok = ReadFile(file, text.data() + total, static_cast<DWORD>(text.size() - total), &got,
                  nullptr);
    if (!ok || got == 0) break;
    total += got;
  }
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) throw AuthKeyError("cannot read the key file " + path + ": " + SystemMessage(error));
  text.resize(total);
  return text;
}

#else  // POSIX

std::string ErrnoText(int error) { return std::generic_category().message(error); }

void FillRandom(uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw AuthKeyError("the system's random source failed: " + ErrnoText(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

// nettle's CBC takes a block function of this form; a cast of
// aes128_encrypt would call it through a pointer of another type.
void EncryptBlocks(const void* context, std::size_t length, uint8_t* dst, const uint8_t* src) {
  aes128_encrypt(static_cast<const aes128_ctx*>(context), length, dst, src);
}

// AES-128-CBC over whole blocks, padded by the caller.
std::vector<uint8_t> EncryptCbc(const AuthKey& key, const AuthIv& iv,
                                const std::vector<uint8_t>& blocks) {
  aes128_ctx context;
  aes128_set_encrypt_key(&context, key.data());
  AuthIv chain = iv;  // cbc_encrypt leaves the last cipher block in it
  std::vector<uint8_t> out(blocks.size());
  cbc_encrypt(&context, &EncryptBlocks, AES_BLOCK_SIZE, chain.data(), blocks.size(), out.data(),
              blocks.data());
  Wipe(&context, sizeof context);
  return out;
}

// The missing folders above the key file, made owner-only as the file is.
void MakeFolders(const fs::path& folder) {
  struct stat status;
  if (folder.empty() || stat(folder.c_str(), &status) == 0) return;
  if (folder.parent_path() != folder) MakeFolders(folder.parent_path());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw AuthKeyError("cannot make the folder " + folder.string() + " for the key file: " +
                       ErrnoText(errno));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

void WriteNewFile(const std::string& path, const std::string& text, const std::string& what,
                  const std::string& exists_message) {
  const fs::path folder = fs::path(path).parent_path();
  MakeFolders(folder);
  // Owner-only from its first moment, and never over an existing file.
  Descriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    if (errno == EEXIST) throw AuthKeyError(exists_message);
    throw AuthKeyError("cannot create the " + what + " " + path + ": " + ErrnoText(errno));
  }
  std::size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n == 0) error = EIO;  // a disk that takes nothing would loop here for good
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && fsync(fd.get()) != 0) error = errno;
  if (error == 0 && close(fd.Release()) != 0) error = errno;
  if (error != 0) {
    // A half-written file would be refused at the next try as existing.
    unlink(path.c_str());
    throw AuthKeyError("cannot write the " + what + " " + path + ": " + ErrnoText(error));
  }
  // The file's name in its folder survives a power cut too.
  Descriptor folder_fd(
      open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder_fd.get() >= 0) fsync(folder_fd.get());
}

void Narrow(const std::string& path, const std::string& what) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0 ||
      ((status.st_mode & 077) != 0 && chmod(path.c_str(), status.st_mode & 0700) != 0))
    throw AuthKeyError("cannot narrow the " + what + " " + path + " to its owner: " +
                       ErrnoText(errno));
}

// A key file that other users may read is refused, not narrowed: its key
// may have been read already, which IT has to judge.
std::string ReadKeyFileText(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0)
    throw AuthKeyError("cannot open the key file " + path + ": " + ErrnoText(errno));
  struct stat status;
  if (fstat(fd.get(), &status) != 0)
    throw AuthKeyError("cannot read the key file " + path + ": " + ErrnoText(errno));
  if (!S_ISREG(status.st_mode)) throw AuthKeyError("the key file " + path + " is not a file");
  if ((status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw AuthKeyError("the key file " + path + " is open to other users (mode " + mode +
                       "); make it its owner's alone with chmod 600 " + path +
                       ", or make a new key if others may have read it");
  }
  std::string text(kMaxKeyFileSize + 1, '\0');
  std::size_t total = 0;
  while (total < text.size()) {
    const ssize_t n = read(fd.get(), text.data() + total, text.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw AuthKeyError("cannot read the key file " + path + ": " + ErrnoText(errno));
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  text.resize(total);
  return text;
}

#endif

}  // namespace

void WriteOwnerOnlyFile(const std::string& path, const std::string& text, const std::string& what,
                        const std::string& exists_message) {
  WriteNewFile(path, text, what, exists_message);
}

void NarrowToOwner(const std::string& path, const std::string& what) { Narrow(path, what); }

std::string Base64Encode(const uint8_t* data, std::size_t size) {
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t n = size - i < 3 ? size - i : 3;
    uint32_t group = uint32_t{data[i]} << 16;
    if (n > 1) group |= uint32_t{data[i + 1]} << 8;
    if (n > 2) group |= data[i + 2];
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += n > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += n > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  return text;
}

// Strict: the alphabet, padding to a multiple of four and zero bits after
// the last byte, so that one key has one text and a mistyped text is not
// read as some other key. The text itself is never quoted: it may be a key.
std::string Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0)
    throw AuthKeyError("not base64: " + std::to_string(text.size()) +
                       " characters, not a multiple of 4");
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0)
      throw AuthKeyError("not base64: character " + std::to_string(i + 1) +
                         " is outside its alphabet");
    bits = (bits << 6) | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  if ((bits & ((1u << held) - 1)) != 0)
    throw AuthKeyError("not base64: bits left over after the last byte");
  return bytes;
}

void FillRandomBytes(uint8_t* out, std::size_t size) { FillRandom(out, size); }

AuthKey RandomKey() {
  AuthKey key;
  FillRandom(key.data(), key.size());
  return key;
}

AuthIv RandomIv() {
  AuthIv iv;
  FillRandom(iv.data(), iv.size());
  return iv;
}

std::string HandOverText(const AuthKey& key) {
  return std::string(kHandOverPrefix) + Base64Encode(key.data(), key.size());
}

std::string Cryptogram(const AuthKey& key, const AuthIv& iv, std::string_view text) {
  // PKCS7: 1 to 16 bytes, each holding their count; a whole block of them
  // when the text fills its last block.
  std::vector<uint8_t> blocks(text.begin(), text.end());
  const std::size_t padding = 16 - text.size() % 16;
  blocks.insert(blocks.end(), padding, static_cast<uint8_t>(padding));
  const std::vector<uint8_t> cipher = EncryptCbc(key, iv, blocks);
  return std::string(kCryptogramPrefix) + Base64Encode(iv.data(), iv.size()) +
         Base64Encode(cipher.data(), cipher.size());
}

AuthKey CreateKeyFile(const std::string& path) {
  AuthKey key = RandomKey();
  std::string text = HandOverText(key) + "\n";
  WriteNewFile(path, text, "key file", ExistsMessage(path));
  Wipe(text.data(), text.size());
  return key;
}

AuthKey ReadKeyFile(const std::string& path) {
  std::string text = ReadKeyFileText(path);
  struct Wiper {
    std::string& text;
    ~Wiper() { Wipe(text.data(), text.size()); }
  } wiper{text};
  if (text.size() > kMaxKeyFileSize)
    throw AuthKeyError("the key file " + path + " is far longer than a key");
  // Editors and copies through Windows add blanks and CRLF at the end.
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n'))
    text.pop_back();
  const std::string_view line(text);
  if (line.substr(0, kHandOverPrefix.size()) != kHandOverPrefix)
    throw AuthKeyError("the key file " + path + " does not begin with " +
                       std::string(kHandOverPrefix));
  std::string bytes;
  try {
    bytes = Base64Decode(line.substr(kHandOverPrefix.size()));
  } catch (const AuthKeyError& e) {
    throw AuthKeyError("the key in the file " + path + " is " + e.what());
  }
  AuthKey key;
  if (bytes.size() != key.size()) {
    Wipe(bytes.data(), bytes.size());
    throw AuthKeyError("the key in the file " + path + " is " + std::to_string(bytes.size()) +
                       " bytes long, not 16");
  }
  std::memcpy(key.data(), bytes.data(), key.size());
  Wipe(bytes.data(), bytes.size());
  return key;
}

}  // namespace fias
