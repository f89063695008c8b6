#include "service_client.h"

#include <algorithm>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace mobileinfo::e2e {
namespace {

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
void SetReceiveLimit(Socket s, int seconds) {
  DWORD ms = static_cast<DWORD>(seconds) * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
bool StartSockets() { return true; }
void SetReceiveLimit(Socket s, int seconds) {
  timeval limit{seconds, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}
#endif

}  // namespace

std::optional<RawReply> HttpGet(int port, const std::string& target) {
  if (!StartSockets()) return std::nullopt;
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(0x7f000001);
  // The control endpoints answer at once; a service that hangs must not hang the test.
  SetReceiveLimit(s, 30);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseSocket(s);
    return std::nullopt;
  }
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  size_t sent = 0;
  while (sent < request.size()) {
    int n = send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
    if (n <= 0) {
      CloseSocket(s);
      return std::nullopt;
    }
    sent += static_cast<size_t>(n);
  }
  std::string all;
  char buffer[16384];
  for (;;) {
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  CloseSocket(s);
  size_t blank = all.find("\r\n\r\n");
  if (blank == std::string::npos) return std::nullopt;
  RawReply reply;
  reply.head = all.substr(0, blank);
  reply.body = all.substr(blank + 4);
  // "HTTP/1.1 200 OK"
  size_t space = reply.head.find(' ');
  if (space != std::string::npos) reply.status = std::atoi(reply.head.c_str() + space + 1);
  return reply;
}

bool ServiceControl::Reachable() const {
  std::optional<RawReply> reply = HttpGet(port_, "/_mode");
  return reply && reply->status == 200;
}

bool ServiceControl::SetMode(const std::string& mode, const std::string& extra) const {
  std::optional<RawReply> reply = HttpGet(port_, "/_mode?set=" + mode + extra);
  return reply && reply->status == 200;
}

bool ServiceControl::ClearLog() const {
  std::optional<RawReply> reply = HttpGet(port_, "/_clear");
  return reply && reply->status == 200;
}

std::vector<std::string> ServiceControl::Log() const {
  std::vector<std::string> lines;
  std::optional<RawReply> reply = HttpGet(port_, "/_log");
  if (!reply) return lines;
  std::istringstream text(reply->body);
  std::string line;
  while (std::getline(text, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool ServiceControl::WaitForLogLine(const std::string& line,
                                    std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<std::string> lines = Log();
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace mobileinfo::e2e
