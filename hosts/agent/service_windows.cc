// tavocard service on Windows: the agent as a service of the Service
// Control Manager, in tavocard.exe itself. `service install` registers
// "tavocard.exe service run [--config FILE]" to start at boot as LocalSystem
// and to be restarted after a failure; `service run` is the entry the
// manager starts: it runs `serve` with that settings file, says RUNNING once
// the agent listens, and stops it as SIGTERM does on a stop or at shutdown.
// Start, stop and failure go to the Windows event log.
#include "hosts/agent/service.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cwctype>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hosts/agent/agent.h"
#include "hosts/agent/service_messages.h"  // made by windmc from service_messages.mc
#include "hosts/agent/token.h"
#include "hosts/clock/clock.h"
#include "hosts/frontdesk/frontdesk.h"
#include "platform/paths.h"
#include "platform/system_message.h"

namespace agent {
namespace {

using holvanter::SystemMessage;

namespace fs = std::filesystem;

constexpr char kDefaultName[] = "HolvanterAgent";
constexpr wchar_t kDisplayName[] = L"Holvanter front-desk agent";
constexpr wchar_t kDescription[] =
    L"The front-desk agent of Holvanter TavoCard: the local HTTP service of the PMS page and "
    L"the clerk's page, and the PMS key link (tavocard serve).";
// The state folder: SYSTEM and Administrators alone, for every file made in
// it, protected from what ProgramData lets every user do.
constexpr wchar_t kStateFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// The agent stops within this: the card being written is finished, the key
// link says LE, waiting requests get 503.
constexpr DWORD kStopHintMs = 10000;
// The agent listens within this: the encoder is probed, the database asked.
constexpr DWORD kStartHintMs = 30000;
// A log larger than this is moved aside (one older log kept) at a start.
constexpr std::uintmax_t kLogLimit = 8u << 20;

using frontdesk::CommandFailure;
using frontdesk::CommandResult;
using frontdesk::kExitDone;
using frontdesk::kExitFailedCall;
using frontdesk::kExitRefused;
using frontdesk::kExitUsage;

// A step's refusal or failure is its answer (std::optional<CommandFailure>:
// nothing when it did its work); the command's edge (Answer, ServiceMain)
// alone prints it and ends with its exit status.
using Failure = std::optional<CommandFailure>;

// `error`: the call's GetLastError(), taken before anything else can change it.
CommandFailure Failed(const std::string& doing, DWORD error = GetLastError()) {
  if (error == ERROR_ACCESS_DENIED)
    return {kExitFailedCall, "cannot " + doing + ": access denied (run it from a command prompt "
                             "opened as administrator)"};
  return {kExitFailedCall, "cannot " + doing + ": " + SystemMessage(error)};
}

// The command line's words and the console are in the system's ANSI code
// page; the product's own text and paths are UTF-8 (platform/paths.h).
std::wstring Wide(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT code_page) {
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(n, 0)), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

// A name the manager and the event log both take: no path separators, no
// blanks to quote on a command line.
Failure CheckName(const std::string& name) {
  const bool usable =
      !name.empty() && name.size() <= 80 &&
      std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
      });
  if (!usable)
    return CommandFailure{kExitUsage, "'" + name + "' cannot be a service name: letters, digits, "
                                      "'-', '_' and '.', at most 80"};
  return std::nullopt;
}

class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

CommandResult<std::wstring> ProgramData() {
  PWSTR path = nullptr;
  const HRESULT got = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path);
  std::wstring folder = SUCCEEDED(got) && path != nullptr ? std::wstring(path) : std::wstring();
  CoTaskMemFree(path);
  if (folder.empty()) return Failed("find the ProgramData folder", static_cast<DWORD>(got));
  return folder;
}

// %ProgramData%\Holvanter\NAME: the service's token, key link key and
// journal, desks registry and log. The hotel's own files (the settings
// file, an SQLite database) lie in %ProgramData%\Holvanter, which the desk's
// users may need to reach; this folder is SYSTEM's and Administrators'.
CommandResult<std::wstring> StateFolder(const std::string& name) {
  CommandResult<std::wstring> data = ProgramData();
  if (!data.ok()) return data;
  return *data + L"\\Holvanter\\" + holvanter::WideText(name);
}

// Makes the state folder, or narrows an existing one, to SYSTEM and
// Administrators; the entries are inherited by everything made in it.
Failure MakeStateFolder(const std::wstring& folder) {
  const std::wstring parent = fs::path(folder).parent_path().wstring();
  if (!CreateDirectoryW(parent.c_str(), nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS)
      return Failed("make the folder " + holvanter::Utf8Text(parent), error);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStateFolderAccess, SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return Failed("make the state folder's access list");
  std::unique_ptr<void, decltype(&LocalFree)> owned(descriptor, &LocalFree);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (CreateDirectoryW(folder.c_str(), &attributes)) return std::nullopt;
  if (const DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS)
    return Failed("make the folder " + holvanter::Utf8Text(folder), error);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  std::wstring path = folder;
  const DWORD error = SetNamedSecurityInfoW(
      path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (error != ERROR_SUCCESS)
    return Failed("narrow the folder " + holvanter::Utf8Text(folder), error);
  return std::nullopt;
}

std::wstring EventSourceKey(const std::string& name) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         holvanter::WideText(name);
}

CommandResult<std::wstring> ThisProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return Failed("find tavocard.exe's own path");
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The service's state as the manager reports it.
CommandResult<DWORD> StateOf(SC_HANDLE service, SERVICE_STATUS_PROCESS* out = nullptr) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed))
    return Failed("ask for the service's state");
  if (out != nullptr) *out = status;
  return status.dwCurrentState;
}

// Waits while the service is in `passing` (a pending state), for at most
// `limit`; the state it reached.
CommandResult<DWORD> WaitWhile(SC_HANDLE service, DWORD passing, std::chrono::seconds limit,
                               SERVICE_STATUS_PROCESS* out = nullptr) {
  const auto deadline = hosts::Clock::System().Steady() + limit;
  CommandResult<DWORD> state = StateOf(service, out);
  while (state.ok() && *state == passing && hosts::Clock::System().Steady() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state = StateOf(service, out);
  }
  return state;
}

CommandResult<Handle> OpenManager(DWORD access) {
  Handle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (manager.get() == nullptr) return Failed("open the Service Control Manager");
  return manager;
}

// The service NAME, which must be an agent's: `remove` never deletes a
// service that this command did not install.
CommandResult<Handle> OpenAgentService(SC_HANDLE manager, const std::string& name, DWORD access) {
  Handle service(
      OpenServiceW(manager, holvanter::WideText(name).c_str(), access | SERVICE_QUERY_CONFIG));
  if (service.get() == nullptr) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
      return CommandFailure{kExitRefused, "there is no service named " + name};
    return Failed("open the service " + name);
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<DWORD> buffer(needed / sizeof(DWORD) + 1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                           &needed))
    return Failed("read the service's settings");
  const std::wstring runs = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
  std::wstring command = runs;
  std::transform(command.begin(), command.end(), command.begin(), ::towlower);
  if (command.find(L"tavocard.exe\" service run") == std::wstring::npos)
    return CommandFailure{kExitRefused, "the service " + name + " is not a Holvanter agent (it runs " +
                                            holvanter::Utf8Text(runs) + "); it is left alone"};
  return service;
}

// Starts the service and waits until it runs; a service that stops instead
// is a failure that names its exit status and where to read why.
Failure StartAndWait(SC_HANDLE service, const std::string& name) {
  if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return Failed("start the service " + name);
  SERVICE_STATUS_PROCESS status{};
  CommandResult<DWORD> state = WaitWhile(
      service, SERVICE_START_PENDING, std::chrono::seconds(kStartHintMs / 1000 + 5), &status);
  if (!state.ok()) return state.failure();
  const DWORD reached = *state;
  if (reached == SERVICE_RUNNING) return std::nullopt;
  CommandResult<std::wstring> folder = StateFolder(name);
  if (!folder.ok()) return folder.failure();
  const DWORD exit_status = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                                ? status.dwServiceSpecificExitCode
                                : status.dwWin32ExitCode;
  return CommandFailure{kExitFailedCall,
                        "the service " + name + " did not start (" +
                            (reached == SERVICE_START_PENDING
                                 ? std::string("still starting")
                                 : "exit status " + std::to_string(exit_status)) +
                            "); see " + holvanter::Utf8Text(*folder) +
                            "\\agent.log and the Application event log"};
}

// Stops the service and waits until it has stopped.
Failure StopAndWait(SC_HANDLE service, const std::string& name) {
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
    return Failed("stop the service " + name);
  CommandResult<DWORD> state =
      WaitWhile(service, SERVICE_STOP_PENDING, std::chrono::seconds(kStopHintMs / 1000 + 20));
  if (!state.ok()) return state.failure();
  if (*state != SERVICE_STOPPED)
    return CommandFailure{kExitFailedCall, "the service " + name + " did not stop within " +
                                               std::to_string(kStopHintMs / 1000 + 20) + " s"};
  return std::nullopt;
}

// What makes an installed service whole: its description, its restarts, its
// event source and its state folder.
Failure CompleteService(SC_HANDLE service, const std::string& name, const std::wstring& program,
                        const std::wstring& state_folder) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
    return Failed("describe the service");
  // Restarted 5 s after a failure, then after 30 s, then every minute; a
  // day without failures starts the count again.
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000},
                         {SC_ACTION_RESTART, 30000},
                         {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return Failed("set the service's restart after a failure");
  // A stop with an exit status other than 0 (a settings file that is
  // wrong, a port in use) is a failure too, not only a crash.
  // (Windows knows this setting since Vista; a manager that does not, as
  // Wine's, restarts after a crash alone.)
  SERVICE_FAILURE_ACTIONS_FLAG on_exit_status{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_status)) {
    if (GetLastError() != ERROR_INVALID_LEVEL)
      return Failed("set the service's restart after a failure");
    std::cout << "note: this system's Service Control Manager restarts the service after a "
                 "crash, not after a failed start\n";
  }
  HKEY key = nullptr;
  LSTATUS made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str(), 0, nullptr, 0,
                                 KEY_SET_VALUE, nullptr, &key, nullptr);
  if (made == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    made = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(program.c_str()),
                          static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    if (made == ERROR_SUCCESS)
      made = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
  }
  if (made != ERROR_SUCCESS)
    return Failed("register the service's event source", static_cast<DWORD>(made));
  // The folder is there before the first start: IT can put the key link's
  // key in it.
  return MakeStateFolder(state_folder);
}

Failure Install(const std::string& name, const std::string& config, bool start) {
  if (Failure refused = CheckName(name)) return refused;
  CommandResult<std::wstring> program = ThisProgram();
  if (!program.ok()) return program.failure();
  CommandResult<std::wstring> state_folder = StateFolder(name);
  if (!state_folder.ok()) return state_folder.failure();
  std::wstring command = L"\"" + *program + L"\" service run";
  std::wstring settings;
  if (!config.empty()) {
    // The manager starts the service in the system folder: the path is made
    // whole here.
    std::error_code error;
    settings = fs::absolute(fs::path(Wide(config, CP_ACP)), error).wstring();
    if (error || !fs::is_regular_file(settings, error))
      return CommandFailure{kExitUsage, "the settings file " + config + " is not there"};
    command += L" --config \"" + settings + L"\"";
  }
  const std::wstring wide_name = holvanter::WideText(name);
  // Display names are unique too: a second agent's carries its name.
  const std::wstring display =
      name == kDefaultName ? std::wstring(kDisplayName)
                           : std::wstring(kDisplayName) + L" (" + wide_name + L")";
  CommandResult<Handle> manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager.ok()) return manager.failure();
  const Handle service(CreateServiceW(manager->get(), wide_name.c_str(), display.c_str(),
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                      nullptr, nullptr, nullptr, nullptr /* LocalSystem */,
                                      nullptr));
  if (service.get() == nullptr) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS)
      return CommandFailure{kExitRefused, "a service named " + name + " exists already (tavocard "
                                          "service remove --name " + name + " removes it)"};
    if (error == ERROR_DUPLICATE_SERVICE_NAME)
      return CommandFailure{kExitRefused,
                            "another service is shown as \"" + holvanter::Utf8Text(display) + "\""};
    return Failed("install the service " + name, error);
  }
  // Everything or nothing: a half-installed service is taken away.
  if (Failure failed = CompleteService(service.get(), name, *program, *state_folder)) {
    DeleteService(service.get());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str());
    return failed;
  }
  std::cout << "service " << name << " installed: \"" << holvanter::Utf8Text(display)
            << "\", started at boot as LocalSystem and restarted after a failure; it runs "
            << "tavocard serve" << (config.empty() ? "" : " --config " + Narrow(settings, CP_ACP))
            << "\nits state (token, key link key and journal, desks registry) and its log: "
            << Narrow(*state_folder, CP_ACP) << "\n";
  if (start) {
    if (Failure failed = StartAndWait(service.get(), name)) return failed;
    std::cout << "service " << name << " running\n";
  }
  return std::nullopt;
}

Failure Remove(const std::string& name) {
  if (Failure refused = CheckName(name)) return refused;
  CommandResult<std::wstring> state_folder = StateFolder(name);
  if (!state_folder.ok()) return state_folder.failure();
  CommandResult<Handle> manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager.ok()) return manager.failure();
  CommandResult<Handle> service =
      OpenAgentService(manager->get(), name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service.ok()) return service.failure();
  CommandResult<DWORD> state = StateOf(service->get());
  if (!state.ok()) return state.failure();
  if (*state != SERVICE_STOPPED) {
    if (Failure failed = StopAndWait(service->get(), name)) return failed;
  }
  if (!DeleteService(service->get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    return Failed("remove the service " + name);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(name).c_str());
  std::cout << "service " << name << " removed; its state folder "
            << Narrow(*state_folder, CP_ACP)
            << " is kept (the token, the key link's key and journal)\n";
  return std::nullopt;
}

Failure StartOrStop(const std::string& name, bool start) {
  if (Failure refused = CheckName(name)) return refused;
  CommandResult<Handle> manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager.ok()) return manager.failure();
  CommandResult<Handle> service = OpenAgentService(
      manager->get(), name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service.ok()) return service.failure();
  if (Failure failed = start ? StartAndWait(service->get(), name) : StopAndWait(service->get(), name))
    return failed;
  std::cout << "service " << name << (start ? " running\n" : " stopped\n");
  return std::nullopt;
}

// ---------------------------------------------------------------- the service

// The standard error stream's text goes on to the log and its last line is
// kept: the event of a failure says why in the agent's own words.
class LastLine : public std::streambuf {
 public:
  explicit LastLine(std::streambuf* next) : next_(next) {}
  std::string last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_.empty() ? last_ : line_;
  }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return sync() == 0 ? traits_type::not_eof(c) : c;
    const char ch = static_cast<char>(c);
    Keep(&ch, 1);
    return next_->sputc(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    Keep(s, n);
    return next_->sputn(s, n);
  }
  int sync() override { return next_->pubsync(); }

 private:
  void Keep(const char* s, std::streamsize n) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::streamsize i = 0; i < n; ++i) {
      if (s[i] == '\n') {
        if (!line_.empty()) last_ = std::move(line_);
        line_.clear();
      } else if (s[i] != '\r' && line_.size() < 1000) {
        line_ += s[i];
      }
    }
  }
  std::streambuf* next_;
  std::mutex mutex_;
  std::string line_, last_;
};

struct Service {
  std::mutex mutex;  // status
  std::wstring name;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  HANDLE events = nullptr;
  std::string config;  // the settings file, as the command line gave it
  std::atomic<bool> stop_asked{false};
};

Service& TheService() {
  static Service service;
  return service;
}

void Report(DWORD state, DWORD exit_status = NO_ERROR, DWORD wait_hint = 0) {
  Service& service = TheService();
  std::lock_guard<std::mutex> lock(service.mutex);
  SERVICE_STATUS& status = service.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_status == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exit_status;
  status.dwWaitHint = wait_hint;
  status.dwCheckPoint =
      state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? status.dwCheckPoint + 1
                                                                        : 0;
  SetServiceStatus(service.handle, &status);
}

// One line in the log and one event in the Application event log.
void Event(WORD type, DWORD id, const std::string& text) {
  std::cout << hosts::UtcTimeText(hosts::Clock::System()) << " service: " << text << std::endl;
  Service& service = TheService();
  if (service.events == nullptr) return;
  const std::wstring wide = holvanter::WideText(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(service.events, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      TheService().stop_asked = true;
      Report(SERVICE_STOP_PENDING, NO_ERROR, kStopHintMs);
      StopServing(control == SERVICE_CONTROL_STOP ? "a stop from the Service Control Manager"
                                                  : "the system's shutdown");
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// A stream's text appended to a file, flushed at each flush of the stream
// (the agent's log lines end with one).
class FileOut : public std::streambuf {
 public:
  explicit FileOut(FILE* file) : file_(file) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<std::size_t>(n), file_));
  }
  int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

 private:
  FILE* file_;
};

// The log: %ProgramData%\Holvanter\NAME\agent.log, where both output streams
// go (a service has no console); one older log is kept as agent.log.1.
// Null when it cannot be opened: the event log still says what happens.
FILE* OpenLog(const std::wstring& folder) {
  const std::wstring log = folder + L"\\agent.log";
  std::error_code error;
  if (fs::file_size(log, error) > kLogLimit && !error)
    MoveFileExW(log.c_str(), (log + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  return _wfopen(log.c_str(), L"a");
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  Service& service = TheService();
  if (argc > 0 && argv[0] != nullptr) service.name = argv[0];
  service.handle = RegisterServiceCtrlHandlerExW(service.name.c_str(), Control, nullptr);
  if (service.handle == nullptr) return;
  Report(SERVICE_START_PENDING, NO_ERROR, kStartHintMs);
  service.events = RegisterEventSourceW(nullptr, service.name.c_str());
  const std::string name = holvanter::Utf8Text(service.name);
  CommandResult<std::wstring> state_folder = StateFolder(name);
  Failure failed = state_folder.ok() ? MakeStateFolder(*state_folder) : state_folder.failure();
  if (failed) {
    Event(EVENTLOG_ERROR_TYPE, MSG_AGENT_FAILED,
          "The Holvanter front-desk agent did not start: " + failed->message);
    Report(SERVICE_STOPPED, static_cast<DWORD>(failed->exit_status));
    return;
  }
  const std::wstring folder = *state_folder;
  FILE* const log = OpenLog(folder);
  FileOut to_log(log);
  std::streambuf* const out = std::cout.rdbuf();
  if (log != nullptr) std::cout.rdbuf(&to_log);
  LastLine errors(log != nullptr ? &to_log : std::cerr.rdbuf());
  std::streambuf* const console = std::cerr.rdbuf(&errors);
  SetStateFolder(holvanter::Utf8Text(folder));
  SetListeningHook([&service](const std::string& where) {
    Report(SERVICE_RUNNING);
    Event(EVENTLOG_INFORMATION_TYPE, MSG_AGENT_STARTED,
          "The Holvanter front-desk agent started: it answers on " + where +
              (service.config.empty() ? std::string(" (no settings file)")
                                      : " (settings " + service.config + ")"));
  });
  // The agent's own command, as `tavocard serve --config FILE` would run.
  CLI::App app;
  AddAgentCommands(app);
  std::vector<std::string> args{"serve"};
  if (!service.config.empty()) args.insert(args.end(), {"--config", service.config});
  std::reverse(args.begin(), args.end());
  int status = kExitDone;
  try {
    app.parse(args);
  } catch (const CLI::RuntimeError& e) {
    status = e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    std::cerr << "tavocard serve: " << e.what() << "\n";
    status = kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "tavocard serve: " << e.what() << "\n";
    status = kExitFailedCall;
  }
  std::cerr.rdbuf(console);
  if (status == kExitDone) {
    Event(EVENTLOG_INFORMATION_TYPE, MSG_AGENT_STOPPED, "The Holvanter front-desk agent stopped");
  } else {
    // Reported as a failure: the manager starts it again (install sets that).
    Event(EVENTLOG_ERROR_TYPE, MSG_AGENT_FAILED,
          "The Holvanter front-desk agent failed (exit status " + std::to_string(status) +
              "): " + errors.last() + "; its log: " + holvanter::Utf8Text(folder) + "\\agent.log");
  }
  // The last word is the stop: the manager may end the process after it.
  std::cout.flush();
  std::cout.rdbuf(out);
  if (log != nullptr) std::fclose(log);
  if (service.events != nullptr) DeregisterEventSource(service.events);
  Report(SERVICE_STOPPED, static_cast<DWORD>(status));
}

Failure Run(const std::string& config) {
  TheService().config = config;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return std::nullopt;
  if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
    return CommandFailure{kExitUsage,
                          "service run is the entry that the Service Control Manager starts; "
                          "tavocard service install registers it, and tavocard serve runs the "
                          "agent in this window"};
  return Failed("reach the Service Control Manager");
}

struct Request {
  std::string name = kDefaultName;
  std::string config;
  bool start = false;
};

// The command's edge: a refusal or failure of its steps is said and ends
// the command with its exit status.
void Answer(const Failure& failed) {
  if (!failed) return;
  std::cerr << "tavocard service: " << failed->message << "\n";
  throw CLI::RuntimeError(failed->exit_status);
}

}  // namespace

void AddServiceCommand(CLI::App& app) {
  CLI::App* service = app.add_subcommand(
      "service",
      "the agent as a Windows service, started at boot with nobody logged on, restarted after a "
      "failure, stopped cleanly at shutdown; from a command prompt opened as administrator");
  service->require_subcommand(1);
  auto request = std::make_shared<Request>();
  const auto name_option = [request](CLI::App* command) {
    command->add_option("--name", request->name, "the service's name")->capture_default_str();
  };
  CLI::App* install = service->add_subcommand(
      "install",
      "install the service: it runs tavocard serve with the settings file, as LocalSystem, and "
      "keeps its state (token, key link key and journal, desks registry) and its log in "
      "%ProgramData%\\Holvanter\\NAME, which SYSTEM and Administrators alone may read");
  install->add_option("--config", request->config,
                      "the settings file whose [serve] section the service runs with");
  name_option(install);
  install->add_flag("--start", request->start, "start it at once and wait until it answers");
  install->callback([request] { Answer(Install(request->name, request->config, request->start)); });

  CLI::App* remove = service->add_subcommand(
      "remove", "stop and remove the service; its state folder is kept");
  name_option(remove);
  remove->callback([request] { Answer(Remove(request->name)); });

  CLI::App* start = service->add_subcommand("start", "start the service and wait until it answers");
  name_option(start);
  start->callback([request] { Answer(StartOrStop(request->name, true)); });

  CLI::App* stop = service->add_subcommand(
      "stop", "stop the service: the card being written is finished, the key link ends with LE");
  name_option(stop);
  stop->callback([request] { Answer(StartOrStop(request->name, false)); });

  CLI::App* run = service->add_subcommand(
      "run", "the service's own entry, which the Service Control Manager starts");
  run->add_option("--config", request->config, "the settings file");
  run->callback([request] { Answer(Run(request->config)); });
}

}  // namespace agent
