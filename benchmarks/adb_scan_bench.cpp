// QueryPhoneStatus through the fake platform, with n phones whose ADB interfaces are active and
// r more interfaces registered but not active (phones the machine has seen before): the time of
// one query, and the interface listings (listings) and driver requests (driver_requests) it makes
// on average. The host asks again and again while the phones stay plugged in, so the loop
// measures repeated queries after a first one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "adb_cases.h"
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

std::u16string PhonePath(int i) {
  return u"\\\\?\\usb#vid_04e8&pid_" + Hex4(0x6860 + i) + u"#" + PhoneSerial(i) +
         u"#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
}

void BM_QueryAdbStatus(benchmark::State& state) {
  const int phones = static_cast<int>(state.range(0));
  const int registered = static_cast<int>(state.range(1));
  FakePlatform fake;
  // The registered ones first: the phone asked about is the last the listing reaches.
  for (int i = phones; i < phones + registered; ++i) fake.AddInterface(PhonePath(i), false);
  for (int i = 0; i < phones; ++i) {
    fake.AddInterface(PhonePath(i), true);
    fake.SetAdbSerial(PhonePath(i), PhoneSerial(i));
  }
  MobileInfoService service(fake);
  PhoneRecord record = MakePhoneRecord(u"VID_04e8&PID_" + Hex4(0x6860 + phones - 1),
                                       PhoneSerial(phones - 1));
  service.QueryPhoneStatus(&record);
  const int requests_before = fake.Lock()->adb_serial_requests;
  const int listings_before = fake.Lock()->interface_list_opens;
  for (auto _ : state) benchmark::DoNotOptimize(service.QueryPhoneStatus(&record));
  state.counters["driver_requests"] = benchmark::Counter(
      fake.Lock()->adb_serial_requests - requests_before, benchmark::Counter::kAvgIterations);
  state.counters["listings"] = benchmark::Counter(fake.Lock()->interface_list_opens - listings_before,
                                                  benchmark::Counter::kAvgIterations);
  if (record.adb_status != 2) state.SkipWithError("the phone is not ready");
}
BENCHMARK(BM_QueryAdbStatus)->Apply(WithRegistered);

}  // namespace
}  // namespace mobileinfo
