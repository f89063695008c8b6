// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <shlwapi.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace mobileinfo {
namespace {

constexpr DWORD kContentLengthBytes = 64;  // 32 units: the decimal text of any sane length
constexpr int kMaxRedirects = 10;           // as many as the Linux backend follows

using Clock = std::chrono::steady_clock;

// Closes in the background at most this many requests at once; more are closed by the caller.
constexpr int kMaxBackgroundCloses = 16;

// Closes a request handle, then its root handle (either may be null), without holding the caller
// for the rest of the body. Wine's WinINet reads whatever is left of an unread body inside
// InternetCloseHandle for as long as the server has more ready: its drain stops only when the
// socket is empty for a moment, keep-alive or not, and a "Connection: close" from either side
// changes nothing. Closing a refused 2 GB reply from a fast local server held the closing thread
// for 104 s (a report's thread, and so one of the few report places). The close therefore runs
// on a thread of its own. The count of such threads is process-wide on purpose: they outlive
// every request and service object, and what they use up belongs to the process. Beyond
// kMaxBackgroundCloses, or without a thread, the caller closes as before.
void CloseRequestHandles(HINTERNET request, HINTERNET root) {
  static std::atomic<int> background{0};
  if (request == nullptr && root == nullptr) return;
  if (request != nullptr) {
    if (++background <= kMaxBackgroundCloses) {
      const bool started = Platform::Default().RunDetached([request, root] {
        InternetCloseHandle(request);
        if (root != nullptr) InternetCloseHandle(root);
        --background;
      });
      if (started) return;
    }
    --background;
    InternetCloseHandle(request);
  }
  if (root != nullptr) InternetCloseHandle(root);
}

// The request handle is used only while mutex_ is held, and closed only under it too, so Cancel
// can never close it between a reader fetching it and the read using it (a closed handle's value
// may already name another request). Cancel therefore only marks the request and closes the
// handles itself when no call is using them; a call under way sees the mark when its current
// network wait ends, which the time-outs set at the open bound. Reads go by what has arrived
// (InternetQueryDataAvailable), so no single wait outlasts one receive time-out even when the
// server trickles.
class WinInetRequest final : public HttpRequest {
 public:
  WinInetRequest(HINTERNET root, HINTERNET request, Clock::time_point deadline)
      : root_(root), request_(request), deadline_(deadline) {}
  ~WinInetRequest() override {
    cancelled_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    CloseHandles();
  }
  WinInetRequest(const WinInetRequest&) = delete;
  WinInetRequest& operator=(const WinInetRequest&) = delete;

  std::optional<std::u16string> ContentLength() override {
    if (cancelled_) return std::nullopt;  // at once, even while a read still holds the lock
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || request_ == nullptr) return std::nullopt;
    wchar_t text[kContentLengthBytes / sizeof(wchar_t)] = {};
    DWORD length = kContentLengthBytes;
    DWORD index = 0;
    if (!HttpQueryInfoW(request_, HTTP_QUERY_CONTENT_LENGTH, text, &length, &index)) {
      return std::nullopt;  // no such header, or its text does not fit the 64 bytes
    }
    return TextFromBuffer(text, kContentLengthBytes / sizeof(wchar_t));
  }

  uint32_t Read(void* buffer, uint32_t size) override {
    char* out = static_cast<char*>(buffer);
    uint32_t delivered = 0;
    if (cancelled_) return 0;  // at once, even while another read still holds the lock
    std::lock_guard<std::mutex> lock(mutex_);
    while (delivered < size) {
      if (cancelled_ || request_ == nullptr || Clock::now() >= deadline_) break;
      DWORD available = 0;
      if (!InternetQueryDataAvailable(request_, &available, 0, 0) || available == 0) break;
      DWORD want = available < size - delivered ? available : size - delivered;
      DWORD got = 0;
      if (!InternetReadFile(request_, out + delivered, want, &got) || got == 0) break;
      delivered += got;
    }
    if (cancelled_) CloseHandles();  // Cancel found the handles in use
    return delivered;
  }

  // Never waits for a call under way (see above); every later call fails at once.
  void Cancel() override {
    cancelled_ = true;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) CloseHandles();
  }

 private:
  // Closes both handles once, request first. mutex_ held; the handles are forgotten here, so
  // nothing here uses them while the close may still run elsewhere.
  void CloseHandles() {
    CloseRequestHandles(request_, root_);
    request_ = nullptr;
    root_ = nullptr;
  }

  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;  // held by every use of root_ and request_, and by their closing
  HINTERNET root_;
  HINTERNET request_;
  const Clock::time_point deadline_;
};

// A name for a new file beside path that no file has yet, or "": path's name followed by '.' and
// four hex digits, so that what a process killed in mid-download leaves is known by its name.
std::u16string SiblingFile(const std::u16string& path) {
  static std::atomic<uint32_t> counter{0};
  constexpr size_t kSuffixUnits = 5;
  if (path.empty() || path.size() + kSuffixUnits >= MAX_PATH) return std::u16string();
  static const char16_t kHex[] = u"0123456789ABCDEF";
  for (int attempt = 0; attempt < 16; ++attempt) {
    // Distinct for the downloads of one process; CREATE_NEW settles it against other processes.
    const uint32_t unique = ++counter;
    std::u16string name = path + u'.';
    for (int shift = 12; shift >= 0; shift -= 4) name += kHex[(unique >> shift) & 0xF];
    if (!PathFileExistsW(WideText(name))) return name;
  }
  return std::u16string();
}

// The body length a Content-Length text announces: digits only, blanks around them allowed.
// Nothing for any other text; a number beyond limit counts as limit + 1.
std::optional<uint64_t> AnnouncedLength(const std::u16string& text, uint64_t limit) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && (text[first] == u' ' || text[first] == u'\t')) ++first;
  while (last > first && (text[last - 1] == u' ' || text[last - 1] == u'\t')) --last;
  if (first == last) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = first; i < last; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
    if (value <= limit) value = value * 10 + static_cast<uint64_t>(text[i] - u'0');
  }
  return value > limit ? limit + 1 : value;
}

// Opens url with WinINet's per-operation time-outs held to limit_ms. Caching is off: a hostile
// reply must not end up on disk through WinINet's own cache either.
bool OpenHandles(const std::u16string& url, uint32_t limit_ms, HINTERNET* root,
                 HINTERNET* request) {
  *root = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  *request = nullptr;
  if (*root == nullptr) return false;
  // WinINet's time-outs are per operation (one connection attempt, one wait for data); each is
  // held to the whole limit, and reads stop at the deadline, so a request as a whole ends within
  // about twice the limit however the server behaves.
  DWORD timeout = limit_ms;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    InternetSetOptionW(*root, option, &timeout, sizeof timeout);
  }
  // Redirects are followed here, at most kMaxRedirects of them: Wine's WinINet follows a
  // redirect loop for ever, each hop well within any time-out.
  std::u16string target = url;
  for (int hop = 0;; ++hop) {
    *request = InternetOpenUrlW(*root, WideText(target), nullptr, 0,
                                INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
    if (*request == nullptr) break;
    DWORD status = 0;
    DWORD size = sizeof status;
    DWORD index = 0;
    if (!HttpQueryInfoW(*request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        &index) ||
        (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)) {
      return true;
    }
    wchar_t location[2048] = {};
    DWORD location_size = sizeof location - sizeof(wchar_t);
    index = 0;
    const bool has_location =
        HttpQueryInfoW(*request, HTTP_QUERY_LOCATION, location, &location_size, &index) != FALSE;
    if (!has_location) return true;  // a redirect without a target is an answer like any other
    wchar_t next[2048] = {};
    DWORD next_size = 2047;
    const bool combined = InternetCombineUrlW(WideText(target), location, next, &next_size, 0);
    InternetCloseHandle(*request);
    *request = nullptr;
    if (!combined || hop + 1 > kMaxRedirects) break;
    target = TextFromBuffer(next, 2047);
  }
  InternetCloseHandle(*root);
  *root = nullptr;
  return false;
}

// What the single-form download's worker shares with the waiting caller.
struct SyncDownload {
  std::mutex mutex;  // guards decided, result and abandoned
  std::condition_variable decided_cv;
  bool decided = false;    // the worker has moved its file into place or deleted it
  bool result = false;
  bool abandoned = false;  // the caller stopped waiting: the worker must not touch the target
};

// One single-form download: the body into temporary, at most max_bytes of it and only until the
// deadline; then the target replaced with it when whole (exactly the announced length, or with
// none announced, everything up to the end of the reply), otherwise the file deleted.
void RunSyncDownload(const std::u16string& url, const std::u16string& path,
                     const std::u16string& temporary, uint32_t limit_ms, uint32_t max_bytes,
                     Clock::time_point deadline, SyncDownload& shared) {
  HINTERNET root = nullptr;
  HINTERNET request = nullptr;
  bool complete = false;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (OpenHandles(url, limit_ms, &root, &request)) {
    std::optional<uint64_t> expected;
    bool length_ok = true;
    wchar_t text[kContentLengthBytes / sizeof(wchar_t)] = {};
    DWORD length = kContentLengthBytes;
    DWORD index = 0;
    if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &length, &index)) {
      expected = AnnouncedLength(TextFromBuffer(text, kContentLengthBytes / sizeof(wchar_t)),
                                 max_bytes);
      length_ok = expected && *expected <= max_bytes;
    } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      length_ok = false;  // a length text longer than any usable length
    }
    if (length_ok) {
      file = CreateFileW(WideText(temporary), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) {
      std::vector<char> buffer(64 * 1024);
      uint64_t total = 0;
      bool ended = false;
      bool failed = false;
      while (!failed && !ended && Clock::now() < deadline) {
        DWORD available = 0;
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) break;
        DWORD want = available < buffer.size() ? available : static_cast<DWORD>(buffer.size());
        DWORD got = 0;
        if (available == 0 || !InternetReadFile(request, buffer.data(), want, &got) || got == 0) {
          ended = available == 0 || got == 0;
          break;
        }
        total += got;
        DWORD written = 0;
        if (total > max_bytes || !WriteFile(file, buffer.data(), got, &written, nullptr) ||
            written != got) {
          failed = true;
        }
      }
      complete = ended && !failed && (!expected || *expected == total);
      if (!CloseHandle(file)) complete = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (file != INVALID_HANDLE_VALUE) {
      if (complete && !shared.abandoned &&
          MoveFileExW(WideText(temporary), WideText(path), MOVEFILE_REPLACE_EXISTING) != FALSE) {
        shared.result = true;
      } else {
        DeleteFileW(WideText(temporary));  // never leave a partial reply behind
      }
    }
    shared.decided = true;
    shared.decided_cv.notify_all();
  }
  // Last, after the caller has its answer.
  CloseRequestHandles(request, root);
}

}  // namespace

std::unique_ptr<HttpRequest> Win32Platform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  HINTERNET root = nullptr;
  HINTERNET request = nullptr;
  if (!OpenHandles(url, limit_ms, &root, &request)) return nullptr;
  try {
    return std::make_unique<WinInetRequest>(root, request, deadline);
  } catch (...) {
    CloseRequestHandles(request, root);
    return nullptr;
  }
}

// The single-form download over WinINet rather than URLDownloadToFileW: URLMon has no size or
// time limit of its own, keeps writing after its callback asks it to stop (Wine), copies every
// body into the HTTP cache, and reads a body whose Content-Length is not a number to the end of
// the connection. The work runs on a thread of its own so that the caller leaves at the limit
// whatever WinINet does; an abandoned worker deletes its file and never touches the target.
bool Win32Platform::DownloadUrlToFileSync(const std::u16string& url, const std::u16string& path,
                                          uint32_t limit_ms, uint32_t max_bytes) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  const std::u16string temporary = SiblingFile(path);
  if (temporary.empty()) return false;
  std::shared_ptr<SyncDownload> shared;
  try {
    shared = std::make_shared<SyncDownload>();
  } catch (...) {
    return false;
  }
  const bool started = RunDetached([=] {
    RunSyncDownload(url, path, temporary, limit_ms, max_bytes, deadline, *shared);
  });
  if (!started) return false;
  std::unique_lock<std::mutex> lock(shared->mutex);
  if (!shared->decided_cv.wait_until(lock, deadline + std::chrono::milliseconds(500),
                                     [&] { return shared->decided; })) {
    shared->abandoned = true;
    return false;
  }
  return shared->result;
}

}  // namespace mobileinfo
