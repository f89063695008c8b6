// The diagnostics operations: environment variables and debug lines, to the debugger output
// (DebugView and debuggers show OutputDebugStringW) or appended to a file.
#include "platform/win32/win32_platform.h"

#include <string>
#include <vector>

#include "support/text.h"

namespace mobileinfo {

std::optional<std::u16string> Win32Platform::EnvironmentVariable(const std::u16string& name) {
  SetLastError(ERROR_SUCCESS);
  DWORD needed = GetEnvironmentVariableW(WideText(name), nullptr, 0);
  if (needed == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::u16string();
  }
  std::vector<wchar_t> buffer(needed + 1, L'\0');
  DWORD length = GetEnvironmentVariableW(WideText(name), buffer.data(), needed + 1);
  if (length == 0 || length > needed) return std::nullopt;  // changed meanwhile: treat as unset
  return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length);
}

void Win32Platform::WriteDebugLine(const std::u16string& line, const std::u16string& path) {
  if (path.empty()) {
    std::u16string text = line + u"\r\n";
    OutputDebugStringW(WideText(text));
    return;
  }
  // Opened per line and shared: a host developer may read the file while the host runs.
  HANDLE file = CreateFileW(WideText(path), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string bytes = Utf16ToUtf8(line) + "\r\n";
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace mobileinfo
