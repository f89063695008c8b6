// A platform that hands every call to another one. A test that needs one call to behave
// differently (a fault, a gate, a probe) wraps the fake and overrides that call alone, so the
// rest keeps the fake's behaviour and bookkeeping.
#ifndef MOBILEINFO_TESTS_PLATFORM_WRAPPER_H
#define MOBILEINFO_TESTS_PLATFORM_WRAPPER_H

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mobileinfo {

class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  Platform& target() { return target_; }

  std::u16string HostDirectory() override { return target_.HostDirectory(); }
  char16_t PathSeparator() override { return target_.PathSeparator(); }
  std::optional<OsVersion> GetOsVersion() override { return target_.GetOsVersion(); }
  std::optional<uint16_t> NativeProcessorArchitecture() override {
    return target_.NativeProcessorArchitecture();
  }
  uint32_t TickCount() override { return target_.TickCount(); }
  int32_t Now() override { return target_.Now(); }
  uint32_t ProcessId() override { return target_.ProcessId(); }
  bool ProcessExists(uint32_t process_id) override { return target_.ProcessExists(process_id); }
  bool IsReadable(const void* address, uint32_t size) override {
    return target_.IsReadable(address, size);
  }
  void DebugTrap(const char16_t* message) override { target_.DebugTrap(message); }
  bool FreeHostBlock(void* block) override { return target_.FreeHostBlock(block); }
  uint32_t ReadProfileString(const std::u16string& file, const std::u16string& section,
                             const std::u16string& key, uint32_t capacity,
                             std::u16string& value) override {
    return target_.ReadProfileString(file, section, key, capacity, value);
  }
  void ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                          std::vector<ProfileRead>& reads) override {
    target_.ReadProfileStrings(file, section, reads);
  }
  bool FileExists(const std::u16string& path) override { return target_.FileExists(path); }
  std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                 FileError* error = nullptr) override {
    return target_.OpenFile(path, mode, error);
  }
  bool DeleteFile(const std::u16string& path) override { return target_.DeleteFile(path); }
  bool ReplaceFile(const std::u16string& from, const std::u16string& to,
                   FileError* error = nullptr) override {
    return target_.ReplaceFile(from, to, error);
  }
  bool CreateDirectory(const std::u16string& path) override {
    return target_.CreateDirectory(path);
  }
  std::u16string UserStateDirectory(const std::u16string& name) override {
    return target_.UserStateDirectory(name);
  }
  bool CanWriteDirectory(const std::u16string& path) override {
    return target_.CanWriteDirectory(path);
  }
  std::u16string TempDirectory() override { return target_.TempDirectory(); }
  std::vector<std::u16string> ListFiles(const std::u16string& directory,
                                        const std::u16string& prefix) override {
    return target_.ListFiles(directory, prefix);
  }
  bool ListPresentDevices(std::vector<PresentDevice>& devices) override {
    return target_.ListPresentDevices(devices);
  }
  std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) override {
    return target_.OpenInterfaceList(class_guid);
  }
  bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                        uint32_t limit_ms) override {
    return target_.RequestAdbSerial(path, reply, limit_ms);
  }
  std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) override {
    return target_.OpenUrl(url, limit_ms);
  }
  bool RunDetached(std::function<void()> work) override {
    return target_.RunDetached(std::move(work));
  }
  void DispatchSentMessages() override { target_.DispatchSentMessages(); }
  std::optional<std::u16string> EnvironmentVariable(const std::u16string& name) override {
    return target_.EnvironmentVariable(name);
  }
  void WriteDebugLine(const std::u16string& line, const std::u16string& path) override {
    target_.WriteDebugLine(line, path);
  }

 private:
  Platform& target_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_PLATFORM_WRAPPER_H
