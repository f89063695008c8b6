#include "platform/host_files.h"

#include "support/debug_log.h"
#include "support/wide_string.h"

namespace mobileinfo {

namespace {

std::u16string JoinPath(Platform& platform, const std::u16string& directory,
                        const char16_t* name) {
  const char16_t format[] = {u'%', u's', platform.PathSeparator(), u'%', u's', 0};
  WideString path;
  path.Format(format, directory.c_str(), name);
  return path.ToU16();
}

// A separator at the end would double in every path; an extended-length Windows path does not
// forgive that. A root ("/", "C:\") keeps its own.
std::u16string WithoutTrailingSeparator(std::u16string directory, char16_t separator) {
  while (directory.size() > 1 && directory.back() == separator &&
         !(directory.size() == 3 && directory[1] == u':')) {
    directory.pop_back();
  }
  return directory;
}

}  // namespace

std::u16string HostFilePath(Platform& platform, const char16_t* name) {
  return JoinPath(platform, platform.HostDirectory(), name);
}

void DataDirectory::Choose() {
  std::u16string directory;
  const std::optional<std::u16string> home = platform_.EnvironmentVariable(u"MOBILEINFO_HOME");
  if (home && !home->empty()) {
    directory = WithoutTrailingSeparator(*home, platform_.PathSeparator());
    if (!platform_.FileExists(directory)) platform_.CreateDirectory(directory);
    MOBILEINFO_LOG(platform_, u"data directory %s (MOBILEINFO_HOME)", directory.c_str());
  } else {
    directory = platform_.HostDirectory();
    if (platform_.CanWriteDirectory(directory)) {
      MOBILEINFO_LOG(platform_, u"data directory %s (the host directory)", directory.c_str());
    } else {
      std::u16string state = platform_.UserStateDirectory(u"mobileinfo");
      if (state.empty()) {
        MOBILEINFO_LOG(platform_, u"data directory %s (the host directory; it cannot be written "
                                  u"and there is no state directory: saves will fail)",
                       directory.c_str());
      } else {
        MOBILEINFO_LOG(platform_, u"data directory %s (the host directory %s cannot be written)",
                       state.c_str(), directory.c_str());
        directory = std::move(state);
      }
    }
  }
  MutexLock lock(&lock_);
  chosen_ = std::move(directory);
}

std::u16string DataDirectory::FilePath(const char16_t* name) {
  std::optional<std::u16string> directory;
  {
    MutexLock lock(&lock_);
    directory = chosen_;
  }
  return directory ? JoinPath(platform_, *directory, name) : HostFilePath(platform_, name);
}

std::u16string DataFilePath(Platform& platform, DataDirectory* directory, const char16_t* name) {
  return directory ? directory->FilePath(name) : HostFilePath(platform, name);
}

}  // namespace mobileinfo
