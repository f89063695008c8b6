// A forwarded arrival to code 3 with a large phone cache (a repair shop's year: 10,000 phones, 153
// MB), through the service and its threads on the fake platform: a phone the cache knows, and a
// new one the service identifies. And the memory a save of that cache takes beside the records.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "eventually.h"
#include "fake_platform.h"
#include "platform_wrapper.h"
#include "model/phone_record.h"
#include "recording_sink.h"
#include "service/service.h"

// Every allocation of the program is counted, so that a benchmark can tell the most memory that
// was in use at once.
namespace {
std::atomic<size_t> g_in_use{0};
std::atomic<size_t> g_peak{0};

void* Counted(size_t size) {
  void* block = std::malloc(size + sizeof(std::max_align_t));
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  const size_t now = g_in_use += size;
  size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + sizeof(std::max_align_t);
}

void Uncounted(void* pointer) {
  if (!pointer) return;
  void* block = static_cast<char*>(pointer) - sizeof(std::max_align_t);
  g_in_use -= *static_cast<size_t*>(block);
  std::free(block);
}
}  // namespace

void* operator new(size_t size) { return Counted(size); }
void* operator new[](size_t size) { return Counted(size); }
void operator delete(void* pointer) noexcept { Uncounted(pointer); }
void operator delete[](void* pointer) noexcept { Uncounted(pointer); }
void operator delete(void* pointer, size_t) noexcept { Uncounted(pointer); }
void operator delete[](void* pointer, size_t) noexcept { Uncounted(pointer); }

namespace mobileinfo {
namespace {

constexpr int kCachedPhones = 10000;
const char kSection[] = "[18d1_4ee2]\r\nUID=1\r\nName=Nimbus 5\r\n";

std::u16string Numbered(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof(text), "%s%08d", prefix, i);
  return U(text);
}

// A started service whose cache holds kCachedPhones phones (loaded from the file, as after Init),
// on a bus of one hub.
struct RunningService {
  RunningService() {
    {
      PhoneStore seed(fake);
      for (int i = 0; i < kCachedPhones; ++i) {
        PhoneRecord record = MakePhoneRecord(Numbered("VID_", i), Numbered("R58M", i));
        CopyField(record.name, u"Galaxy");
        CopyField(record.package_download, u"http://drivers.invalid/" + Numbered("p", i));
        record.time_stamp = fake.Now();
        seed.PutPhoneForTesting(Numbered("R58M", i), record);
      }
      seed.SavePhoneCache();
    }
    fake.Lock()->http = [](const std::u16string&) {
      FakeHttpReply reply;
      reply.body = kSection;
      reply.content_length = U(std::to_string(reply.body.size()));
      return reply;
    };
    fake.AddDevice(u"USB\\ROOT_HUB30\\4&1");
    service.Init(&sink, 1);
    service.Start();
    Eventually([&] { return fake.Lock()->device_list_calls > 0; });
  }
  ~RunningService() { service.Stop(); }

  // Plugs the device in and waits for code 3 (timed), then pulls it out and waits for the
  // removal's code 2 and the cycle's saves (not timed).
  void PlugAndPull(benchmark::State& state, const std::u16string& instance_id) {
    const size_t before = sink.size();
    fake.AddDevice(instance_id);
    service.OnDeviceChange(0x8000, 0);
    sink.WaitFor(before + 1);
    state.PauseTiming();
    sink.WaitFor(before + 2);  // code 1: the report ends after its grace period
    fake.RemoveDevice(instance_id);
    service.OnDeviceChange(0x8004, 0);
    sink.WaitFor(before + 3);
    state.ResumeTiming();
  }

  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service{fake, Timings()};

  static ServiceTimings Timings() {
    ServiceTimings timings;
    timings.grace_ms = 1;
    timings.poll_ms = 1;
    return timings;
  }
};

void BM_PublishKnownPhone(benchmark::State& state) {
  RunningService running;
  for (auto _ : state) running.PlugAndPull(state, u"USB\\VID_18D1&PID_4EE2\\R58M00000042");
}
BENCHMARK(BM_PublishKnownPhone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PublishNewPhone(benchmark::State& state) {
  RunningService running;
  int next = 0;
  for (auto _ : state) {
    running.PlugAndPull(state, u"USB\\VID_18D1&PID_4EE2\\" + Numbered("NEW", next++));
  }
}
BENCHMARK(BM_PublishNewPhone)->Unit(benchmark::kMillisecond)->UseRealTime();

// Wraps a fake whose written files go nowhere: what a save allocates is the library's own.
class NowherePlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                 FileError* error) override {
    if (mode == FileMode::kReadExisting) return PlatformWrapper::OpenFile(path, mode, error);
    struct Nowhere : File {
      std::optional<uint32_t> Read(void*, uint32_t) override { return 0u; }
      bool Write(const void*, uint32_t) override { return true; }
      int64_t Seek(uint32_t offset) override { return offset; }
      bool Flush() override { return true; }
      uint32_t Size() override { return 0; }
    };
    return std::make_unique<Nowhere>();
  }
  bool ReplaceFile(const std::u16string&, const std::u16string&, FileError*) override { return true; }
};

// peak_ratio: the most memory in use while saving (a save may also keep memory for the next one),
// above what the filled store held before its first save, as a share of the records' bytes.
void BM_SavePhoneCachePeakMemory(benchmark::State& state) {
  FakePlatform fake;
  NowherePlatform nowhere(fake);
  PhoneStore store(nowhere);
  for (int i = 0; i < kCachedPhones; ++i) {
    store.PutPhoneForTesting(Numbered("R58M", i), MakePhoneRecord(Numbered("VID_", i), Numbered("R58M", i)));
  }
  const double records = static_cast<double>(kCachedPhones) * sizeof(PhoneRecord);
  const size_t base = g_in_use.load();
  g_peak = base;
  for (auto _ : state) {
    store.PutModelForTesting(u"VID_0000&PID_0000", true);  // a change to save
    benchmark::DoNotOptimize(store.SavePhoneCache());
  }
  state.counters["peak_ratio"] = static_cast<double>(g_peak.load() - base) / records;
}
BENCHMARK(BM_SavePhoneCachePeakMemory)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mobileinfo
