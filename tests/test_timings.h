// Service timings short enough for the core's tests, whose fake answers at once.
#ifndef MOBILEINFO_TESTS_TEST_TIMINGS_H
#define MOBILEINFO_TESTS_TEST_TIMINGS_H

#include <cstdint>

#include "service/service_core.h"

namespace mobileinfo {

inline ServiceTimings TestTimings(uint32_t poll_ms, uint32_t grace_ms, uint32_t download_limit_ms,
                                  uint32_t stop_wait_ms) {
  ServiceTimings timings;
  timings.poll_ms = poll_ms;
  timings.grace_ms = grace_ms;
  timings.download_limit_ms = download_limit_ms;
  timings.stop_wait_ms = stop_wait_ms;
  return timings;
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_TEST_TIMINGS_H
