#include "test_http_server.h"

#include <ws2tcpip.h>

#include <chrono>

namespace mobileinfo::testing {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET BindLoopback(uint16_t& port) {
  SOCKET socket_handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_handle == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof(address);
  if (bind(socket_handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(socket_handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(socket_handle);
    return INVALID_SOCKET;
  }
  port = ntohs(address.sin_port);
  return socket_handle;
}

bool SendAll(SOCKET connection, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int result = send(connection, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (result <= 0) return false;
    sent += static_cast<size_t>(result);
  }
  return true;
}

}  // namespace

ScriptedReply ScriptedReply::WithLength(const std::string& body) {
  ScriptedReply reply;
  reply.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                 body});
  return reply;
}

ScriptedReply ScriptedReply::Chunked(const std::string& body) {
  char size[16];
  snprintf(size, sizeof(size), "%zx", body.size());
  ScriptedReply reply;
  reply.pieces.push_back({0, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                             "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
                                 std::string(size) + "\r\n" + body + "\r\n0\r\n\r\n"});
  return reply;
}

TestHttpServer::TestHttpServer() {
  if (!StartWinsock()) return;
  listener_ = BindLoopback(port_);
  if (listener_ == INVALID_SOCKET) return;
  if (listen(listener_, SOMAXCONN) != 0) {
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    return;
  }
  acceptor_ = std::thread(&TestHttpServer::AcceptLoop, this);
}

TestHttpServer::~TestHttpServer() { Stop(); }

std::u16string TestHttpServer::Url(const std::string& path) const {
  std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
  return std::u16string(url.begin(), url.end());
}

void TestHttpServer::Answer(const std::string& path, ScriptedReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[path] = std::move(reply);
}

int TestHttpServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = counts_.find(path);
  return found == counts_.end() ? 0 : found->second;
}

void TestHttpServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stop_signal_.notify_all();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);  // ends accept()
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
}

uint16_t TestHttpServer::UnusedPort() {
  if (!StartWinsock()) return 0;
  uint16_t port = 0;
  SOCKET socket_handle = BindLoopback(port);
  if (socket_handle != INVALID_SOCKET) closesocket(socket_handle);
  return port;
}

void TestHttpServer::AcceptLoop() {
  for (;;) {
    SOCKET connection = accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      closesocket(connection);
      return;
    }
    connections_.emplace_back(&TestHttpServer::Serve, this, connection);
  }
}

bool TestHttpServer::Wait(uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_signal_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping_; });
  return !stopping_;
}

void TestHttpServer::Serve(SOCKET connection) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    int got = recv(connection, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<size_t>(got));
  }
  // "GET /path?query HTTP/1.1": the path decides the reply.
  std::string path;
  size_t start = request.find(' ');
  if (start != std::string::npos) {
    size_t end = request.find_first_of(" ?", start + 1);
    path = request.substr(start + 1, end == std::string::npos ? end : end - start - 1);
  }
  ScriptedReply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[path];
    auto found = replies_.find(path);
    if (found != replies_.end()) {
      reply = found->second;
    } else {
      reply.pieces.push_back({0, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                 "Connection: close\r\n\r\n"});
    }
  }
  bool open = true;
  for (const ScriptedReply::Piece& piece : reply.pieces) {
    if (piece.delay_ms != 0 && !Wait(piece.delay_ms)) break;
    if (!SendAll(connection, piece.bytes)) {
      open = false;
      break;
    }
  }
  if (open && reply.hold_ms != 0) Wait(reply.hold_ms);
  shutdown(connection, SD_SEND);
  closesocket(connection);
}

}  // namespace mobileinfo::testing
