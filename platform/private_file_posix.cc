// The hosts' owner-only state files on Linux and the other POSIX systems.
#include "platform/private_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

namespace holvanter {
namespace {

std::string ErrnoText(int error) { return std::generic_category().message(error); }

PrivateFileError Failed(const std::string& doing, const std::string& what, const std::string& path,
                        int error) {
  return PrivateFileError(PrivateFileError::kOther,
                          "cannot " + doing + " the " + what + " " + path + ": " + ErrnoText(error));
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& path) {
  const int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// The checks made on the open file, whatever opened it: an ordinary file
// of this user, and owner-only as `others` asks.
void Examine(int fd, const std::string& path, const std::string& what, OpenToOthers others) {
  struct stat status;
  if (fstat(fd, &status) != 0) throw Failed("examine", what, path, errno);
  if (!S_ISREG(status.st_mode))
    throw PrivateFileError(PrivateFileError::kOther,
                           "the " + what + " " + path + " is not a file");
  if (status.st_uid != geteuid())
    throw PrivateFileError(PrivateFileError::kOther,
                           "the " + what + " " + path + " belongs to another user (uid " +
                               std::to_string(status.st_uid) + "); it is not used");
  if ((status.st_mode & 077) == 0) return;
  if (others == OpenToOthers::kNarrow) {
    if (fchmod(fd, status.st_mode & 0700) != 0)
      throw Failed("narrow to its owner", what, path, errno);
    return;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  throw PrivateFileError(PrivateFileError::kOpenToOthers,
                         "the " + what + " " + path + " is open to other users (mode " + mode +
                             "); make it its owner's alone with chmod 600 " + path);
}

}  // namespace

PrivateFile::PrivateFile(const std::string& path, const std::string& what, How how,
                         OpenToOthers others)
    : path_(path), what_(what) {
  // O_NOFOLLOW: a symbolic link at the path fails with ELOOP. O_NONBLOCK: a
  // pipe planted there cannot hold the open up; it is refused below.
  int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  if (how == How::kRead) flags |= O_RDONLY;
  if (how == How::kAppend) flags |= O_RDWR | O_APPEND | O_CREAT;
  if (how == How::kLock) flags |= O_RDWR | O_CREAT;
  if (how != How::kRead) MakePrivateFolders(FolderOf(path), what);
  const int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT && how == How::kRead)
      throw PrivateFileError(PrivateFileError::kNotFound, "there is no " + what + " " + path);
    if (error == ELOOP)
      throw PrivateFileError(PrivateFileError::kOther,
                             "the " + what + " " + path +
                                 " is a symbolic link; it is not followed: remove it");
    throw Failed("open", what, path, error);
  }
  handle_ = fd;
  try {
    Examine(fd, path, what, others);
    // Back to blocking reads and writes on the ordinary file it is.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  } catch (...) {
    close(fd);
    handle_ = -1;
    throw;
  }
}

PrivateFile::~PrivateFile() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

std::string PrivateFile::ReadAll(std::size_t max_bytes) {
  const int fd = static_cast<int>(handle_);
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failed("read", what_, path_, errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    at += n;
    if (text.size() > max_bytes)
      throw PrivateFileError(PrivateFileError::kOther,
                             "the " + what_ + " " + path_ + " is far longer than it can be");
  }
  return text;
}

uint64_t PrivateFile::Size() {
  struct stat status;
  if (fstat(static_cast<int>(handle_), &status) != 0) throw Failed("examine", what_, path_, errno);
  return static_cast<uint64_t>(status.st_size);
}

std::size_t PrivateFile::ReadAt(uint64_t offset, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = pread(static_cast<int>(handle_), buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failed("read", what_, path_, errno);
    return static_cast<std::size_t>(n);
  }
}

void PrivateFile::Append(std::string_view bytes) {
  const int fd = static_cast<int>(handle_);
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failed("write", what_, path_, errno);
    if (n == 0) throw Failed("write", what_, path_, EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (fsync(fd) != 0) throw Failed("write", what_, path_, errno);
}

void PrivateFile::Truncate(std::size_t size) {
  const int fd = static_cast<int>(handle_);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0 || fsync(fd) != 0)
    throw Failed("cut", what_, path_, errno);
}

bool PrivateFile::TryLock() { return flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0; }

intptr_t PrivateFile::Release() {
  const intptr_t handle = handle_;
  handle_ = -1;
  return handle;
}

void MakePrivateFolders(const std::string& folder, const std::string& what) {
  struct stat status;
  if (folder.empty() || lstat(folder.c_str(), &status) == 0) return;
  const std::string parent = FolderOf(folder);
  if (parent != folder) MakePrivateFolders(parent, what);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw PrivateFileError(PrivateFileError::kOther, "cannot make the folder " + folder +
                                                         " of the " + what + ": " +
                                                         ErrnoText(errno));
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
  MakePrivateFolders(FolderOf(path), what);
  // Owner-only from its first moment, and never over an existing file (nor
  // through a link: O_EXCL fails on one whatever it points at).
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) throw PrivateFileError(PrivateFileError::kExists, exists_message);
    throw Failed("create", what, path, errno);
  }
  int error = 0;
  while (!text.empty() && error == 0) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno != EINTR) error = errno;
    if (n == 0) error = EIO;  // a disk that takes nothing would loop here for good
    if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    // A half-written file would be refused at the next try as existing.
    unlink(path.c_str());
    throw Failed("write", what, path, error);
  }
  // The file's name in its folder survives a power cut too.
  SyncFolder(path);
}

void ReplacePrivateFile(const std::string& path, std::string_view text, const std::string& what) {
  const std::string fresh = path + ".new";
  unlink(fresh.c_str());  // left by a write that died; a link there goes too, unfollowed
  CreatePrivateFile(fresh, text, what, "the " + what + "'s new file " + fresh +
                                           " could not be removed");
  // rename replaces a link at `path` itself, never its target.
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(fresh.c_str());
    throw Failed("replace", what, path, error);
  }
  SyncFolder(path);
}

}  // namespace holvanter
