// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <wininet.h>
#include <urlmon.h>

#include <mutex>

namespace mobileinfo {
namespace {

constexpr DWORD kContentLengthBytes = 64;  // 32 units: the decimal text of any sane length

class WinInetRequest final : public HttpRequest {
 public:
  WinInetRequest(HINTERNET root, HINTERNET request) : root_(root), request_(request) {}
  ~WinInetRequest() override { Cancel(); }
  WinInetRequest(const WinInetRequest&) = delete;
  WinInetRequest& operator=(const WinInetRequest&) = delete;

  std::optional<std::u16string> ContentLength() override {
    HINTERNET request = RequestHandle();
    if (request == nullptr) return std::nullopt;
    wchar_t text[kContentLengthBytes / sizeof(wchar_t)] = {};
    DWORD length = kContentLengthBytes;
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &length, &index)) {
      return std::nullopt;  // no such header, or its text does not fit the 64 bytes
    }
    return TextFromBuffer(text, kContentLengthBytes / sizeof(wchar_t));
  }

  uint32_t Read(void* buffer, uint32_t size) override {
    HINTERNET request = RequestHandle();
    if (request == nullptr) return 0;
    // Deliberately outside the lock: Cancel must be able to close the handle while this call
    // waits for the network.
    DWORD got = 0;
    if (!InternetReadFile(request, buffer, size, &got)) return 0;
    return got;
  }

  // Closes both handles once, request first. On Windows closing the request handle makes a read
  // blocked on it in another thread return at once. Wine 8 only drops its reference: the blocked
  // read goes on until data arrives or the server closes the connection. Either way every later
  // call here sees no handle and fails at once.
  void Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request_ != nullptr) InternetCloseHandle(request_);
    if (root_ != nullptr) InternetCloseHandle(root_);
    request_ = nullptr;
    root_ = nullptr;
  }

 private:
  HINTERNET RequestHandle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }

  std::mutex mutex_;  // guards root_ and request_ (Cancel comes from another thread)
  HINTERNET root_;
  HINTERNET request_;
};

}  // namespace

std::unique_ptr<HttpRequest> Win32Platform::OpenUrl(const std::u16string& url) {
  HINTERNET root = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (root == nullptr) return nullptr;
  HINTERNET request = InternetOpenUrlW(root, WideText(url), nullptr, 0, 0, 0);
  if (request == nullptr) {
    InternetCloseHandle(root);
    return nullptr;
  }
  return std::make_unique<WinInetRequest>(root, request);
}

bool Win32Platform::DownloadUrlToFileSync(const std::u16string& url, const std::u16string& path) {
  return URLDownloadToFileW(nullptr, WideText(url), WideText(path), 0, nullptr) == S_OK;
}

}  // namespace mobileinfo
