// The road a Linux desktop takes, on umockdev: its preload library (the test runs under
// umockdev-wrapper) shows a test bed as /sys and delivers the test bed's uevents to udev
// monitors. The udev watcher forwards them to the library, which reads the bus through the real
// /sys path (MOBILEINFO_SYSFS_ROOT unset) and asks the test service.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "recording_service.h"
#include "recording_sink.h"
#include "service/service.h"
#include "service/run.h"
#include "support/text.h"
#include "test_service.h"
#include "watch_internal.h"

namespace mobileinfo {
namespace {

using std::chrono::milliseconds;
using namespace watch_internal;

constexpr milliseconds kEventWait{10000};

// Records what the watcher forwards, and passes it on to the library.
class Forwarder : public RecordingService {
 public:
  explicit Forwarder(IPelmoInfo& library) : library_(library) {}
  void OnDeviceChange(uint32_t event_type, int32_t event_data) override {
    RecordingService::OnDeviceChange(event_type, event_data);
    library_.OnDeviceChange(event_type, event_data);
  }

 private:
  IPelmoInfo& library_;
};

class UdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MOBILEINFO_SYSFS_ROOT");
    std::string why;
    const e2e::ServiceControl* control = e2e::SharedService(0, &why);
    ASSERT_NE(control, nullptr) << why;
    ASSERT_TRUE(control->SetMode("normal"));
    testbed_ = umockdev_testbed_new();
    ASSERT_TRUE(umockdev_in_mock_environment()) << "run it under umockdev-wrapper";
    hub_ = umockdev_testbed_add_device(testbed_, "usb", "usb1", nullptr, "idVendor", "1d6b",
                                       "idProduct", "0002", "bDeviceClass", "09", nullptr,
                                       "DEVTYPE", "usb_device", nullptr);
    // udevd's sign, made in the test bed: the machine's /run is not the test's to change.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    seams_.control_path = std::string(root) + "/udev-control";
    g_free(root);
    std::ofstream(seams_.control_path).put('\n');
    seams_.socket_events = [this](short events) {
      return static_cast<short>(fail_socket_.exchange(false) ? POLLERR : events);
    };

    Platform& platform = Platform::Default();
    for (const char16_t* name : {u"MobileInfo1.dat", u"MobileInfo2.dat"}) {
      platform.DeleteFile(platform.HostDirectory() + platform.PathSeparator() + name);
    }
    library_ = std::make_unique<MobileInfoService>(
        platform, ServiceTimings(),
        u"http://127.0.0.1:" + Utf8ToUtf16(std::to_string(control->port())));
    ASSERT_EQ(library_->Init(&sink_, 1), 1);
    ASSERT_EQ(library_->Start(), 1);
    forwarder_ = std::make_unique<Forwarder>(*library_);
    StartWatch();
  }

  void TearDown() override {
    StopWatch();
    if (library_) library_->Stop();
    library_.reset();
    g_free(hub_);
    if (testbed_) g_object_unref(testbed_);
  }

  // The watcher on a thread of its own, woken by Stop as DeviceWatch runs it.
  void StartWatch() {
    std::atomic<bool> listening{false};
    watcher_ = std::thread([this, &listening] {
      const WatchControl control{stop_, &waker_,
                                 [&listening](const std::string&) { listening = true; }, &seams_};
      result_ = Watch(forwarder_.get(), WatchOptions(), control, error_);
      ended_ = true;
    });
    ASSERT_TRUE(Eventually([&] { return listening || ended_; }));
    ASSERT_FALSE(ended_) << error_;
  }

  void StopWatch() {
    if (!watcher_.joinable()) return;
    stop_ = true;
    waker_.Wake();
    watcher_.join();
  }

  // A phone with its ADB interface on port 1-<port>. As the kernel does it, the device's add
  // uevent comes before its interface exists.
  std::string Plug(int port, const std::string& serial) {
    const std::string name = "1-" + std::to_string(port);
    gchar* device = umockdev_testbed_add_device(
        testbed_, "usb", name.c_str(), hub_, "idVendor", "18d1", "idProduct", "4f3a", "serial",
        serial.c_str(), "version", " 2.00", "bNumInterfaces", " 1", "bDeviceClass", "00",
        "product", "Nimbus", nullptr, "DEVTYPE", "usb_device", nullptr);
    g_free(umockdev_testbed_add_device(
        testbed_, "usb", (name + ":1.0").c_str(), device, "bInterfaceNumber", "00",
        "bInterfaceClass", "ff", "bInterfaceSubClass", "42", "bInterfaceProtocol", "01",
        "interface", "ADB", nullptr, "DEVTYPE", "usb_interface", nullptr));
    std::string syspath = device;
    g_free(device);
    return syspath;
  }

  // Waits until a scan cycle has ended with count phones known (MobileInfo2.dat is saved as a
  // cycle ends, after its publication), all of them listed, and every arrival report has ended:
  // removals during a report are covered by it, not reported.
  bool Settled(size_t count) {
    Platform& platform = Platform::Default();
    const std::filesystem::path snapshot = Utf16ToUtf8(
        platform.HostDirectory() + platform.PathSeparator() + u"MobileInfo2.dat");
    return Eventually(
        [&] {
          std::error_code ignored;
          if (std::filesystem::file_size(snapshot, ignored) != 4 + count * 1092) return false;
          std::vector<int32_t> codes = sink_.codes();
          auto n = [&](int32_t code) { return std::count(codes.begin(), codes.end(), code); };
          return library_->CoreForTesting()->phone_list.Copy().size() == count &&
                 !ReportPending() && n(kArrivalReportBegins) > 0 &&
                 n(kArrivalReportBegins) == n(kPhoneReady) + n(kNoPhoneLeft);
        },
        kEventWait);
  }

  // Whether an arrival report is pending (published, its code 1 or 4 not yet due).
  bool ReportPending() {
    std::shared_ptr<mobileinfo::Run> run = library_->RunForTesting();
    return run && run->ReportForTesting().Pending();
  }

  // The serials of the code-2 events, each with the model name of an identified phone.
  std::set<std::u16string> RemovedPhones() {
    std::set<std::u16string> serials;
    for (const RecordedEvent& event : sink_.events()) {
      if (event.code == kDeviceRemoved && event.name() == u"Nimbus 5") serials.insert(event.serial());
    }
    return serials;
  }

  UMockdevTestbed* testbed_ = nullptr;
  gchar* hub_ = nullptr;
  UdevSeams seams_;
  std::atomic<bool> fail_socket_{false};
  RecordingSink sink_;
  std::unique_ptr<MobileInfoService> library_;
  std::unique_ptr<Forwarder> forwarder_;
  std::atomic<bool> stop_{false};
  Waker waker_;
  std::thread watcher_;
  std::atomic<bool> ended_{false};
  int result_ = 0;
  std::string error_;
};

// The remove uevent comes while the device is still in /sys, as the kernel sends it: the scan it
// starts still lists the phone, and only a second look hears it go.
TEST_F(UdevTest, PhonePluggedAndPulledOutIsReportedWhateverTheOrderOfEventAndRemoval) {
  const std::string phone = Plug(2, "NIMBUS0100");
  ASSERT_TRUE(Settled(1)) << ::testing::PrintToString(sink_.codes());
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  EXPECT_EQ(sink_.events()[1].serial(), u"NIMBUS0100");
  EXPECT_EQ(sink_.events()[1].name(), u"Nimbus 5");

  umockdev_testbed_uevent(testbed_, phone.c_str(), "remove");
  std::this_thread::sleep_for(milliseconds(30));
  umockdev_testbed_remove_device(testbed_, phone.c_str());
  ASSERT_TRUE(Eventually([&] { return RemovedPhones().size() == 1; }, kEventWait))
      << ::testing::PrintToString(sink_.codes());
  EXPECT_FALSE(ended_);
}

TEST_F(UdevTest, BurstOfSixteenArrivalsAndSixteenRemovalsEachReachTheSink) {
  std::vector<std::string> phones;
  std::set<std::u16string> serials;
  // umockdev's sender gives up when the monitor socket's queue (10 datagrams) is full, so each
  // event waits until the one before it was taken; the library's scans still overlap them.
  for (size_t i = 0; i < 16; ++i) {
    const std::string serial = "NIMBUS02" + std::to_string(10 + i);
    phones.push_back(Plug(static_cast<int>(2 + i), serial));
    serials.insert(Utf8ToUtf16(serial));
    ASSERT_TRUE(Eventually([&] { return forwarder_->CountOf(kDeviceArrival) == i + 1; }));
  }
  ASSERT_TRUE(Settled(16)) << ::testing::PrintToString(sink_.codes());

  // Pulled out together: every remove uevent comes before any device leaves /sys.
  for (size_t i = 0; i < 16; ++i) {
    umockdev_testbed_uevent(testbed_, phones[i].c_str(), "remove");
    ASSERT_TRUE(Eventually([&] { return forwarder_->CountOf(kDeviceRemoveComplete) >= i + 1; }));
  }
  for (const std::string& phone : phones) umockdev_testbed_remove_device(testbed_, phone.c_str());
  ASSERT_TRUE(Eventually([&] { return RemovedPhones() == serials; }, kEventWait))
      << RemovedPhones().size() << " of 16 removals reported";
  EXPECT_TRUE(library_->CoreForTesting()->phone_list.Copy().empty());
}

// An overflow of the monitor socket's buffer (or any error on it) loses events: the watcher opens
// a new monitor, forwards one rescan code, and keeps watching.
TEST_F(UdevTest, FailedMonitorSocketIsOpenedAgainAndTheBusRescanned) {
  fail_socket_ = true;
  const std::string phone = Plug(2, "NIMBUS0300");  // its event is lost with the socket
  ASSERT_TRUE(Settled(1)) << ::testing::PrintToString(sink_.codes());
  EXPECT_EQ(forwarder_->CountOf(kDevNodesChanged), 1u);
  EXPECT_EQ(forwarder_->CountOf(kDeviceArrival), 0u);

  umockdev_testbed_uevent(testbed_, phone.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, phone.c_str());
  ASSERT_TRUE(Eventually([&] { return RemovedPhones().size() == 1; }, kEventWait));
  EXPECT_FALSE(ended_) << error_;
  StopWatch();
  EXPECT_EQ(result_, 0) << error_;
}

}  // namespace
}  // namespace mobileinfo
