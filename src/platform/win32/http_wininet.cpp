// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <wininet.h>
#include <urlmon.h>

#include <mutex>
#include <new>

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

// The status callback of one URLDownloadToFileW call: it only watches the byte counts and the
// final status. Reference counted on the heap because URLMon may hold it past the call.
class DownloadWatch final : public IBindStatusCallback {
 public:
  // Whole when the binding ended without error and, if the server announced a length, exactly
  // that many bytes came. A reply without a length (chunked) announces 0 and is taken as it came:
  // a chunked body cut short ends with the same reports as a whole one.
  bool Complete() const {
    if (!stopped_ || FAILED(stop_status_)) return false;
    return progress_max_ == 0 || progress_ == progress_max_;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IBindStatusCallback))) {
      *object = static_cast<IBindStatusCallback*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progress_max, ULONG status,
                                       LPCWSTR) override {
    if (status == BINDSTATUS_BEGINDOWNLOADDATA || status == BINDSTATUS_DOWNLOADINGDATA ||
        status == BINDSTATUS_ENDDOWNLOADDATA) {
      progress_ = progress;
      progress_max_ = progress_max;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT status, LPCWSTR) override {
    stopped_ = true;
    stop_status_ = status;
    return S_OK;
  }
  // Leaves the bind flags and information as URLDownloadToFileW prepared them.
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

 private:
  ~DownloadWatch() = default;

  LONG references_ = 1;  // the caller's
  ULONG progress_ = 0;
  ULONG progress_max_ = 0;
  bool stopped_ = false;
  HRESULT stop_status_ = S_OK;
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
  // URLMon answers S_OK even when the server closed the connection before the announced body was
  // all there (Wine does), so the download's own progress reports decide whether it is whole.
  DownloadWatch* watch = new (std::nothrow) DownloadWatch();
  if (watch == nullptr) return false;
  HRESULT result = URLDownloadToFileW(nullptr, WideText(url), WideText(path), 0, watch);
  bool complete = result == S_OK && watch->Complete();
  watch->Release();
  if (!complete) DeleteFileW(WideText(path));  // never leave a partial reply behind
  return complete;
}

}  // namespace mobileinfo
