// A small HTTP/1.1 server on 127.0.0.1 for the backend tests under Wine: each path answers with
// bytes the test scripts exactly (headers included), optionally in pieces with pauses, and may
// hold the connection open afterwards. Winsock only, in the test program.
#ifndef MOBILEINFO_TESTS_WIN_TEST_HTTP_SERVER_H
#define MOBILEINFO_TESTS_WIN_TEST_HTTP_SERVER_H

#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mobileinfo::testing {

struct ScriptedReply {
  struct Piece {
    uint32_t delay_ms = 0;  // pause before this piece is sent
    std::string bytes;
  };
  std::vector<Piece> pieces;
  uint32_t hold_ms = 0;  // keep the connection open this long after the last piece

  // A complete 200 reply with Content-Length.
  static ScriptedReply WithLength(const std::string& body);
  // A complete 200 reply in chunked encoding: no Content-Length header.
  static ScriptedReply Chunked(const std::string& body);
};

class TestHttpServer {
 public:
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  bool ok() const { return listener_ != INVALID_SOCKET; }
  uint16_t port() const { return port_; }
  std::u16string Url(const std::string& path) const;
  void Answer(const std::string& path, ScriptedReply reply);
  int RequestCount(const std::string& path) const;
  // Ends held connections at once and waits for every connection thread.
  void Stop();

  // A port on 127.0.0.1 where nothing listens (bound once, then released).
  static uint16_t UnusedPort();

 private:
  void AcceptLoop();
  void Serve(SOCKET connection);
  bool Wait(uint32_t milliseconds);  // false when stopping

  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mutex_;  // guards replies_, counts_, connections_, stopping_
  std::condition_variable stop_signal_;
  std::map<std::string, ScriptedReply> replies_;
  std::map<std::string, int> counts_;
  std::vector<std::thread> connections_;
  bool stopping_ = false;
};

}  // namespace mobileinfo::testing

#endif  // MOBILEINFO_TESTS_WIN_TEST_HTTP_SERVER_H
