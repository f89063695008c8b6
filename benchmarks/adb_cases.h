// The cases every ADB benchmark runs: one ready phone, sixteen, and one beside 200 interfaces
// the machine registered for phones that are gone (named `others`: "registered", "seen_before").
#ifndef MOBILEINFO_BENCHMARKS_ADB_CASES_H
#define MOBILEINFO_BENCHMARKS_ADB_CASES_H

#include <benchmark/benchmark.h>

namespace mobileinfo {

inline void AdbCases(benchmark::internal::Benchmark* b, const char* others) {
  b->ArgNames({"ready", others})->Args({1, 0})->Args({16, 0})->Args({1, 200});
  b->Unit(benchmark::kMicrosecond);
}
inline void WithRegistered(benchmark::internal::Benchmark* b) { AdbCases(b, "registered"); }
inline void WithSeenBefore(benchmark::internal::Benchmark* b) { AdbCases(b, "seen_before"); }

}  // namespace mobileinfo

#endif  // MOBILEINFO_BENCHMARKS_ADB_CASES_H
