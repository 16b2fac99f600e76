// Env for Windows: the Win32 services behind the platform interface.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/env.h"
#include "platform/paths.h"
#include "platform/private_file.h"
#include "platform/system_message.h"

namespace holvanter {
namespace {

std::wstring Widen(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  // The ANSI code page holds fewer characters than UTF-16: those it lacks
  // become '?'. UTF-8 takes neither a default character nor its flag.
  const char* default_char = code_page == CP_UTF8 ? nullptr : "?";
  const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, default_char, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      default_char, nullptr);
  return text;
}

std::wstring FromUtf8(const std::string& utf8) { return Widen(utf8, CP_UTF8); }
std::string ToUtf8(const std::wstring& wide) { return Narrow(wide, CP_UTF8); }
// A path for the wide calls; a path that is not UTF-8 names no file.
std::wstring PathW(const std::string& utf8) { return WidePath(utf8).value_or(std::wstring()); }


class WindowsLibrary : public SharedLibrary {
 public:
  explicit WindowsLibrary(HMODULE module) : module_(module) {}
  ~WindowsLibrary() override { FreeLibrary(module_); }
  void* FindSymbol(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

class WindowsFileLock : public FileLock {
 public:
  explicit WindowsFileLock(HANDLE file) : file_(file) {}
  ~WindowsFileLock() override {
    OVERLAPPED whole{};
    UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file_);
  }

 private:
  HANDLE file_;
};

// A lock request on the open lock file `file`, which it owns until it hands
// the lock over: each look tries the lock without waiting.
class WindowsLockRequest : public FileLockRequest {
 public:
  explicit WindowsLockRequest(HANDLE file) : file_(file) {}
  ~WindowsLockRequest() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }

  std::unique_ptr<FileLock> Granted(std::string* error) override {
    if (file_ == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED whole{};
    if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole))
      return std::make_unique<WindowsFileLock>(std::exchange(file_, INVALID_HANDLE_VALUE));
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return nullptr;  // held elsewhere
    CloseHandle(std::exchange(file_, INVALID_HANDLE_VALUE));
    if (error != nullptr) *error = SystemMessage(code);
    return nullptr;
  }

 private:
  HANDLE file_;
};

class WindowsEnv : public Env {
 public:
  std::unique_ptr<SharedLibrary> LoadVendorLibrary(const std::string& stem) override {
    const std::wstring file = FromUtf8(stem) + L".dll";
    // The system's own search first (the host's folder, the system folders,
    // PATH), then the folder of the component, where the front desk keeps
    // the vendor libraries beside holvanter.dll.
    HMODULE module = LoadLibraryW(file.c_str());
    if (module == nullptr) {
      const std::wstring beside = PathW(ComponentFolder()) + L"\\" + file;
      module = LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (module == nullptr) return nullptr;
    return std::make_unique<WindowsLibrary>(module);
  }

  bool FileExists(const std::string& path) override {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(PathW(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    // A directory lookup for ordinary files: folders, hidden and system
    // files are not seen.
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                          FILE_ATTRIBUTE_SYSTEM)) == 0;
  }

  bool ReadFilePrefix(const std::string& path, std::size_t max_bytes,
                      std::string* contents) override {
    contents->clear();
    if (path.empty()) return false;
    // Others may go on reading and writing the file meanwhile: a desk reads
    // the header of a database that other desks hold open.
    HANDLE file = CreateFileW(PathW(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes(max_bytes, '\0');
    std::size_t got = 0;
    bool ok = true;
    while (got < max_bytes) {
      const std::size_t want = std::min<std::size_t>(max_bytes - got, 1u << 20);
      DWORD n = 0;
      if (!::ReadFile(file, bytes.data() + got, static_cast<DWORD>(want), &n, nullptr)) {
        ok = false;
        break;
      }
      if (n == 0) break;
      got += n;
    }
    CloseHandle(file);
    if (!ok) return false;
    bytes.resize(got);
    *contents = std::move(bytes);
    return true;
  }

  std::string ComponentFolder() override {
    // The module that holds this code is holvanter.dll, not the host's exe.
    static const int anchor = 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&anchor), &self)) {
      return ".";
    }
    std::wstring file(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(self, file.data(), static_cast<DWORD>(file.size()));
      if (n == 0) return ".";
      if (n < file.size()) {
        file.resize(n);
        break;
      }
      file.resize(file.size() * 2);  // cut short: try a larger buffer
    }
    const auto slash = file.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return ".";
    return ToUtf8(file.substr(0, slash));
  }

  const char* PathSeparator() const override { return "\\"; }

  std::size_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* default_value, char* buffer, std::size_t size,
                                      const std::string& file) override {
    if (buffer == nullptr || size == 0) return 0;
    const std::string ansi_file = ToAnsi(file);
    const DWORD capped = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    // windows.h makes this method's own name a macro for GetPrivateProfileStringA:
    // the system function must be named from the global scope.
    return ::GetPrivateProfileStringA(section, key,
                                      default_value != nullptr ? default_value : "", buffer,
                                      capped, ansi_file.c_str());
  }

  LocalTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  }

  std::string ToAnsi(const std::string& utf8) override {
    return Narrow(FromUtf8(utf8), CP_ACP);
  }

  std::string FromAnsi(const std::string& ansi) override {
    return ToUtf8(Widen(ansi, CP_ACP));
  }

  // Polled rather than blocking (Env::LockFile looks in short steps), so
  // that the wait has an end.
  std::unique_ptr<FileLockRequest> RequestFileLock(const std::string& path, LockFileMode mode,
                                                   std::string* error) override {
    std::string failure;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (mode == LockFileMode::kOwnerOnly) {
      file = reinterpret_cast<HANDLE>(OpenPrivateLockFile(path, &failure));
    } else {
      const std::wstring wide_path = PathW(path);
      const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      file = CreateFileW(wide_path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      // A lock needs no write access: an existing lock file in a folder
      // that is read-only for this desk still serves.
      const DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      if (code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT) {
        file = CreateFileW(wide_path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
      }
      if (file == INVALID_HANDLE_VALUE) failure = SystemMessage(code);
    }
    if (file == INVALID_HANDLE_VALUE) {
      if (error != nullptr) *error = failure;
      return nullptr;
    }
    return std::make_unique<WindowsLockRequest>(file);
  }

  bool AppendLine(const std::string& path, const std::string& line, const std::string& first_line,
                  uint64_t* end, std::string* error) override {
    auto fail = [error](DWORD code) {
      if (error != nullptr) *error = SystemMessage(code);
      return false;
    };
    if (line.size() + first_line.size() > MAXDWORD) return fail(ERROR_INVALID_PARAMETER);
    // FILE_APPEND_DATA alone: every write goes to the end, whoever else
    // appends. FILE_FLAG_OPEN_REPARSE_POINT opens a link planted at the
    // path itself rather than its target, so that it can be refused. A new
    // file takes the rights its folder hands down.
    HANDLE file = CreateFileW(PathW(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
    const bool made = GetLastError() != ERROR_ALREADY_EXISTS;  // OPEN_ALWAYS says which
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
      const DWORD code = GetLastError();
      CloseHandle(file);
      return fail(code);
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        GetFileType(file) != FILE_TYPE_DISK) {
      CloseHandle(file);
      return fail(ERROR_CANT_ACCESS_FILE);
    }
    const std::string text = made ? first_line + line : line;
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD code = wrote ? 0 : GetLastError();
    LARGE_INTEGER size{};
    const bool sized = wrote && GetFileSizeEx(file, &size);
    CloseHandle(file);
    if (!wrote) return fail(code);
    if (written != text.size()) return fail(ERROR_HANDLE_DISK_FULL);
    if (end != nullptr) *end = sized ? static_cast<uint64_t>(size.QuadPart) : 0;
    return true;
  }

  bool RenameFile(const std::string& from, const std::string& to, std::string* error) override {
    // MoveFileExW renames a reparse point itself. A file another process
    // holds open (the log, appended to with FILE_SHARE_DELETE) may move.
    if (MoveFileExW(PathW(from).c_str(), PathW(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (error != nullptr) *error = SystemMessage(GetLastError());
    return false;
  }
};

}  // namespace

std::optional<std::wstring> WidePath(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Utf8Text(std::wstring_view wide) { return ToUtf8(std::wstring(wide)); }

std::wstring WideText(std::string_view utf8) { return FromUtf8(std::string(utf8)); }

std::string EnvironmentVariable(const char* name) {
  const std::wstring wide_name = FromUtf8(name);
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return std::string();
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  if (n == 0 || n >= size) return std::string();
  value.resize(n);
  return ToUtf8(value);
}

std::string SystemMessage(unsigned long error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                              message.back() == L' ' || message.back() == L'.'))
    message.pop_back();
  return message.empty() ? "Windows error " + std::to_string(error) : ToUtf8(message);
}

Env* Env::Default() {
  static WindowsEnv* env = new WindowsEnv;  // lives for the process
  return env;
}

}  // namespace holvanter
