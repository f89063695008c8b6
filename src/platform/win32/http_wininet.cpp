// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <wininet.h>
#include <urlmon.h>

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace mobileinfo {
namespace {

constexpr DWORD kContentLengthBytes = 64;  // 32 units: the decimal text of any sane length

using Clock = std::chrono::steady_clock;

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
  // Closes both handles once, request first. mutex_ held.
  void CloseHandles() {
    if (request_ != nullptr) InternetCloseHandle(request_);
    if (root_ != nullptr) InternetCloseHandle(root_);
    request_ = nullptr;
    root_ = nullptr;
  }

  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;  // held by every use of root_ and request_, and by their closing
  HINTERNET root_;
  HINTERNET request_;
  const Clock::time_point deadline_;
};

// The status callback of one URLDownloadToFileW call: it only watches the byte counts and the
// final status. Reference counted on the heap because URLMon may hold it past the call.
class DownloadWatch final : public IBindStatusCallback {
 public:
  // Whole when the binding ended without error and, if the server announced a length, exactly
  // that many bytes came. A reply without a length (chunked) announces 0 and is taken as it came:
  // a chunked body cut short ends with the same reports as a whole one.
  bool Complete() const {
    if (!stopped_ || FAILED(stop_status_) || aborted_) return false;
    return progress_max_ == 0 || progress_ == progress_max_;
  }

  // Makes the download give up at its next progress report (E_ABORT ends the binding).
  void Abandon() { abandoned_ = true; }
  void LimitSize(ULONG max_bytes) { max_bytes_ = max_bytes; }

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
      // A body beyond the limit, announced or arriving, is not written any further.
      if (progress > max_bytes_ || progress_max > max_bytes_) aborted_ = true;
    }
    if (abandoned_) aborted_ = true;
    return aborted_ ? E_ABORT : S_OK;
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
  std::atomic<bool> abandoned_{false};  // set by the waiting caller's thread
  ULONG max_bytes_ = 0xFFFFFFFF;
  bool aborted_ = false;
  ULONG progress_ = 0;
  ULONG progress_max_ = 0;
  bool stopped_ = false;
  HRESULT stop_status_ = S_OK;
};

// What one bounded URLDownloadToFileW shares between its worker thread and the waiting caller.
struct SyncDownload {
  std::mutex mutex;  // guards finished, complete and abandoned
  std::condition_variable finished_cv;
  bool finished = false;
  bool complete = false;
  bool abandoned = false;  // the caller gave up waiting: the worker deletes its file
  DownloadWatch* watch = nullptr;  // one reference, released by the last owner of this block
  std::u16string url;
  std::u16string temporary;  // the worker's file beside the target
  ~SyncDownload() {
    if (watch != nullptr) watch->Release();
  }
};

// A file of a new name in path's directory (GetTempFileNameW creates it, empty), or "".
std::u16string SiblingFile(const std::u16string& path) {
  wchar_t directory[MAX_PATH + 1] = {};
  if (path.size() > MAX_PATH) return std::u16string();
  std::copy(path.begin(), path.end(), directory);
  if (!PathRemoveFileSpecW(directory) || directory[0] == L'\0') return std::u16string();
  wchar_t name[MAX_PATH + 1] = {};
  if (GetTempFileNameW(directory, L"!ld", 0, name) == 0) return std::u16string();
  return TextFromBuffer(name, MAX_PATH);
}

}  // namespace

std::unique_ptr<HttpRequest> Win32Platform::OpenUrl(const std::u16string& url, uint32_t limit_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  HINTERNET root = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (root == nullptr) return nullptr;
  // WinINet's time-outs are per operation (one connection attempt, one wait for data); each is
  // held to the whole limit, and reads stop at the deadline, so the request as a whole ends
  // within about twice the limit however the server behaves.
  DWORD timeout = limit_ms;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    InternetSetOptionW(root, option, &timeout, sizeof timeout);
  }
  HINTERNET request = InternetOpenUrlW(root, WideText(url), nullptr, 0, 0, 0);
  if (request == nullptr) {
    InternetCloseHandle(root);
    return nullptr;
  }
  try {
    return std::make_unique<WinInetRequest>(root, request, deadline);
  } catch (...) {
    InternetCloseHandle(request);
    InternetCloseHandle(root);
    return nullptr;
  }
}

bool Win32Platform::DownloadUrlToFileSync(const std::u16string& url, const std::u16string& path,
                                          uint32_t limit_ms, uint32_t max_bytes) {
  // URLDownloadToFileW has no time limit of its own, and a progress report that never comes
  // cannot stop it, so it runs on a thread of its own that the caller leaves at the limit. It
  // writes into a file of its own beside the target, which becomes the target only once the
  // caller has seen it whole: an abandoned download deletes its file when it ends, and never
  // touches the target.
  std::shared_ptr<SyncDownload> download;
  try {
    download = std::make_shared<SyncDownload>();
    download->url = url;
  } catch (...) {
    return false;
  }
  download->watch = new (std::nothrow) DownloadWatch();
  if (download->watch == nullptr) return false;
  download->watch->LimitSize(max_bytes);
  download->temporary = SiblingFile(path);
  if (download->temporary.empty()) return false;

  bool started = RunDetached([download] {
    // URLMon answers S_OK even when the server closed the connection before the announced body
    // was all there (Wine does), so the download's own progress reports decide whether it is
    // whole.
    HRESULT result = URLDownloadToFileW(nullptr, WideText(download->url),
                                        WideText(download->temporary), 0, download->watch);
    bool complete = result == S_OK && download->watch->Complete();
    std::lock_guard<std::mutex> lock(download->mutex);
    download->finished = true;
    download->complete = complete;
    if (download->abandoned) DeleteFileW(WideText(download->temporary));
    download->finished_cv.notify_all();
  });
  if (!started) {
    DeleteFileW(WideText(download->temporary));
    return false;
  }
  bool complete = false;
  {
    std::unique_lock<std::mutex> lock(download->mutex);
    if (!download->finished_cv.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                        [&] { return download->finished; })) {
      download->abandoned = true;
      download->watch->Abandon();
      return false;
    }
    complete = download->complete;
  }
  if (complete && MoveFileExW(WideText(download->temporary), WideText(path),
                              MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  DeleteFileW(WideText(download->temporary));  // never leave a partial reply behind
  return false;
}

}  // namespace mobileinfo
