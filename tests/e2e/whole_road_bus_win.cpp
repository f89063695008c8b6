#include <windows.h>

#include <map>
#include <variant>

#include "whole_road_bus.h"
#include "win/registry_devices.h"

namespace mobileinfo::e2e {
namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::wstring InstanceId(const std::string& vid, const std::string& pid, const std::string& serial) {
  return Wide("USB\\VID_" + Upper(vid) + "&PID_" + Upper(pid) + "\\" + serial);
}

class RegistryBus : public TestBus {
 public:
  void Attach() override {}

  bool PlugAdbPhone(const std::string& vid, const std::string& pid,
                    const std::string& serial) override {
    // Registering the interface registers its device node too, listed as present.
    auto phone = std::make_unique<testing::ScopedAdbInterface>(InstanceId(vid, pid, serial), true);
    bool ok = phone->ok();
    devices_[serial] = std::move(phone);
    return ok;
  }

  bool PlugPlainPhone(const std::string& vid, const std::string& pid,
                      const std::string& serial) override {
    auto phone = std::make_unique<testing::ScopedUsbDevice>(InstanceId(vid, pid, serial),
                                                            std::wstring(L"Phone Modem"));
    bool ok = phone->ok();
    devices_[serial] = std::move(phone);
    return ok;
  }

  void Unplug(const std::string& serial) override { devices_.erase(serial); }

 private:
  using Device = std::variant<std::unique_ptr<testing::ScopedAdbInterface>,
                              std::unique_ptr<testing::ScopedUsbDevice>>;
  std::map<std::string, Device> devices_;
};

}  // namespace

std::unique_ptr<TestBus> TestBus::Create() { return std::make_unique<RegistryBus>(); }

std::filesystem::path HostDirectory() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path();
}

}  // namespace mobileinfo::e2e
