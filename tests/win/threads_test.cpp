// Detached threads under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/platform.h"

namespace mobileinfo {
namespace {

// Waits up to ten seconds for condition; the work runs on a thread nobody joins.
template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

TEST(RunDetached, RunsTheWorkOnAnotherThreadAndThenDestroysIt) {
  auto owned = std::make_shared<int>(42);
  std::atomic<DWORD> worker_thread{0};
  std::atomic<int> seen{0};
  ASSERT_TRUE(Platform::Default().RunDetached([owned, &worker_thread, &seen] {
    seen = *owned;
    worker_thread = GetCurrentThreadId();
  }));
  ASSERT_TRUE(Eventually([&] { return seen.load() == 42; }));
  EXPECT_NE(worker_thread.load(), GetCurrentThreadId());
  // The thread frees the work when it is done: the capture's reference goes with it.
  EXPECT_TRUE(Eventually([&] { return owned.use_count() == 1; }));
}

TEST(RunDetached, AnExceptionInTheWorkDoesNotEndTheProcess) {
  std::atomic<bool> after{false};
  ASSERT_TRUE(Platform::Default().RunDetached([] { throw std::runtime_error("lost"); }));
  ASSERT_TRUE(Platform::Default().RunDetached([&after] { after = true; }));
  EXPECT_TRUE(Eventually([&] { return after.load(); }));
}

TEST(RunDetached, ManyThreadsEachRunOnce) {
  constexpr int kThreads = 32;
  std::atomic<int> runs{0};
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_TRUE(Platform::Default().RunDetached([&runs] { ++runs; }));
  }
  EXPECT_TRUE(Eventually([&] { return runs.load() == kThreads; }));
  Sleep(50);
  EXPECT_EQ(runs.load(), kThreads);
}

// Threads that finished wait for more work, but a work never waits for another: works that
// block until all of them run at once still all run.
TEST(RunDetached, WorksRunAtOnceWhateverThreadsAreIdle) {
  constexpr int kWorks = 24;
  // Static: a work still waiting when the test gives up must not reach freed locals.
  static std::atomic<int> started{0};
  static std::atomic<int> done{0};
  for (int round = 0; round < 2; ++round) {
    started = 0;
    for (int i = 0; i < kWorks; ++i) {
      ASSERT_TRUE(Platform::Default().RunDetached([] {
        ++started;
        for (int wait = 0; wait < 1000 && started.load() < kWorks; ++wait) Sleep(10);
        if (started.load() == kWorks) ++done;
      }));
    }
    EXPECT_TRUE(Eventually([&] { return done.load() == (round + 1) * kWorks; }));
  }
}

}  // namespace
}  // namespace mobileinfo
