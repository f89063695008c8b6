// The USB scan's own work through the fake platform: building the scan map from the present
// devices, the diff against the previous scan and the snapshot save.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "usb/device_tracker.h"

namespace mobileinfo {
namespace {

std::u16string InstanceId(int vendor, int serial, const char* serial_prefix = "R58M") {
  std::string id = "USB\\VID_" + std::to_string(1000 + vendor % 9000) + "&PID_6860\\" +
                   serial_prefix + std::to_string(100000 + serial);
  return U(id);
}

// Every scan sees the same devices: the steady state of a machine with n devices plugged in.
void BM_ScanUsbDevices(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  FakePlatform fake;
  for (int i = 0; i < n; ++i) {
    fake.AddDevice(InstanceId(i, i), i % 3 == 0 ? u"USB Composite Device" : u"USB Mass Storage Device");
    fake.AddDevice(InstanceId(i, i) + u"&MI_01", u"ADB Interface");  // skipped, as in a real list
  }
  DeviceTracker tracker(fake);
  UsbScan changes;
  tracker.ScanUsbDevicesForTesting(changes);
  for (auto _ : state) benchmark::DoNotOptimize(tracker.ScanUsbDevicesForTesting(changes));
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ScanUsbDevices)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Every other scan half the devices are replaced by others and the rest report their serials in
// another letter case, so that the diff finds arrivals, removals and case-only matches each time.
void BM_ScanUsbDevicesWithChurn(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  FakePlatform fake;
  std::vector<PresentDevice> sets[2];
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < n; ++i) {
      std::u16string id = i % 2 == 0 ? InstanceId(i, i, k == 0 ? "R58M" : "r58m")
                                     : InstanceId(i, i + k * n);
      sets[k].push_back(PresentDevice{id, u"USB Composite Device"});
    }
  }
  DeviceTracker tracker(fake);
  UsbScan changes;
  int k = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fake.Lock()->devices = sets[k];
    k ^= 1;
    state.ResumeTiming();
    benchmark::DoNotOptimize(tracker.ScanUsbDevicesForTesting(changes));
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ScanUsbDevicesWithChurn)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mobileinfo
