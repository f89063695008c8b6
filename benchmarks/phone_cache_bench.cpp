// Saving and loading the phone cache against the in-memory fake file system, beside a plain copy
// of the same bytes: a memcpy of a buffer of the file's size, and one write (or read) of those
// bytes through the fake file. The ratio shows what building the image under the cache lock,
// the per-record writes and the replace, and parsing into the maps cost.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "model/phone_record.h"
#include "cache/phone_store.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

constexpr int32_t kNow = 1700000000;
const std::u16string kCachePath = u"C:\\Host\\MobileInfo1.dat";

std::u16string Numbered(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof(text), "%s%08d", prefix, i);
  return U(text);
}

// A service whose phone info map holds `records` identified phones, one model each.
struct CacheBench {
  explicit CacheBench(int records) {
    fake.ManualTime(0, kNow);
    for (int i = 0; i < records; ++i) {
      const std::u16string serial = Numbered("R58M", i);
      const std::u16string key = Numbered("VID_", i);
      PhoneRecord record = MakePhoneRecord(key, serial);
      const std::u16string name = u"Galaxy S" + serial;
      const std::u16string url = u"http://drivers.invalid/" + serial + u".zip";
      CopyField(record.name, name);
      CopyField(record.package_download, url);
      record.time_stamp = kNow - 60;
      store.PutPhoneForTesting(serial, record);
      store.PutModelForTesting(key, true);
    }
  }
  std::string SavedBytes() {
    store.SavePhoneCache();
    return fake.GetFile(kCachePath).value_or("");
  }

  FakePlatform fake;
  PhoneStore store{fake};
};

void Finish(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["file_bytes"] = static_cast<double>(bytes);
}

void BM_SavePhoneCache(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const size_t bytes = bench.SavedBytes().size();
  for (auto _ : state) {
    bench.store.PutModelForTesting(u"VID_0000&PID_0000", true);  // a save writes only what changed
    benchmark::DoNotOptimize(bench.store.SavePhoneCache());
  }
  Finish(state, bytes);
}

void BM_LoadPhoneCache(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const size_t bytes = bench.SavedBytes().size();
  for (auto _ : state) {
    // Init empties the maps before it loads; so does every round here.
    bench.store.Clear();
    benchmark::DoNotOptimize(bench.store.LoadPhoneCache());
  }
  Finish(state, bytes);
}

void BM_MemcpySameBytes(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const std::string source = bench.SavedBytes();
  std::vector<char> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  Finish(state, source.size());
}

void BM_WriteSameBytesToFakeFile(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const std::string bytes = bench.SavedBytes();
  for (auto _ : state) {
    auto file = bench.fake.OpenFile(kCachePath, FileMode::kCreateAlways);
    benchmark::DoNotOptimize(file->Write(bytes.data(), static_cast<uint32_t>(bytes.size())));
  }
  Finish(state, bytes.size());
}

// The file work of a save without building the image: the bytes written record by record to a
// temporary file beside the cache, flushed, and put in the cache's place. The fake file system
// then allocates the file afresh, as SavePhoneCache makes it do.
void BM_ReplaceFileWithSameBytes(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const std::string bytes = bench.SavedBytes();
  const std::u16string temporary = kCachePath + u".tmp";
  const uint32_t record_size = sizeof(PhoneRecord);
  for (auto _ : state) {
    auto file = bench.fake.OpenFile(temporary, FileMode::kCreateAlways);
    bool ok = file->Write(bytes.data(), 4);
    for (uint32_t offset = 4; ok && offset < bytes.size(); offset += record_size) {
      ok = file->Write(bytes.data() + offset, record_size);
    }
    ok = ok && file->Flush();
    file.reset();
    benchmark::DoNotOptimize(ok && bench.fake.ReplaceFile(temporary, kCachePath));
  }
  Finish(state, bytes.size());
}

void BM_ReadSameBytesFromFakeFile(benchmark::State& state) {
  CacheBench bench(static_cast<int>(state.range(0)));
  const size_t size = bench.SavedBytes().size();
  std::vector<char> target(size);
  for (auto _ : state) {
    auto file = bench.fake.OpenFile(kCachePath, FileMode::kReadExisting);
    benchmark::DoNotOptimize(file->Read(target.data(), static_cast<uint32_t>(size)));
    benchmark::ClobberMemory();
  }
  Finish(state, size);
}

#define CACHE_SIZES Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_SavePhoneCache)->CACHE_SIZES;
BENCHMARK(BM_WriteSameBytesToFakeFile)->CACHE_SIZES;
BENCHMARK(BM_ReplaceFileWithSameBytes)->CACHE_SIZES;
BENCHMARK(BM_LoadPhoneCache)->CACHE_SIZES;
BENCHMARK(BM_ReadSameBytesFromFakeFile)->CACHE_SIZES;
BENCHMARK(BM_MemcpySameBytes)->CACHE_SIZES;

}  // namespace
}  // namespace mobileinfo
