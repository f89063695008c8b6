// The diagnostics operations: environment variables and debug lines, on standard error or
// appended to a file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/linux/linux_platform.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

// One write(2) per line, so that lines of two threads or two processes never interleave.
void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::optional<std::u16string> LinuxPlatform::EnvironmentVariable(const std::u16string& name) {
  const char* value = std::getenv(Utf16ToUtf8(name).c_str());
  if (value == nullptr) return std::nullopt;
  return Utf8ToUtf16(value);
}

void LinuxPlatform::WriteDebugLine(const std::u16string& line, const std::u16string& path) {
  std::string bytes = Utf16ToUtf8(line) + "\n";
  if (path.empty()) {
    WriteAll(STDERR_FILENO, bytes);
    return;
  }
  // Opened per line: the host developer may read, move or delete the file at any time.
  int fd = open(Utf16ToUtf8(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY,
                0600);
  if (fd < 0) return;
  WriteAll(fd, bytes);
  close(fd);
}

}  // namespace mobileinfo
