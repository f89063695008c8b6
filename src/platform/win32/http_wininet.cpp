// HTTP GET over WinINet in the shape the core uses: a request whose headers are known when it is
// opened and whose body is read on demand. The core's whole-body download (net/download.cpp)
// runs over this request too, rather than over URLDownloadToFileW: URLMon has no size or time
// limit of its own, keeps writing after its callback asks it to stop (Wine), copies every body
// into the HTTP cache, and reads a body whose Content-Length is not a number to the end of the
// connection.
//
// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <wininet.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "support/mutex.h"

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
// kMaxBackgroundCloses, or without a thread, the caller closes the handles itself.
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
  WinInetRequest(HINTERNET root, HINTERNET request, uint32_t status, Clock::time_point deadline)
      : root_(root), request_(request), status_(status), deadline_(deadline) {}
  ~WinInetRequest() override {
    cancelled_ = true;
    MutexLock lock(&mutex_);
    CloseHandles();
  }
  WinInetRequest(const WinInetRequest&) = delete;
  WinInetRequest& operator=(const WinInetRequest&) = delete;

  uint32_t StatusCode() override { return status_; }

  std::optional<std::u16string> ContentLength() override {
    if (cancelled_) return std::nullopt;  // at once, even while a read still holds the lock
    MutexLock lock(&mutex_);
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
    MutexLock lock(&mutex_);
    while (delivered < size) {
      if (cancelled_ || request_ == nullptr || Clock::now() >= deadline_) break;
      DWORD available = 0;
      if (!InternetQueryDataAvailable(request_, &available, 0, 0)) break;
      // Both calls report the end of the body by succeeding with nothing; a failure is no end.
      if (available == 0) {
        ended_ = true;
        break;
      }
      DWORD want = available < size - delivered ? available : size - delivered;
      DWORD got = 0;
      if (!InternetReadFile(request_, out + delivered, want, &got)) break;
      if (got == 0) {
        ended_ = true;
        break;
      }
      delivered += got;
    }
    if (cancelled_) CloseHandles();  // Cancel found the handles in use
    return delivered;
  }

  bool BodyEnded() override { return ended_ && !cancelled_; }

  // Never waits for a call under way (see above); every later call fails at once.
  void Cancel() override {
    cancelled_ = true;
    if (!mutex_.TryLock()) return;
    CloseHandles();
    mutex_.Unlock();
  }

 private:
  // Closes both handles once, request first. mutex_ held; the handles are forgotten here, so
  // nothing here uses them while the close may still run elsewhere.
  void CloseHandles() REQUIRES(mutex_) {
    CloseRequestHandles(request_, root_);
    request_ = nullptr;
    root_ = nullptr;
  }

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> ended_{false};  // a read met the end of the body
  Mutex mutex_;  // a leaf, held by every use of the handles and by their closing
  HINTERNET root_ GUARDED_BY(mutex_);
  HINTERNET request_ GUARDED_BY(mutex_);
  const uint32_t status_;
  const Clock::time_point deadline_;
};

bool StartsWithIgnoringCase(const std::u16string& text, const char16_t* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (i >= text.size() || (text[i] | 0x20) != prefix[i]) return false;
  }
  return true;
}

// A redirect leads only to http or https, and never from https down to http, where anyone on the
// way could answer in the service's name.
bool MayRedirect(const std::u16string& from, const std::u16string& to) {
  if (StartsWithIgnoringCase(to, u"https://")) return true;
  return StartsWithIgnoringCase(to, u"http://") && !StartsWithIgnoringCase(from, u"https://");
}

// Opens url with WinINet's per-operation time-outs held to limit_ms, the final reply's status in
// *status. Caching is off: a hostile reply must not end up on disk through WinINet's own cache
// either.
bool OpenHandles(const std::u16string& url, uint32_t limit_ms, HINTERNET* root,
                 HINTERNET* request, DWORD* status) {
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
    *status = 0;
    DWORD size = sizeof *status;
    DWORD index = 0;
    if (!HttpQueryInfoW(*request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &size,
                        &index) ||
        (*status != 301 && *status != 302 && *status != 303 && *status != 307 && *status != 308)) {
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
    if (combined && !MayRedirect(target, TextFromBuffer(next, 2047))) return true;  // not followed
    InternetCloseHandle(*request);
    *request = nullptr;
    if (!combined || hop + 1 > kMaxRedirects) break;
    target = TextFromBuffer(next, 2047);
  }
  InternetCloseHandle(*root);
  *root = nullptr;
  return false;
}

}  // namespace

std::unique_ptr<HttpRequest> Win32Platform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  HINTERNET root = nullptr;
  HINTERNET request = nullptr;
  DWORD status = 0;
  if (!OpenHandles(url, limit_ms, &root, &request, &status)) return nullptr;
  try {
    return std::make_unique<WinInetRequest>(root, request, status, deadline);
  } catch (...) {
    CloseRequestHandles(request, root);
    return nullptr;
  }
}

}  // namespace mobileinfo
