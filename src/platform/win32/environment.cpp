// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <malloc.h>
#include <shlwapi.h>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace mobileinfo {

std::u16string Win32Platform::HostDirectory() {
  // A null module names the process's executable, not this library. The buffer grows until the
  // whole name fits: a host deeper than MAX_PATH would otherwise get its name cut, and its files
  // would land in a parent directory.
  std::vector<wchar_t> path(MAX_PATH + 1, L'\0');
  DWORD length = 0;
  for (;;) {
    length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::u16string();
    if (length < path.size()) break;  // fits, with its terminator
    if (path.size() > 32768) return std::u16string();
    path.assign(path.size() * 2, L'\0');
  }
  if (length < MAX_PATH) {
    PathRemoveFileSpecW(path.data());
    return TextFromBuffer(path.data(), path.size());
  }
  // PathRemoveFileSpecW takes no longer path; a full path's last component ends at its last
  // backslash, well after its root.
  const std::u16string full = TextFromBuffer(path.data(), length);
  const size_t slash = full.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : full.substr(0, slash);
}

char16_t Win32Platform::PathSeparator() { return u'\\'; }

std::optional<OsVersion> Win32Platform::GetOsVersion() {
  OSVERSIONINFOEXW extended = {};
  extended.dwOSVersionInfoSize = sizeof(extended);
  if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
    return OsVersion{extended.dwPlatformId, extended.dwMajorVersion, extended.dwMinorVersion};
  }
  // Systems before the extended structure refuse its size; the basic one still answers.
  OSVERSIONINFOW basic = {};
  basic.dwOSVersionInfoSize = sizeof(basic);
  if (GetVersionExW(&basic)) {
    return OsVersion{basic.dwPlatformId, basic.dwMajorVersion, basic.dwMinorVersion};
  }
  return std::nullopt;
}

std::optional<uint16_t> Win32Platform::NativeProcessorArchitecture() {
  // Looked up at run time so that the library still loads where kernel32 lacks the function.
  using GetNativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return std::nullopt;
  FARPROC address = GetProcAddress(kernel32, "GetNativeSystemInfo");
  if (address == nullptr) return std::nullopt;
  auto get_native_system_info =
      reinterpret_cast<GetNativeSystemInfoFunction>(reinterpret_cast<void*>(address));
  SYSTEM_INFO info = {};
  get_native_system_info(&info);
  return info.wProcessorArchitecture;
}

uint32_t Win32Platform::TickCount() { return GetTickCount(); }

int32_t Win32Platform::Now() { return static_cast<int32_t>(time(nullptr)); }

uint32_t Win32Platform::ProcessId() { return GetCurrentProcessId(); }

bool Win32Platform::ProcessExists(uint32_t process_id) {
  // SYNCHRONIZE is the least a caller may ask for, and enough to see whether the process has
  // ended. ERROR_INVALID_PARAMETER is the one refusal that says there is no such process; a
  // process object that outlives its process (someone holds a handle) has ended all the same.
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

bool Win32Platform::IsReadable(const void* address, uint32_t size) {
  // Deprecated, but it is the very check a host's pointer has always been put to here.
  return IsBadReadPtr(address, size) == 0;
}

bool Win32Platform::FreeHostBlock(void* block) {
  // free() of a block from another heap corrupts both heaps (Wine refuses it, Windows does not),
  // and a host built with another C runtime, or keeping its strings in a heap of its own, hands
  // over exactly such blocks. HeapValidate names the block's heap; a block of neither stays.
  HANDLE runtime_heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  if (runtime_heap != nullptr && HeapValidate(runtime_heap, 0, block)) {
    std::free(block);
    return true;
  }
  HANDLE process_heap = GetProcessHeap();
  if (process_heap != runtime_heap && HeapValidate(process_heap, 0, block)) {
    return HeapFree(process_heap, 0, block) != FALSE;
  }
  return false;
}

void Win32Platform::DebugTrap(const char16_t* message) {
  OutputDebugStringW(message != nullptr ? reinterpret_cast<const wchar_t*>(message) : L"");
  DebugBreak();
}

uint32_t Win32Platform::ReadProfileString(const std::u16string& file,
                                          const std::u16string& section,
                                          const std::u16string& key, uint32_t capacity,
                                          std::u16string& value) {
  value.clear();
  if (capacity == 0) return 0;
  std::vector<wchar_t> buffer(capacity, L'\0');
  DWORD count = GetPrivateProfileStringW(WideText(section), WideText(key), nullptr,
                                         buffer.data(), capacity, WideText(file));
  if (count >= capacity) count = capacity - 1;  // never more than the buffer holds
  value.assign(reinterpret_cast<const char16_t*>(buffer.data()), count);
  return count;
}

}  // namespace mobileinfo
