// The driver-information test service: its catalogue, its answers, its request log, each broken
// answer it can be told to give, and the program's command line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "server.h"

namespace driver_service {
namespace {

namespace fs = std::filesystem;

const char kCatalogueText[] =
    "; test catalogue\r\n"
    "[18d1_4f3a]\r\n"
    "UID=1\r\n"
    "Name=Nimbus 5\r\n"
    "Description=T\xC3\xA9l\xC3\xA9phone\r\n"
    "\r\n"
    "[04e8_6a21]\r\n"
    "UID=2\r\n"
    "Name=Orca X2\r\n";

const char kNimbusSection[] =
    "[18d1_4f3a]\r\nUID=1\r\nName=Nimbus 5\r\nDescription=T\xC3\xA9l\xC3\xA9phone\r\n\r\n";
const char kOrcaSection[] = "[04e8_6a21]\r\nUID=2\r\nName=Orca X2\r\n\r\n";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "driver-service-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// What a client sees on the wire: every byte until the server closes, split at the blank line.
struct RawReply {
  std::string head;
  std::string body;
  bool closed = false;  // the server closed the connection (rather than our read time-out)
};

RawReply RawGet(int port, const std::string& target) {
  RawReply reply;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return reply;
  }
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) all.append(buffer, static_cast<size_t>(n));
  reply.closed = n == 0;
  close(fd);
  size_t blank = all.find("\r\n\r\n");
  reply.head = all.substr(0, blank);
  if (blank != std::string::npos) reply.body = all.substr(blank + 4);
  return reply;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<DriverService>(Catalogue::Parse(kCatalogueText),
                                               ServiceSettings{(temp_ / "requests.log").string()});
    std::string error;
    ASSERT_TRUE(service_->Start("127.0.0.1", 0, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
    client_->set_read_timeout(20, 0);
  }

  // A control request; the reply's body.
  std::string Control(const std::string& target) {
    auto result = client_->Get(target);
    return result ? result->body : "<no answer>";
  }

  TempDir temp_;
  std::unique_ptr<DriverService> service_;
  std::unique_ptr<httplib::Client> client_;
};

// ---- the catalogue ---------------------------------------------------------------------------

TEST(CatalogueTest, ToleratesByteOrderMarkCommentsSpacingAndRepeats) {
  Catalogue catalogue = Catalogue::Parse(
      "\xEF\xBB\xBF"
      "Stray=before any section\n"
      "# comment\n"
      "  [ 18D1_4F3A ]  \n"
      "  UID = 7 \n"
      "Name=First\n"
      "not a key line\n"
      "[22b8_2e7c]\n"
      "UID=8\n"
      "[18d1_4f3a]\n"
      "Name=Second\n"
      "Pack=p\n");
  ASSERT_EQ(catalogue.size(), 2u);
  const CatalogueSection* section = catalogue.Find("18d1_4f3a");
  ASSERT_NE(section, nullptr);
  using Keys = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(section->keys, (Keys{{"UID", "7"}, {"Name", "Second"}, {"Pack", "p"}}));
  EXPECT_EQ(catalogue.Find("22B8_2E7C"), catalogue.Find("22b8_2e7c"));
  EXPECT_EQ(catalogue.Find("stray"), nullptr);
}

TEST(CatalogueTest, ReplyHoldsEachKnownRequestedIdOnceInRequestOrder) {
  Catalogue catalogue = Catalogue::Parse(kCatalogueText);
  EXPECT_EQ(catalogue.RenderReply("04e8_6a21,ffff_0000,18d1_4f3a,04E8_6A21,04e8_6a21"),
            std::string(kOrcaSection) + kNimbusSection);
}

TEST(CatalogueTest, ReplyWithoutAKnownIdIsOneCommentLineNamingTheRequest) {
  Catalogue catalogue = Catalogue::Parse(kCatalogueText);
  EXPECT_EQ(catalogue.RenderReply(",,ffff_0000,"), "; no driver information for ,,ffff_0000,\r\n");
  EXPECT_EQ(catalogue.RenderReply(""), "; no driver information: no id was requested\r\n");
  // A line break smuggled into the query cannot start a section of its own.
  std::string reply = catalogue.RenderReply("x\r\n[18d1_4f3a]\nName=Forged");
  EXPECT_EQ(reply, "; no driver information for x??[18d1_4f3a]?Name=Forged\r\n");
  EXPECT_EQ(Catalogue::Parse(reply).size(), 0u);
}

TEST(CatalogueTest, MissingFileIsAnErrorNamingIt) {
  Catalogue catalogue;
  std::string error;
  EXPECT_FALSE(Catalogue::Load("/nonexistent/catalogue.ini", &catalogue, &error));
  EXPECT_NE(error.find("/nonexistent/catalogue.ini"), std::string::npos) << error;
}

TEST(CatalogueTest, BundledCatalogueHasEveryReplyKeyForEachModel) {
  Catalogue catalogue;
  std::string error;
  ASSERT_TRUE(Catalogue::Load(DRIVER_SERVICE_CATALOGUE, &catalogue, &error)) << error;
  ASSERT_GE(catalogue.size(), 4u);
  const std::vector<std::string> kKeys = {
      "UID",  "Name",  "Description", "ImageUrl", "VendorImageUrl",
      "GUID", "PDown", "InstallPath", "FileExt",  "Param",
      "MD5",  "Pack"};
  for (const char* id : {"18d1_4f3a", "04e8_6a21", "2717_ff6e", "22b8_2e7c"}) {
    const CatalogueSection* section = catalogue.Find(id);
    ASSERT_NE(section, nullptr) << id;
    std::vector<std::string> keys;
    for (const auto& entry : section->keys) keys.push_back(entry.first);
    EXPECT_EQ(keys, kKeys) << id;
    EXPECT_FALSE(section->keys[0].second.empty()) << id;   // UID
    EXPECT_FALSE(section->keys[1].second.empty()) << id;   // Name
    EXPECT_LE(section->keys[1].second.size(), 31u) << id;  // fits the 32-unit name field
    EXPECT_LE(section->keys[8].second.size(), 4u) << id;   // fits the 5-unit extension field
  }
}

TEST(CatalogueTest, Utf16ConversionWritesBomSurrogatesAndReplacesMalformedBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(ToUtf16LeWithBom("A\xC3\xA9"),
            "\xFF\xFE"
            "A\0\xE9\0"s);
  // U+1F4F1 needs a surrogate pair.
  EXPECT_EQ(ToUtf16LeWithBom("\xF0\x9F\x93\xB1"), "\xFF\xFE\x3D\xD8\xF1\xDC"s);
  // A byte that never starts a character, a lone continuation byte, an overlong "/" and a
  // cut-off sequence.
  EXPECT_EQ(ToUtf16LeWithBom("\xF8\x88\x80\x80"), "\xFF\xFE\xFD\xFF\xFD\xFF\xFD\xFF\xFD\xFF"s);
  EXPECT_EQ(ToUtf16LeWithBom("\x80"
                             "\xC0\xAF"
                             "\xE2\x82"),
            "\xFF\xFE"
            "\xFD\xFF\xFD\xFF\xFD\xFF\xFD\xFF\xFD\xFF"s);
}

// ---- normal answers and the log --------------------------------------------------------------

TEST_F(ServiceTest, GetDriverAnswersKnownSectionsWithExactContentLength) {
  auto result =
      client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a,dead_beef,04e8_6a21,18d1_4f3a");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->body, std::string(kNimbusSection) + kOrcaSection);
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));
  EXPECT_EQ(result->get_header_value("Transfer-Encoding"), "");
}

// A client takes an empty body for no answer at all, so a request the catalogue has nothing
// for still gets a document: one comment line with its Content-Length.
TEST_F(ServiceTest, UnknownOrNoIdsGiveACommentLineWithItsContentLength) {
  const struct {
    const char* target;
    const char* body;
  } kCases[] = {
      {"/intf/getDriver?os=5&bit=2&id=0000_0000", "; no driver information for 0000_0000\r\n"},
      {"/intf/getDriver?os=5&bit=2&id=0000_0000%2Cdead_beef",
       "; no driver information for 0000_0000,dead_beef\r\n"},
      {"/intf/getDriver?os=5&bit=2&id=", "; no driver information: no id was requested\r\n"},
      {"/intf/getDriver", "; no driver information: no id was requested\r\n"},
  };
  for (const auto& c : kCases) {
    RawReply reply = RawGet(service_->port(), c.target);
    EXPECT_NE(reply.head.find("HTTP/1.1 200 OK"), std::string::npos) << c.target;
    EXPECT_NE(reply.head.find("\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n"),
              std::string::npos)
        << c.target;
    EXPECT_EQ(reply.body, c.body) << c.target;
  }
}

TEST_F(ServiceTest, F72ReportIsAnsweredWithContentLengthAndLoggedVerbatim) {
  RawReply reply = RawGet(service_->port(),
                          "/intf/f72?vid=18d1&pid=4f3a&desc1=(null)&desc2=(null)&desc3=(null)");
  EXPECT_NE(reply.head.find("HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_NE(reply.head.find("Content-Length: " + std::to_string(reply.body.size())),
            std::string::npos);
  EXPECT_FALSE(reply.body.empty());
  EXPECT_EQ(service_->LogLines(),
            std::vector<std::string>{
                "GET /intf/f72?vid=18d1&pid=4f3a&desc1=(null)&desc2=(null)&desc3=(null)"});
}

TEST_F(ServiceTest, LogKeepsEveryRequestUndecodedInOrderButNoControlRequests) {
  RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a%2C04e8_6a21");
  Control("/_mode?set=close");
  RawGet(service_->port(), "/intf/getDriver?os=10&bit=1&id=");
  Control("/_mode?set=normal");
  RawGet(service_->port(), "/nowhere?x=%20y");
  RawGet(service_->port(), "/intf/f72");
  const std::string expected =
      "GET /intf/getDriver?os=5&bit=2&id=18d1_4f3a%2C04e8_6a21\n"
      "GET /intf/getDriver?os=10&bit=1&id=\n"
      "GET /nowhere?x=%20y\n"
      "GET /intf/f72\n";
  EXPECT_EQ(ReadFile(temp_ / "requests.log"), expected);  // flushed after each line
  EXPECT_EQ(Control("/_log"), expected);
  EXPECT_EQ(Control("/_clear"), "cleared\n");
  EXPECT_EQ(Control("/_log"), "");
  EXPECT_EQ(ReadFile(temp_ / "requests.log"), expected);  // the file keeps the whole history
}

TEST_F(ServiceTest, UnknownPathsAndMethodsAreRefusedWithContentLength) {
  RawReply not_found = RawGet(service_->port(), "/intf/other?id=18d1_4f3a");
  EXPECT_NE(not_found.head.find("404"), std::string::npos);
  EXPECT_NE(not_found.head.find("Content-Length:"), std::string::npos);
  auto post = client_->Post("/intf/getDriver?id=18d1_4f3a", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  auto control = client_->Get("/_nothing");
  ASSERT_TRUE(control);
  EXPECT_EQ(control->status, 404);
}

// ---- broken answers --------------------------------------------------------------------------

TEST_F(ServiceTest, ModeSwitchReportsSettingsAndRejectsUnknownNames) {
  EXPECT_EQ(Control("/_mode"), "mode=normal delay_ms=12000 length=-1\n");
  EXPECT_EQ(Control("/_mode?set=slow"), "mode=slow delay_ms=12000 length=-1\n");
  EXPECT_EQ(Control("/_mode?set=binary&length=10"), "mode=binary delay_ms=12000 length=10\n");
  auto bad = client_->Get("/_mode?set=sideways");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(client_->Get("/_mode?set=slow&delay_ms=-5")->status, 400);
  // A rejected switch leaves the mode, and a new switch forgets the previous length.
  EXPECT_EQ(Control("/_mode"), "mode=binary delay_ms=12000 length=10\n");
  EXPECT_EQ(Control("/_mode?set=binary"), "mode=binary delay_ms=12000 length=-1\n");
}

TEST_F(ServiceTest, NoContentLengthModeSendsTheReplyChunked) {
  Control("/_mode?set=no-content-length");
  auto result = client_->Get("/intf/getDriver?os=5&bit=2&id=04e8_6a21");
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->has_header("Content-Length"));
  EXPECT_EQ(result->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(result->body, kOrcaSection);
  // The f72 report too, since a report's reply must be ignorable in every form.
  RawReply report = RawGet(service_->port(), "/intf/f72?vid=1&pid=2");
  EXPECT_EQ(report.head.find("Content-Length"), std::string::npos);
}

TEST_F(ServiceTest, SlowModeDelaysTheAnswerAndStillAnswersControlRequests) {
  Control("/_mode?set=slow&delay_ms=1500");
  auto started = std::chrono::steady_clock::now();
  auto slow = std::async(std::launch::async, [this] {
    return RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  });
  // The service keeps answering its controls while the slow answer waits.
  EXPECT_EQ(Control("/_mode"), "mode=slow delay_ms=1500 length=-1\n");
  RawReply reply = slow.get();
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
  EXPECT_EQ(reply.body, kNimbusSection);
  EXPECT_NE(reply.head.find("Content-Length: " + std::to_string(reply.body.size())),
            std::string::npos);
}

TEST_F(ServiceTest, StopDoesNotWaitForADelayedAnswer) {
  Control("/_mode?set=slow");  // the default 12 s delay
  auto pending = std::async(std::launch::async, [this] {
    return RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  });
  while (service_->LogLines().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto started = std::chrono::steady_clock::now();
  service_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  RawReply reply = pending.get();
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.head, "");
}

TEST_F(ServiceTest, StopDoesNotWaitForAClientThatStopsReading) {
  Control("/_mode?set=binary&length=67108864");  // far more than the socket buffers hold
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(service_->port()));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = "GET /intf/getDriver?os=5&bit=2&id=18d1_4f3a HTTP/1.1\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  while (service_->LogLines().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // until the buffers are full

  auto started = std::chrono::steady_clock::now();
  service_->Stop();
  // A send that waits for the reader would take the 10 s request time-out at least.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  // What was queued arrives, then the end: the connection is closed, not left hanging.
  timeval timeout{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[65536];
  size_t received = 0;
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) received += static_cast<size_t>(n);
  close(fd);
  EXPECT_EQ(n, 0);
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, 67108864u);
}

TEST_F(ServiceTest, ErrorPageModeAnswers500WithHtmlAndContentLength) {
  Control("/_mode?set=error-page");
  auto result = client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 500);
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(result->body.size()));
  EXPECT_NE(result->body.find("<html>"), std::string::npos);
}

TEST_F(ServiceTest, HugeLengthModeClaimsTwoGigabytesAndCloses) {
  Control("/_mode?set=huge-length");
  RawReply reply = RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  EXPECT_NE(reply.head.find("\r\nContent-Length: 2147483647\r\n"), std::string::npos);
  EXPECT_EQ(reply.body, kNimbusSection);
  EXPECT_TRUE(reply.closed);

  Control("/_mode?set=huge-length&length=2147483658");  // 2^31 + 10
  reply = RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  EXPECT_NE(reply.head.find("\r\nContent-Length: 2147483658\r\n"), std::string::npos);
  EXPECT_TRUE(reply.closed);
}

TEST_F(ServiceTest, TruncatedModeSendsLessThanItsContentLengthAndCloses) {
  Control("/_mode?set=truncated");
  const std::string whole = std::string(kNimbusSection) + kOrcaSection;
  RawReply reply = RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=18d1_4f3a,04e8_6a21");
  EXPECT_NE(reply.head.find("\r\nContent-Length: " + std::to_string(whole.size()) + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(reply.closed);
  EXPECT_LT(reply.body.size(), whole.size());
  EXPECT_FALSE(reply.body.empty());
  EXPECT_EQ(whole.compare(0, reply.body.size(), reply.body), 0);
  // The comment line of a request for no known id is cut too.
  const std::string comment = "; no driver information: no id was requested\r\n";
  reply = RawGet(service_->port(), "/intf/getDriver?os=5&bit=2&id=");
  EXPECT_NE(reply.head.find("\r\nContent-Length: " + std::to_string(comment.size()) + "\r\n"),
            std::string::npos);
  EXPECT_LT(reply.body.size(), comment.size());
  EXPECT_EQ(comment.compare(0, reply.body.size(), reply.body), 0);
}

TEST_F(ServiceTest, CloseModeSendsNothingButLogsTheRequest) {
  Control("/_mode?set=close");
  RawReply reply = RawGet(service_->port(), "/intf/f72?vid=18d1&pid=4f3a");
  EXPECT_TRUE(reply.closed);
  EXPECT_EQ(reply.head, "");
  EXPECT_EQ(reply.body, "");
  EXPECT_FALSE(client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a"));
  EXPECT_EQ(service_->LogLines(),
            (std::vector<std::string>{"GET /intf/f72?vid=18d1&pid=4f3a",
                                      "GET /intf/getDriver?os=5&bit=2&id=18d1_4f3a"}));
}

TEST_F(ServiceTest, Utf16ModeSendsLittleEndianWithByteOrderMark) {
  using namespace std::string_literals;
  Control("/_mode?set=utf16");
  auto result = client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  ASSERT_TRUE(result);
  const std::string& body = result->body;
  EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(body.substr(0, 8),
            "\xFF\xFE[\0"
            "1\0"
            "8\0"s);
  EXPECT_NE(body.find("T\0\xE9\0l\0\xE9\0p\0"s), std::string::npos);  // Téléphone
  EXPECT_EQ(body.size(), 2 + 2 * (sizeof kNimbusSection - 1 - 2));    // two 2-byte é in UTF-8
}

TEST_F(ServiceTest, BinaryModeSendsRandomBytesOfTheAnnouncedLength) {
  Control("/_mode?set=binary");
  auto result = client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->body.size(), 4096u);
  EXPECT_EQ(result->get_header_value("Content-Length"), "4096");
  EXPECT_NE(result->body.find('\0'), std::string::npos);
  EXPECT_EQ(result->body.find("[18d1_4f3a]"), std::string::npos);

  Control("/_mode?set=binary&length=1048577");  // just over 1 MiB
  result = client_->Get("/intf/getDriver?os=5&bit=2&id=18d1_4f3a");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->body.size(), 1048577u);
}

// ---- the program -----------------------------------------------------------------------------

struct ProgramRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
  pid_t pid = fork();
  if (pid == 0) {
    freopen(out.c_str(), "w", stdout);
    freopen(err.c_str(), "w", stderr);
    std::vector<char*> argv;
    std::string program = DRIVER_SERVICE_EXE;
    argv.push_back(program.data());
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -2;  // still running after 10 s
}

ProgramRun RunProgram(const std::vector<std::string>& args) {
  TempDir temp;
  ProgramRun run;
  run.exit_code = WaitExit(Spawn(args, temp / "out", temp / "err"));
  run.out = ReadFile(temp / "out");
  run.err = ReadFile(temp / "err");
  return run;
}

TEST(ProgramTest, PicksAFreePortAnswersAndStopsCleanlyOnSignals) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    TempDir temp;
    pid_t pid = Spawn({"--catalogue", DRIVER_SERVICE_CATALOGUE, "--port", "0", "--port-file",
                       (temp / "port").string(), "--log", (temp / "log").string()},
                      temp / "out", temp / "err");
    for (int i = 0; i < 500 && !fs::exists(temp / "port"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int port = std::atoi(ReadFile(temp / "port").c_str());
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto result = client.Get("/intf/getDriver?os=5&bit=2&id=2717_ff6e");
    ASSERT_TRUE(result);
    EXPECT_NE(result->body.find("Name=Kestrel Note 3\r\n"), std::string::npos);
    kill(pid, signal_number);
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_EQ(ReadFile(temp / "out"), "listening on 127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(ReadFile(temp / "err"), "");
    EXPECT_EQ(ReadFile(temp / "log"), "GET /intf/getDriver?os=5&bit=2&id=2717_ff6e\n");
  }
}

TEST(ProgramTest, BadStartsExitNonZeroWithOneLineNamingTheProblem) {
  DriverService busy(Catalogue(), ServiceSettings{});
  std::string error;
  ASSERT_TRUE(busy.Start("127.0.0.1", 0, &error)) << error;
  const std::string port = std::to_string(busy.port());
  const std::string catalogue = DRIVER_SERVICE_CATALOGUE;
  struct Case {
    std::vector<std::string> args;
    std::string named;
  };
  const Case kCases[] = {
      {{"--catalogue", catalogue, "--port", "0", "--colour"}, "--colour"},
      {{"--catalogue", "/nonexistent/drivers.ini", "--port", "0"}, "/nonexistent/drivers.ini"},
      {{"--catalogue", catalogue, "--port", port}, "in use"},
      {{"--catalogue", catalogue, "--port", "70000"}, "70000"},
      {{"--catalogue", catalogue, "--port", "0", "--mode", "sideways"}, "sideways"},
      {{"--catalogue", catalogue}, "--port"},
      {{"--port", "0"}, "--catalogue"},
      {{"--catalogue", catalogue, "--port"}, "--port"},
      {{"--catalogue", catalogue, "--port", "0", "--host", "localhost"}, "localhost"},
      {{"--catalogue", catalogue, "--port", "0", "--log", "/nonexistent/dir/log"}, "/nonexistent"},
  };
  for (const Case& c : kCases) {
    ProgramRun run = RunProgram(c.args);
    EXPECT_GT(run.exit_code, 0) << c.named;
    EXPECT_EQ(run.out, "") << c.named;
    ASSERT_FALSE(run.err.empty()) << c.named;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // exactly one line
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace driver_service
