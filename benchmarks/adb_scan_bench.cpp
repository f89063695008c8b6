// QueryPhoneStatus's ADB scan through the fake platform, with n phones whose ADB interfaces are
// active: the time of one query and the driver requests it makes (driver_requests, per query).
// The host asks again and again while the phones stay plugged in, so the loop measures repeated
// queries after a first one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "fake_platform.h"
#include "model/phone_record.h"
#include "service/service.h"

namespace mobileinfo {
namespace {

std::u16string Hex4(int value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x", value & 0xFFFF);
  return U(text);
}

std::u16string PhoneSerial(int i) { return U("R58M" + std::to_string(100000 + i)); }

void BM_QueryAdbStatus(benchmark::State& state) {
  const int phones = static_cast<int>(state.range(0));
  FakePlatform fake;
  for (int i = 0; i < phones; ++i) {
    const std::u16string path = u"\\\\?\\usb#vid_04e8&pid_" + Hex4(0x6860 + i) + u"#" +
                                PhoneSerial(i) + u"#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
    fake.AddInterface(path, true);
    fake.SetAdbSerial(path, PhoneSerial(i));
  }
  MobileInfoService service(fake);
  // The last phone: its interface is the last the scan reaches.
  PhoneRecord record = MakePhoneRecord(u"VID_04e8&PID_" + Hex4(0x6860 + phones - 1),
                                       PhoneSerial(phones - 1));
  service.QueryPhoneStatus(&record);
  const int requests_before = fake.adb_serial_requests;
  for (auto _ : state) benchmark::DoNotOptimize(service.QueryPhoneStatus(&record));
  state.counters["driver_requests"] = benchmark::Counter(
      fake.adb_serial_requests - requests_before, benchmark::Counter::kAvgIterations);
  if (record.adb_status != 2) state.SkipWithError("the phone is not ready");
}
BENCHMARK(BM_QueryAdbStatus)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace mobileinfo
