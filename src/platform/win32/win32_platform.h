// The Windows backend: every operation of the seam answered with the Win32 call of the same
// purpose, W forms only. Structure sizes come from the SDK headers, so the same code serves the
// shipped 32-bit DLL and the 64-bit build that the tests run under Wine.
#ifndef MOBILEINFO_PLATFORM_WIN32_WIN32_PLATFORM_H
#define MOBILEINFO_PLATFORM_WIN32_WIN32_PLATFORM_H

#include <windows.h>

// <windows.h> maps these names to their A/W forms; the seam uses them as plain method names.
#undef DeleteFile
#undef MoveFile
#undef CreateDirectory

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

// The seam's text and Windows text are both UTF-16; only the element type differs.
inline const wchar_t* WideText(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A path in the form the file functions take at any length. From MAX_PATH units on, a full path
// gets the extended-length prefix ("\\?\C:\..." or "\\?\UNC\server\share\..."), without
// which the functions refuse it; shorter paths, relative ones and those that have a prefix
// already are passed as they are. Paths here are built from the host directory and a file name,
// so they hold no "." or ".." components that the prefix would stop the system from resolving.
std::wstring FilePathText(const std::u16string& path);

// The text of buffer up to its first NUL, never beyond capacity units.
inline std::u16string TextFromBuffer(const wchar_t* buffer, size_t capacity) {
  size_t length = 0;
  while (length < capacity && buffer[length] != L'\0') ++length;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

class Win32Platform final : public Platform {
 public:
  // environment.cpp
  std::u16string HostDirectory() override;
  char16_t PathSeparator() override;
  std::optional<OsVersion> GetOsVersion() override;
  std::optional<uint16_t> NativeProcessorArchitecture() override;
  uint32_t TickCount() override;
  int32_t Now() override;
  uint32_t ProcessId() override;
  bool ProcessExists(uint32_t process_id) override;
  bool IsReadable(const void* address, uint32_t size) override;
  void DebugTrap(const char16_t* message) override;
  bool FreeHostBlock(void* block) override;
  uint32_t ReadProfileString(const std::u16string& file, const std::u16string& section,
                             const std::u16string& key, uint32_t capacity,
                             std::u16string& value) override;

  // profile_section.cpp
  void ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                          std::vector<ProfileRead>& reads) override;

  // files.cpp
  bool FileExists(const std::u16string& path) override;
  std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                 FileError* error = nullptr) override;
  bool DeleteFile(const std::u16string& path) override;
  bool ReplaceFile(const std::u16string& from, const std::u16string& to,
                   FileError* error = nullptr) override;
  bool CreateDirectory(const std::u16string& path) override;
  std::u16string TempDirectory() override;
  std::vector<std::u16string> ListFiles(const std::u16string& directory,
                                        const std::u16string& prefix) override;

  // devices.cpp
  bool ListPresentDevices(std::vector<PresentDevice>& devices) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) override;
  bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                        uint32_t limit_ms) override;

  // http_wininet.cpp
  std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) override;

  // threads.cpp
  bool RunDetached(std::function<void()> work) override;
  void DispatchSentMessages() override;

  std::optional<std::u16string> EnvironmentVariable(const std::u16string& name) override;
  void WriteDebugLine(const std::u16string& line, const std::u16string& path) override;

 private:
  // A serial request in flight. The driver writes the reply and sets the event when it ends the
  // request, so both must outlive it.
  struct SerialRequest {
    std::u16string path;
    OVERLAPPED overlapped = {};
    std::array<uint8_t, 1024> reply = {};
  };
  // Requests abandoned at their limit that their driver has not ended yet, even when cancelled:
  // kept (never freed while pending), and their interface is not asked again meanwhile, so that
  // a wedged driver costs one request and not one per listing.
  Mutex abandoned_mutex_;  // a leaf
  std::vector<SerialRequest*> abandoned_ GUARDED_BY(abandoned_mutex_);
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_WIN32_WIN32_PLATFORM_H
