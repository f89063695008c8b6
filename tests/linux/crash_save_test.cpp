// A host killed while it saves its data files (kill -9, at a random moment, 200 times): each
// next start finds every file whole, with its old content or its new one.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "platform/linux/linux_platform.h"
#include "model/phone_record.h"
#include "service/service.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace mobileinfo {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kKills = 40;  // each child is a sanitized process: slow to start
#else
constexpr int kKills = 200;
#endif
constexpr int kPhones = 300;
constexpr int kDevices = 200;
constexpr char kChildDirectory[] = "MOBILEINFO_CRASH_SAVE_DIRECTORY";
constexpr char kChildGeneration[] = "MOBILEINFO_CRASH_SAVE_GENERATION";
constexpr char kChildReady[] = "MOBILEINFO_CRASH_SAVE_READY";  // a pipe's write end

// The real backend with the data files in a directory of the test's.
class DirectoryPlatform : public LinuxPlatform {
 public:
  explicit DirectoryPlatform(const std::string& directory)
      : LinuxPlatform("/nonexistent"), directory_(Utf8ToUtf16(directory)) {}
  std::u16string HostDirectory() override { return directory_; }

 private:
  const std::u16string directory_;
};

// Fills the maps with generation g: every phone's name and every device's key say which.
void FillGeneration(MobileInfoService& service, int g) {
  const std::u16string mark = Utf8ToUtf16("g" + std::to_string(g));
  for (int i = 0; i < kPhones; ++i) {
    const std::u16string serial = Utf8ToUtf16("P" + std::to_string(i));
    PhoneRecord record = MakePhoneRecord(u"VID_18d1&PID_4ee2", serial);
    CopyField(record.name, mark);
    record.time_stamp = static_cast<int32_t>(std::time(nullptr));
    service.CoreForTesting()->store.PutPhoneForTesting(serial, record);
  }
  for (int i = 0; i < kDevices; ++i) {
    const std::u16string serial = Utf8ToUtf16("D" + std::to_string(i));
    UsbDeviceRecord device = ZeroDeviceRecord();
    CopyField(device.device_key, mark);
    CopyField(device.serial, serial);
    service.CoreForTesting()->tracker.AcknowledgeArrivals({device});
  }
}

// The saving host: run in a process of its own, it saves new generations until it is killed.
TEST(CrashSave, ChildSavesUntilKilled) {
  const char* directory = std::getenv(kChildDirectory);
  if (!directory) GTEST_SKIP() << "the crash test's child";
  DirectoryPlatform platform(directory);
  MobileInfoService service(platform);
  for (int g = std::atoi(std::getenv(kChildGeneration));; ++g) {
    FillGeneration(service, g);
    if (const char* ready = std::getenv(kChildReady)) {
      const int fd = std::atoi(ready);
      (void)!write(fd, "r", 1);  // the saves begin: the parent's random delay starts now
      close(fd);
      unsetenv(kChildReady);
    }
    service.CoreForTesting()->store.SavePhoneCache();
    service.CoreForTesting()->tracker.SaveDeviceSnapshot();
  }
}

// Each file holds a header and exactly its records, all of one generation; returns it.
int Generation(const std::string& path, size_t record_size, size_t records, size_t mark_offset) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.size(), 4 + records * record_size) << path;
  if (bytes.size() != 4 + records * record_size) return -1;
  std::string first;
  for (size_t k = 0; k < records; ++k) {
    std::u16string mark(16, u'\0');
    std::memcpy(&mark[0], bytes.data() + 4 + k * record_size + mark_offset, 32);
    const std::string text = Utf16ToUtf8(mark.substr(0, mark.find(u'\0')));
    if (k == 0) first = text;
    EXPECT_EQ(text, first) << path << " mixes generations at record " << k;
  }
  return std::stoi(first.substr(1));
}

TEST(CrashSave, KilledAtAnyMomentEveryFileLoadsWhole) {
  std::string pattern = (fs::temp_directory_path() / "mobileinfo-crash-XXXXXX").string();
  ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
  const std::string directory = pattern;
  {
    DirectoryPlatform platform(directory);
    MobileInfoService service(platform);
    FillGeneration(service, 0);
    ASSERT_EQ(service.CoreForTesting()->store.SavePhoneCache(), 1);
    ASSERT_EQ(service.CoreForTesting()->tracker.SaveDeviceSnapshot(), 1);
  }
  std::mt19937 random(20261208);
  // A save of both files takes some tens of milliseconds here: the kills fall before, inside and
  // after the first saves alike.
  std::uniform_int_distribution<int> delay_us(0, 60000);
  int newer = 0;
  int last_cache = 0;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      setenv(kChildReady, std::to_string(ready[1]).c_str(), 1);
      setenv(kChildDirectory, directory.c_str(), 1);
      setenv(kChildGeneration, std::to_string(1000 * (kill_number + 1)).c_str(), 1);
      execl("/proc/self/exe", "crash-child", "--gtest_filter=CrashSave.ChildSavesUntilKilled",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child never began to save";
    close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;

    SCOPED_TRACE("kill " + std::to_string(kill_number));
    const int cache = Generation(directory + "/MobileInfo1.dat", sizeof(PhoneRecord), kPhones,
                                 offsetof(PhoneRecord, name));
    Generation(directory + "/MobileInfo2.dat", sizeof(UsbDeviceRecord), kDevices,
               offsetof(UsbDeviceRecord, device_key));
    if (HasFailure()) break;
    newer += cache != last_cache;
    last_cache = cache;
    // The library loads them as well.
    DirectoryPlatform platform(directory);
    MobileInfoService restarted(platform);
    EXPECT_EQ(restarted.CoreForTesting()->store.LoadPhoneCache(), 1);
    EXPECT_EQ(restarted.CoreForTesting()->store.PhonesForTesting().size(), static_cast<size_t>(kPhones));
    EXPECT_EQ(restarted.CoreForTesting()->tracker.LoadDeviceSnapshot(), 1);
    EXPECT_EQ(restarted.CoreForTesting()->tracker.PresentDevicesForTesting().size(), static_cast<size_t>(kDevices));
  }
  // Kills that landed after a save took effect: the loop did test both sides of a replace.
  EXPECT_GT(newer, 0);
  RecordProperty("kills_after_a_save", newer);
  std::error_code ignored;
  fs::remove_all(directory, ignored);
}

}  // namespace
}  // namespace mobileinfo
