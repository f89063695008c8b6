// The ADB scan through the Linux backend over a fake sysfs bus of 36 USB devices, n of them
// phones with an active ADB interface: what QueryPhoneStatus pays on each call while the phones
// stay plugged in.
#include <benchmark/benchmark.h>

#include <string>

#include "linux/fake_sysfs.h"
#include "platform/linux/linux_platform.h"
#include "usb/adb_registry.h"

namespace mobileinfo {
namespace {

constexpr int kDevices = 36;

void BM_LinuxAdbScan(benchmark::State& state) {
  const int phones = static_cast<int>(state.range(0));
  FakeSysfs bus;
  std::string description =
      "device usb1 idVendor=1d6b idProduct=0002 version=\" 2.00\"\n"
      "device usb2 idVendor=1d6b idProduct=0002 version=\" 2.00\"\n";
  for (int i = 0; i < kDevices; ++i) {
    const std::string port = std::to_string(i + 1);
    if (i < phones) {
      description += "device 1-" + port + " idVendor=18d1 idProduct=4ee7 version=\" 2.00\" " +
                     "bNumInterfaces=\" 1\" product=Phone serial=PHONE" + port + "\n" +
                     "interface 1-" + port + ":1.0 bInterfaceNumber=00 bInterfaceClass=ff " +
                     "bInterfaceSubClass=42 bInterfaceProtocol=01 interface=ADB\n";
    } else {
      description += "device 2-" + port + " idVendor=0781 idProduct=5567 version=\" 2.00\" " +
                     "bNumInterfaces=\" 1\" product=Stick serial=STICK" + port + "\n" +
                     "interface 2-" + port + ":1.0 bInterfaceNumber=00 bInterfaceClass=08 " +
                     "bInterfaceSubClass=06 bInterfaceProtocol=50\n";
    }
  }
  bus.Load(description);
  LinuxPlatform platform(bus.root());
  AdbRegistry service(platform);
  if (service.ScanAdbInterfaces(kAdbInterfaceClass) != 1) state.SkipWithError("scan failed");
  for (auto _ : state) benchmark::DoNotOptimize(service.ScanAdbInterfaces(kAdbInterfaceClass));
}
BENCHMARK(BM_LinuxAdbScan)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mobileinfo
