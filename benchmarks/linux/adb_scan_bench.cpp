// The ADB state through the Linux backend over a fake sysfs bus of 36 USB devices, n of them
// phones with an active ADB interface, after r other phones were plugged in and unplugged again
// (their interfaces stay listed, not active): one ADB listing (BM_LinuxAdbScan), and what
// QueryPhoneStatus pays on each call while the phones stay plugged in (BM_LinuxQueryAdbStatus).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "../adb_cases.h"
#include "linux/fake_sysfs.h"
#include "model/phone_record.h"
#include "platform/linux/linux_platform.h"
#include "support/text.h"
#include "usb/adb_registry.h"

namespace mobileinfo {
namespace {

constexpr int kDevices = 36;

std::string PhoneLines(const std::string& name, const std::string& serial) {
  return "device " + name + " idVendor=18d1 idProduct=4ee7 version=\" 2.00\" " +
         "bNumInterfaces=\" 1\" product=Phone serial=" + serial + "\n" + "interface " + name +
         ":1.0 bInterfaceNumber=00 bInterfaceClass=ff bInterfaceSubClass=42 " +
         "bInterfaceProtocol=01 interface=ADB\n";
}

struct Bench {
  FakeSysfs bus;
  std::unique_ptr<LinuxPlatform> platform;
  std::unique_ptr<AdbRegistry> adb;
};

// The bus of n ready phones, with r phones seen by an earlier listing and gone since.
std::unique_ptr<Bench> MakeBench(int phones, int seen_before) {
  auto bench = std::make_unique<Bench>();
  std::string description =
      "device usb1 idVendor=1d6b idProduct=0002 version=\" 2.00\"\n"
      "device usb2 idVendor=1d6b idProduct=0002 version=\" 2.00\"\n"
      "device usb3 idVendor=1d6b idProduct=0002 version=\" 2.00\"\n";
  for (int i = 0; i < kDevices; ++i) {
    const std::string port = std::to_string(i + 1);
    if (i < phones) {
      description += PhoneLines("1-" + port, "PHONE" + port);
    } else {
      description += "device 2-" + port + " idVendor=0781 idProduct=5567 version=\" 2.00\" " +
                     "bNumInterfaces=\" 1\" product=Stick serial=STICK" + port + "\n" +
                     "interface 2-" + port + ":1.0 bInterfaceNumber=00 bInterfaceClass=08 " +
                     "bInterfaceSubClass=06 bInterfaceProtocol=50\n";
    }
  }
  std::string earlier;
  for (int i = 0; i < seen_before; ++i) {
    earlier += PhoneLines("3-" + std::to_string(i + 1), "GONE" + std::to_string(i));
  }
  bench->bus.Load(description + earlier);
  bench->platform = std::make_unique<LinuxPlatform>(bench->bus.root());
  bench->adb = std::make_unique<AdbRegistry>(*bench->platform);
  bench->adb->ScanAdbInterfaces();
  for (int i = 0; i < seen_before; ++i) bench->bus.Unplug("3-" + std::to_string(i + 1));
  return bench;
}

void BM_LinuxAdbScan(benchmark::State& state) {
  std::unique_ptr<Bench> bench =
      MakeBench(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (bench->adb->ScanAdbInterfaces() != 1) state.SkipWithError("scan failed");
  for (auto _ : state) {
    benchmark::DoNotOptimize(bench->adb->ScanAdbInterfaces());
  }
}
BENCHMARK(BM_LinuxAdbScan)->Apply(WithSeenBefore);

void BM_LinuxQueryAdbStatus(benchmark::State& state) {
  const int phones = static_cast<int>(state.range(0));
  std::unique_ptr<Bench> bench = MakeBench(phones, static_cast<int>(state.range(1)));
  // The last phone: its interface is the last the listing reaches.
  PhoneRecord record =
      MakePhoneRecord(u"VID_18d1&PID_4ee7", Utf8ToUtf16("PHONE" + std::to_string(phones)));
  bench->adb->QueryAdbStatus(record);
  for (auto _ : state) benchmark::DoNotOptimize(bench->adb->QueryAdbStatus(record));
  if (record.adb_status != 2) state.SkipWithError("the phone is not ready");
}
BENCHMARK(BM_LinuxQueryAdbStatus)->Apply(WithSeenBefore);

}  // namespace
}  // namespace mobileinfo
