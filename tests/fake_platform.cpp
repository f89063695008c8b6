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

namespace {

class FakeFile : public File {
 public:
  FakeFile(FakePlatform& owner, std::u16string path, std::optional<size_t> limit)
      : owner_(owner), path_(std::move(path)), limit_(limit) {}
  ~FakeFile() override {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    owner_.open_files_erase(path_);
  }
  std::optional<uint32_t> Read(void* buffer, uint32_t size) override {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    const std::string& data = owner_.files[path_];
    if (position_ >= data.size()) return 0u;
    size_t n = std::min<size_t>(size, data.size() - position_);
    auto fails = owner_.read_fails_at.find(path_);
    if (fails != owner_.read_fails_at.end() && position_ + n > fails->second) return std::nullopt;
    std::memcpy(buffer, data.data() + position_, n);
    position_ += n;
    return static_cast<uint32_t>(n);
  }
  bool Write(const void* bytes, uint32_t size) override {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    std::string& data = owner_.files[path_];
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
    std::lock_guard<std::mutex> lock(owner_.mutex);
    auto fails = owner_.read_fails_at.find(path_);
    if (fails != owner_.read_fails_at.end() && offset >= fails->second) return -1;
    position_ = offset;
    return offset;
  }
  bool Flush() override {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    return !owner_.flush_fails;
  }
  uint32_t Size() override {
    std::lock_guard<std::mutex> lock(owner_.mutex);
    return static_cast<uint32_t>(owner_.files[path_].size());
  }

 private:
  FakePlatform& owner_;
  std::u16string path_;
  std::optional<size_t> limit_;
  size_t position_ = 0;
};

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

void FakePlatform::open_files_erase(const std::u16string& path) { open_files_.erase(path); }

void FakePlatform::MaybeThrow(const char* name) {
  if (throw_once.erase(name)) throw std::bad_alloc();
}

void FakePlatform::ManualTime(uint32_t tick_ms, int32_t now_s) {
  std::lock_guard<std::mutex> lock(mutex);
  manual_time = true;
  tick = tick_ms;
  now = now_s;
}

void FakePlatform::AdvanceTime(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex);
  tick += ms;
  now += static_cast<int32_t>(ms / 1000);
}

void FakePlatform::SetFile(const std::u16string& path, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  files[path] = bytes;
}

std::optional<std::string> FakePlatform::GetFile(const std::u16string& path) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = files.find(path);
  if (it == files.end()) return std::nullopt;
  return it->second;
}

void FakePlatform::AddDevice(const std::u16string& instance_id,
                             std::optional<std::u16string> description) {
  std::lock_guard<std::mutex> lock(mutex);
  devices.push_back(PresentDevice{instance_id, std::move(description)});
}

void FakePlatform::RemoveDevice(const std::u16string& instance_id) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = devices.begin(); it != devices.end();) {
    if (it->instance_id && *it->instance_id == instance_id) it = devices.erase(it);
    else ++it;
  }
}

void FakePlatform::AddInterface(const std::u16string& path, bool active) {
  std::lock_guard<std::mutex> lock(mutex);
  InterfaceEntry entry;
  entry.path = path;
  entry.active = active;
  interfaces.push_back(entry);
}

void FakePlatform::SetInterfaceActive(const std::u16string& path, bool active) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& entry : interfaces) {
    if (entry.path && *entry.path == path) entry.active = active;
  }
}

void FakePlatform::SetAdbSerial(const std::u16string& path, const std::u16string& serial) {
  std::array<uint8_t, 1024> reply{};
  size_t n = std::min<size_t>(serial.size() * 2, reply.size());
  std::memcpy(reply.data(), serial.data(), n);
  std::lock_guard<std::mutex> lock(mutex);
  adb_serial_replies[path] = reply;
}

void FakePlatform::JoinDetached() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex);
      threads.swap(detached_);
    }
    if (threads.empty()) return;
    for (auto& t : threads) t.join();
  }
}

int FakePlatform::detached_started() const {
  std::lock_guard<std::mutex> lock(mutex);
  return detached_started_;
}

std::u16string FakePlatform::HostDirectory() {
  std::lock_guard<std::mutex> lock(mutex);
  return host_directory;
}

char16_t FakePlatform::PathSeparator() {
  std::lock_guard<std::mutex> lock(mutex);
  return separator;
}

std::optional<OsVersion> FakePlatform::GetOsVersion() {
  std::lock_guard<std::mutex> lock(mutex);
  return os_version;
}

std::optional<uint16_t> FakePlatform::NativeProcessorArchitecture() {
  std::lock_guard<std::mutex> lock(mutex);
  return native_architecture;
}

uint32_t FakePlatform::TickCount() {
  std::lock_guard<std::mutex> lock(mutex);
  MaybeThrow("TickCount");
  if (manual_time) return tick;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int32_t FakePlatform::Now() {
  std::lock_guard<std::mutex> lock(mutex);
  if (manual_time) return now;
  return static_cast<int32_t>(std::time(nullptr));
}

uint32_t FakePlatform::ProcessId() {
  std::lock_guard<std::mutex> lock(mutex);
  return process_id;
}

bool FakePlatform::ProcessExists(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  return id == process_id || other_processes.count(id) != 0;
}

bool FakePlatform::IsReadable(const void* address, uint32_t) { return address != nullptr; }

void FakePlatform::DebugTrap(const char16_t* message) {
  std::lock_guard<std::mutex> lock(mutex);
  debug_traps.push_back(message ? message : u"");
}

uint32_t FakePlatform::ReadProfileString(const std::u16string& file,
                                         const std::u16string& section,
                                         const std::u16string& key, uint32_t capacity,
                                         std::u16string& value) {
  std::string bytes;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = files.find(file);
    if (it == files.end()) {
      value.clear();
      return 0;
    }
    bytes = it->second;
    ++profile_file_reads;
  }
  return ReadProfileText(DecodeProfileBytes(bytes), section, key, capacity, value);
}

// As the Linux backend: one read of the file for the whole batch.
void FakePlatform::ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                                      std::vector<ProfileRead>& reads) {
  std::string bytes;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = files.find(file);
    if (it != files.end()) {
      bytes = it->second;
      ++profile_file_reads;
    }
  }
  const std::u16string text = DecodeProfileBytes(bytes);
  for (ProfileRead& read : reads) {
    read.count = ReadProfileText(text, section, read.key, read.capacity, read.value);
  }
}

bool FakePlatform::FileExists(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  return files.count(path) || directories.count(path);
}

std::unique_ptr<File> FakePlatform::OpenFile(const std::u16string& path, FileMode mode,
                                             FileError* error) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto failed = [error](FileError why) -> std::unique_ptr<File> {
    if (error) *error = why;
    return nullptr;
  };
  if (unopenable.count(path) || open_files_.count(path)) return failed(FileError::kInUse);
  bool exists = files.count(path) != 0;
  switch (mode) {
    case FileMode::kReadExisting:
      if (!exists) return failed(FileError::kNotFound);
      break;
    case FileMode::kCreateAlways:
      files[path].clear();
      break;
  }
  open_files_.insert(path);
  return std::make_unique<FakeFile>(*this, path,
                                    mode == FileMode::kReadExisting ? std::nullopt : write_limit);
}

bool FakePlatform::DeleteFile(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!files.count(path) || undeletable.count(path) || open_files_.count(path)) return false;
  files.erase(path);
  return true;
}

bool FakePlatform::ReplaceFile(const std::u16string& from, const std::u16string& to,
                               FileError* error) {
  std::lock_guard<std::mutex> lock(mutex);
  const FileError why = !files.count(from)       ? FileError::kNotFound
                        : unreplaceable.count(to) ? FileError::kAccessDenied
                        : open_files_.count(from) || open_files_.count(to) ? FileError::kInUse
                                                                             : FileError::kNone;
  if (why != FileError::kNone) {
    if (error) *error = why;
    return false;
  }
  files[to].swap(files[from]);
  files.erase(from);
  ++replacements[to];
  return true;
}

bool FakePlatform::CreateDirectory(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  if (path.empty() || directories.count(path) || files.count(path)) return false;
  directories.insert(path);
  return true;
}

std::u16string FakePlatform::TempDirectory() {
  std::lock_guard<std::mutex> lock(mutex);
  return temp_directory;
}

std::vector<std::u16string> FakePlatform::ListFiles(const std::u16string& directory,
                                                   const std::u16string& prefix) {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::u16string> names;
  for (const auto& file : files) {
    const std::u16string& path = file.first;
    if (path.compare(0, directory.size(), directory) != 0) continue;
    const std::u16string name = path.substr(directory.size());
    if (name.compare(0, prefix.size(), prefix) == 0 && name.find(separator) == name.npos) {
      names.push_back(name);
    }
  }
  return names;
}

bool FakePlatform::ListPresentDevices(std::vector<PresentDevice>& out) {
  std::lock_guard<std::mutex> lock(mutex);
  ++device_list_calls;
  MaybeThrow("ListPresentDevices");
  if (device_list_fails) return false;
  out = devices;
  return true;
}

std::unique_ptr<InterfaceList> FakePlatform::OpenInterfaceList(const std::u16string&) {
  std::lock_guard<std::mutex> lock(mutex);
  ++interface_list_opens;
  if (interface_list_fails) return nullptr;
  return std::make_unique<FakeInterfaceList>(interfaces, interface_end_error);
}

bool FakePlatform::RequestAdbSerial(const std::u16string& path,
                                    std::array<uint8_t, 1024>& reply, uint32_t limit_ms) {
  std::unique_lock<std::mutex> lock(mutex);
  ++adb_serial_requests;
  reply.fill(0);
  if (adb_serial_delay_ms) {
    // A driver slower than the limit is abandoned at the limit.
    const uint32_t delay_ms = adb_serial_delay_ms;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(delay_ms, limit_ms)));
    lock.lock();
    if (delay_ms > limit_ms) return false;
  }
  auto it = adb_serial_replies.find(path);
  if (it == adb_serial_replies.end()) return false;
  reply = it->second;
  return true;
}

std::unique_ptr<HttpRequest> FakePlatform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  std::function<FakeHttpReply(const std::u16string&)> handler;
  {
    std::lock_guard<std::mutex> lock(mutex);
    requested_urls.push_back(url);
    request_limits.push_back(limit_ms);
    handler = http;
  }
  if (!handler) return nullptr;
  FakeHttpReply reply = handler(url);
  if (!reply.handle) return nullptr;
  return std::make_unique<FakeHttpRequest>(std::move(reply));
}

bool FakePlatform::RunDetached(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex);
  if (detached_starts_before_failure == 0) {
    detached_starts_before_failure = -1;
    return false;
  }
  if (detached_starts_before_failure > 0) --detached_starts_before_failure;
  ++detached_started_;
  detached_.emplace_back(std::move(work));
  return true;
}

bool FakePlatform::CanWriteDirectory(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  return unwritable_directories.count(path) == 0;
}

std::u16string FakePlatform::UserStateDirectory(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  if (state_home.empty()) return std::u16string();
  directories.insert(state_home + separator + name);
  return state_home + separator + name;
}

std::optional<std::u16string> FakePlatform::EnvironmentVariable(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = environment.find(name);
  if (found == environment.end()) return std::nullopt;
  return found->second;
}

void FakePlatform::WriteDebugLine(const std::u16string& line, const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  debug_lines.push_back({line, path});
}

}  // namespace mobileinfo
