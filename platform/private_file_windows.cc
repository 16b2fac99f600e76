// The hosts' owner-only state files on Windows: a reparse point at the path
// (a symbolic link, a junction, a mount point) is opened as itself and
// refused; what is made carries a protected access list that grants the
// current user alone (and SYSTEM and Administrators when one of them makes
// it), whatever the folder above would pass on.
#include "platform/private_file.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/system_message.h"

namespace holvanter {
namespace {

PrivateFileError Failed(const std::string& doing, const std::string& what, const std::string& path,
                        DWORD error) {
  return PrivateFileError(PrivateFileError::kOther, "cannot " + doing + " the " + what + " " +
                                                        path + ": " + SystemMessage(error));
}

// Every path reaches the system through the wide calls (platform/paths.h).
std::wstring Wide(const std::string& path) {
  std::optional<std::wstring> wide = WidePath(path);
  if (!wide)
    throw PrivateFileError(PrivateFileError::kOther, "the path " + path + " is not UTF-8 text");
  return std::move(*wide);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash);
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
// SID) alone, protected from the folder's inherited entries: as private as
// a POSIX file of mode 0600. A file made by SYSTEM or by an administrator
// grants SYSTEM and Administrators as well, who could take it anyway: the
// Windows service (SYSTEM) then reads the key that IT made, and IT the token
// that the service made.
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
    std::vector<PSID>& granted = granted_;
    granted.push_back(sid);
    if (MachineAdministrator(sid)) {
      for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
        DWORD sid_size = SECURITY_MAX_SID_SIZE;
        std::vector<DWORD>& other = machine_[type == WinLocalSystemSid ? 0 : 1];
        other.resize(SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1);
        if (!CreateWellKnownSid(type, nullptr, other.data(), &sid_size)) Fail("CreateWellKnownSid");
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
  // Whether `sid` is one of those the access list grants: the owners a
  // state file of ours may have.
  bool Grants(PSID sid) const {
    for (PSID each : granted_)
      if (EqualSid(sid, each)) return true;
    return false;
  }

 private:
  [[noreturn]] static void Fail(const char* call) {
    throw PrivateFileError(PrivateFileError::kOther,
                           std::string("cannot make an owner-only access list (") + call + ": " +
                               SystemMessage(GetLastError()) + ")");
  }
  std::vector<DWORD> user_;  // TOKEN_USER, DWORD-aligned
  std::vector<DWORD> machine_[2];  // SYSTEM's and Administrators' SIDs, when granted
  std::vector<PSID> granted_;  // into user_ and machine_
  std::vector<DWORD> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// An ordinary file on a disk, not a reparse point opened as itself, owned
// by this user, SYSTEM or Administrators (who may take any file anyway; a
// file an administrator made elevated is owned by Administrators): a file
// planted by another ordinary user is not used, as on POSIX.
void Examine(HANDLE file, const std::string& path, const std::string& what,
             const OwnerOnly& access) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) throw Failed("examine", what, path, GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    throw PrivateFileError(PrivateFileError::kOther,
                           "the " + what + " " + path +
                               " is a link (a reparse point); it is not followed: remove it");
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || GetFileType(file) != FILE_TYPE_DISK)
    throw PrivateFileError(PrivateFileError::kOther,
                           "the " + what + " " + path + " is not a file");
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) throw Failed("examine", what, path, error);
  const bool ours = owner != nullptr &&
                    (access.Grants(owner) || IsWellKnownSid(owner, WinLocalSystemSid) ||
                     IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  std::string name = "unknown";
  char* text = nullptr;
  if (!ours && owner != nullptr && ConvertSidToStringSidA(owner, &text)) {
    name = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  if (!ours)
    throw PrivateFileError(PrivateFileError::kOther, "the " + what + " " + path +
                                                         " belongs to another user (" + name +
                                                         "); it is not used");
}

void MakeFolders(const std::string& folder, OwnerOnly& access, const std::string& what) {
  if (folder.empty() || (folder.size() == 2 && folder[1] == ':')) return;
  const std::wstring wide = Wide(folder);
  if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  const std::string parent = FolderOf(folder);
  if (parent != folder) MakeFolders(parent, access, what);
  if (!CreateDirectoryW(wide.c_str(), access.get()) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw PrivateFileError(PrivateFileError::kOther, "cannot make the folder " + folder +
                                                         " of the " + what + ": " +
                                                         SystemMessage(GetLastError()));
}

}  // namespace

PrivateFile::PrivateFile(const std::string& path, const std::string& what, How how,
                         OpenToOthers others)
    : path_(path), what_(what) {
  OwnerOnly access;
  if (how != How::kRead) MakeFolders(FolderOf(path), access, what);
  DWORD rights = GENERIC_READ;
  if (how == How::kAppend) rights = FILE_APPEND_DATA | GENERIC_READ;
  if (how == How::kLock) rights = GENERIC_READ | GENERIC_WRITE;
  if (others == OpenToOthers::kNarrow) rights |= WRITE_DAC;
  // Opened as itself when it is a reparse point, so that it can be refused.
  HANDLE file = CreateFileW(Wide(path).c_str(), rights | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            how == How::kRead ? nullptr : access.get(),
                            how == How::kRead ? OPEN_EXISTING : OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (how == How::kRead && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
      throw PrivateFileError(PrivateFileError::kNotFound, "there is no " + what + " " + path);
    throw Failed("open", what, path, error);
  }
  try {
    Examine(file, path, what, access);
    if (others == OpenToOthers::kNarrow) {
      const DWORD error = SetSecurityInfo(
          file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
          nullptr, nullptr, access.acl(), nullptr);
      if (error != ERROR_SUCCESS) throw Failed("narrow to its owner", what, path, error);
    }
  } catch (...) {
    CloseHandle(file);
    throw;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
}

PrivateFile::~PrivateFile() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::string PrivateFile::ReadAll(std::size_t max_bytes) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  std::string text;
  char buffer[4096];
  for (uint64_t at = 0;;) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, &where)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      throw Failed("read", what_, path_, error);
    }
    if (got == 0) break;
    text.append(buffer, got);
    at += got;
    if (text.size() > max_bytes)
      throw PrivateFileError(PrivateFileError::kOther,
                             "the " + what_ + " " + path_ + " is far longer than it can be");
  }
  return text;
}

uint64_t PrivateFile::Size() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size))
    throw Failed("examine", what_, path_, GetLastError());
  return static_cast<uint64_t>(size.QuadPart);
}

std::size_t PrivateFile::ReadAt(uint64_t offset, char* buffer, std::size_t size) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD asked = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, asked, &got, &where)) {
    const DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return 0;
    throw Failed("read", what_, path_, error);
  }
  return got;
}

void PrivateFile::Append(std::string_view bytes) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  while (!bytes.empty()) {
    // FILE_APPEND_DATA alone among the write rights: every write goes to the end.
    DWORD wrote = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr))
      throw Failed("write", what_, path_, GetLastError());
    if (wrote == 0) throw Failed("write", what_, path_, ERROR_HANDLE_DISK_FULL);
    bytes.remove_prefix(wrote);
  }
  if (!FlushFileBuffers(file)) throw Failed("write", what_, path_, GetLastError());
}

void PrivateFile::Truncate(std::size_t size) {
  // The append handle cannot move its end: the file is opened once more.
  HANDLE file = CreateFileW(Wide(path_).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) throw Failed("cut", what_, path_, GetLastError());
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
                  FlushFileBuffers(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) throw Failed("cut", what_, path_, error);
}

bool PrivateFile::TryLock() {
  OVERLAPPED whole{};
  return LockFileEx(reinterpret_cast<HANDLE>(handle_),
                    LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole) != 0;
}

intptr_t PrivateFile::Release() {
  const intptr_t handle = handle_;
  handle_ = -1;
  return handle;
}

void MakePrivateFolders(const std::string& folder, const std::string& what) {
  OwnerOnly access;
  MakeFolders(folder, access, what);
}

std::optional<std::string> ReadPrivateFile(const std::string& path, const std::string& what,
                                           std::size_t max_bytes, OpenToOthers others) {
  try {
    PrivateFile file(path, what, PrivateFile::How::kRead, others);
    return file.ReadAll(max_bytes);
  } catch (const PrivateFileError& e) {
    if (e.kind() == PrivateFileError::kNotFound) return std::nullopt;
    throw;
  }
}

void CreatePrivateFile(const std::string& path, std::string_view text, const std::string& what,
                       const std::string& exists_message) {
  OwnerOnly access;
  MakeFolders(FolderOf(path), access, what);
  const std::wstring wide = Wide(path);
  // CREATE_NEW fails on any name that is there, a reparse point too.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, access.get(), CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
      throw PrivateFileError(PrivateFileError::kExists, exists_message);
    throw Failed("create", what, path, error);
  }
  bool ok = true;
  while (ok && !text.empty()) {
    DWORD wrote = 0;
    ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
         wrote > 0;
    if (ok) text.remove_prefix(wrote);
  }
  ok = ok && FlushFileBuffers(file);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (!ok) {
    // A half-written file would be refused at the next try as existing.
    DeleteFileW(wide.c_str());
    throw Failed("write", what, path, error == 0 ? ERROR_HANDLE_DISK_FULL : error);
  }
}

void ReplacePrivateFile(const std::string& path, std::string_view text, const std::string& what) {
  const std::string fresh = path + ".new";
  DeleteFileW(Wide(fresh).c_str());  // left by a write that died
  CreatePrivateFile(fresh, text, what,
                    "the " + what + "'s new file " + fresh + " could not be removed");
  if (!MoveFileExW(Wide(fresh).c_str(), Wide(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileW(Wide(fresh).c_str());
    throw Failed("replace", what, path, error);
  }
}

}  // namespace holvanter
