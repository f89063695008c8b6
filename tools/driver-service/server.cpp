#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

namespace driver_service {
namespace {

constexpr size_t kMaxRequestHead = 64 * 1024;
constexpr int kRequestTimeoutMs = 10000;
constexpr long long kDefaultHugeLength = 2147483647;
constexpr long long kDefaultBinaryLength = 4096;
constexpr long long kMaxBinaryLength = 64LL * 1024 * 1024;
constexpr long long kDefaultHugeBody = 2147483648LL;  // 2 GiB
constexpr int kDefaultTrickleMs = 500;
constexpr size_t kLongLine = 70000;
constexpr int kManySections = 5000;

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i] == '+' ? ' ' : text[i]);
    }
  }
  return out;
}

// The decoded value of the first parameter called name in a raw query.
bool QueryParam(const std::string& query, const std::string& name, std::string* value) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) {
      *value = equals == std::string::npos ? "" : PercentDecode(pair.substr(equals + 1));
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool ParseCount(const std::string& text, long long maximum, long long* value) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stoll(text);
  return *value <= maximum;
}

std::string ToHex(size_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%zx", value);
  return text;
}

std::string Head(int status, const std::string& content_type, const std::string& length_header) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 404 ? "Not Found"
                       : status == 405 ? "Method Not Allowed"
                                       : "Internal Server Error";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + content_type +
         "\r\n" + length_header + "Connection: close\r\n\r\n";
}

std::string Response(int status, const std::string& content_type, const std::string& body) {
  return Head(status, content_type, "Content-Length: " + std::to_string(body.size()) + "\r\n") +
         body;
}

std::string RandomBytes(long long length) {
  std::mt19937 generator(20240229);  // fixed: a failing test sees the same bytes again
  std::string bytes(static_cast<size_t>(length), '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// Every byte of text followed by a NUL: what UTF-16LE looks like without its byte-order mark.
std::string WithNuls(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// Before every section header a 70 000-byte comment line, and after it a 70 000-byte key that
// the reader does not ask for.
std::string WithLongLines(const std::string& reply) {
  const std::string comment = ";" + std::string(kLongLine - 1, 'c') + "\r\n";
  const std::string padding = "Padding=" + std::string(kLongLine - 8, 'p') + "\r\n";
  std::string out;
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find('\n', start);
    end = end == std::string::npos ? reply.size() : end + 1;
    std::string line = reply.substr(start, end - start);
    if (!line.empty() && line[0] == '[') {
      out += comment + line + padding;
    } else {
      out += line;
    }
    start = end;
  }
  return out.empty() ? comment : out;
}

// Thousands of sections nobody asked for ahead of the reply; each one complete, so a reader that
// mistook one for another would fill a record from it.
std::string WithManySections(const std::string& reply) {
  std::string out;
  char id[16];
  for (int i = 0; i < kManySections; ++i) {
    std::snprintf(id, sizeof id, "ffff_%04x", i);
    out += std::string("[") + id + "]\r\nUID=" + id + "\r\nName=Filler " + id + "\r\n\r\n";
  }
  return out + reply;
}

// Ends the connection with a FIN after what was sent. Bytes the client sent beyond the request
// head (a POST body, say) are read away first: closing with unread data makes the system send a
// reset, which can destroy the answer before the client has read it.
void CloseGracefully(int fd) {
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
  close(fd);
}

}  // namespace

DriverService::DriverService(Catalogue catalogue, ServiceSettings settings)
    : catalogue_(std::move(catalogue)),
      settings_(std::move(settings)),
      behaviour_{settings_.mode, settings_.delay_ms, -1, ""} {}

DriverService::~DriverService() { Stop(); }

bool DriverService::Start(const std::string& host, int port, std::string* error) {
  if (settings_.log_path == "-") {
    log_file_ = stdout;
  } else if (!settings_.log_path.empty()) {
    log_file_ = std::fopen(settings_.log_path.c_str(), "a");
    if (log_file_ == nullptr) {
      *error = "cannot open log " + settings_.log_path + ": " + std::strerror(errno);
      return false;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    *error = "bad host " + host + " (expected an IPv4 address such as 127.0.0.1)";
    return false;
  }
  // Non-blocking, so that a client gone between poll and accept cannot hold the accept thread
  // (and so Stop) in accept until the next client comes.
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0 || pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    *error = std::string("cannot create socket: ") + std::strerror(errno);
    return false;
  }
  // Lets a restarted service take its fixed port back while old connections sit in TIME_WAIT;
  // Linux still refuses a port that another socket listens on.
  int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  std::string where = host + ":" + std::to_string(port);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = errno == EADDRINUSE
                 ? "port " + std::to_string(port) + " on " + host + " is already in use"
                 : "cannot bind " + where + ": " + std::strerror(errno);
    return false;
  }
  if (listen(listen_fd_, 64) != 0) {
    *error = "cannot listen on " + where + ": " + std::strerror(errno);
    return false;
  }
  socklen_t size = sizeof address;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void DriverService::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (wake_pipe_[1] >= 0) {
    char byte = 1;
    (void)!write(wake_pipe_[1], &byte, 1);
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  for (Connection& connection : connections_) connection.thread.join();
  connections_.clear();
  for (int fd : {listen_fd_, wake_pipe_[0], wake_pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
  listen_fd_ = wake_pipe_[0] = wake_pipe_[1] = -1;
  std::lock_guard<std::mutex> lock(log_mutex_);
  if (log_file_ != nullptr && log_file_ != stdout) std::fclose(log_file_);
  log_file_ = nullptr;
}

std::vector<std::string> DriverService::LogLines() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return log_lines_;
}

void DriverService::AcceptLoop() {
  for (;;) {
    pollfd waits[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
    if (waits[1].revents != 0) return;
    if (waits[0].revents == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors the listening socket stays readable: wait a little instead of
      // spinning, still ready to stop.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd wake{wake_pipe_[0], POLLIN, 0};
        poll(&wake, 1, 100);
      }
      continue;
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->done) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    Connection& connection = connections_.emplace_back();
    connection.thread = std::thread([this, fd, &connection] {
      Serve(fd);
      CloseGracefully(fd);
      connection.done = true;
    });
  }
}

bool DriverService::SendAll(int fd, const std::string& data) {
  // Each piece goes out as soon as the socket takes it, so an answer already under way is still
  // completed when Stop comes. Only a wait for a client that does not read is cut short: by
  // Stop, or when no byte has been taken for the request time-out.
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    pollfd waits[2] = {{fd, POLLOUT, 0}, {wake_pipe_[0], POLLIN, 0}};
    int ready = poll(waits, 2, kRequestTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || waits[1].revents != 0) return false;
  }
  return true;
}

void DriverService::SendHuge(int fd, const std::string& head, const std::string& prefix,
                             long long total, bool chunked) {
  if (!SendAll(fd, head)) return;
  std::string filler;
  const std::string line = ";" + std::string(1021, 'f') + "\r\n";
  while (filler.size() < 64 * 1024) filler += line;
  long long left = total;
  bool first = true;
  while (left > 0) {
    std::string piece = first ? prefix.substr(0, static_cast<size_t>(std::min<long long>(
                                                     left, static_cast<long long>(prefix.size()))))
                              : filler.substr(0, static_cast<size_t>(std::min<long long>(
                                                     left, static_cast<long long>(filler.size()))));
    first = false;
    if (piece.empty()) continue;
    left -= static_cast<long long>(piece.size());
    if (chunked) piece = ToHex(piece.size()) + "\r\n" + piece + "\r\n";
    if (!SendAll(fd, piece)) return;  // the client stopped reading or went away
  }
  if (chunked) SendAll(fd, "0\r\n\r\n");
}

bool DriverService::ReadRequestHead(int fd, std::string* head) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (head->find("\r\n\r\n") == std::string::npos && head->find("\n\n") == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || head->size() > kMaxRequestHead) return false;
    pollfd waits[2] = {{fd, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(waits, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (waits[1].revents != 0) return false;
    if (waits[0].revents == 0) continue;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    head->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void DriverService::Serve(int fd) {
  std::string head;
  if (!ReadRequestHead(fd, &head)) return;
  std::string request_line = head.substr(0, head.find_first_of("\r\n"));
  size_t first_space = request_line.find(' ');
  size_t second_space = request_line.find(' ', first_space + 1);
  if (first_space == std::string::npos || second_space == std::string::npos) {
    SendAll(fd, Response(400, "text/plain", "malformed request line\n"));
    return;
  }
  std::string method = request_line.substr(0, first_space);
  std::string target = request_line.substr(first_space + 1, second_space - first_space - 1);
  size_t question = target.find('?');
  std::string path = target.substr(0, question);
  std::string query = question == std::string::npos ? "" : target.substr(question + 1);

  if (path.compare(0, 2, "/_") == 0) {
    int status = 200;
    std::string body = Control(path, query, &status);
    SendAll(fd, Response(status, "text/plain; charset=utf-8", body));
    return;
  }
  Record(method + " " + target);
  if (method != "GET") {
    SendAll(fd, Response(405, "text/plain", "only GET is served\n"));
    return;
  }
  Answer(fd, path, query);
}

void DriverService::Answer(int fd, const std::string& path, const std::string& query) {
  std::string body;
  std::string content_type = "text/plain; charset=utf-8";
  if (path == "/intf/getDriver") {
    std::string ids;
    QueryParam(query, "id", &ids);
    body = catalogue_.RenderReply(ids);
  } else if (path == "/intf/f72") {
    body = "OK\r\n";
  } else {
    SendAll(fd, Response(404, "text/plain", "not found\n"));
    return;
  }
  Behaviour behaviour;
  {
    std::lock_guard<std::mutex> lock(behaviour_mutex_);
    behaviour = behaviour_;
  }
  switch (behaviour.mode) {
    case Mode::kSlow:
      if (!Sleep(behaviour.delay_ms)) return;
      [[fallthrough]];
    case Mode::kNormal:
      SendAll(fd, Response(200, content_type, body));
      return;
    case Mode::kUtf16:
      if (path == "/intf/getDriver") {
        body = ToUtf16LeWithBom(body);
        content_type = "text/plain; charset=utf-16le";
      }
      SendAll(fd, Response(200, content_type, body));
      return;
    case Mode::kNoContentLength: {
      std::string chunked = Head(200, content_type, "Transfer-Encoding: chunked\r\n");
      if (!body.empty()) chunked += ToHex(body.size()) + "\r\n" + body + "\r\n";
      SendAll(fd, chunked + "0\r\n\r\n");
      return;
    }
    case Mode::kErrorPage:
      SendAll(fd, Response(500, "text/html",
                           "<html><head><title>500 Internal Server Error</title></head>"
                           "<body><h1>Internal Server Error</h1></body></html>\r\n"));
      return;
    case Mode::kHugeLength: {
      long long claimed = behaviour.length >= 0 ? behaviour.length : kDefaultHugeLength;
      SendAll(fd, Head(200, content_type, "Content-Length: " + std::to_string(claimed) + "\r\n") +
                      body);
      return;
    }
    case Mode::kTruncated: {
      std::string sent = body.substr(0, body.size() / 2);
      size_t claimed = body.size() > sent.size() ? body.size() : sent.size() + 64;
      SendAll(fd, Head(200, content_type, "Content-Length: " + std::to_string(claimed) + "\r\n") +
                      sent);
      return;
    }
    case Mode::kClose:
      return;
    case Mode::kBinary:
      SendAll(fd, Response(200, "application/octet-stream",
                           RandomBytes(behaviour.length >= 0 ? behaviour.length
                                                             : kDefaultBinaryLength)));
      return;
    case Mode::kTrickle: {
      std::string answer = Response(200, content_type, body);
      size_t head_end = answer.find("\r\n\r\n") + 4;
      if (!SendAll(fd, answer.substr(0, head_end))) return;
      for (size_t i = head_end; i < answer.size(); ++i) {
        if (!Sleep(behaviour.delay_ms) || !SendAll(fd, answer.substr(i, 1))) return;
      }
      return;
    }
    case Mode::kHuge:
    case Mode::kHugeChunked: {
      const bool chunked = behaviour.mode == Mode::kHugeChunked;
      long long total = behaviour.length >= 0 ? behaviour.length : kDefaultHugeBody;
      SendHuge(fd,
               Head(200, content_type,
                    chunked ? "Transfer-Encoding: chunked\r\n"
                            : "Content-Length: " + std::to_string(total) + "\r\n"),
               body, total, chunked);
      return;
    }
    case Mode::kRedirectLoop: {
      std::string target = path + (query.empty() ? "" : "?" + query);
      SendAll(fd, "HTTP/1.1 302 Found\r\nLocation: " + target +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    case Mode::kLongBody: {
      // Bytes past the announced end: an unrequested section that must never be read.
      std::string extra = "[04e8_6a21]\r\nUID=past-the-end\r\nName=Past the end\r\n" +
                          RandomBytes(4096);
      SendAll(fd, Response(200, content_type, body) + extra);
      return;
    }
    case Mode::kBadLength:
      SendAll(fd, Head(200, content_type, "Content-Length: " + behaviour.text + "\r\n") + body);
      return;
    case Mode::kNuls:
    case Mode::kLongLines:
    case Mode::kManySections:
      if (path == "/intf/getDriver") {
        body = behaviour.mode == Mode::kNuls        ? WithNuls(body)
               : behaviour.mode == Mode::kLongLines ? WithLongLines(body)
                                                    : WithManySections(body);
      }
      SendAll(fd, Response(200, content_type, body));
      return;
  }
}

std::string DriverService::Control(const std::string& path, const std::string& query, int* status) {
  if (path == "/_log") {
    std::string lines;
    for (const std::string& line : LogLines()) lines += line + "\n";
    return lines;
  }
  if (path == "/_clear") {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_lines_.clear();
    return "cleared\n";
  }
  if (path != "/_mode") {
    *status = 404;
    return "unknown control " + path + " (controls: /_mode, /_log, /_clear)\n";
  }
  std::lock_guard<std::mutex> lock(behaviour_mutex_);
  std::string name;
  if (QueryParam(query, "set", &name)) {
    // Each switch starts from the start-up settings, so that one test's delay or length never
    // leaks into the next test that only names a mode.
    Behaviour next{Mode::kNormal, settings_.delay_ms, -1, ""};
    std::string number;
    long long value = 0;
    if (!ParseMode(name, &next.mode)) {
      *status = 400;
      return "unknown mode " + name + " (modes: " + ModeNames() + ")\n";
    }
    if (next.mode == Mode::kTrickle) next.delay_ms = kDefaultTrickleMs;
    if (QueryParam(query, "text", &next.text) &&
        next.text.find_first_of("\r\n") != std::string::npos) {
      *status = 400;
      return "bad text: a header value cannot hold a line break\n";
    }
    if (QueryParam(query, "delay_ms", &number)) {
      if (!ParseCount(number, 3600000, &value)) {
        *status = 400;
        return "bad delay_ms " + number + "\n";
      }
      next.delay_ms = static_cast<int>(value);
    }
    if (QueryParam(query, "length", &number)) {
      long long maximum = next.mode == Mode::kBinary ? kMaxBinaryLength : (1LL << 62);
      if (!ParseCount(number, maximum, &value)) {
        *status = 400;
        return "bad length " + number + "\n";
      }
      next.length = value;
    }
    behaviour_ = next;
  }
  return std::string("mode=") + ModeName(behaviour_.mode) +
         " delay_ms=" + std::to_string(behaviour_.delay_ms) +
         " length=" + std::to_string(behaviour_.length) +
         (behaviour_.text.empty() ? "" : " text=" + behaviour_.text) + "\n";
}

void DriverService::Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(log_mutex_);
  log_lines_.push_back(line);
  if (log_file_ != nullptr) {
    std::fputs((line + "\n").c_str(), log_file_);
    std::fflush(log_file_);
  }
}

bool DriverService::Sleep(int delay_ms) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(delay_ms),
                            [this] { return stopping_; });
}

}  // namespace driver_service
