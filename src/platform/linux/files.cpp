// POSIX files behaving as the core expects Win32 files to behave.
//
// Windows opens the core's files without sharing: while one handle is open, a second open, a
// delete or a move of that file fails. POSIX has no such mode, so every open here takes an
// exclusive flock(2) lock, and DeleteFile/ReplaceFile first check that nobody holds one. The lock is
// advisory: it excludes this library's own handles (in this or another process), not programs
// that ignore flock.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "platform/linux/linux_platform.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }  // also releases the lock

  std::optional<uint32_t> Read(void* buffer, uint32_t size) override {
    for (;;) {
      ssize_t n = read(fd_, buffer, size);
      if (n >= 0) return static_cast<uint32_t>(n);
      if (errno != EINTR) return std::nullopt;
    }
  }

  bool Write(const void* data, uint32_t size) override {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t n = write(fd_, bytes, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      bytes += n;
      size -= static_cast<uint32_t>(n);
    }
    return true;
  }

  int64_t Seek(uint32_t offset) override {
    off_t position = lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
    return position < 0 ? -1 : static_cast<int64_t>(position);
  }

  bool Flush() override {
    for (;;) {
      if (fsync(fd_) == 0) return true;
      if (errno != EINTR) return false;
    }
  }

  uint32_t Size() override {
    struct stat info;
    if (fstat(fd_, &info) != 0) return std::numeric_limits<uint32_t>::max();  // INVALID_FILE_SIZE
    return static_cast<uint32_t>(static_cast<uint64_t>(info.st_size));
  }

 private:
  const int fd_;
};

std::string NativePath(const std::u16string& path) { return Utf16ToUtf8(path); }

FileError FileErrorOf(int number) {
  switch (number) {
    case ENOENT: case ENOTDIR: return FileError::kNotFound;
    case EACCES: case EPERM: case EROFS: return FileError::kAccessDenied;
    case EWOULDBLOCK: case ETXTBSY: return FileError::kInUse;
    case ENOSPC: case EDQUOT: return FileError::kDiskFull;
    default: return FileError::kOther;
  }
}

// True when another open handle of this library holds the file (a sharing violation on Windows).
bool HeldByOpenHandle(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// Creates path as a 0700 directory if it is missing, then tells whether it is one that only
// user can use: a directory itself (no symbolic link followed), owned by user, without any
// permission for group or others.
bool IsPrivateDirectory(const std::string& path, uid_t user) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user &&
            (info.st_mode & 077) == 0;
  close(fd);
  return ok;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool LinuxPlatform::FileExists(const std::u16string& path) {
  // PathFileExistsW: files and directories alike.
  struct stat info;
  return !path.empty() && stat(NativePath(path).c_str(), &info) == 0;
}

std::unique_ptr<File> LinuxPlatform::OpenFile(const std::u16string& path, FileMode mode,
                                              FileError* error) {
  const std::string native = NativePath(path);
  const int flags =
      O_CLOEXEC | O_NOCTTY | (mode == FileMode::kReadExisting ? O_RDONLY : O_WRONLY | O_CREAT);
  const auto failed = [error](FileError why) -> std::unique_ptr<File> {
    if (error) *error = why;
    return nullptr;
  };
  // No O_TRUNC: a file held by another handle must fail to open with its content intact, as
  // CREATE_ALWAYS does on a sharing violation, so the truncation waits for the lock.
  int fd = open(native.c_str(), flags, 0644);
  if (fd < 0) return failed(FileErrorOf(errno));
  struct stat info;
  FileError why = FileError::kNone;
  if (fstat(fd, &info) != 0) {
    why = FileErrorOf(errno);
  } else if (S_ISDIR(info.st_mode)) {
    why = FileError::kAccessDenied;  // as CreateFileW answers for a folder
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? FileError::kInUse : FileErrorOf(errno);
  } else if (mode != FileMode::kReadExisting && ftruncate(fd, 0) != 0) {
    why = FileErrorOf(errno);
  }
  if (why != FileError::kNone) {
    close(fd);
    return failed(why);
  }
  try {
    return std::make_unique<PosixFile>(fd);
  } catch (...) {
    close(fd);
    return failed(FileError::kOther);
  }
}

bool LinuxPlatform::DeleteFile(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (IsDirectory(native) || HeldByOpenHandle(native)) return false;
  return unlink(native.c_str()) == 0;
}

bool LinuxPlatform::ReplaceFile(const std::u16string& from, const std::u16string& to,
                                FileError* error) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  const auto refused = [error](FileError why) {
    if (error) *error = why;
    return false;
  };
  if (IsDirectory(target)) return refused(FileError::kAccessDenied);
  // MoveFileExW refuses while either file is open without delete sharing, as ours are.
  if (HeldByOpenHandle(source) || HeldByOpenHandle(target)) return refused(FileError::kInUse);
  if (rename(source.c_str(), target.c_str()) != 0) return refused(FileErrorOf(errno));
  // MOVEFILE_WRITE_THROUGH: the new name is on the disk once this returns, so a power cut after
  // a save cannot bring the old file back.
  const size_t slash = target.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);  // some file systems cannot sync a directory; the rename itself has happened
    close(fd);
  }
  return true;
}

bool LinuxPlatform::CreateDirectory(const std::u16string& path) {
  return !path.empty() && mkdir(NativePath(path).c_str(), 0755) == 0;
}

bool LinuxPlatform::CanWriteDirectory(const std::u16string& path) {
  // The effective ids decide, as they do for the open and the rename of a save; a read-only
  // file system says no as well.
  return !path.empty() && faccessat(AT_FDCWD, NativePath(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::u16string LinuxPlatform::UserStateDirectory(const std::u16string& name) {
  // The XDG base directory rules: $XDG_STATE_HOME when it is an absolute path, else
  // $HOME/.local/state; the directories made on the way are the user's alone.
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string path;
  if (state && state[0] == '/') {
    path = state;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return std::u16string();
    path = std::string(home) + "/.local/state";
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path += "/" + NativePath(name);
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return std::u16string();
    if (slash == std::string::npos) break;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::u16string();
  return Utf8ToUtf16(path);
}

// /tmp is shared by every local user, and the reply files have predictable names: planted or
// replaced between the download and the read, they would feed the host someone else's driver
// information. So the user's temporary folder is a directory of the user's own inside it, made
// with mode 0700 and checked on every use: a real directory (not a link), owned by this user,
// closed to group and others. Windows' GetTempPathW folder is per user already.
std::u16string LinuxPlatform::TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string base = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base != "/") base.push_back('/');
  const uid_t user = geteuid();
  const std::string own = base + "mobileinfo-" + std::to_string(user);
  if (IsPrivateDirectory(own, user)) return Utf8ToUtf16(own + "/");
  // Someone else holds the name (or it is not a private directory): fall back to a directory of
  // an unguessable name, made once for this object.
  MutexLock lock(&temp_mutex_);
  if (!fallback_temp_.empty() && fallback_temp_.compare(0, base.size(), base) == 0 &&
      IsPrivateDirectory(fallback_temp_, user)) {
    return Utf8ToUtf16(fallback_temp_ + "/");
  }
  std::string pattern = own + "-XXXXXX";
  if (!mkdtemp(&pattern[0]) || !IsPrivateDirectory(pattern, user)) return std::u16string();
  fallback_temp_ = pattern;
  return Utf8ToUtf16(fallback_temp_ + "/");
}

std::vector<std::u16string> LinuxPlatform::ListFiles(const std::u16string& directory,
                                                    const std::u16string& prefix) {
  std::vector<std::u16string> names;
  const std::string folder = NativePath(directory);
  const std::string start = NativePath(prefix);
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), &closedir);
  if (!listing) return names;
  try {
    while (const dirent* entry = readdir(listing.get())) {
      const std::string name = entry->d_name;
      if (name.compare(0, start.size(), start) != 0) continue;
      struct stat info;
      if (lstat((folder + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      names.push_back(Utf8ToUtf16(name));
    }
  } catch (...) {
    // Out of memory: the names had so far.
  }
  return names;
}

}  // namespace mobileinfo
