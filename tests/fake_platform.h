// A scripted platform for the core's tests: an in-memory file system with fault injection, a
// scripted device list, interface list and serial answers, scripted HTTP replies, and a clock the
// test can move. Tests set the script through the helpers or under the fake's lock (Lock()).
#ifndef MOBILEINFO_TESTS_FAKE_PLATFORM_H
#define MOBILEINFO_TESTS_FAKE_PLATFORM_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

struct FakeHttpReply {
  bool handle = true;                         // false: no request handle (server unreachable)
  std::optional<std::u16string> content_length;  // header text; nothing = no header
  std::string body;                           // delivered whole, then the body ends
  uint32_t delay_ms = 0;                      // before the body arrives (cancellable)
  uint32_t status = 200;                      // the final reply's status code
};

// What the fake answers, the faults it injects, and what it counted. Reached only through
// FakePlatform::Lock(), which holds the fake's lock while the handle lives.
struct FakeScript {
  std::u16string host_directory = u"C:\\Host";
  char16_t separator = u'\\';
  std::optional<OsVersion> os_version = OsVersion{2, 6, 1};
  std::optional<uint16_t> native_architecture = uint16_t{9};
  uint32_t process_id = 0x1234;
  std::set<uint32_t> other_processes;  // running besides this one, for ProcessExists
  std::u16string temp_directory = u"C:\\Temp\\";
  // Time: real by default; ManualTime() freezes both clocks where the test sets them.
  bool manual_time = false;
  uint32_t tick = 0;
  int32_t now = 0;

  std::map<std::u16string, std::string> files;   // path -> bytes
  std::set<std::u16string> directories;
  std::set<std::u16string> unwritable_directories;  // CanWriteDirectory says no
  // UserStateDirectory(name) gives state_home + separator + name; empty: the system has none.
  std::u16string state_home;
  std::set<std::u16string> undeletable;          // DeleteFile fails
  std::set<std::u16string> unopenable;           // OpenFile fails: held by another program
  // path -> offset: a read of that file past the offset, or a seek to it or beyond, fails, as a
  // read of a damaged disk or of a file another program locks fails part-way.
  std::map<std::u16string, size_t> read_fails_at;
  std::set<std::u16string> unreplaceable;        // ReplaceFile onto here fails
  bool flush_fails = false;                      // File::Flush fails
  // A write to a file opened after this is set fails once the file would exceed this many bytes
  // (the bytes that fit are written, as a full disk does).
  std::optional<size_t> write_limit;

  bool device_list_fails = false;
  std::vector<PresentDevice> devices;

  bool interface_list_fails = false;
  std::vector<InterfaceEntry> interfaces;
  uint32_t interface_end_error = kErrorNoMoreItems;
  // path -> reply bytes; a path not here fails the request.
  std::map<std::u16string, std::array<uint8_t, 1024>> adb_serial_replies;
  // Each request stalls this long in the driver, or until its limit, when it is abandoned.
  uint32_t adb_serial_delay_ms = 0;

  std::function<FakeHttpReply(const std::u16string& url)> http;
  std::vector<std::u16string> requested_urls;
  std::vector<uint32_t> request_limits;  // the limit_ms of each OpenUrl, in order
  int profile_file_reads = 0;  // reads of a whole file by the profile reader

  std::vector<std::u16string> debug_traps;
  // When >= 0: that many more RunDetached calls start their thread, the one after fails.
  int detached_starts_before_failure = -1;

  std::map<std::u16string, std::u16string> environment;
  struct DebugLine {
    std::u16string line;
    std::u16string path;  // empty: the system's debug output
  };
  std::vector<DebugLine> debug_lines;

  // Operations (by name: "TickCount", "ListPresentDevices") whose next call throws
  // std::bad_alloc, as a failed allocation would, once each.
  std::set<std::string> throw_once;

  // counters
  int device_list_calls = 0;
  int interface_list_opens = 0;
  int adb_serial_requests = 0;
  std::map<std::u16string, int> replacements;  // target path -> ReplaceFile calls that succeeded
};

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // The script under the fake's lock for as long as the handle lives: one statement
  // (platform.Lock()->devices.clear()) or a block (auto script = platform.Lock();). The lock is
  // not recursive: a block that holds a handle calls nothing else of the fake.
  class Locked {
   public:
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() RELEASE() { mutex_.Unlock(); }
    FakeScript* operator->() const { return &script_; }
    FakeScript& operator*() const { return script_; }

   private:
    friend class FakePlatform;
    Locked(Mutex& mutex, FakeScript& script) ACQUIRE(mutex) : mutex_(mutex), script_(script) {
      mutex_.Lock();
    }
    Mutex& mutex_;
    FakeScript& script_;
  };
  Locked Lock() { return Locked(mutex_, script_); }

  // --- helpers --------------------------------------------------------------------------------
  void ManualTime(uint32_t tick_ms, int32_t now_s);
  void AdvanceTime(uint32_t ms);
  void SetFile(const std::u16string& path, const std::string& bytes);
  std::optional<std::string> GetFile(const std::u16string& path) const;
  void AddDevice(const std::u16string& instance_id,
                 std::optional<std::u16string> description = std::nullopt);
  void RemoveDevice(const std::u16string& instance_id);
  void AddInterface(const std::u16string& path, bool active);
  void SetInterfaceActive(const std::u16string& path, bool active);
  // Makes the driver answer serial for the interface at path.
  void SetAdbSerial(const std::u16string& path, const std::u16string& serial);
  // True when a debug line written so far contains part.
  bool Logged(const std::u16string& part) const;
  // Waits for every thread started with RunDetached to end.
  void JoinDetached();
  int detached_started() const;

  // --- Platform -------------------------------------------------------------------------------
  std::u16string HostDirectory() override;
  char16_t PathSeparator() override;
  std::optional<OsVersion> GetOsVersion() override;
  std::optional<uint16_t> NativeProcessorArchitecture() override;
  uint32_t TickCount() override;
  int32_t Now() override;
  uint32_t ProcessId() override;
  bool ProcessExists(uint32_t process_id) override;
  bool IsReadable(const void* address, uint32_t size) override;
  void DebugTrap(const char16_t* message) override;
  uint32_t ReadProfileString(const std::u16string& file, const std::u16string& section,
                             const std::u16string& key, uint32_t capacity,
                             std::u16string& value) override;
  bool FileExists(const std::u16string& path) override;
  std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                 FileError* error = nullptr) override;
  bool DeleteFile(const std::u16string& path) override;
  bool ReplaceFile(const std::u16string& from, const std::u16string& to,
                   FileError* error = nullptr) override;
  bool CreateDirectory(const std::u16string& path) override;
  bool CanWriteDirectory(const std::u16string& path) override;
  std::u16string UserStateDirectory(const std::u16string& name) override;
  std::u16string TempDirectory() override;
  std::vector<std::u16string> ListFiles(const std::u16string& directory,
                                        const std::u16string& prefix) override;
  bool ListPresentDevices(std::vector<PresentDevice>& devices) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) override;
  bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                        uint32_t limit_ms) override;
  void ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                          std::vector<ProfileRead>& reads) override;
  std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) override;
  bool RunDetached(std::function<void()> work) override;
  std::optional<std::u16string> EnvironmentVariable(const std::u16string& name) override;
  void WriteDebugLine(const std::u16string& line, const std::u16string& path) override;

 private:
  friend class FakeFile;
  // Throws when name is in throw_once (and takes it out).
  void MaybeThrow(const char* name) REQUIRES(mutex_);

  mutable Mutex mutex_;
  FakeScript script_ GUARDED_BY(mutex_);
  std::set<std::u16string> open_files_ GUARDED_BY(mutex_);  // opened without sharing
  std::vector<std::thread> detached_ GUARDED_BY(mutex_);
  int detached_started_ GUARDED_BY(mutex_) = 0;
};

// The process-wide fake that Platform::Default() returns in the test binaries.
FakePlatform& DefaultFakePlatform();

// UTF-8 literal to UTF-16, for readable tests.
std::u16string U(const std::string& utf8);

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_FAKE_PLATFORM_H
