// The hosts' state files, which their owner alone may reach: the agent's
// bearer token, the desks registry and its lock, a desk's secret, the PMS
// link's key file and its journal. Every one of them is opened here and
// nowhere else, so that each is held to the same rules:
// - a link at the path (a symbolic link; on Windows any reparse point) is
//   refused, never followed: a file planted by someone else is not read,
//   written or narrowed through;
// - what is opened is checked on the open file itself (POSIX: fstat;
//   Windows: its handle's attributes and owner): an ordinary file, owned by
//   the user the program runs as (on Windows SYSTEM or Administrators too),
//   and, as the caller asks, refused (POSIX) or narrowed when others may
//   reach it;
// - what is made is its owner's alone from its first moment (files 0600,
//   missing folders 0700; on Windows a protected access list that grants
//   the current user alone), and written whole: a new file, synced, renamed
//   over the old one, so a reader sees the old text or the new.
// env_posix.cc and env_windows.cc's twins: private_file_posix.cc and
// private_file_windows.cc. Paths are UTF-8.
#ifndef HOLVANTER_PLATFORM_PRIVATE_FILE_H_
#define HOLVANTER_PLATFORM_PRIVATE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace holvanter {

class PrivateFileError : public std::runtime_error {
 public:
  enum Kind {
    kOther,
    kNotFound,      // PrivateFile::How::kRead: no file there
    kExists,        // CreatePrivateFile: a file is there already
    kOpenToOthers,  // group or others may reach the file (POSIX)
  };
  PrivateFileError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// What becomes of an existing file that group or others may reach.
enum class OpenToOthers {
  kRefuse,  // PrivateFileError(kOpenToOthers), naming the chmod that mends it
  kNarrow,  // narrowed to its owner on the open file, and used
};

// An open state file. `what` names it in every message ("token file").
class PrivateFile {
 public:
  enum class How {
    kRead,    // an existing file, to read
    kAppend,  // appended to, made when missing
    kLock,    // read and written, made when missing: held as a lock
  };
  // Throws PrivateFileError (kNotFound for kRead when there is no file).
  PrivateFile(const std::string& path, const std::string& what, How how, OpenToOthers others);
  ~PrivateFile();
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;

  // The whole file from its start; PrivateFileError when it holds more
  // than `max_bytes`.
  std::string ReadAll(std::size_t max_bytes);
  // The file's size now.
  uint64_t Size();
  // Up to `size` bytes from `offset` into `buffer`: how many, 0 at the end.
  // A file too long to hold in memory is read a piece at a time.
  std::size_t ReadAt(uint64_t offset, char* buffer, std::size_t size);
  // Writes `bytes` at the end and syncs them to the disk.
  void Append(std::string_view bytes);
  // Cuts the file to `size` bytes and syncs.
  void Truncate(std::size_t size);
  // An exclusive lock on the whole file, or false when another holds it.
  // The system lets it go when the file closes, however its program ends.
  bool TryLock();
  // The system's handle of the open file (a descriptor; on Windows a
  // HANDLE), which the caller closes from now on: Env::LockFile holds its
  // owner-only lock files so.
  intptr_t Release();

 private:
  std::string path_, what_;
  intptr_t handle_ = -1;
};

// The owner-only lock file at `path` (made when missing, narrowed when
// others may reach it) for Env::LockFile to wait on: its system handle,
// which the caller closes, or -1 with the reason in `error`.
inline intptr_t OpenPrivateLockFile(const std::string& path, std::string* error) {
  try {
    return PrivateFile(path, "lock file", PrivateFile::How::kLock, OpenToOthers::kNarrow).Release();
  } catch (const PrivateFileError& e) {
    *error = e.what();
    return -1;
  }
}

// The missing folders of `folder`, each made its owner's alone.
void MakePrivateFolders(const std::string& folder, const std::string& what);

// The text of the file at `path`, nullopt when there is none.
std::optional<std::string> ReadPrivateFile(const std::string& path, const std::string& what,
                                           std::size_t max_bytes, OpenToOthers others);

// A new file at `path` holding `text`, in missing folders made private;
// never over an existing file: then PrivateFileError(kExists,
// `exists_message`). A file that cannot be written whole is removed.
void CreatePrivateFile(const std::string& path, std::string_view text, const std::string& what,
                       const std::string& exists_message);

// Replaces the file at `path` with `text`: a new file beside it
// (path + ".new", one left by a write that died is removed first), synced,
// renamed over it, and the folder synced.
void ReplacePrivateFile(const std::string& path, std::string_view text, const std::string& what);

}  // namespace holvanter

#endif  // HOLVANTER_PLATFORM_PRIVATE_FILE_H_
