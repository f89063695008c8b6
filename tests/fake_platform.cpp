#include "fake_platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <new>

#include "support/profile_text.h"
#include "support/text.h"

namespace mobileinfo {

Platform& Platform::Default() { return DefaultFakePlatform(); }

FakePlatform& DefaultFakePlatform() {
  static FakePlatform* platform = new FakePlatform();  // never destroyed: detached users
  return *platform;
}

std::u16string U(const std::string& utf8) { return Utf8ToUtf16(utf8); }

class FakeFile : public File {
 public:
  FakeFile(FakePlatform& owner, std::u16string path, std::optional<size_t> limit)
      : owner_(owner), path_(std::move(path)), limit_(limit) {}
  ~FakeFile() override {
    MutexLock lock(&owner_.mutex_);
    owner_.open_files_.erase(path_);
  }
  std::optional<uint32_t> Read(void* buffer, uint32_t size) override {
    MutexLock lock(&owner_.mutex_);
    const std::string& data = owner_.script_.files[path_];
    if (position_ >= data.size()) return 0u;
    size_t n = std::min<size_t>(size, data.size() - position_);
    auto fails = owner_.script_.read_fails_at.find(path_);
    if (fails != owner_.script_.read_fails_at.end() && position_ + n > fails->second) return std::nullopt;
    std::memcpy(buffer, data.data() + position_, n);
    position_ += n;
    return static_cast<uint32_t>(n);
  }
  bool Write(const void* bytes, uint32_t size) override {
    MutexLock lock(&owner_.mutex_);
    std::string& data = owner_.script_.files[path_];
    size_t n = size;
    bool ok = true;
    if (limit_ && position_ + n > *limit_) {
      n = *limit_ > position_ ? *limit_ - position_ : 0;
      ok = false;
    }
    if (data.size() < position_ + n) data.resize(position_ + n);
    std::memcpy(&data[position_], bytes, n);
    position_ += n;
    return ok;
  }
  int64_t Seek(uint32_t offset) override {
    MutexLock lock(&owner_.mutex_);
    auto fails = owner_.script_.read_fails_at.find(path_);
    if (fails != owner_.script_.read_fails_at.end() && offset >= fails->second) return -1;
    position_ = offset;
    return offset;
  }
  bool Flush() override {
    MutexLock lock(&owner_.mutex_);
    return !owner_.script_.flush_fails;
  }
  uint32_t Size() override {
    MutexLock lock(&owner_.mutex_);
    return static_cast<uint32_t>(owner_.script_.files[path_].size());
  }

 private:
  FakePlatform& owner_;
  std::u16string path_;
  std::optional<size_t> limit_;
  size_t position_ = 0;
};

namespace {

class FakeInterfaceList : public InterfaceList {
 public:
  FakeInterfaceList(std::vector<InterfaceEntry> entries, uint32_t end_error)
      : entries_(std::move(entries)), end_error_(end_error) {}
  bool Next(InterfaceEntry& entry) override {
    if (index_ >= entries_.size()) {
      error_ = end_error_;
      return false;
    }
    entry = entries_[index_++];
    return true;
  }
  uint32_t error() const override { return error_; }

 private:
  std::vector<InterfaceEntry> entries_;
  uint32_t end_error_;
  size_t index_ = 0;
  uint32_t error_ = 0;
};

class FakeHttpRequest : public HttpRequest {
 public:
  explicit FakeHttpRequest(FakeHttpReply reply) : reply_(std::move(reply)) {}
  uint32_t StatusCode() override { return reply_.status; }
  std::optional<std::u16string> ContentLength() override { return reply_.content_length; }
  uint32_t Read(void* buffer, uint32_t size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_) {
      cv_.wait_for(lock, std::chrono::milliseconds(reply_.delay_ms), [&] { return cancelled_; });
      arrived_ = true;
    }
    if (cancelled_) return 0;
    size_t n = std::min<size_t>(size, reply_.body.size() - offset_);
    std::memcpy(buffer, reply_.body.data() + offset_, n);
    offset_ += n;
    if (n < size) ended_ = true;
    return static_cast<uint32_t>(n);
  }
  bool BodyEnded() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && !cancelled_;
  }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    cv_.notify_all();
  }

 private:
  FakeHttpReply reply_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool arrived_ = false;  // the delay before the body is over
  size_t offset_ = 0;     // body bytes delivered
  bool ended_ = false;
  bool cancelled_ = false;
};

}  // namespace

FakePlatform::FakePlatform() = default;
FakePlatform::~FakePlatform() { JoinDetached(); }

void FakePlatform::MaybeThrow(const char* name) {
  if (script_.throw_once.erase(name)) throw std::bad_alloc();
}

void FakePlatform::ManualTime(uint32_t tick_ms, int32_t now_s) {
  MutexLock lock(&mutex_);
  script_.manual_time = true;
  script_.tick = tick_ms;
  script_.now = now_s;
}

void FakePlatform::AdvanceTime(uint32_t ms) {
  MutexLock lock(&mutex_);
  script_.tick += ms;
  script_.now += static_cast<int32_t>(ms / 1000);
}

void FakePlatform::SetFile(const std::u16string& path, const std::string& bytes) {
  MutexLock lock(&mutex_);
  script_.files[path] = bytes;
}

std::optional<std::string> FakePlatform::GetFile(const std::u16string& path) const {
  MutexLock lock(&mutex_);
  auto it = script_.files.find(path);
  if (it == script_.files.end()) return std::nullopt;
  return it->second;
}

void FakePlatform::AddDevice(const std::u16string& instance_id,
                             std::optional<std::u16string> description) {
  MutexLock lock(&mutex_);
  script_.devices.push_back(PresentDevice{instance_id, std::move(description)});
}

void FakePlatform::RemoveDevice(const std::u16string& instance_id) {
  MutexLock lock(&mutex_);
  for (auto it = script_.devices.begin(); it != script_.devices.end();) {
    if (it->instance_id && *it->instance_id == instance_id) it = script_.devices.erase(it);
    else ++it;
  }
}

void FakePlatform::AddInterface(const std::u16string& path, bool active) {
  MutexLock lock(&mutex_);
  InterfaceEntry entry;
  entry.path = path;
  entry.active = active;
  script_.interfaces.push_back(entry);
}

void FakePlatform::SetInterfaceActive(const std::u16string& path, bool active) {
  MutexLock lock(&mutex_);
  for (auto& entry : script_.interfaces) {
    if (entry.path && *entry.path == path) entry.active = active;
  }
}

void FakePlatform::SetAdbSerial(const std::u16string& path, const std::u16string& serial) {
  std::array<uint8_t, 1024> reply{};
  size_t n = std::min<size_t>(serial.size() * 2, reply.size());
  std::memcpy(reply.data(), serial.data(), n);
  MutexLock lock(&mutex_);
  script_.adb_serial_replies[path] = reply;
}

bool FakePlatform::Logged(const std::u16string& part) const {
  MutexLock lock(&mutex_);
  return std::any_of(script_.debug_lines.begin(), script_.debug_lines.end(),
                     [&](const FakeScript::DebugLine& l) { return l.line.find(part) != l.line.npos; });
}

void FakePlatform::JoinDetached() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      MutexLock lock(&mutex_);
      threads.swap(detached_);
    }
    if (threads.empty()) return;
    for (auto& t : threads) t.join();
  }
}

int FakePlatform::detached_started() const {
  MutexLock lock(&mutex_);
  return detached_started_;
}

std::u16string FakePlatform::HostDirectory() {
  MutexLock lock(&mutex_);
  return script_.host_directory;
}

char16_t FakePlatform::PathSeparator() {
  MutexLock lock(&mutex_);
  return script_.separator;
}

std::optional<OsVersion> FakePlatform::GetOsVersion() {
  MutexLock lock(&mutex_);
  return script_.os_version;
}

std::optional<uint16_t> FakePlatform::NativeProcessorArchitecture() {
  MutexLock lock(&mutex_);
  return script_.native_architecture;
}

uint32_t FakePlatform::TickCount() {
  MutexLock lock(&mutex_);
  MaybeThrow("TickCount");
  if (script_.manual_time) return script_.tick;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int32_t FakePlatform::Now() {
  MutexLock lock(&mutex_);
  if (script_.manual_time) return script_.now;
  return static_cast<int32_t>(std::time(nullptr));
}

uint32_t FakePlatform::ProcessId() {
  MutexLock lock(&mutex_);
  return script_.process_id;
}

bool FakePlatform::ProcessExists(uint32_t id) {
  MutexLock lock(&mutex_);
  return id == script_.process_id || script_.other_processes.count(id) != 0;
}

bool FakePlatform::IsReadable(const void* address, uint32_t) { return address != nullptr; }

void FakePlatform::DebugTrap(const char16_t* message) {
  MutexLock lock(&mutex_);
  script_.debug_traps.push_back(message ? message : u"");
}

uint32_t FakePlatform::ReadProfileString(const std::u16string& file,
                                         const std::u16string& section,
                                         const std::u16string& key, uint32_t capacity,
                                         std::u16string& value) {
  std::string bytes;
  {
    MutexLock lock(&mutex_);
    auto it = script_.files.find(file);
    if (it == script_.files.end()) {
      value.clear();
      return 0;
    }
    bytes = it->second;
    ++script_.profile_file_reads;
  }
  return ReadProfileText(DecodeProfileBytes(bytes), section, key, capacity, value);
}

// As the Linux backend: one read of the file for the whole batch.
void FakePlatform::ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                                      std::vector<ProfileRead>& reads) {
  std::string bytes;
  {
    MutexLock lock(&mutex_);
    auto it = script_.files.find(file);
    if (it != script_.files.end()) {
      bytes = it->second;
      ++script_.profile_file_reads;
    }
  }
  const std::u16string text = DecodeProfileBytes(bytes);
  for (ProfileRead& read : reads) {
    read.count = ReadProfileText(text, section, read.key, read.capacity, read.value);
  }
}

bool FakePlatform::FileExists(const std::u16string& path) {
  MutexLock lock(&mutex_);
  return script_.files.count(path) || script_.directories.count(path);
}

std::unique_ptr<File> FakePlatform::OpenFile(const std::u16string& path, FileMode mode,
                                             FileError* error) {
  MutexLock lock(&mutex_);
  const auto failed = [error](FileError why) -> std::unique_ptr<File> {
    if (error) *error = why;
    return nullptr;
  };
  if (script_.unopenable.count(path) || open_files_.count(path)) return failed(FileError::kInUse);
  bool exists = script_.files.count(path) != 0;
  switch (mode) {
    case FileMode::kReadExisting:
      if (!exists) return failed(FileError::kNotFound);
      break;
    case FileMode::kCreateAlways:
      script_.files[path].clear();
      break;
  }
  open_files_.insert(path);
  return std::make_unique<FakeFile>(*this, path,
                                    mode == FileMode::kReadExisting ? std::nullopt : script_.write_limit);
}

bool FakePlatform::DeleteFile(const std::u16string& path) {
  MutexLock lock(&mutex_);
  if (!script_.files.count(path) || script_.undeletable.count(path) || open_files_.count(path)) return false;
  script_.files.erase(path);
  return true;
}

bool FakePlatform::ReplaceFile(const std::u16string& from, const std::u16string& to,
                               FileError* error) {
  MutexLock lock(&mutex_);
  const FileError why = !script_.files.count(from)       ? FileError::kNotFound
                        : script_.unreplaceable.count(to) ? FileError::kAccessDenied
                        : open_files_.count(from) || open_files_.count(to) ? FileError::kInUse
                                                                             : FileError::kNone;
  if (why != FileError::kNone) {
    if (error) *error = why;
    return false;
  }
  script_.files[to].swap(script_.files[from]);
  script_.files.erase(from);
  ++script_.replacements[to];
  return true;
}

bool FakePlatform::CreateDirectory(const std::u16string& path) {
  MutexLock lock(&mutex_);
  if (path.empty() || script_.directories.count(path) || script_.files.count(path)) return false;
  script_.directories.insert(path);
  return true;
}

std::u16string FakePlatform::TempDirectory() {
  MutexLock lock(&mutex_);
  return script_.temp_directory;
}

std::vector<std::u16string> FakePlatform::ListFiles(const std::u16string& directory,
                                                   const std::u16string& prefix) {
  MutexLock lock(&mutex_);
  std::vector<std::u16string> names;
  for (const auto& file : script_.files) {
    const std::u16string& path = file.first;
    if (path.compare(0, directory.size(), directory) != 0) continue;
    const std::u16string name = path.substr(directory.size());
    if (name.compare(0, prefix.size(), prefix) == 0 && name.find(script_.separator) == name.npos) {
      names.push_back(name);
    }
  }
  return names;
}

bool FakePlatform::ListPresentDevices(std::vector<PresentDevice>& out) {
  MutexLock lock(&mutex_);
  ++script_.device_list_calls;
  MaybeThrow("ListPresentDevices");
  if (script_.device_list_fails) return false;
  out = script_.devices;
  return true;
}

std::unique_ptr<InterfaceList> FakePlatform::OpenInterfaceList(const std::u16string&) {
  MutexLock lock(&mutex_);
  ++script_.interface_list_opens;
  if (script_.interface_list_fails) return nullptr;
  return std::make_unique<FakeInterfaceList>(script_.interfaces, script_.interface_end_error);
}

bool FakePlatform::RequestAdbSerial(const std::u16string& path,
                                    std::array<uint8_t, 1024>& reply, uint32_t limit_ms) {
  MutexLock lock(&mutex_);
  ++script_.adb_serial_requests;
  reply.fill(0);
  if (script_.adb_serial_delay_ms) {
    // A driver slower than the limit is abandoned at the limit.
    const uint32_t delay_ms = script_.adb_serial_delay_ms;
    lock.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(delay_ms, limit_ms)));
    lock.Lock();
    if (delay_ms > limit_ms) return false;
  }
  auto it = script_.adb_serial_replies.find(path);
  if (it == script_.adb_serial_replies.end()) return false;
  reply = it->second;
  return true;
}

std::unique_ptr<HttpRequest> FakePlatform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  std::function<FakeHttpReply(const std::u16string&)> handler;
  {
    MutexLock lock(&mutex_);
    script_.requested_urls.push_back(url);
    script_.request_limits.push_back(limit_ms);
    handler = script_.http;
  }
  if (!handler) return nullptr;
  FakeHttpReply reply = handler(url);
  if (!reply.handle) return nullptr;
  return std::make_unique<FakeHttpRequest>(std::move(reply));
}

bool FakePlatform::RunDetached(std::function<void()> work) {
  MutexLock lock(&mutex_);
  if (script_.detached_starts_before_failure == 0) {
    script_.detached_starts_before_failure = -1;
    return false;
  }
  if (script_.detached_starts_before_failure > 0) --script_.detached_starts_before_failure;
  ++detached_started_;
  detached_.emplace_back(std::move(work));
  return true;
}

bool FakePlatform::CanWriteDirectory(const std::u16string& path) {
  MutexLock lock(&mutex_);
  return script_.unwritable_directories.count(path) == 0;
}

std::u16string FakePlatform::UserStateDirectory(const std::u16string& name) {
  MutexLock lock(&mutex_);
  if (script_.state_home.empty()) return std::u16string();
  script_.directories.insert(script_.state_home + script_.separator + name);
  return script_.state_home + script_.separator + name;
}

std::optional<std::u16string> FakePlatform::EnvironmentVariable(const std::u16string& name) {
  MutexLock lock(&mutex_);
  auto found = script_.environment.find(name);
  if (found == script_.environment.end()) return std::nullopt;
  return found->second;
}

void FakePlatform::WriteDebugLine(const std::u16string& line, const std::u16string& path) {
  MutexLock lock(&mutex_);
  script_.debug_lines.push_back({line, path});
}

}  // namespace mobileinfo
