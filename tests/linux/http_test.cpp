// The Linux backend's HTTP against real servers on 127.0.0.1: a cpp-httplib server for ordinary
// replies and a raw socket server for replies no well-behaved server library would send.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "net/net.h"
#include "platform/linux/linux_platform.h"
#include "support/text.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace mobileinfo {
namespace {

// Limits far beyond what any test here waits for, unless a test is about them.
constexpr uint32_t kLimitMs = 60000;
constexpr uint32_t kMaxBytes = 1u << 20;

const std::string kFixedBody = [] {
  std::string body;
  for (int i = 0; i < 100; ++i) body += "0123456789";
  return body;
}();

// A port nothing listens on: bound once, then released.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Answers every connection with the same bytes, then closes it.
class RawServer {
 public:
  explicit RawServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
  }
  std::string Url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void Serve() {
    for (;;) {
      int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      close(connection);
    }
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Get("/fixed", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kFixedBody, "text/plain");
    });
    server_.Get("/empty", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("", "text/plain");
    });
    server_.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("not here", "text/plain");
    });
    server_.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/fixed");
    });

    server_.Get("/chunked", [](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) return sink.write("abc", 3);
        if (offset == 3) return sink.write("def", 3);
        sink.done();
        return true;
      });
    });
    server_.Get("/truncated", [](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(100, "text/plain",
                                    [](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0) sink.write(kFixedBody.data(), 50);
                                      return offset == 0;  // then drop the connection
                                    });
    });
    server_.Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(1000, "text/plain",
                                    [this](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0) return sink.write("0123456789", 10);
                                      std::unique_lock<std::mutex> lock(mutex_);
                                      released_.wait_for(lock, 30s, [this] { return release_; });
                                      return false;
                                    });
    });
    server_.Get("/huge", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(
          size_t{1} << 30, "application/octet-stream",
          [this](size_t, size_t length, httplib::DataSink& sink) {
            static const std::string chunk(64 * 1024, 'x');
            size_t n = std::min(length, chunk.size());
            if (!sink.write(chunk.data(), n)) return false;
            huge_sent_ += n;
            return true;
          });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    listener_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);

    std::string pattern = (fs::temp_directory_path() / "mobileinfo-http-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    Release();
    server_.stop();
    if (listener_.joinable()) listener_.join();
    fs::remove_all(dir_);
  }

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
  }

  std::u16string Url(const std::string& path) const {
    return Utf8ToUtf16("http://127.0.0.1:" + std::to_string(port_) + path);
  }
  std::string ReadAll(HttpRequest& request, uint32_t size) {
    std::string body(size, '\0');
    body.resize(request.Read(&body[0], size));
    return body;
  }
  std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  size_t FilesInDir() {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  LinuxPlatform platform_{"/nonexistent"};
  httplib::Server server_;
  int port_ = 0;
  std::thread listener_;
  std::string dir_;
  std::atomic<size_t> huge_sent_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
};

TEST_F(HttpTest, ContentLengthAndBody) {
  auto request = platform_.OpenUrl(Url("/fixed"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"1000");
  EXPECT_EQ(ReadAll(*request, 10), "0123456789");
  EXPECT_EQ(ReadAll(*request, 5000), kFixedBody.substr(10));  // up to the end of the body
  EXPECT_EQ(ReadAll(*request, 10), "");

  auto empty = platform_.OpenUrl(Url("/empty"), kLimitMs);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->ContentLength(), u"0");
  EXPECT_EQ(ReadAll(*empty, 10), "");
}

TEST_F(HttpTest, StatusIsToldAndRedirectsAreFollowed) {
  auto missing = platform_.OpenUrl(Url("/missing"), kLimitMs);
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->StatusCode(), 404u);
  EXPECT_EQ(missing->ContentLength(), u"8");
  EXPECT_EQ(ReadAll(*missing, 8), "not here");

  auto moved = platform_.OpenUrl(Url("/redirect"), kLimitMs);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->StatusCode(), 200u);
  EXPECT_EQ(moved->ContentLength(), u"1000");
  EXPECT_EQ(ReadAll(*moved, 1000), kFixedBody);
}

TEST_F(HttpTest, ChunkedReplyHasNoContentLength) {
  auto request = platform_.OpenUrl(Url("/chunked"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), std::nullopt);
  EXPECT_EQ(ReadAll(*request, 100), "abcdef");
}

TEST_F(HttpTest, ContentLengthTextIsReportedRaw) {
  RawServer odd("HTTP/1.1 200 OK\r\nContent-Length:   0012 \r\nConnection: close\r\n\r\n"
                "0123456789AB");
  auto request = platform_.OpenUrl(Utf8ToUtf16(odd.Url()), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"0012");
  EXPECT_EQ(ReadAll(*request, 100), "0123456789AB");

  // 32 digits do not fit a 64-byte query buffer: no usable header.
  RawServer long_header("HTTP/1.1 200 OK\r\nContent-Length: 00000000000000000000000000000005\r\n"
                        "Connection: close\r\n\r\nhello");
  auto long_request = platform_.OpenUrl(Utf8ToUtf16(long_header.Url()), kLimitMs);
  ASSERT_NE(long_request, nullptr);
  EXPECT_EQ(long_request->ContentLength(), std::nullopt);

  // libcurl refuses a reply whose Content-Length is not a number, so there is no request; the
  // core ends the same way as with WinINet's "abc" (no positive length: nothing read).
  RawServer not_number("HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\nhello");
  EXPECT_EQ(platform_.OpenUrl(Utf8ToUtf16(not_number.Url()), kLimitMs), nullptr);

  RawServer no_length("HTTP/1.0 200 OK\r\n\r\nbody until close");
  auto plain = platform_.OpenUrl(Utf8ToUtf16(no_length.Url()), kLimitMs);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->ContentLength(), std::nullopt);
  EXPECT_EQ(ReadAll(*plain, 100), "body until close");
}

TEST_F(HttpTest, NoRequestHandleWithoutAServer) {
  EXPECT_EQ(platform_.OpenUrl(Utf8ToUtf16("http://127.0.0.1:" + std::to_string(FreePort()) + "/"), kLimitMs),
            nullptr);
  EXPECT_EQ(platform_.OpenUrl(u"not a url", kLimitMs), nullptr);
  EXPECT_EQ(platform_.OpenUrl(u"file:///etc/hostname", kLimitMs), nullptr);
  RawServer silent_close("");
  EXPECT_EQ(platform_.OpenUrl(Utf8ToUtf16(silent_close.Url()), kLimitMs), nullptr);
}

TEST_F(HttpTest, CancelEndsABlockedReadAtOnce) {
  auto request = platform_.OpenUrl(Url("/slow"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"1000");
  auto reader = std::async(std::launch::async, [&] { return ReadAll(*request, 1000); });
  EXPECT_EQ(reader.wait_for(300ms), std::future_status::timeout);  // blocked on the slow body
  auto started = std::chrono::steady_clock::now();
  request->Cancel();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), "0123456789");  // what had arrived before the cancel
  EXPECT_EQ(ReadAll(*request, 10), "");
  EXPECT_EQ(request->ContentLength(), std::nullopt);
  request.reset();  // joins the transfer while the server still holds the reply back
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST_F(HttpTest, DestroyingARequestMidBodyIsSafeAndTheBodyIsNotHoarded) {
  auto request = platform_.OpenUrl(Url("/huge"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"1073741824");
  EXPECT_EQ(ReadAll(*request, 10), "xxxxxxxxxx");
  std::this_thread::sleep_for(500ms);  // time enough for a runaway transfer to show
  // Socket buffers hold a few megabytes at most; the rest waits for a reader.
  EXPECT_LT(huge_sent_.load(), size_t{64} << 20);
  request.reset();

  auto slow = platform_.OpenUrl(Url("/slow"), kLimitMs);
  ASSERT_NE(slow, nullptr);
  slow.reset();  // nobody cancelled it first
}

TEST_F(HttpTest, SyncDownloadReplacesTheFileOnlyWithAWholeBody) {
  const std::string target = dir_ + "/reply.tmp";
  EXPECT_TRUE(FetchUrlToFile(platform_, Url("/fixed"), Utf8ToUtf16(target), kLimitMs, kMaxBytes));
  EXPECT_EQ(FileText(target), kFixedBody);
  EXPECT_TRUE(FetchUrlToFile(platform_, Url("/chunked"), Utf8ToUtf16(target), kLimitMs, kMaxBytes));
  EXPECT_EQ(FileText(target), "abcdef");  // replaced

  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/truncated"),
                              Utf8ToUtf16(target), kLimitMs, kMaxBytes));
  EXPECT_FALSE(FetchUrlToFile(platform_,
      Utf8ToUtf16("http://127.0.0.1:" + std::to_string(FreePort()) + "/"), Utf8ToUtf16(target), kLimitMs, kMaxBytes));
  EXPECT_EQ(FileText(target), "abcdef");  // failures leave the old file alone
  EXPECT_EQ(FilesInDir(), 1u);           // and nothing beside it

  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/truncated"),
                              Utf8ToUtf16(dir_ + "/new"), kLimitMs, kMaxBytes));
  EXPECT_FALSE(fs::exists(dir_ + "/new"));
  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/fixed"),
                              Utf8ToUtf16(dir_ + "/no/such/dir"), kLimitMs, kMaxBytes));
  EXPECT_EQ(FilesInDir(), 1u);

  // Beyond the size limit (announced, or arriving in chunks) or past the time limit: no file,
  // and the call returns at the limit.
  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/huge"),
                              Utf8ToUtf16(dir_ + "/n"), kLimitMs, kMaxBytes));
  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/fixed"), Utf8ToUtf16(dir_ + "/n"), kLimitMs, 999));
  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/chunked"), Utf8ToUtf16(dir_ + "/n"), kLimitMs, 5));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(FetchUrlToFile(platform_, Url("/slow"), Utf8ToUtf16(dir_ + "/n"), 500, kMaxBytes));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(HttpTest, RequestEndsAtItsLimit) {
  const auto start = std::chrono::steady_clock::now();
  auto request = platform_.OpenUrl(Url("/slow"), 500);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(ReadAll(*request, 1000), "0123456789");  // what had arrived by the limit
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace mobileinfo
