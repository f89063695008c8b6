// The bounded download of one URL into one file. The network work runs on a thread of its own so
// that the caller can stop waiting at the limit. That thread is never killed (it could die holding
// a runtime or HTTP library lock): the caller cancels its request and marks it abandoned, and the
// thread ends by itself, owning everything it touches.
#include <chrono>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "net/net_internal.h"

#include "platform/record_file.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

// Copies source into a slot up to its first NUL; a string that fills the slot loses its last
// unit to the terminator, so it is cut to 2047 units.
void CopyIntoSlot(char16_t (&slot)[kDownloadSlotUnits], const std::u16string& source) {
  size_t n = 0;
  while (n < kDownloadSlotUnits && n < source.size() && source[n] != 0) {
    slot[n] = source[n];
    ++n;
  }
  if (n == kDownloadSlotUnits) slot[kDownloadSlotUnits - 1] = 0;
}

void MarkFinished(DownloadControl* control) {
  if (!control) return;
  std::shared_ptr<HttpRequest> request;
  {
    MutexLock lock(&control->mutex);
    request = std::move(control->request);
    control->finished = true;
    control->finished_cv.SignalAll();
  }
  // Closing a request can take long (Wine's WinINet reads what is left of the body first); the
  // caller, waiting for this lock at its limit, must not wait for that.
  request.reset();
}

enum class WorkerEnd { kNotStarted, kFinished, kAbandoned };

// Runs work, which must mark control finished when it ends, on a thread of its own and waits for
// it at most control->limit_ms. At the limit the worker is abandoned: control is marked
// cancelled, so it can no longer touch the target, and its request is cancelled.
WorkerEnd RunWithinLimit(Platform& platform, const std::shared_ptr<DownloadControl>& control,
                         std::function<void()> work) {
  if (!platform.RunDetached(std::move(work))) return WorkerEnd::kNotStarted;
  std::shared_ptr<HttpRequest> abandoned;
  {
    MutexLock lock(&control->mutex);
    if (control->finished_cv.WaitFor(control->mutex, std::chrono::milliseconds(control->limit_ms),
                                     [&]() REQUIRES(control->mutex) { return control->finished; })) {
      return WorkerEnd::kFinished;
    }
    control->cancelled = true;
    abandoned = control->request;
  }
  MOBILEINFO_LOG(platform, u"download abandoned at its limit of %u ms", control->limit_ms);
  // Outside the lock: a backend's cancel may wait for its own I/O to let go.
  if (abandoned) abandoned->Cancel();
  return WorkerEnd::kAbandoned;
}

// Only a 2xx reply is the service's answer: an error page (a proxy's, a captive portal's, a
// restarting server's) holds no driver information, and taken as an answer it would mark every
// model it was asked about unknown for a day.
bool IsAnswer(Platform& platform, HttpRequest& request) {
  const uint32_t status = request.StatusCode();
  if (status >= 200 && status <= 299) return true;
  MOBILEINFO_LOG(platform, u"reply refused: HTTP status %u is no answer", status);
  return false;
}

// The whole-body download reads in pieces of this size.
constexpr uint32_t kFetchPieceBytes = 64 * 1024;

// Writes body into a new file beside path, which then takes path's place. True when it did;
// otherwise the new file is gone and path is as it was.
bool ReplaceWithBody(Platform& platform, const std::u16string& path,
                     const std::vector<uint8_t>& body) {
  RecordFileWriter writer(platform, path);
  if (writer.Write(body.data(), static_cast<uint32_t>(body.size())) && writer.Commit()) {
    return true;
  }
  MOBILEINFO_LOG(platform, u"reply not saved: %s", writer.failure().c_str());
  return false;
}

// The whole-body download's work: the reply, read to its end, into path when it is whole and
// the caller still waits. The body is held in memory until then (at most max_bytes of it), so
// that the file is created, written and put in place under control's lock, as the list form's
// is: a caller that gave up has left no file of this call behind, not even for a moment.
void FetchWholeBody(Platform& platform, const std::u16string& url, const std::u16string& path,
                    uint32_t max_bytes, DownloadControl& control) {
  std::shared_ptr<HttpRequest> request(platform.OpenUrl(url, control.limit_ms));
  if (!request) {
    MOBILEINFO_LOG(platform, u"reply: none (no connection or no answer)");
    return;
  }
  {
    MutexLock lock(&control.mutex);
    if (control.cancelled) return;
    control.request = request;
  }
  if (!IsAnswer(platform, *request)) return;
  const std::optional<std::u16string> length_text = request->ContentLength();
  const WholeBodyLength expected = ExpectedBodyLength(length_text, max_bytes);
  if (expected.refused) {
    MOBILEINFO_LOG(platform, u"reply refused: Content-Length \"%s\" is no length up to %u bytes",
                   length_text->c_str(), max_bytes);
    return;
  }
  std::vector<uint8_t> body;
  if (expected.length) body.reserve(*expected.length);
  for (;;) {
    const size_t before = body.size();
    body.resize(before + kFetchPieceBytes);
    uint32_t got = request->Read(body.data() + before, kFetchPieceBytes);
    if (got > kFetchPieceBytes) got = kFetchPieceBytes;  // a backend never delivers more than asked
    body.resize(before + got);
    if (body.size() > max_bytes) {
      // Read no further: neither memory nor the time of a hostile reply is spent on the rest.
      MOBILEINFO_LOG(platform, u"reply refused: the body grew beyond %u bytes", max_bytes);
      return;
    }
    if (got < kFetchPieceBytes) break;  // the body ended, or the transfer did
  }
  const auto received = static_cast<unsigned>(body.size());
  // A body cut short (the connection closed early, or the limit came) is no reply: written out,
  // its last value would be stored cut as the model's driver information.
  if (!request->BodyEnded()) {
    MOBILEINFO_LOG(platform, u"reply refused: the body ended in a failure after %u bytes",
                   received);
    return;
  }
  if (expected.length && received < *expected.length) {
    MOBILEINFO_LOG(platform, u"reply refused: the body was cut short at %u of %u bytes", received,
                   *expected.length);
    return;
  }
  // Wine's WinINet hands out bytes past the announced end: that body is not the announced one.
  if (expected.length && received > *expected.length) {
    MOBILEINFO_LOG(platform, u"reply refused: the body ran past its announced %u bytes",
                   *expected.length);
    return;
  }

  MutexLock lock(&control.mutex);
  if (control.cancelled) {
    MOBILEINFO_LOG(platform, u"reply dropped: it came after the time limit");
    return;
  }
  if (!ReplaceWithBody(platform, path, body)) return;
  control.replaced = true;
  MOBILEINFO_LOG(platform, u"reply: %u bytes", received);
}

// Creates file (after its directory chain) and writes the body's received bytes. A file that
// could not be written whole is deleted and *write_failed set.
bool WriteReplyFile(Platform& platform, const std::u16string& directory, const std::u16string& file,
                   const std::vector<uint8_t>& body, uint32_t received, bool* write_failed) {
  if (!platform.FileExists(directory)) CreateDirectoryChain(platform, directory);
  std::unique_ptr<File> target = platform.OpenFile(file, FileMode::kCreateAlways);
  if (!target) {
    MOBILEINFO_LOG(platform, u"reply not saved: the reply file cannot be created");
    return false;
  }
  if (!target->Write(body.data(), received)) {
    // A full drive leaves a cut INI text, whose lost sections would mark their models unknown.
    if (write_failed) *write_failed = true;
    target.reset();
    platform.DeleteFile(file);
    MOBILEINFO_LOG(platform, u"reply not saved: writing the reply file failed");
    return false;
  }
  MOBILEINFO_LOG(platform, u"reply: %u bytes", received);
  return true;
}

}  // namespace

bool CreateDirectoryChain(Platform& platform, const std::u16string& path) {
  if (path.empty()) return false;
  if (platform.FileExists(path)) return true;
  const char16_t separator = platform.PathSeparator();
  std::u16string chain = path;
  if (chain.back() != separator) chain.push_back(separator);
  for (size_t i = chain.find(separator); i != std::u16string::npos;
       i = i + 1 < chain.size() ? chain.find(separator, i + 1) : std::u16string::npos) {
    // An absolute POSIX path starts at the root, which always exists; on Windows a leading
    // backslash (a network path among others) gives an empty prefix, which cannot be created.
    if (i == 0 && separator == u'/') continue;
    std::u16string prefix = chain.substr(0, i);
    if (!platform.FileExists(prefix) && !platform.CreateDirectory(prefix)) return false;
  }
  return true;
}

bool DownloadUrlToFile(Platform& platform, const std::u16string& url,
                       const std::u16string& directory, const std::u16string& file,
                       DownloadControl* control) {
  std::shared_ptr<HttpRequest> request(
      platform.OpenUrl(url, control ? control->limit_ms : kReportLimitMs));
  if (!request) {
    MOBILEINFO_LOG(platform, u"reply: none (no connection or no answer)");
    return false;
  }
  if (control) {
    MutexLock lock(&control->mutex);
    if (control->cancelled) return false;
    control->request = request;
  }
  if (!IsAnswer(platform, *request)) return false;
  std::vector<uint8_t> body;
  uint32_t received = 0;
  if (!ReadAnnouncedBody(*request, body, received)) {
    if (platform.debug_log().on()) {
      std::optional<std::u16string> length = request->ContentLength();
      MOBILEINFO_LOG(platform,
                     length ? u"reply refused: Content-Length \"%s\" is no length up to 1 MiB"
                            : u"reply refused: no Content-Length%s",
                     length ? length->c_str() : u"");
    }
    return false;
  }
  // A body cut short (the connection closed early) is no reply: written out, its last value
  // would be stored cut and cached as the model's driver information.
  if (received != body.size() - 10) {
    MOBILEINFO_LOG(platform, u"reply refused: the body was cut short at %u of %u bytes", received,
                   static_cast<unsigned>(body.size() - 10));
    return false;
  }

  // The caller may give up at any moment; holding the control's lock from the check to the
  // file's close means it either waits for a complete write or sees no file at all, ever.
  if (!control) return WriteReplyFile(platform, directory, file, body, received, nullptr);
  MutexLock lock(&control->mutex);
  if (control->cancelled) {
    MOBILEINFO_LOG(platform, u"reply dropped: it came after the time limit");
    return false;
  }
  bool write_failed = false;
  const bool written = WriteReplyFile(platform, directory, file, body, received, &write_failed);
  control->write_failed = write_failed;
  return written;
}

void DownloadWorker(Platform& platform, std::shared_ptr<DownloadBlock> block,
                   std::shared_ptr<DownloadControl> control) {
  if (!block) {
    MarkFinished(control.get());
    return;
  }
  try {
    const DebugLog::ThreadName thread_name(u"download");
    // The strings go into the worker's own storage and the block is freed before any work.
    std::u16string url = FieldText(block->url);
    std::u16string directory = FieldText(block->directory);
    std::u16string file = FieldText(block->file);
    block.reset();
    DownloadUrlToFile(platform, url, directory, file, control.get());
  } catch (...) {
    // The caller judges by the file alone; nothing else is reported.
  }
  MarkFinished(control.get());
  return;
}

bool DownloadToFile(Platform& platform, const std::u16string& url, const std::u16string& directory,
                    const std::u16string& file, uint32_t limit_ms) {
  try {
    std::unique_ptr<DownloadBlock> block(new (std::nothrow) DownloadBlock());  // zero-filled
    std::shared_ptr<DownloadControl> control;
    if (block) control = std::make_shared<DownloadControl>();
    if (block && control) {
      control->limit_ms = limit_ms;
      CopyIntoSlot(block->url, url);
      CopyIntoSlot(block->directory, directory);
      CopyIntoSlot(block->file, file);
      // The work item owns the block and a reference on the control, so an abandoned worker
      // never touches the caller's storage.
      std::shared_ptr<DownloadBlock> work_block(std::move(block));
      Platform* target = &platform;
      const WorkerEnd end =
          RunWithinLimit(platform, control, [target, work_block, control]() mutable {
            DownloadWorker(*target, std::move(work_block), std::move(control));
          });
      if (end != WorkerEnd::kNotStarted) {
        MutexLock lock(&control->mutex);
        // A file the worker could not write whole is no reply, even one it could not delete.
        if (control->write_failed) return false;
      }
    }
  } catch (...) {
    // Whatever went wrong, the answer is what exists at the target path.
  }
  return platform.FileExists(file);
}

bool FetchUrlToFile(Platform& platform, const std::u16string& url, const std::u16string& path,
                    uint32_t limit_ms, uint32_t max_bytes) {
  try {
    auto control = std::make_shared<DownloadControl>();
    control->limit_ms = limit_ms;
    // The work item owns copies of the strings and a reference on the control, so an abandoned
    // worker never touches the caller's storage.
    Platform* target = &platform;
    const WorkerEnd end = RunWithinLimit(platform, control, [target, url, path, max_bytes,
                                                             control]() mutable {
      try {
        const DebugLog::ThreadName thread_name(u"download");
        FetchWholeBody(*target, url, path, max_bytes, *control);
      } catch (...) {
        // The caller learns of a failure from the control alone.
      }
      MarkFinished(control.get());
    });
    if (end != WorkerEnd::kFinished) return false;
    MutexLock lock(&control->mutex);
    return control->replaced;
  } catch (...) {
    return false;
  }
}

}  // namespace mobileinfo
