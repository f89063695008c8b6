// mobileinfo_watch on Linux as the sample monitor runs it: a fake bus named by
// MOBILEINFO_SYSFS_ROOT is polled on the watch's own thread; plugging and unplugging reach
// OnDeviceChange as arrival and removal codes until Stop.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "eventually.h"
#include "linux/fake_sysfs.h"
#include "mobileinfo/watch.h"
#include "recording_service.h"

namespace mobileinfo {
namespace {

constexpr uint32_t kArrival = 0x8000;
constexpr uint32_t kRemoveComplete = 0x8004;

// The watch reads the variable at every poll; it is put back when the test ends.
class ScopedSysfsRoot {
 public:
  explicit ScopedSysfsRoot(const std::string& root) {
    if (const char* old = getenv("MOBILEINFO_SYSFS_ROOT")) {
      had_ = true;
      old_ = old;
    }
    if (root.empty()) {
      unsetenv("MOBILEINFO_SYSFS_ROOT");
    } else {
      setenv("MOBILEINFO_SYSFS_ROOT", root.c_str(), 1);
    }
  }
  ~ScopedSysfsRoot() {
    if (had_) {
      setenv("MOBILEINFO_SYSFS_ROOT", old_.c_str(), 1);
    } else {
      unsetenv("MOBILEINFO_SYSFS_ROOT");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(DeviceWatch, ForwardsPlugAndUnplugOfAFakeBusUntilStopped) {
  FakeSysfs bus;
  bus.LoadFixture("root_hub.txt");
  ScopedSysfsRoot root(bus.root());
  RecordingService service;
  WatchOptions options;
  options.poll_ms = 20;
  std::string error;
  std::unique_ptr<DeviceWatch> watch = DeviceWatch::Start(&service, options, &error);
  ASSERT_NE(watch, nullptr) << error;
  EXPECT_EQ(watch->notice(), "");  // a fake tree is polled on purpose

  // Start returns once the bus is listed: a device plugged right after it is an arrival.
  bus.LoadFixture("phone_adb.txt");
  ASSERT_TRUE(Eventually([&] { return service.CountOf(kArrival) == 1; }));
  bus.Unplug("1-2");
  ASSERT_TRUE(Eventually([&] { return service.CountOf(kRemoveComplete) == 1; }));
  EXPECT_EQ(service.Calls().size(), 2u);
  EXPECT_FALSE(watch->Finished());

  EXPECT_EQ(watch->Stop(), 0);
  EXPECT_TRUE(watch->Finished());
  // Nothing is forwarded after Stop returned, whatever the bus does.
  bus.LoadFixture("phone_adb.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(service.Calls().size(), 2u);
  EXPECT_EQ(watch->Stop(), 0);  // a second Stop is harmless
}

TEST(DeviceWatch, EndsByItselfWhenTheTimeIsUpAndSaysWhyItPolls) {
  ScopedSysfsRoot root("");  // the machine's own bus
  RecordingService service;
  WatchOptions options;
  options.seconds = 1;
  std::unique_ptr<DeviceWatch> watch = DeviceWatch::Start(&service, options);
  ASSERT_NE(watch, nullptr);
  // Without udevd a udev monitor would stay silent: the watch polls and says so.
  if (access("/run/udev/control", F_OK) != 0) {
    EXPECT_NE(watch->notice().find("udev is not running"), std::string::npos) << watch->notice();
  }
  EXPECT_TRUE(Eventually([&] { return watch->Finished(); }, std::chrono::seconds(30)));
  EXPECT_EQ(watch->Stop(), 0);
}

}  // namespace
}  // namespace mobileinfo
