// The fire-and-forget GET that reports use.
#include <atomic>
#include <memory>
#include <utility>

#include "net/net_internal.h"
#include "support/debug_log.h"

namespace mobileinfo {

void HttpGetAndDiscard(Platform& platform, const std::u16string& url, uint32_t limit_ms) {
  std::unique_ptr<HttpRequest> request = platform.OpenUrl(url, limit_ms);
  if (!request) {
    MOBILEINFO_LOG(platform, u"f72 report: no answer");
    return;
  }
  std::vector<uint8_t> scratch;
  uint32_t received = 0;
  ReadAnnouncedBody(*request, scratch, received);
  MOBILEINFO_LOG(platform, u"f72 report answered: %u body bytes read", received);
}

bool ReportRequestWorker(Platform& platform, std::shared_ptr<std::u16string> url_holder) {
  if (!url_holder) return false;
  try {
    const DebugLog::ThreadName thread_name(u"report");
    HttpGetAndDiscard(platform, *url_holder);
  } catch (...) {
    // Nobody hears of a report's fate; an exception must not end the process either.
  }
  url_holder.reset();
  return true;
}

namespace {

// The reports in flight in this process. Process-wide on purpose: report threads outlive the
// service object that started them (and any other), and what they use up, threads and
// connections, belongs to the process.
std::atomic<int>& ReportsInFlight() {
  static std::atomic<int> count{0};
  return count;
}

// One of the kMaxReportsInFlight places, held by a report's work item for as long as it exists:
// released when the thread ends, or when the work is destroyed unrun.
class ReportSlot {
 public:
  static std::shared_ptr<ReportSlot> Take() {
    std::atomic<int>& count = ReportsInFlight();
    int now = count.load();
    do {
      if (now >= kMaxReportsInFlight) return nullptr;
    } while (!count.compare_exchange_weak(now, now + 1));
    try {
      return std::shared_ptr<ReportSlot>(new ReportSlot());
    } catch (...) {
      --count;
      return nullptr;
    }
  }
  ~ReportSlot() { --ReportsInFlight(); }
  ReportSlot(const ReportSlot&) = delete;
  ReportSlot& operator=(const ReportSlot&) = delete;

 private:
  ReportSlot() = default;
};

}  // namespace

void StartReportRequest(Platform& platform, std::unique_ptr<std::u16string> url_holder) {
  if (!url_holder) return;
  try {
    // A service that is down makes every plug report; beyond the cap they are dropped.
    std::shared_ptr<ReportSlot> slot = ReportSlot::Take();
    if (!slot) {
      MOBILEINFO_LOG(platform, u"f72 report dropped: %d reports are in flight",
                     kMaxReportsInFlight);
      return;
    }
    // std::function needs a copyable target, hence the shared pointers; the thread's work item
    // is their only owner once the thread runs.
    std::shared_ptr<std::u16string> holder(std::move(url_holder));
    Platform* target = &platform;
    platform.RunDetached([target, holder, slot]() mutable {
      ReportRequestWorker(*target, std::move(holder));
      slot.reset();
    });
  } catch (...) {
    // No thread: the report is dropped, as an unreachable server would drop it.
  }
}

}  // namespace mobileinfo
