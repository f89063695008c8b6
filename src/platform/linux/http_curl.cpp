// HTTP GET over libcurl in the shape the core uses: a request whose headers are known when it is
// opened and whose body is read on demand (WinINet's InternetOpenUrlW, HttpQueryInfoW,
// InternetReadFile).
//
// It connects directly (no proxy, whatever the environment says) and follows redirects as the
// Windows backend does (at most 10, so a redirect loop ends; only to http or https, and from an
// https address only to https). It is bounded in total by its caller's limit; within it, like WinINet's default
// time-outs, a connection attempt ends after 60 s and a transfer that stalls completely for 60 s
// fails.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/linux/linux_platform.h"
#include "support/mutex.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallSeconds = 60;
constexpr long kMaxRedirects = 10;
// Body bytes held for a reader that has not asked for them yet. The transfer waits while the
// buffer is full, so a huge body is never held in memory.
constexpr size_t kBodyBufferLimit = 64 * 1024;
// HttpQueryInfoW with a 64-byte buffer: 31 units and the terminator.
constexpr size_t kMaxContentLengthUnits = 31;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void SetCommonOptions(CURL* easy, const std::string& url, uint32_t limit_ms) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  // The caller's bound on the whole transfer: connection, redirects, headers and body.
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limit_ms));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // From an https address no request goes out over http at all (see HeaderTracker for a chain
  // that reaches https later).
  const bool secure = strncasecmp(url.c_str(), "https:", 6) == 0;
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
}

std::string TrimHeaderValue(const char* data, size_t size) {
  size_t first = 0;
  while (first < size && (data[first] == ' ' || data[first] == '\t')) ++first;
  size_t last = size;
  while (last > first && (data[last - 1] == '\r' || data[last - 1] == '\n' ||
                          data[last - 1] == ' ' || data[last - 1] == '\t')) {
    --last;
  }
  return std::string(data + first, last - first);
}

bool HasHeaderName(const char* data, size_t size, const char* name) {
  size_t length = std::strlen(name);
  return size > length && strncasecmp(data, name, length) == 0;
}

// Follows the header blocks of one transfer (interim 1xx replies and followed redirects each send
// one) and keeps the Content-Length of the block that is still current.
class HeaderTracker {
 public:
  // Feeds one header line. Returns true when the line ends the headers of the final reply.
  bool OnLine(CURL* easy, const char* data, size_t size) {
    if (HasHeaderName(data, size, "HTTP/")) {
      content_length_.reset();
      has_location_ = false;
      // A redirect from https down to http is not followed: anyone on the way could answer in
      // the service's name there. The transfer then ends as no reply.
      char* hop = nullptr;
      curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &hop);
      const bool secure = hop && strncasecmp(hop, "https:", 6) == 0;
      if (secure_ && !secure) downgraded_ = true;
      secure_ = secure_ || secure;
      return false;
    }
    if (HasHeaderName(data, size, "Content-Length:")) {
      // HttpQueryInfoW answers the first occurrence.
      if (!content_length_) content_length_ = TrimHeaderValue(data + 15, size - 15);
      return false;
    }
    if (HasHeaderName(data, size, "Location:")) {
      has_location_ = true;
      return false;
    }
    if (TrimHeaderValue(data, size).empty()) {
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      status_ = status > 0 ? static_cast<uint32_t>(status) : 0;
      if (status >= 100 && status < 200) return false;
      if (status >= 300 && status < 400 && has_location_) return false;  // followed
      return true;
    }
    return false;
  }

  const std::optional<std::string>& content_length() const { return content_length_; }
  uint32_t status() const { return status_; }
  bool downgraded() const { return downgraded_; }

 private:
  bool secure_ = false;      // a hop so far was https
  bool downgraded_ = false;  // a later hop was not
  uint32_t status_ = 0;
  std::optional<std::string> content_length_;
  bool has_location_ = false;
};

// A GET driven by a thread of its own through a multi handle, so that Cancel can wake it at
// once wherever it waits (curl_multi_wakeup) and destruction never waits for the network.
class CurlHttpRequest : public HttpRequest {
 public:
  ~CurlHttpRequest() override {
    Cancel();
    if (worker_.joinable()) worker_.join();
    if (multi_ && easy_) curl_multi_remove_handle(multi_, easy_);
    if (easy_) curl_easy_cleanup(easy_);
    if (multi_) curl_multi_cleanup(multi_);
  }

  // Null when no reply headers arrived (bad URL, no connection, nothing answered).
  static std::unique_ptr<CurlHttpRequest> Open(const std::string& url, uint32_t limit_ms) {
    InitCurlOnce();
    std::unique_ptr<CurlHttpRequest> request(new CurlHttpRequest());
    if (!request->Configure(url, limit_ms)) return nullptr;
    try {
      request->worker_ = std::thread([raw = request.get()] { raw->Run(); });
    } catch (...) {
      return nullptr;
    }
    bool headers_ready;
    {
      MutexLock lock(&request->mutex_);
      request->changed_.Wait(request->mutex_, [&]() REQUIRES(request->mutex_) {
        return request->headers_ready_ || request->done_;
      });
      headers_ready = request->headers_ready_;
    }
    if (!headers_ready) return nullptr;  // the destructor joins the finished worker
    return request;
  }

  uint32_t StatusCode() override {
    MutexLock lock(&mutex_);
    return status_;
  }

  std::optional<std::u16string> ContentLength() override {
    MutexLock lock(&mutex_);
    if (cancelled_ || !content_length_) return std::nullopt;
    std::u16string text = Utf8ToUtf16(*content_length_);
    if (text.size() > kMaxContentLengthUnits) return std::nullopt;
    return text;
  }

  uint32_t Read(void* buffer, uint32_t size) override {
    char* out = static_cast<char*>(buffer);
    uint32_t delivered = 0;
    MutexLock lock(&mutex_);
    while (delivered < size && !cancelled_) {
      if (!body_.empty()) {
        size_t take = std::min<size_t>(body_.size(), size - delivered);
        std::memcpy(out + delivered, body_.data(), take);
        body_.erase(0, take);
        delivered += static_cast<uint32_t>(take);
        changed_.SignalAll();  // room for the transfer again
        continue;
      }
      if (done_) break;
      changed_.Wait(mutex_);
    }
    return delivered;
  }

  bool BodyEnded() override {
    MutexLock lock(&mutex_);
    return done_ && transfer_ok_ && body_.empty() && !cancelled_;
  }

  void Cancel() override {
    {
      MutexLock lock(&mutex_);
      if (cancelled_) return;
      cancelled_ = true;
    }
    changed_.SignalAll();
    if (multi_) curl_multi_wakeup(multi_);
  }

 private:
  CurlHttpRequest() = default;

  bool Configure(const std::string& url, uint32_t limit_ms) {
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (!easy_ || !multi_) return false;
    SetCommonOptions(easy_, url, limit_ms);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlHttpRequest::OnHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlHttpRequest::OnBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &CurlHttpRequest::OnProgress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    return curl_multi_add_handle(multi_, easy_) == CURLM_OK;
  }

  void Run() {
    int running = 1;
    while (running) {
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      if (!running || IsCancelled()) break;
      if (curl_multi_poll(multi_, nullptr, 0, 1000, nullptr) != CURLM_OK) break;
    }
    // libcurl tells a body cut short (a closed connection, a broken chunk, the time limit) from
    // one that ended only in the transfer's result.
    bool transfer_ok = false;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
        transfer_ok = !running && message->data.result == CURLE_OK;
      }
    }
    {
      MutexLock lock(&mutex_);
      done_ = true;
      transfer_ok_ = transfer_ok;
    }
    changed_.SignalAll();
  }

  bool IsCancelled() {
    MutexLock lock(&mutex_);
    return cancelled_;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* context) {
    auto* self = static_cast<CurlHttpRequest*>(context);
    size_t bytes = size * count;
    MutexLock lock(&self->mutex_);
    if (self->cancelled_) return 0;
    const bool ends = self->headers_.OnLine(self->easy_, data, bytes);
    if (self->headers_.downgraded()) return 0;  // aborts the transfer
    if (ends) {
      self->content_length_ = self->headers_.content_length();
      self->status_ = self->headers_.status();
      self->headers_ready_ = true;
      self->changed_.SignalAll();
    }
    return bytes;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* context) {
    auto* self = static_cast<CurlHttpRequest*>(context);
    size_t bytes = size * count;
    MutexLock lock(&self->mutex_);
    self->changed_.Wait(self->mutex_, [&]() REQUIRES(self->mutex_) {
      return self->cancelled_ || self->body_.size() < kBodyBufferLimit;
    });
    if (self->cancelled_) return 0;  // aborts the transfer
    self->body_.append(data, bytes);
    self->headers_ready_ = true;  // a reply without a header block still has a body
    self->changed_.SignalAll();
    return bytes;
  }

  static int OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlHttpRequest*>(context)->IsCancelled() ? 1 : 0;
  }

  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  std::thread worker_;

  Mutex mutex_;  // a leaf; changed_ signals any change of what it guards
  CondVar changed_;
  HeaderTracker headers_ GUARDED_BY(mutex_);
  std::optional<std::string> content_length_ GUARDED_BY(mutex_);  // of the final reply
  uint32_t status_ GUARDED_BY(mutex_) = 0;                        // of the final reply
  bool headers_ready_ GUARDED_BY(mutex_) = false;
  bool done_ GUARDED_BY(mutex_) = false;
  // The transfer ended with the whole body (set with done_).
  bool transfer_ok_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  std::string body_ GUARDED_BY(mutex_);  // received, not yet read
};

}  // namespace

std::unique_ptr<HttpRequest> LinuxPlatform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  try {
    return CurlHttpRequest::Open(Utf16ToUtf8(url), limit_ms);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace mobileinfo
