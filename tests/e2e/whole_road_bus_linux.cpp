#include <stdlib.h>
#include <unistd.h>

#include <map>

#include "linux/fake_sysfs.h"
#include "whole_road_bus.h"

namespace mobileinfo::e2e {
namespace {

class SysfsBus : public TestBus {
 public:
  SysfsBus() {
    sysfs_.Load(
        "device usb1 idVendor=1d6b idProduct=0002 version=\" 2.00\" bNumInterfaces=\" 1\" "
        "bDeviceClass=09 product=\"EHCI Host Controller\" serial=0000:00:1d.0\n"
        "interface usb1:1.0 bInterfaceNumber=00 bInterfaceClass=09 bInterfaceSubClass=00 "
        "bInterfaceProtocol=00\n");
  }

  void Attach() override { setenv("MOBILEINFO_SYSFS_ROOT", sysfs_.root().c_str(), 1); }

  bool PlugAdbPhone(const std::string& vid, const std::string& pid,
                    const std::string& serial) override {
    return Plug(vid, pid, serial, "bInterfaceClass=ff bInterfaceSubClass=42 bInterfaceProtocol=01 "
                                  "interface=ADB");
  }

  bool PlugPlainPhone(const std::string& vid, const std::string& pid,
                      const std::string& serial) override {
    return Plug(vid, pid, serial, "bInterfaceClass=02 bInterfaceSubClass=02 bInterfaceProtocol=01 "
                                  "interface=Modem");
  }

  void Unplug(const std::string& serial) override {
    auto port = ports_.find(serial);
    if (port == ports_.end()) return;
    sysfs_.Unplug(port->second);
    ports_.erase(port);
  }

 private:
  bool Plug(const std::string& vid, const std::string& pid, const std::string& serial,
            const std::string& interface_attributes) {
    // Each plug takes a port of its own, as a real hub hands out.
    const std::string port = "1-" + std::to_string(next_port_++);
    sysfs_.Load("device " + port + " idVendor=" + vid + " idProduct=" + pid +
                " version=\" 2.00\" bNumInterfaces=\" 1\" bDeviceClass=00 manufacturer=Test "
                "product=Phone serial=" + serial + "\n" +
                "interface " + port + ":1.0 bInterfaceNumber=00 " + interface_attributes + "\n");
    ports_[serial] = port;
    return true;
  }

  FakeSysfs sysfs_;
  std::map<std::string, std::string> ports_;  // serial -> device entry
  int next_port_ = 2;
};

}  // namespace

std::unique_ptr<TestBus> TestBus::Create() { return std::make_unique<SysfsBus>(); }

std::filesystem::path HostDirectory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace mobileinfo::e2e
