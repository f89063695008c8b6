// WinINet under Wine against a scripted server on 127.0.0.1, and the core's whole-body download
// over it. Every test uses paths of its own: with no INTERNET_FLAG_* options WinINet may answer a
// repeated URL from its cache.
#include "test_http_server.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>

#include "net/net.h"
#include "platform/platform.h"

namespace mobileinfo {
namespace {

// Limits far beyond what any test here waits for, unless a test is about them.
constexpr uint32_t kLimitMs = 60000;
constexpr uint32_t kMaxBytes = 1u << 20;

using testing::ScriptedReply;
using testing::TestHttpServer;

std::string Text(const char* bytes, uint32_t size) { return std::string(bytes, size); }

std::u16string TempPath(const char16_t* name) {
  return Platform::Default().TempDirectory() + name;
}

std::string ReadWholeFile(const std::u16string& path) {
  std::ifstream file(reinterpret_cast<const wchar_t*>(path.c_str()), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }
  TestHttpServer server_;
};

TEST_F(HttpTest, ContentLengthTextAndOneReadOfTheBody) {
  server_.Answer("/intf/getDriver", ScriptedReply::WithLength("[18d1_4ee2]\r\nUID=1\r\n"));
  std::unique_ptr<HttpRequest> request =
      Platform::Default().OpenUrl(server_.Url("/intf/getDriver?os=5&bit=2&id=18d1_4ee2"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"20");
  char body[64] = {};
  ASSERT_EQ(request->Read(body, 20), 20u);
  EXPECT_EQ(Text(body, 20), "[18d1_4ee2]\r\nUID=1\r\n");
  EXPECT_EQ(request->Read(body, sizeof(body)), 0u);  // the body has ended
  EXPECT_EQ(server_.RequestCount("/intf/getDriver"), 1);
}

TEST_F(HttpTest, OneReadWaitsForABodyThatArrivesInPieces) {
  ScriptedReply reply;
  reply.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n"
                             "01234"});
  reply.pieces.push_back({300, "56789"});
  server_.Answer("/pieces", reply);
  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/pieces"), kLimitMs);
  ASSERT_NE(request, nullptr);
  char body[32] = {};
  ASSERT_EQ(request->Read(body, 10), 10u);
  EXPECT_EQ(Text(body, 10), "0123456789");
}

TEST_F(HttpTest, ReadAskingForMoreThanTheBodyReturnsWhatCame) {
  server_.Answer("/short", ScriptedReply::WithLength("abc"));
  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/short"), kLimitMs);
  ASSERT_NE(request, nullptr);
  char body[64] = {};
  EXPECT_EQ(request->Read(body, 60), 3u);
  EXPECT_EQ(Text(body, 3), "abc");
}

TEST_F(HttpTest, ChunkedReplyHasNoContentLength) {
  server_.Answer("/chunked", ScriptedReply::Chunked("no length here"));
  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/chunked"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), std::nullopt);
}

TEST_F(HttpTest, ContentLengthTextIsReportedAsSentAndRefusedWhenItDoesNotFit) {
  ScriptedReply odd;
  odd.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Length: 0004\r\nConnection: close\r\n\r\n"
                           "abcd"});
  server_.Answer("/odd", odd);
  ScriptedReply huge;  // 40 digits: more than the 31 units a 64-byte buffer holds
  huge.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Length: " + std::string(39, '0') +
                                "4\r\nConnection: close\r\n\r\nabcd"});
  server_.Answer("/huge", huge);

  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/odd"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), u"0004");
  request = Platform::Default().OpenUrl(server_.Url("/huge"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->ContentLength(), std::nullopt);
}

TEST_F(HttpTest, ErrorStatusIsStillARequestWithItsBody) {
  // Status codes are not the backend's to judge: it tells them.
  ScriptedReply reply;
  reply.pieces.push_back({0, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n"
                             "Connection: close\r\n\r\noops"});
  server_.Answer("/error", reply);
  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/error"), kLimitMs);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->StatusCode(), 500u);
  EXPECT_EQ(request->ContentLength(), u"4");
}

TEST(HttpOpen, UnreachablePortOrBadUrlGivesNoRequest) {
  uint16_t port = TestHttpServer::UnusedPort();
  ASSERT_NE(port, 0);
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/intf/f72?vid=18d1";
  EXPECT_EQ(Platform::Default().OpenUrl(std::u16string(url.begin(), url.end()), kLimitMs), nullptr);
  EXPECT_EQ(Platform::Default().OpenUrl(u"not a url", kLimitMs), nullptr);
  EXPECT_EQ(Platform::Default().OpenUrl(u"", kLimitMs), nullptr);
}

// On Windows closing the request handle makes a read blocked on it return at once. Wine 8's
// WinINet only drops its reference on the handle: the blocked read goes on until data comes,
// the server closes the connection or the receive time-out passes. Both must hold: Cancel
// itself never waits for the reader, and nothing works on the request after it.
TEST_F(HttpTest, CancelDoesNotWaitForABlockedReadAndEveryLaterCallFails) {
  // Ten of the announced thousand bytes, then silence for far longer than the test waits.
  ScriptedReply reply;
  reply.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n"
                             "\r\n0123456789"});
  reply.hold_ms = 60000;
  server_.Answer("/stall", reply);
  std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/stall"), kLimitMs);
  ASSERT_NE(request, nullptr);

  std::vector<char> body(1000);
  std::future<uint32_t> read = std::async(std::launch::async, [&] {
    return request->Read(body.data(), 1000);
  });
  ASSERT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  std::future<void> cancel = std::async(std::launch::async, [&] { request->Cancel(); });
  ASSERT_EQ(cancel.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "Cancel must not wait for the blocked read";

  char more[16];
  EXPECT_EQ(request->Read(more, sizeof(more)), 0u);
  EXPECT_EQ(request->ContentLength(), std::nullopt);
  request->Cancel();  // a second cancel closes nothing twice

  if (read.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
    server_.Stop();  // Wine: the read ends with the connection
  }
  ASSERT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_LE(read.get(), 1000u);
}

TEST_F(HttpTest, DestroyingAnUnreadRequestClosesIt) {
  server_.Answer("/unread", ScriptedReply::WithLength(std::string(5000, 'x')));
  for (int i = 0; i < 3; ++i) {
    std::unique_ptr<HttpRequest> request = Platform::Default().OpenUrl(server_.Url("/unread"), kLimitMs);
    ASSERT_NE(request, nullptr);
  }
}

TEST_F(HttpTest, DownloadToFileWritesTheWholeBody) {
  std::string body = "[04e8_6860]\r\nUID=7\r\nName=Galaxy\r\n" + std::string(3000, ';');
  server_.Answer("/download", ScriptedReply::WithLength(body));
  std::u16string path = TempPath(u"mobileinfo-download-test.ini");
  Platform::Default().DeleteFile(path);
  ASSERT_TRUE(FetchUrlToFile(Platform::Default(), server_.Url("/download?id=04e8_6860"), path,
                             kLimitMs, kMaxBytes));
  EXPECT_EQ(ReadWholeFile(path), body);
  Platform::Default().DeleteFile(path);
}

TEST_F(HttpTest, DownloadToFileTakesAChunkedReplyAsItCame) {
  std::string body = "[18d1_4ee2]\r\nUID=3\r\n" + std::string(2000, 'c');
  server_.Answer("/download-chunked", ScriptedReply::Chunked(body));
  std::u16string path = TempPath(u"mobileinfo-download-chunked.ini");
  Platform::Default().DeleteFile(path);
  ASSERT_TRUE(FetchUrlToFile(Platform::Default(), server_.Url("/download-chunked"),
                             path, kLimitMs, kMaxBytes));
  EXPECT_EQ(ReadWholeFile(path), body);
  Platform::Default().DeleteFile(path);
}

// URLMon reports success for a body the server cut short; the download must not.
TEST_F(HttpTest, DownloadToFileOfABodyCutShortFailsAndLeavesNoFile) {
  ScriptedReply cut;  // 840 bytes announced, 420 sent, then the connection closes
  cut.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                           "Content-Length: 840\r\nConnection: close\r\n\r\n" +
                               std::string(420, 'x')});
  server_.Answer("/download-cut", cut);
  ScriptedReply pause_then_cut;  // part of the body, a pause, a little more, then the close
  pause_then_cut.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n"
                                      "Connection: close\r\n\r\n" + std::string(3000, 'y')});
  pause_then_cut.pieces.push_back({200, std::string(1000, 'z')});
  server_.Answer("/download-pause-cut", pause_then_cut);

  // The cut reply twice: a retry must not be answered from a cache holding the cut body.
  for (const char* url_path : {"/download-cut", "/download-cut", "/download-pause-cut"}) {
    SCOPED_TRACE(url_path);
    std::u16string path = TempPath(u"mobileinfo-download-cut.ini");
    Platform::Default().DeleteFile(path);
    EXPECT_FALSE(FetchUrlToFile(Platform::Default(), server_.Url(url_path),
                                path, kLimitMs, kMaxBytes));
    EXPECT_FALSE(Platform::Default().FileExists(path));
  }
  EXPECT_EQ(server_.RequestCount("/download-pause-cut"), 1);
}

TEST_F(HttpTest, DownloadToFileOfAnEmptyBodySucceedsWithAnEmptyFile) {
  server_.Answer("/download-empty", ScriptedReply::WithLength(""));
  std::u16string path = TempPath(u"mobileinfo-download-empty.ini");
  Platform::Default().DeleteFile(path);
  ASSERT_TRUE(FetchUrlToFile(Platform::Default(), server_.Url("/download-empty"),
                             path, kLimitMs, kMaxBytes));
  EXPECT_TRUE(Platform::Default().FileExists(path));
  EXPECT_EQ(ReadWholeFile(path), "");
  Platform::Default().DeleteFile(path);
}

TEST(HttpDownload, UnreachableServerFailsAndWritesNoFile) {
  uint16_t port = TestHttpServer::UnusedPort();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/intf/getDriver";
  std::u16string path = TempPath(u"mobileinfo-download-unreachable.ini");
  Platform::Default().DeleteFile(path);
  EXPECT_FALSE(
      FetchUrlToFile(Platform::Default(), std::u16string(url.begin(), url.end()),
                     path, kLimitMs, kMaxBytes));
  EXPECT_FALSE(Platform::Default().FileExists(path));
}

}  // namespace
}  // namespace mobileinfo
