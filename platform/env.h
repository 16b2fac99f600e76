// The few operating-system services the component needs, behind one narrow
// interface. The core never includes an operating-system header: it asks
// Env::Default(). env_posix.cc serves Linux, env_windows.cc serves Windows;
// env.cc holds what both share.
#ifndef HOLVANTER_PLATFORM_ENV_H_
#define HOLVANTER_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace holvanter {

// A loaded dynamic library. Stays loaded while the object lives.
class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  // The address of an exported function, or nullptr when it is not exported.
  virtual void* FindSymbol(const char* name) = 0;
};

// An exclusive lock on a file, held until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// How a wait for a file lock ended: with `lock` held, or without it, and why.
struct FileLockResult {
  std::unique_ptr<FileLock> lock;
  bool timed_out = false;  // another holder kept the lock for the whole wait
  std::string error;       // the system's reason when the file could not be opened or locked
};

// A request for an exclusive lock on a file (Env::RequestFileLock), queued
// with the system behind the present holder. Ending the request gives the
// lock back: at once when it was granted and not handed over, or whenever
// the system grants it later.
class FileLockRequest {
 public:
  virtual ~FileLockRequest() = default;
  // Never waits. The lock once the system has granted it, handed over for
  // good; nullptr while another holder keeps it, or, with the system's
  // reason in `error`, when the request failed. A request that handed its
  // lock over or failed gives nothing more.
  virtual std::unique_ptr<FileLock> Granted(std::string* error) = 0;
};

// Who may reach a lock file that LockFile makes.
enum class LockFileMode {
  // The desks that share a database: a lock file "X.lock" beside a file X
  // gets X's permissions and group, so that every user who may write X may
  // take the lock too.
  kShared,
  // A host's own state (the desks registry): the lock file is its owner's
  // alone, opened as the hosts' state files are (platform/private_file.h:
  // no link followed, owner and mode checked on the open file, folders
  // made 0700; on Windows an access list of the owner's).
  kOwnerOnly,
};

// Local wall-clock time, to the second.
struct LocalTime {
  int year = 0;    // four figures
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
};

class Env {
 public:
  virtual ~Env() = default;

  // The Env of this operating system; never null, lives for the process.
  static Env* Default();

  // Loads a vendor library by its stem: "lyComm" is liblyComm.so on Linux
  // (found by the dynamic loader's own search, then in ComponentFolder())
  // and lyComm.dll on Windows. Returns nullptr when it cannot be loaded.
  virtual std::unique_ptr<SharedLibrary> LoadVendorLibrary(const std::string& stem) = 0;

  // True when an ordinary file exists at `path` (not a folder; on Windows
  // neither hidden nor a system file). `path` is UTF-8.
  virtual bool FileExists(const std::string& path) = 0;

  // The first `max_bytes` bytes of the file at `path` (UTF-8), all of it
  // when it is shorter, in `contents`. False, with `contents` empty, when
  // the file cannot be opened or read.
  virtual bool ReadFilePrefix(const std::string& path, std::size_t max_bytes,
                              std::string* contents) = 0;

  // The folder of the component's own file (libholvanter.so or
  // holvanter.dll), UTF-8, without a trailing separator.
  virtual std::string ComponentFolder() = 0;

  // The folder that holds the settings file Tavoper.ini: the component's
  // folder. On Linux, HOLVANTER_SETTINGS_FOLDER names another one when set
  // and not empty, so that a test or a developer gives every command and
  // program started from it a settings file of its own; a hotel sets it
  // nowhere.
  virtual std::string SettingsFolder() { return ComponentFolder(); }

  // The folder separator of this system: "/" or "\\".
  virtual const char* PathSeparator() const = 0;

  // GetPrivateProfileStringA: copies the value of `key` in `section` of the
  // settings file (or `default_value` when absent) into `buffer`, at most
  // size - 1 bytes plus a zero byte; returns the bytes copied without the
  // zero. Names and values are in the ANSI code page; `file` is UTF-8.
  virtual std::size_t GetPrivateProfileString(const char* section, const char* key,
                                              const char* default_value, char* buffer,
                                              std::size_t size, const std::string& file) = 0;

  // The present local date and time.
  virtual LocalTime Now() = 0;

  // Text to and from the system's ANSI code page (Windows: the active code
  // page; Linux: the locale's character set). Characters that the code page
  // cannot hold become '?'.
  virtual std::string ToAnsi(const std::string& utf8) = 0;
  virtual std::string FromAnsi(const std::string& ansi) = 0;

  // A point on a clock that only goes forward, in microseconds from an
  // unspecified start: what the component's waits measure their limits by,
  // unmoved by changes to the wall-clock time. The system's steady clock,
  // the same on every system, unless an Env over it says otherwise.
  virtual uint64_t NowMicros();

  // Waits `micros` microseconds (nothing when not above 0), as NowMicros
  // counts them: every wait of the component sleeps here, so that an Env
  // over this one keeps the time of them all.
  virtual void SleepForMicroseconds(int micros);

  // Asks for an exclusive lock on the file at `path` (created when missing)
  // without waiting for it. A holder that dies, in this or another process,
  // gives the lock up with it. Who may reach a lock file made here: as
  // `mode` says. nullptr, with the system's reason in `error`, when the
  // file cannot be opened or locked.
  virtual std::unique_ptr<FileLockRequest> RequestFileLock(const std::string& path,
                                                           LockFileMode mode,
                                                           std::string* error) = 0;

  // Takes an exclusive lock on the file at `path` (created when missing),
  // waiting at most `wait_ms` milliseconds for other holders, in this or
  // another process. A holder that dies gives the lock up with it. Who may
  // reach a lock file made here: as `mode` says. The request is this Env's
  // RequestFileLock, and the wait is measured and slept on this Env's clock
  // (NowMicros, SleepForMicroseconds): an Env over the system's keeps its
  // time.
  FileLockResult LockFile(const std::string& path, int wait_ms, LockFileMode mode);

  // Appends `line` to the file at `path` (UTF-8) in one write, so that
  // desks sharing the file never mix their lines. The file is created when
  // missing, with the group and the read and write permissions of its
  // folder (on Windows the folder's inherited rights), so that every desk
  // user who may write the folder may write the file; a file made here
  // starts with `first_line`, in the same write. A link at `path`
  // (symbolic link, reparse point) or anything but an ordinary file there
  // is refused and left as it is. `end`, when given, is where the line
  // ends in the file: on POSIX exactly, what this write left, whatever
  // other processes append; on Windows the file's size just after the
  // write, which may count a line another process wrote in that instant.
  // False, with the system's reason in `error` when given, when the line
  // was not appended.
  virtual bool AppendLine(const std::string& path, const std::string& line,
                          const std::string& first_line, uint64_t* end, std::string* error) = 0;

  // Renames the file `from` to `to` (UTF-8) in one step, in place of a
  // file there; a link at `from` is renamed itself, never followed. False,
  // with the system's reason in `error` when given, when it was not.
  virtual bool RenameFile(const std::string& from, const std::string& to, std::string* error) = 0;
};

// An Env that hands every call on to another one. A subclass overrides the
// few services it changes: a test places the settings file in a folder of
// its own, or makes one service fail, and leaves the rest to the system.
class EnvWrapper : public Env {
 public:
  // `target` must outlive the wrapper.
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::unique_ptr<SharedLibrary> LoadVendorLibrary(const std::string& stem) override {
    return target_->LoadVendorLibrary(stem);
  }
  bool FileExists(const std::string& path) override { return target_->FileExists(path); }
  bool ReadFilePrefix(const std::string& path, std::size_t max_bytes,
                      std::string* contents) override {
    return target_->ReadFilePrefix(path, max_bytes, contents);
  }
  std::string ComponentFolder() override { return target_->ComponentFolder(); }
  std::string SettingsFolder() override { return target_->SettingsFolder(); }
  const char* PathSeparator() const override { return target_->PathSeparator(); }
  std::size_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* default_value, char* buffer, std::size_t size,
                                      const std::string& file) override {
    return target_->GetPrivateProfileString(section, key, default_value, buffer, size, file);
  }
  LocalTime Now() override { return target_->Now(); }
  std::string ToAnsi(const std::string& utf8) override { return target_->ToAnsi(utf8); }
  std::string FromAnsi(const std::string& ansi) override { return target_->FromAnsi(ansi); }
  uint64_t NowMicros() override { return target_->NowMicros(); }
  void SleepForMicroseconds(int micros) override { target_->SleepForMicroseconds(micros); }
  std::unique_ptr<FileLockRequest> RequestFileLock(const std::string& path, LockFileMode mode,
                                                   std::string* error) override {
    return target_->RequestFileLock(path, mode, error);
  }
  bool AppendLine(const std::string& path, const std::string& line, const std::string& first_line,
                  uint64_t* end, std::string* error) override {
    return target_->AppendLine(path, line, first_line, end, error);
  }
  bool RenameFile(const std::string& from, const std::string& to, std::string* error) override {
    return target_->RenameFile(from, to, error);
  }

 private:
  Env* target_;
};

}  // namespace holvanter

#endif  // HOLVANTER_PLATFORM_ENV_H_
