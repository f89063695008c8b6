// The bounded download of one URL into one file. The network work runs on a thread of its own so
// that the caller can stop waiting at the limit. That thread is never killed (it could die holding
// a runtime or HTTP library lock): the caller cancels its request and marks it abandoned, and the
// thread ends by itself, owning everything it touches.
#include <chrono>
#include <new>
#include <utility>
#include <vector>

#include "net/net.h"
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
    std::lock_guard<std::mutex> lock(control->mutex);
    request = std::move(control->request);
    control->finished = true;
    control->finished_cv.notify_all();
  }
  // Closing a request can take long (Wine's WinINet reads what is left of the body first); the
  // caller, waiting for this lock at its limit, must not wait for that.
  request.reset();
}

}  // namespace

int CreateDirectoryChain(Platform& platform, const std::u16string& path) {
  if (path.empty()) return 0;
  if (platform.FileExists(path)) return 1;
  const char16_t separator = platform.PathSeparator();
  std::u16string chain = path;
  if (chain.back() != separator) chain.push_back(separator);
  for (size_t i = chain.find(separator); i != std::u16string::npos;
       i = i + 1 < chain.size() ? chain.find(separator, i + 1) : std::u16string::npos) {
    // An absolute POSIX path starts at the root, which always exists; on Windows a leading
    // backslash (a network path among others) gives an empty prefix, which cannot be created.
    if (i == 0 && separator == u'/') continue;
    std::u16string prefix = chain.substr(0, i);
    if (!platform.FileExists(prefix) && !platform.CreateDirectory(prefix)) return 0;
  }
  return 1;
}

int DownloadUrlToFile(Platform& platform, const std::u16string& url,
                      const std::u16string& directory, const std::u16string& file,
                      DownloadControl* control) {
  std::shared_ptr<HttpRequest> request(
      platform.OpenUrl(url, control ? control->limit_ms : kReportLimitMs));
  if (!request) {
    MOBILEINFO_LOG(platform, u"reply: none (no connection or no answer)");
    return 0;
  }
  if (control) {
    std::lock_guard<std::mutex> lock(control->mutex);
    if (control->cancelled) return 0;
    control->request = request;
  }
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
    return 0;
  }
  // A body cut short (the connection closed early) is no reply: written out, its last value
  // would be stored cut and cached as the model's driver information.
  if (received != body.size() - 10) {
    MOBILEINFO_LOG(platform, u"reply refused: the body was cut short at %u of %u bytes", received,
                   static_cast<unsigned>(body.size() - 10));
    return 0;
  }

  // The caller may give up at any moment; holding the control's lock from the check to the
  // file's close means it either waits for a complete write or sees no file at all, ever.
  std::unique_lock<std::mutex> lock;
  if (control) {
    lock = std::unique_lock<std::mutex>(control->mutex);
    if (control->cancelled) {
      MOBILEINFO_LOG(platform, u"reply dropped: it came after the time limit");
      return 0;
    }
  }
  if (!platform.FileExists(directory)) CreateDirectoryChain(platform, directory);
  std::unique_ptr<File> target = platform.OpenFile(file, FileMode::kCreateAlways);
  if (!target) {
    MOBILEINFO_LOG(platform, u"reply not saved: the reply file cannot be created");
    return 0;
  }
  if (!target->Write(body.data(), received)) {
    // A full drive leaves a cut INI text, whose lost sections would mark their models unknown.
    if (control) control->write_failed = true;
    target.reset();
    platform.DeleteFile(file);
    MOBILEINFO_LOG(platform, u"reply not saved: writing the reply file failed");
    return 0;
  }
  MOBILEINFO_LOG(platform, u"reply: %u bytes", received);
  return 1;
}

int DownloadWorker(Platform& platform, std::shared_ptr<DownloadBlock> block,
                   std::shared_ptr<DownloadControl> control) {
  if (!block) {
    MarkFinished(control.get());
    return 0;
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
  return 0;
}

int DownloadToFile(Platform& platform, const std::u16string& url, const std::u16string& directory,
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
      bool started = platform.RunDetached([target, work_block, control]() mutable {
        DownloadWorker(*target, std::move(work_block), std::move(control));
      });
      if (started) {
        std::shared_ptr<HttpRequest> abandoned;
        bool gave_up = false;
        bool write_failed = false;
        {
          std::unique_lock<std::mutex> lock(control->mutex);
          if (!control->finished_cv.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                             [&] { return control->finished; })) {
            control->cancelled = gave_up = true;
            abandoned = control->request;
          }
          write_failed = control->write_failed;
        }
        if (gave_up) {
          MOBILEINFO_LOG(platform, u"download abandoned at its limit of %u ms", limit_ms);
        }
        // Outside the lock: a backend's cancel may wait for its own I/O to let go.
        if (abandoned) abandoned->Cancel();
        // A file the worker could not write whole is no reply, even one it could not delete.
        if (write_failed) return 0;
      }
    }
  } catch (...) {
    // Whatever went wrong, the answer is what exists at the target path.
  }
  return platform.FileExists(file) ? 1 : 0;
}

}  // namespace mobileinfo
