// HTTP transport: a GET whose answer is thrown away, on a thread nobody waits for, and the two
// downloads of one URL into one file that the caller waits for only up to a limit: the list
// form's, which reads the announced body in a single read, and the whole-body download, which
// reads a reply to its end into a new file that then takes the target's place. Every reply is
// judged here by its Content-Length header (net/body_length.h); the platform only performs the
// request.
#ifndef MOBILEINFO_NET_NET_H
#define MOBILEINFO_NET_NET_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/body_length.h"
#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

// --- fire-and-forget GET ------------------------------------------------------------------------

// A report nobody waits for still ends by itself: its whole GET gives up after this long, so a
// service that accepts connections and never answers cannot pile up threads.
constexpr uint32_t kReportLimitMs = 30000;
// At most this many reports are in flight in the process at once; one more is dropped unsent,
// as an unreachable service would drop it.
constexpr int kMaxReportsInFlight = 4;

// Starts the GET of *url_holder on a thread of its own and returns without waiting. The thread
// owns the holder from here on. Nothing is started for a null holder; when kMaxReportsInFlight
// reports are still running or no thread can be had, the holder is released unsent.
void StartReportRequest(Platform& platform, std::unique_ptr<std::u16string> url_holder);

// The report thread's body: false at once for no holder; otherwise the GET, the holder's release,
// true.
bool ReportRequestWorker(Platform& platform, std::shared_ptr<std::u16string> url_holder);

// GET url and read as much of the body as Content-Length announces, in one read, into a scratch
// buffer that is thrown away. The whole request, its closing included, ends within limit_ms.
void HttpGetAndDiscard(Platform& platform, const std::u16string& url,
                       uint32_t limit_ms = kReportLimitMs);

// --- download to file ---------------------------------------------------------------------------

constexpr size_t kDownloadSlotUnits = 2048;

// What DownloadToFile hands its worker: three zero-filled slots, each string cut to 2047 units.
struct DownloadBlock {
  char16_t url[kDownloadSlotUnits];
  char16_t directory[kDownloadSlotUnits];
  char16_t file[kDownloadSlotUnits];
};

// Shared by a download (DownloadToFile, FetchUrlToFile) and its worker; each holds a reference,
// so whichever ends last frees it. mutex guards the other members. The worker creates, writes or
// replaces the target file only while holding mutex and only when cancelled is false; the caller
// sets cancelled under mutex when it gives up, so once it has returned the worker can no longer
// touch the target.
struct DownloadControl {
  Mutex mutex;  // a leaf: nothing else is locked while it is held
  CondVar finished_cv;
  // The worker's download has ended (the file is written or never will be).
  bool finished GUARDED_BY(mutex) = false;
  bool cancelled GUARDED_BY(mutex) = false;  // the caller gave up waiting
  // The worker created the file but could not write it whole (a full drive), and deleted it.
  bool write_failed GUARDED_BY(mutex) = false;
  // The whole-body download put its file in the target's place.
  bool replaced GUARDED_BY(mutex) = false;
  // The request in flight, for Cancel().
  std::shared_ptr<HttpRequest> request GUARDED_BY(mutex);
  // The caller's wait, which bounds the request itself too: an abandoned worker whose transport
  // ignores the cancel still ends by itself soon after. Set before the worker starts.
  uint32_t limit_ms = kReportLimitMs;
};

// Downloads url into file (directory created first if missing), waiting at most limit_ms for the
// worker. True when a file exists at file when the call ends; a file left from
// earlier counts, so callers that need a fresh result delete it first. A file this call's worker
// could not write whole never counts.
bool DownloadToFile(Platform& platform, const std::u16string& url, const std::u16string& directory,
                    const std::u16string& file, uint32_t limit_ms);

// The download thread's body: downloads (nothing for no block) and signals control (if any) when
// done.
void DownloadWorker(Platform& platform, std::shared_ptr<DownloadBlock> block,
                   std::shared_ptr<DownloadControl> control);

// GET url; when the reply is a 2xx one and announces an acceptable Content-Length, read the body
// in one read, create file (kCreateAlways, after the directory chain when directory is missing)
// and write the bytes received. True when the file was created and written whole; a file whose write
// failed (a full drive) is deleted. With a control, nothing is created once control->cancelled
// is set, the request can be cancelled through it, and it is bounded by control->limit_ms
// (without one, by kReportLimitMs).
bool DownloadUrlToFile(Platform& platform, const std::u16string& url,
                       const std::u16string& directory, const std::u16string& file,
                       DownloadControl* control = nullptr);

// Downloads url into path and waits for it at most limit_ms. A 2xx reply's body (exactly its
// announced length, or with none announced everything up to the end of the reply; see
// ExpectedBodyLength) of at most max_bytes is written to a new file beside path, named path,
// '.' and four hex digits so that what a process killed meanwhile leaves can be told by its
// name; that file takes path's place in one step once the body is whole. True when it did so
// within the limit. Otherwise path is left as it was and the new file is deleted, by the
// worker when the caller gave up on it. The target's folder is not created.
bool FetchUrlToFile(Platform& platform, const std::u16string& url, const std::u16string& path,
                    uint32_t limit_ms, uint32_t max_bytes);

// Creates every missing level of path, shallowest first. True when the directory exists
// afterwards; false for an empty path or when a level cannot be created.
bool CreateDirectoryChain(Platform& platform, const std::u16string& path);

}  // namespace mobileinfo

#endif  // MOBILEINFO_NET_NET_H
