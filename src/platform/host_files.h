// Paths of the files the library keeps for the host ("mobileInfo.ini" and the two data files), and
// the directory they live in.
#ifndef MOBILEINFO_PLATFORM_HOST_FILES_H
#define MOBILEINFO_PLATFORM_HOST_FILES_H

#include <optional>
#include <string>

#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

// host directory + separator + name
std::u16string HostFilePath(Platform& platform, const char16_t* name);

// The data directory of one service object, chosen at each Init: the directory MOBILEINFO_HOME
// names (made when missing); unset, the host directory, unless the process cannot write there
// and the system has a per-user state directory (Linux: a tool installed in /usr/bin), which is
// then used instead. Windows keeps the host directory unless the variable is set.
class DataDirectory {
 public:
  explicit DataDirectory(Platform& platform) : platform_(platform) {}
  DataDirectory(const DataDirectory&) = delete;
  DataDirectory& operator=(const DataDirectory&) = delete;

  // Chooses anew and says in the diagnostics which directory it is and why.
  void Choose();
  // directory + separator + name; before the first Choose, HostFilePath.
  std::u16string FilePath(const char16_t* name);

 private:
  Platform& platform_;
  Mutex lock_;  // a leaf
  std::optional<std::u16string> chosen_ GUARDED_BY(lock_);
};

// The path of name in directory, or beside the host without one (parts used on their own).
std::u16string DataFilePath(Platform& platform, DataDirectory* directory, const char16_t* name);

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_HOST_FILES_H
