// The pieces behind net.h's requests: the worker bodies, the block and control a download
// shares with its worker, and the single steps they are made of. Only net's own sources and the
// transport's tests include this; the rest of the library goes through net.h.
#ifndef MOBILEINFO_NET_NET_INTERNAL_H
#define MOBILEINFO_NET_NET_INTERNAL_H

#include <cstdint>
#include <memory>
#include <string>

#include "net/net.h"
#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

// The report thread's body: false at once for no holder; otherwise the GET, the holder's release,
// true.
bool ReportRequestWorker(Platform& platform, std::shared_ptr<std::u16string> url_holder);

// GET url and read as much of the body as Content-Length announces, in one read, into a scratch
// buffer that is thrown away. The whole request, its closing included, ends within limit_ms.
void HttpGetAndDiscard(Platform& platform, const std::u16string& url,
                       uint32_t limit_ms = kReportLimitMs);

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

// Creates every missing level of path, shallowest first. True when the directory exists
// afterwards; false for an empty path or when a level cannot be created.
bool CreateDirectoryChain(Platform& platform, const std::u16string& path);

}  // namespace mobileinfo

#endif  // MOBILEINFO_NET_NET_INTERNAL_H
