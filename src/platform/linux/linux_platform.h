// The Linux backend: POSIX files, sysfs for the USB bus, libcurl for HTTP. It reports what the
// machine says in the form the Windows backend would report it (instance ids, interface paths,
// Win32 error numbers) and leaves every judgement to the core.
#ifndef MOBILEINFO_PLATFORM_LINUX_LINUX_PLATFORM_H
#define MOBILEINFO_PLATFORM_LINUX_LINUX_PLATFORM_H

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/linux/sysfs_usb.h"
#include "platform/linux/usb_names.h"
#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

class LinuxPlatform : public Platform {
 public:
  // Reads the USB bus below the directory named by MOBILEINFO_SYSFS_ROOT, or "/sys" when it is
  // unset or empty; the variable is consulted on every enumeration.
  LinuxPlatform();
  // Reads the USB bus below sysfs_root (a fake tree in tests), whatever the environment says.
  explicit LinuxPlatform(std::string sysfs_root);
  ~LinuxPlatform() override;

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

  uint32_t ReadProfileString(const std::u16string& file, const std::u16string& section,
                             const std::u16string& key, uint32_t capacity,
                             std::u16string& value) override;
  void ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                          std::vector<ProfileRead>& reads) override;

  bool FileExists(const std::u16string& path) override;
  std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                 FileError* error = nullptr) override;
  bool DeleteFile(const std::u16string& path) override;
  bool ReplaceFile(const std::u16string& from, const std::u16string& to,
                   FileError* error = nullptr) override;
  bool CreateDirectory(const std::u16string& path) override;
  bool CanWriteDirectory(const std::u16string& path) override;
  std::u16string UserStateDirectory(const std::u16string& name) override;
  std::u16string TempDirectory() override;
  std::vector<std::u16string> ListFiles(const std::u16string& directory,
                                        const std::u16string& prefix) override;

  bool ListPresentDevices(std::vector<PresentDevice>& devices) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) override;
  bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                        uint32_t limit_ms) override;

  std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) override;

  bool RunDetached(std::function<void()> work) override;

  std::optional<std::u16string> EnvironmentVariable(const std::u16string& name) override;
  void WriteDebugLine(const std::u16string& line, const std::u16string& path) override;

 private:
  std::string SysfsRoot() const;
  // ReadUsbBus on SysfsRoot(), with the devices that another one's serial already names marked.
  bool ReadBus(std::vector<SysfsUsbDevice>& bus);

  const std::optional<std::string> fixed_sysfs_root_;

  // Every ADB interface path seen while this object lives, in order of first sight: Windows keeps
  // listing the interfaces of unplugged devices (without SPINT_ACTIVE), and the core relies on
  // that to see an unplugged phone's ADB state drop from 2 to 1.
  Mutex adb_mutex_;  // a leaf, like temp_mutex_: the core's locks may be held around either
  std::vector<std::u16string> known_adb_paths_ GUARDED_BY(adb_mutex_);
  // The same paths for lookup: a listing's cost must not grow with the square of the phones seen.
  std::unordered_set<std::u16string> known_adb_path_set_ GUARDED_BY(adb_mutex_);
  // The present ADB interfaces as the newest ADB interface list read them from the bus, while a
  // list holding that read is open. The core asks for serials while it steps through a list, so
  // RequestAdbSerial answers from that read instead of reading the whole bus once per request.
  struct AdbBusRead;
  std::weak_ptr<const AdbBusRead> listed_adb_ GUARDED_BY(adb_mutex_);

  // Which devices their serial names, remembered across readings of the bus.
  Mutex names_mutex_;  // a leaf
  SerialNames serial_names_ GUARDED_BY(names_mutex_);

  // The temporary folder made when the usual name is not a private directory of the user's
  // (see TempDirectory); empty until then.
  Mutex temp_mutex_;
  std::string fallback_temp_ GUARDED_BY(temp_mutex_);
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_LINUX_LINUX_PLATFORM_H
