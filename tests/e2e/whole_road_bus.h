// Devices on the bus that the built library watches, set up the way the platform shows them:
// natively a fake sysfs tree (MOBILEINFO_SYSFS_ROOT), under Wine USB device nodes and ADB
// interfaces in the registry. Also where the library keeps its data files.
#ifndef MOBILEINFO_TESTS_E2E_WHOLE_ROAD_BUS_H
#define MOBILEINFO_TESTS_E2E_WHOLE_ROAD_BUS_H

#include <filesystem>
#include <memory>
#include <string>

namespace mobileinfo::e2e {

class TestBus {
 public:
  static std::unique_ptr<TestBus> Create();
  virtual ~TestBus() = default;

  // Points the library's platform at this bus. Call before CreatePelmoInfo.
  virtual void Attach() = 0;
  // vid and pid are four lower-case hex digits; serial is upper case (Windows instance ids are).
  // A phone whose ADB interface is up.
  virtual bool PlugAdbPhone(const std::string& vid, const std::string& pid,
                            const std::string& serial) = 0;
  // A phone without ADB interface (a modem function only).
  virtual bool PlugPlainPhone(const std::string& vid, const std::string& pid,
                              const std::string& serial) = 0;
  virtual void Unplug(const std::string& serial) = 0;
};

// The directory of this program: the host directory of the library it loads.
std::filesystem::path HostDirectory();

}  // namespace mobileinfo::e2e

#endif  // MOBILEINFO_TESTS_E2E_WHOLE_ROAD_BUS_H
