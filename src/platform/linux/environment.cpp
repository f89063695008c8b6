// Facts about the process and the machine, and the profile-string reader.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <string>

#include "platform/linux/linux_platform.h"
#include "support/profile_text.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

// PROCESSOR_ARCHITECTURE_* numbers of the machine names uname(2) gives.
constexpr uint16_t kArchitectureIntel = 0;
constexpr uint16_t kArchitectureArm = 5;
constexpr uint16_t kArchitectureIa64 = 6;
constexpr uint16_t kArchitectureAmd64 = 9;
constexpr uint16_t kArchitectureArm64 = 12;
constexpr uint16_t kArchitectureUnknown = 0xFFFF;

bool IsIntel32(const std::string& machine) {
  return machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
         machine.compare(2, 2, "86") == 0;
}

// True when a debugger (any tracer) is attached to this process.
bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 10, "TracerPid:") == 0) {
      return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
  }
  return false;
}

// The bytes of a regular file; empty when it cannot be read (missing, a directory, an I/O error).
std::string ReadWholeFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::string();
  std::string bytes;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char buffer[16384];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) bytes.clear();
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return bytes;
}

}  // namespace

std::u16string LinuxPlatform::HostDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (n < 0) return std::u16string();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      break;
    }
    if (buffer.size() >= (1u << 20)) return std::u16string();
    buffer.resize(buffer.size() * 2);
  }
  size_t slash = buffer.rfind('/');
  if (slash == std::string::npos) return std::u16string();
  // "/prog" lives in the root directory, whose name without a trailing separator is empty.
  return Utf8ToUtf16(buffer.substr(0, slash));
}

char16_t LinuxPlatform::PathSeparator() { return u'/'; }

std::optional<OsVersion> LinuxPlatform::GetOsVersion() {
  // The kernel's version under a platform id that is not the NT family's (2): the core's OS
  // code table then yields 0, and the bitness probe still sees a version.
  struct utsname name;
  if (uname(&name) != 0) return std::nullopt;
  OsVersion version;
  version.platform_id = 0;
  char* end = nullptr;
  version.major = static_cast<uint32_t>(std::strtoul(name.release, &end, 10));
  if (end && *end == '.') version.minor = static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 10));
  return version;
}

std::optional<uint16_t> LinuxPlatform::NativeProcessorArchitecture() {
  // uname reports the kernel's machine, so a 32-bit process on a 64-bit kernel sees x86_64, as
  // GetNativeSystemInfo would.
  struct utsname name;
  if (uname(&name) != 0) return std::nullopt;
  const std::string machine = name.machine;
  if (machine == "x86_64" || machine == "amd64") return kArchitectureAmd64;
  if (machine == "aarch64" || machine == "arm64") return kArchitectureArm64;
  if (machine == "ia64") return kArchitectureIa64;
  if (IsIntel32(machine)) return kArchitectureIntel;
  if (machine.compare(0, 3, "arm") == 0) return kArchitectureArm;
  return kArchitectureUnknown;
}

uint32_t LinuxPlatform::TickCount() {
  auto since_start = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_start).count());
}

int32_t LinuxPlatform::Now() { return static_cast<int32_t>(std::time(nullptr)); }

uint32_t LinuxPlatform::ProcessId() { return static_cast<uint32_t>(getpid()); }

bool LinuxPlatform::ProcessExists(uint32_t process_id) {
  // Signal 0 only asks whether the process could be sent one: ESRCH is the one answer that says
  // there is none (EPERM: it is someone else's). 0 (to kill, the caller's process group) and
  // numbers beyond pid_t's range name none.
  if (process_id == 0 || process_id > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  return kill(static_cast<pid_t>(process_id), 0) == 0 || errno != ESRCH;
}

bool LinuxPlatform::IsReadable(const void* address, uint32_t size) {
  if (address == nullptr) return false;
  // The kernel reads the bytes for us: a write from unreadable memory into a pipe fails with
  // EFAULT instead of faulting the process, as IsBadReadPtr does on Windows. Like IsBadReadPtr
  // it only tells how the memory was at the moment of the probe.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  constexpr uint32_t kChunk = 4096;  // well below a pipe's capacity, so no write blocks
  char drain[kChunk];
  bool readable = true;
  const auto* bytes = static_cast<const char*>(address);
  for (uint32_t done = 0; done < size && readable;) {
    const uint32_t n = size - done < kChunk ? size - done : kChunk;
    const ssize_t written = write(fds[1], bytes + done, n);
    if (written <= 0) {
      readable = false;
      break;
    }
    done += static_cast<uint32_t>(written);
    while (read(fds[0], drain, sizeof(drain)) > 0) {
    }
  }
  close(fds[0]);
  close(fds[1]);
  return readable;
}

void LinuxPlatform::DebugTrap(const char16_t* message) {
  std::string text = message ? Utf16ToUtf8(std::u16string(message)) : std::string();
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  if (ssize_t ignored = write(STDERR_FILENO, text.data(), text.size())) (void)ignored;
  // Without a debugger SIGTRAP would end the host process; Windows' DebugBreak outside a
  // debugger is no better, but a library has no business taking the host down for a diagnostic.
  if (DebuggerAttached()) raise(SIGTRAP);
}

uint32_t LinuxPlatform::ReadProfileString(const std::u16string& file, const std::u16string& section,
                                          const std::u16string& key, uint32_t capacity,
                                          std::u16string& value) {
  value.clear();
  if (capacity == 0) return 0;
  // A missing or unreadable file reads as empty text: every key is then missing.
  return ReadProfileText(DecodeProfileBytes(ReadWholeFile(Utf16ToUtf8(file))), section, key,
                         capacity, value);
}

void LinuxPlatform::ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                                       std::vector<ProfileRead>& reads) {
  // One read and one decoding for the whole batch: a reply file is read once per section.
  const std::u16string text = DecodeProfileBytes(ReadWholeFile(Utf16ToUtf8(file)));
  for (ProfileRead& read : reads) {
    read.value.clear();
    read.count = read.capacity == 0
                     ? 0
                     : ReadProfileText(text, section, read.key, read.capacity, read.value);
  }
}

}  // namespace mobileinfo
