// The HTTP transport against the fake platform: the Content-Length judgement and single read, the
// fire-and-forget GET, and the bounded download to file with its directory chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "fake_platform.h"
#include "platform_wrapper.h"
#include "net/net_internal.h"

namespace mobileinfo {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

FakeHttpReply Reply(const std::string& body) {
  FakeHttpReply reply;
  reply.content_length = U(std::to_string(body.size()));
  reply.body = body;
  return reply;
}

// A request whose reads are recorded and which can be told to ignore Cancel(), standing in for a
// transport that cannot be interrupted: the download must then still never write after its
// caller gave up.
struct ScriptedReply {
  std::optional<std::u16string> content_length;
  std::string body;
  uint32_t delay_ms = 0;
  bool ignore_cancel = false;
};

struct ReadLog {
  std::mutex mutex;
  std::vector<uint32_t> sizes;  // the size asked for by each Read
  int finished = 0;             // Reads that returned
  int cancels = 0;
};

class ScriptedRequest : public HttpRequest {
 public:
  ScriptedRequest(ScriptedReply reply, std::shared_ptr<ReadLog> log)
      : reply_(std::move(reply)), log_(std::move(log)) {}
  uint32_t StatusCode() override { return 200; }
  std::optional<std::u16string> ContentLength() override { return reply_.content_length; }
  uint32_t Read(void* buffer, uint32_t size) override {
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      log_->sizes.push_back(size);
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, std::chrono::milliseconds(reply_.delay_ms),
                   [&] { return cancelled_ && !reply_.ignore_cancel; });
    }
    size_t n = std::min<size_t>(size, reply_.body.size());
    std::memcpy(buffer, reply_.body.data(), n);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      read_ = true;
    }
    std::lock_guard<std::mutex> lock(log_->mutex);
    ++log_->finished;
    return static_cast<uint32_t>(n);
  }
  // The scripted body is all there is: one read delivers it, and it has ended.
  bool BodyEnded() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return read_;
  }
  void Cancel() override {
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      ++log_->cancels;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    cv_.notify_all();
  }

 private:
  ScriptedReply reply_;
  std::shared_ptr<ReadLog> log_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool read_ = false;
  bool cancelled_ = false;
};

// Wraps a fake so that every request it opens (and counts) is a scripted one that logs its reads
// and cancels.
class ScriptedHttp : public PlatformWrapper {
 public:
  explicit ScriptedHttp(FakePlatform& fake) : PlatformWrapper(fake) {}
  ScriptedReply reply;
  std::shared_ptr<ReadLog> log = std::make_shared<ReadLog>();

  std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) override {
    PlatformWrapper::OpenUrl(url, limit_ms);  // the fake, without a reply of its own, counts it
    return std::make_unique<ScriptedRequest>(reply, log);
  }
  std::vector<uint32_t> read_sizes() {
    std::lock_guard<std::mutex> lock(log->mutex);
    return log->sizes;
  }
  // A four-byte body that arrives delay_ms late.
  void Late(uint32_t delay_ms, bool ignore_cancel = false) {
    reply.content_length = u"4";
    reply.body = "late";
    reply.delay_ms = delay_ms;
    reply.ignore_cancel = ignore_cancel;
  }
};

// --- Content-Length ----------------------------------------------------------------------------

TEST(BodyLengthTest, AcceptsPositiveLengthsUpToTheCeiling) {
  EXPECT_EQ(BodyLength(u"1"), 1u);
  EXPECT_EQ(BodyLength(u"512"), 512u);
  EXPECT_EQ(BodyLength(u"  42"), 42u);        // leading blanks, as _wtoi skips them
  EXPECT_EQ(BodyLength(u"+7"), 7u);
  EXPECT_EQ(BodyLength(u"12abc"), 12u);       // the leading number counts
  EXPECT_EQ(BodyLength(u"1048576"), 1048576u);
  EXPECT_EQ(BodyLength(u"0001048576"), 1048576u);
}

TEST(BodyLengthTest, RefusesMissingNonPositiveAndOversizedLengths) {
  EXPECT_EQ(BodyLength(std::nullopt), std::nullopt);
  EXPECT_EQ(BodyLength(u""), std::nullopt);
  EXPECT_EQ(BodyLength(u"0"), std::nullopt);
  EXPECT_EQ(BodyLength(u"-5"), std::nullopt);
  EXPECT_EQ(BodyLength(u"abc"), std::nullopt);
  EXPECT_EQ(BodyLength(u"1048577"), std::nullopt);
  EXPECT_EQ(BodyLength(u"2147483647"), std::nullopt);
  EXPECT_EQ(BodyLength(u"2147483648"), std::nullopt);
  EXPECT_EQ(BodyLength(u"4294967296"), std::nullopt);   // would wrap to 0 in 32 bits
  EXPECT_EQ(BodyLength(u"4294967297"), std::nullopt);   // would wrap to 1 in 32 bits
  EXPECT_EQ(BodyLength(u"99999999999"), std::nullopt);
  EXPECT_EQ(BodyLength(u"99999999999999999999999999"), std::nullopt);
}

// --- fire-and-forget GET -----------------------------------------------------------------------

TEST(HttpGetAndDiscardTest, ReadsOnceForTheAnnouncedLengthOnly) {
  FakePlatform fake;
  ScriptedHttp scripted(fake);
  scripted.reply.content_length = u"5";
  scripted.reply.body = "0123456789";
  HttpGetAndDiscard(scripted, u"http://h/a");
  EXPECT_EQ(fake.Lock()->requested_urls, std::vector<std::u16string>{u"http://h/a"});
  EXPECT_EQ(scripted.read_sizes(), std::vector<uint32_t>{5});
}

TEST(HttpGetAndDiscardTest, ReadsNothingWithoutAnAcceptableLength) {
  for (std::optional<std::u16string> length :
       {std::optional<std::u16string>(), std::optional<std::u16string>(u"0"),
        std::optional<std::u16string>(u"-1"), std::optional<std::u16string>(u"4294967296"),
        std::optional<std::u16string>(u"2147483647")}) {
    FakePlatform fake;
    ScriptedHttp scripted(fake);
    scripted.reply.content_length = length;
    scripted.reply.body = "body";
    HttpGetAndDiscard(scripted, u"http://h/a");
    EXPECT_EQ(fake.Lock()->requested_urls.size(), 1u);
    EXPECT_TRUE(scripted.read_sizes().empty()) << (length ? std::string("with a length") : "none");
  }
}

TEST(ReportRequestTest, NoHolderOpensNothing) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) { return Reply("x"); };
  EXPECT_EQ(ReportRequestWorker(fake, nullptr), 0);
  StartReportRequest(fake, nullptr);
  fake.JoinDetached();
  EXPECT_EQ(fake.detached_started(), 0);
  EXPECT_TRUE(fake.Lock()->requested_urls.empty());
}

TEST(ReportRequestTest, WorkerSendsTheHoldersUrl) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) { return Reply("ignored"); };
  EXPECT_EQ(ReportRequestWorker(fake, std::make_shared<std::u16string>(u"http://h/r")), 1);
  EXPECT_EQ(fake.Lock()->requested_urls, std::vector<std::u16string>{u"http://h/r"});
}

TEST(ReportRequestTest, CallerDoesNotWaitForASlowOrUnreachableServer) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string& url) {
    FakeHttpReply reply = Reply("slow");
    reply.delay_ms = 1500;
    if (url.find(u"down") != std::u16string::npos) reply.handle = false;
    return reply;
  };
  auto start = Clock::now();
  StartReportRequest(fake, std::make_unique<std::u16string>(u"http://h/slow"));
  StartReportRequest(fake, std::make_unique<std::u16string>(u"http://down/x"));
  EXPECT_LT(MillisecondsSince(start), 1000);  // well before the slow body arrives
  fake.JoinDetached();
  EXPECT_EQ(fake.detached_started(), 2);
  std::vector<std::u16string> urls = fake.Lock()->requested_urls;
  std::sort(urls.begin(), urls.end());
  EXPECT_EQ(urls, (std::vector<std::u16string>{u"http://down/x", u"http://h/slow"}));
}

TEST(ReportRequestTest, AtMostFourRunAtOnceEachBoundedInTime) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) {
    FakeHttpReply reply = Reply("slow");
    reply.delay_ms = 1000;
    return reply;
  };
  for (int i = 0; i < 6; ++i) {
    StartReportRequest(fake, std::make_unique<std::u16string>(u"http://h/r"));
  }
  EXPECT_EQ(fake.detached_started(), kMaxReportsInFlight);  // the rest are dropped
  fake.JoinDetached();
  StartReportRequest(fake, std::make_unique<std::u16string>(u"http://h/after"));
  fake.JoinDetached();
  EXPECT_EQ(fake.detached_started(), kMaxReportsInFlight + 1);  // places are given back
  auto script = fake.Lock();
  EXPECT_EQ(script->request_limits, std::vector<uint32_t>(kMaxReportsInFlight + 1, kReportLimitMs));
}

TEST(ReportRequestTest, NoThreadDropsTheReport) {
  FakePlatform fake;
  fake.Lock()->detached_starts_before_failure = 0;
  StartReportRequest(fake, std::make_unique<std::u16string>(u"http://h/r"));
  EXPECT_TRUE(fake.Lock()->requested_urls.empty());
}

// --- directory chain ---------------------------------------------------------------------------

TEST(CreateDirectoryChainTest, CreatesMissingLevelsShallowestFirst) {
  FakePlatform fake;
  fake.Lock()->directories = {u"C:"};
  EXPECT_EQ(CreateDirectoryChain(fake, u"C:\\a\\b\\c"), 1);
  EXPECT_EQ(fake.Lock()->directories,
            (std::set<std::u16string>{u"C:", u"C:\\a", u"C:\\a\\b", u"C:\\a\\b\\c"}));
  // A trailing separator names the same directory.
  EXPECT_EQ(CreateDirectoryChain(fake, u"C:\\a\\d\\"), 1);
  EXPECT_TRUE(fake.Lock()->directories.count(u"C:\\a\\d"));
}

TEST(CreateDirectoryChainTest, EmptyExistingAndUncreatablePaths) {
  FakePlatform fake;
  EXPECT_EQ(CreateDirectoryChain(fake, u""), 0);
  fake.Lock()->directories = {u"\\\\server\\share"};
  EXPECT_EQ(CreateDirectoryChain(fake, u"\\\\server\\share"), 1);  // exists: nothing to create
  // A leading backslash gives an empty first level, which cannot be created.
  EXPECT_EQ(CreateDirectoryChain(fake, u"\\\\server\\share\\new"), 0);
  EXPECT_FALSE(fake.Lock()->directories.count(u"\\\\server\\share\\new"));
}

TEST(CreateDirectoryChainTest, PosixRootNeedsNoCreation) {
  FakePlatform fake;
  fake.Lock()->separator = u'/';
  EXPECT_EQ(CreateDirectoryChain(fake, u"/tmp/x/y"), 1);
  EXPECT_EQ(fake.Lock()->directories, (std::set<std::u16string>{u"/tmp", u"/tmp/x", u"/tmp/x/y"}));
}

// --- download to file --------------------------------------------------------------------------

constexpr uint32_t kShortLimitMs = 300;

TEST(DownloadToFileTest, WritesTheBodyAfterCreatingTheDirectory) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) { return Reply("[a]\r\nb=c\r\n"); };
  EXPECT_EQ(DownloadToFile(fake, u"http://h/f", u"C:\\d1\\d2", u"C:\\d1\\d2\\f.txt",
                           kShortLimitMs),
            1);
  EXPECT_EQ(fake.GetFile(u"C:\\d1\\d2\\f.txt"), "[a]\r\nb=c\r\n");
  EXPECT_TRUE(fake.Lock()->directories.count(u"C:\\d1\\d2"));
  EXPECT_EQ(fake.Lock()->requested_urls, std::vector<std::u16string>{u"http://h/f"});
}

TEST(DownloadToFileTest, WritesTheAnnouncedLengthAndRefusesABodyCutShort) {
  FakePlatform fake;
  fake.Lock()->directories = {u"C:\\T"};
  fake.Lock()->http = [](const std::u16string& url) {
    FakeHttpReply reply;
    reply.body = "0123456789";
    reply.content_length = url == u"u:short" ? u"4" : u"100";  // fewer / more than sent
    return reply;
  };
  EXPECT_EQ(DownloadToFile(fake, u"u:short", u"C:\\T", u"C:\\T\\a", kShortLimitMs), 1);
  EXPECT_EQ(fake.GetFile(u"C:\\T\\a"), "0123");
  // Ten bytes of an announced hundred: the connection closed early, so no file.
  EXPECT_EQ(DownloadToFile(fake, u"u:truncated", u"C:\\T", u"C:\\T\\b", kShortLimitMs), 0);
  EXPECT_FALSE(fake.GetFile(u"C:\\T\\b").has_value());
}

TEST(DownloadToFileTest, RefusedLengthsWriteNoFile) {
  for (std::optional<std::u16string> length :
       {std::optional<std::u16string>(), std::optional<std::u16string>(u"0"),
        std::optional<std::u16string>(u"2147483647"), std::optional<std::u16string>(u"4294967296"),
        std::optional<std::u16string>(u"99999999999"), std::optional<std::u16string>(u"1048577")}) {
    FakePlatform fake;
    ScriptedHttp scripted(fake);
    scripted.reply.content_length = length;
    scripted.reply.body = "body";
    EXPECT_EQ(DownloadToFile(scripted, u"http://h/f", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 0);
    fake.JoinDetached();
    EXPECT_FALSE(fake.GetFile(u"C:\\T\\f"));
    EXPECT_TRUE(scripted.read_sizes().empty());  // no buffer, no read
  }
}

TEST(DownloadToFileTest, AFileLeftFromEarlierCountsAsSuccess) {
  FakePlatform fake;
  fake.SetFile(u"C:\\T\\f", "old");
  fake.Lock()->http = [](const std::u16string&) {
    FakeHttpReply reply;
    reply.body = "chunked";  // no Content-Length header
    return reply;
  };
  EXPECT_EQ(DownloadToFile(fake, u"http://h/f", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 1);
  EXPECT_EQ(fake.GetFile(u"C:\\T\\f"), "old");
}

TEST(DownloadToFileTest, UnreachableServerOrUnopenableFileGivesZero) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) {
    FakeHttpReply reply;
    reply.handle = false;
    return reply;
  };
  EXPECT_EQ(DownloadToFile(fake, u"http://down/", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 0);
  EXPECT_EQ(DownloadUrlToFile(fake, u"http://down/", u"C:\\T", u"C:\\T\\f"), 0);

  fake.Lock()->http = [](const std::u16string&) { return Reply("x"); };
  fake.Lock()->unopenable.insert(u"C:\\T\\g");
  EXPECT_EQ(DownloadToFile(fake, u"http://h/", u"C:\\T", u"C:\\T\\g", kShortLimitMs), 0);
  EXPECT_EQ(DownloadUrlToFile(fake, u"http://h/", u"C:\\T", u"C:\\T\\h"), 1);
}

TEST(DownloadToFileTest, OneMebibyteBodyIsTheLargestWritten) {
  FakePlatform fake;
  const std::string body(kMaxContentLength, 'z');
  fake.Lock()->http = [&](const std::u16string& url) {
    FakeHttpReply reply = Reply(body);
    if (url == u"u:over") reply.content_length = U(std::to_string(body.size() + 1));
    return reply;
  };
  EXPECT_EQ(DownloadToFile(fake, u"u:max", u"C:\\T", u"C:\\T\\max", kShortLimitMs), 1);
  EXPECT_EQ(fake.GetFile(u"C:\\T\\max")->size(), kMaxContentLength);
  EXPECT_EQ(DownloadToFile(fake, u"u:over", u"C:\\T", u"C:\\T\\over", kShortLimitMs), 0);
}

TEST(DownloadToFileTest, CutsEachStringTo2047Units) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string&) { return Reply("x"); };
  std::u16string url = u"http://h/" + std::u16string(3000, u'q');
  std::u16string exact = u"http://h/" + std::u16string(2047 - 9, u'q');
  EXPECT_EQ(DownloadToFile(fake, url, u"C:\\T", u"C:\\T\\f", kShortLimitMs), 1);
  EXPECT_EQ(DownloadToFile(fake, exact, u"C:\\T", u"C:\\T\\g", kShortLimitMs), 1);
  ASSERT_EQ(fake.Lock()->requested_urls.size(), 2u);
  EXPECT_EQ(fake.Lock()->requested_urls[0], url.substr(0, 2047));
  EXPECT_EQ(fake.Lock()->requested_urls[1], exact);

  // A target path cut the same way: the file lands at the cut path, which is not the one asked
  // about, so the result is 0.
  std::u16string long_file = u"C:\\T\\" + std::u16string(2100, u'f');
  EXPECT_EQ(DownloadToFile(fake, u"http://h/", u"C:\\T", long_file, kShortLimitMs), 0);
  EXPECT_TRUE(fake.GetFile(long_file.substr(0, 2047)));
}

TEST(DownloadToFileTest, SlowServerReturnsAtTheLimitAndIsCancelled) {
  FakePlatform fake;
  ScriptedHttp scripted(fake);
  scripted.Late(3000);
  auto start = Clock::now();
  EXPECT_EQ(DownloadToFile(scripted, u"http://slow/", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 0);
  int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, static_cast<int64_t>(kShortLimitMs) - 20);
  EXPECT_LT(elapsed, 2500);
  fake.JoinDetached();
  EXPECT_EQ(scripted.log->cancels, 1);
  EXPECT_FALSE(fake.GetFile(u"C:\\T\\f"));
}

TEST(DownloadToFileTest, AbandonedDownloadNeverWritesAfterTheCallerReturned) {
  // The transport ignores the cancel and delivers the whole body after the limit: the worker
  // reaches the file creation and must see that it was abandoned.
  FakePlatform fake;
  ScriptedHttp scripted(fake);
  scripted.Late(800, true);
  auto start = Clock::now();
  EXPECT_EQ(DownloadToFile(scripted, u"http://slow/", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 0);
  EXPECT_LT(MillisecondsSince(start), 700);
  fake.JoinDetached();  // the worker's read has returned the body by now
  {
    std::lock_guard<std::mutex> lock(scripted.log->mutex);
    EXPECT_EQ(scripted.log->finished, 1);
  }
  EXPECT_FALSE(fake.GetFile(u"C:\\T\\f"));
  EXPECT_FALSE(fake.Lock()->directories.count(u"C:\\T"));
}

TEST(DownloadToFileTest, NoWorkerThreadLeavesTheResultToTheFile) {
  FakePlatform fake;
  fake.Lock()->detached_starts_before_failure = 0;
  EXPECT_EQ(DownloadToFile(fake, u"http://h/", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 0);
  fake.SetFile(u"C:\\T\\f", "old");
  fake.Lock()->detached_starts_before_failure = 0;
  EXPECT_EQ(DownloadToFile(fake, u"http://h/", u"C:\\T", u"C:\\T\\f", kShortLimitMs), 1);
  EXPECT_TRUE(fake.Lock()->requested_urls.empty());
}

TEST(DownloadToFileTest, WorkerWithoutBlockEndsAtOnce) {
  FakePlatform fake;
  auto control = std::make_shared<DownloadControl>();
  DownloadWorker(fake, nullptr, control);
  EXPECT_TRUE(control->finished);
  EXPECT_TRUE(fake.Lock()->requested_urls.empty());
}

TEST(DownloadToFileTest, ConcurrentDownloadsKeepTheirOwnFiles) {
  FakePlatform fake;
  fake.Lock()->http = [](const std::u16string& url) {
    FakeHttpReply reply = Reply(std::string(url.begin(), url.end()));
    reply.delay_ms = 20;
    return reply;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&fake, i] {
      std::u16string n = U(std::to_string(i));
      EXPECT_EQ(DownloadToFile(fake, u"u" + n, u"C:\\T", u"C:\\T\\" + n, 2000), 1);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(fake.GetFile(U("C:\\T\\" + std::to_string(i))), "u" + std::to_string(i));
  }
}

}  // namespace
}  // namespace mobileinfo
