// Env for Linux and other POSIX systems.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <link.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/env.h"
#include "platform/paths.h"
#include "platform/private_file.h"
#include "platform/profile_reader.h"

namespace holvanter {
namespace {

class PosixLibrary : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { dlclose(handle_); }
  void* FindSymbol(const char* name) override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

// A file just created through `fd` takes the read and write permissions and
// the group of `model`, whatever the creating user's umask: the desk users
// who may write the model may write the new file too. Nothing changes when
// the model cannot be read.
void ShareLike(int fd, const std::string& model_path) {
  struct stat model {};
  if (stat(model_path.c_str(), &model) != 0) return;
  if (fchown(fd, static_cast<uid_t>(-1), model.st_gid) != 0) {
    // Not a member of that group: the permissions still say who may use it.
  }
  fchmod(fd, model.st_mode & 0666);
}

// A new lock file "X.lock" is shared like X: the desk users who may write
// the database share its turn.
void ShareLikeGuardedFile(int fd, const std::string& lock_path) {
  constexpr std::string_view kSuffix = ".lock";
  if (lock_path.size() <= kSuffix.size() ||
      lock_path.compare(lock_path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return;
  ShareLike(fd, lock_path.substr(0, lock_path.size() - kSuffix.size()));
}

// The folder that holds `path`.
std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { close(fd_); }  // closing the descriptor releases the lock

 private:
  int fd_;
};

// A lock request blocking in a thread of its own, and what became of it.
struct PendingLock {
  std::mutex mutex;
  bool done = false;       // the request ended, `error` 0 when it got the lock
  bool abandoned = false;  // the waiter stopped waiting
  int error = 0;
};

// A lock request on the open lock file `fd`, which it owns until it hands
// the lock over. Held elsewhere, the request blocks in a thread of its own,
// so that the kernel hands the lock on as soon as it is given back (polling
// would let busier desks starve a waiting one), while the waiter only looks
// whether it came. A request given up on gives the lock back whenever it
// comes.
class PosixLockRequest : public FileLockRequest {
 public:
  // `pending`: the blocking request for `fd`; nullptr when the lock was
  // granted at once.
  PosixLockRequest(int fd, std::shared_ptr<PendingLock> pending)
      : fd_(fd), pending_(std::move(pending)) {}
  ~PosixLockRequest() override {
    if (fd_ < 0) return;  // handed over, or closed on failure
    if (pending_ != nullptr) {
      std::lock_guard<std::mutex> hold(pending_->mutex);
      if (!pending_->done) {
        pending_->abandoned = true;  // the thread closes the file when the lock comes
        return;
      }
    }
    close(fd_);
  }

  std::unique_ptr<FileLock> Granted(std::string* error) override {
    if (fd_ < 0) return nullptr;
    int code = 0;
    if (pending_ != nullptr) {
      std::lock_guard<std::mutex> hold(pending_->mutex);
      if (!pending_->done) return nullptr;
      code = pending_->error;
    }
    const int fd = std::exchange(fd_, -1);
    if (code == 0) return std::make_unique<PosixFileLock>(fd);
    close(fd);
    if (error != nullptr) *error = std::system_category().message(code);
    return nullptr;
  }

 private:
  int fd_;
  std::shared_ptr<PendingLock> pending_;
};

// The locale's character set, from the environment (the host need not have
// called setlocale). UTF-8 and plain ASCII need no conversion.
std::string LocaleCharset() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return "UTF-8";
  std::string charset = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return charset;
}

bool NeedsNoConversion(const std::string& charset) {
  return charset == "UTF-8" || charset == "utf8" || charset == "ANSI_X3.4-1968" ||
         charset == "ASCII";
}

std::string Convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return text;
  std::string out;
  std::string in = text;
  char* inp = in.data();
  size_t inleft = in.size();
  char buffer[256];
  while (inleft > 0) {
    char* outp = buffer;
    size_t outleft = sizeof buffer;
    size_t rc = iconv(cd, &inp, &inleft, &outp, &outleft);
    out.append(buffer, outp);
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // An unconvertible or broken sequence: one '?' for it, then go on.
      out.push_back('?');
      ++inp;
      --inleft;
      while (inleft > 0 && (static_cast<unsigned char>(*inp) & 0xC0) == 0x80 &&
             std::strcmp(from, "UTF-8") == 0) {
        ++inp;
        --inleft;
      }
    }
  }
  iconv_close(cd);
  return out;
}

// The file of the loaded object that holds `address`, and whether that is
// the program itself rather than a shared library.
bool ObjectHolding(const void* address, std::string& file, bool& is_program) {
  Dl_info info;
  link_map* object = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) == 0 ||
      info.dli_fname == nullptr || object == nullptr)
    return false;
  is_program = object->l_name == nullptr || object->l_name[0] == '\0';
  file = info.dli_fname;
  return true;
}

// The component's own file. Inside libholvanter.so that is the library this
// code lies in. A program that carries the core in itself (tavocard, the
// tests) and has libholvanter.so loaded as well uses the component's folder
// too, so that the settings its own copy of the core reads are the ones the
// component reads and `tavocard hotel init` writes; without libholvanter.so
// the program is the component, and its own file counts.
std::string ComponentFile() {
  static const int anchor = 0;
  std::string file;
  bool is_program = false;
  if (!ObjectHolding(&anchor, file, is_program)) return "";
  if (!is_program) return file;
  if (const void* face = dlsym(RTLD_DEFAULT, "tavo_card_create"); face != nullptr) {
    std::string library;
    bool face_in_program = true;
    if (ObjectHolding(face, library, face_in_program) && !face_in_program) return library;
  }
  // The program's name as started may lack its folder (found on PATH).
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) return std::string(self, static_cast<std::size_t>(n));
  return file;
}

class PosixEnv : public Env {
 public:
  std::unique_ptr<SharedLibrary> LoadVendorLibrary(const std::string& stem) override {
    const std::string file = "lib" + stem + ".so";
    void* handle = dlopen(file.c_str(), RTLD_NOW);
    if (handle == nullptr) {
      const std::string beside = ComponentFolder() + "/" + file;
      handle = dlopen(beside.c_str(), RTLD_NOW);
    }
    if (handle == nullptr) return nullptr;
    return std::make_unique<PosixLibrary>(handle);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool ReadFilePrefix(const std::string& path, std::size_t max_bytes,
                      std::string* contents) override {
    contents->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string bytes(max_bytes, '\0');
    std::size_t got = 0;
    while (got < max_bytes) {
      const ssize_t n = read(fd, bytes.data() + got, max_bytes - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        close(fd);
        return false;  // a folder, or a read error
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    *contents = std::move(bytes);
    return true;
  }

  std::string ComponentFolder() override {
    // The objects a program starts with do not change: look once.
    static const std::string folder = FolderOf(ComponentFile());
    return folder;
  }

  std::string SettingsFolder() override {
    // Read afresh, as the settings file itself is.
    const char* folder = std::getenv("HOLVANTER_SETTINGS_FOLDER");
    return folder != nullptr && *folder != '\0' ? std::string(folder) : ComponentFolder();
  }

  const char* PathSeparator() const override { return "/"; }

  std::size_t GetPrivateProfileString(const char* section, const char* key,
                                      const char* default_value, char* buffer, std::size_t size,
                                      const std::string& file) override {
    if (buffer == nullptr || size == 0) return 0;
    std::string value = default_value != nullptr ? default_value : "";
    std::ifstream in(file, std::ios::binary);
    if (in) {
      const std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      if (auto found = FindProfileValue(text, section, key)) value = *found;
    }
    const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
  }

  LocalTime Now() override {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
  }

  std::string ToAnsi(const std::string& utf8) override {
    const std::string charset = LocaleCharset();
    if (NeedsNoConversion(charset)) return utf8;
    return Convert(utf8, charset.c_str(), "UTF-8");
  }

  std::string FromAnsi(const std::string& ansi) override {
    const std::string charset = LocaleCharset();
    if (NeedsNoConversion(charset)) return ansi;
    return Convert(ansi, "UTF-8", charset.c_str());
  }

  std::unique_ptr<FileLockRequest> RequestFileLock(const std::string& path, LockFileMode mode,
                                                   std::string* error) override {
    auto fail = [error](std::string why) -> std::unique_ptr<FileLockRequest> {
      if (error != nullptr) *error = std::move(why);
      return nullptr;
    };
    int fd = -1;
    if (mode == LockFileMode::kOwnerOnly) {
      std::string why;
      fd = static_cast<int>(OpenPrivateLockFile(path, &why));
      if (fd < 0) return fail(why);
    } else {
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ShareLikeGuardedFile(fd, path);
      } else {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      }
      // A lock needs no write access: an existing lock file in a folder
      // that is read-only for this desk, or one that another desk user made
      // without write permission for us, still serves.
      if (fd < 0 && (errno == EROFS || errno == EACCES)) {
        const int denied = errno;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) errno = denied;
      }
      if (fd < 0) return fail(std::system_category().message(errno));
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<PosixLockRequest>(fd, nullptr);
    if (errno != EWOULDBLOCK) {
      const int code = errno;
      close(fd);
      return fail(std::system_category().message(code));
    }
    // Held elsewhere: the request blocks in a thread of its own.
    auto pending = std::make_shared<PendingLock>();
    std::thread([pending, fd] {
      int rc;
      while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
      }
      const int code = rc == 0 ? 0 : errno;
      std::lock_guard<std::mutex> hold(pending->mutex);
      if (pending->abandoned) {
        close(fd);
        return;
      }
      pending->done = true;
      pending->error = code;
    }).detach();
    return std::make_unique<PosixLockRequest>(fd, std::move(pending));
  }

  bool AppendLine(const std::string& path, const std::string& line, const std::string& first_line,
                  uint64_t* end, std::string* error) override {
    // O_NOFOLLOW: a link planted at the path is refused, not written
    // through. O_NONBLOCK: a pipe there without a reader fails at once
    // instead of holding up the card method.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    auto fail = [error](int code) {
      if (error != nullptr) *error = std::system_category().message(code);
      return false;
    };
    int fd = -1;
    bool made = false;
    // A log that rolls is renamed away, maybe between the two opens: then
    // the file is made anew.
    for (int tries = 0; fd < 0 && tries < 3; ++tries) {
      fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
      made = fd >= 0;
      if (made || errno != EEXIST) break;
      fd = open(path.c_str(), kFlags);
      if (fd < 0 && errno != ENOENT) break;
    }
    if (fd < 0) return fail(errno);
    struct stat st {};
    const bool examined = fstat(fd, &st) == 0;
    if (!examined || !S_ISREG(st.st_mode)) {
      const int code = examined ? EINVAL : errno;  // EINVAL: not an ordinary file
      close(fd);
      return fail(code);
    }
    const std::string text = made ? first_line + line : line;
    ssize_t written;
    while ((written = write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
    }
    const int code = errno;
    // O_APPEND moved the offset to the end and wrote there in one step: the
    // offset now is where this write ended.
    const off_t at = written > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    // The folder's group and permissions: a log folder made for the desk
    // users' group (install -d -m 2770 -g frontdesk) gives a file that
    // every desk user may append to, whoever wrote the first line. Given
    // after that line, so that no other desk user's line comes before it.
    if (made) ShareLike(fd, FolderOf(path));
    close(fd);
    if (written < 0) return fail(code);
    if (static_cast<std::size_t>(written) != text.size()) return fail(ENOSPC);
    if (end != nullptr) *end = at >= 0 ? static_cast<uint64_t>(at) : 0;
    return true;
  }

  bool RenameFile(const std::string& from, const std::string& to, std::string* error) override {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    if (error != nullptr) *error = std::system_category().message(errno);
    return false;
  }
};

}  // namespace

std::string EnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv;  // lives for the process
  return env;
}

}  // namespace holvanter
