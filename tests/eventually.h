// Waiting in tests for something a worker thread does: polls the predicate until it holds or a
// generous limit passes. The limit is a safety net, not a timing check.
#ifndef MOBILEINFO_TESTS_EVENTUALLY_H
#define MOBILEINFO_TESTS_EVENTUALLY_H

#include <chrono>
#include <thread>

namespace mobileinfo {

template <typename P>
bool Eventually(P predicate, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return predicate();
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_EVENTUALLY_H
