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
#include <string>

#include "net/body_length.h"
#include "platform/platform.h"

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

// --- download to file ---------------------------------------------------------------------------

// Downloads url into file (directory created first if missing), waiting at most limit_ms for the
// worker. True when a file exists at file when the call ends; a file left from
// earlier counts, so callers that need a fresh result delete it first. A file this call's worker
// could not write whole never counts.
bool DownloadToFile(Platform& platform, const std::u16string& url, const std::u16string& directory,
                    const std::u16string& file, uint32_t limit_ms);

// Downloads url into path and waits for it at most limit_ms. A 2xx reply's body (exactly its
// announced length, or with none announced everything up to the end of the reply; see
// ExpectedBodyLength) of at most max_bytes is written to a new file beside path, named path,
// '.' and four hex digits so that what a process killed meanwhile leaves can be told by its
// name; that file takes path's place in one step once the body is whole. True when it did so
// within the limit. Otherwise path is left as it was and the new file is deleted, by the
// worker when the caller gave up on it. The target's folder is not created.
bool FetchUrlToFile(Platform& platform, const std::u16string& url, const std::u16string& path,
                    uint32_t limit_ms, uint32_t max_bytes);

}  // namespace mobileinfo

#endif  // MOBILEINFO_NET_NET_H
