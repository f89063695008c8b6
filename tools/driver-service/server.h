// The driver-information test service: a plain HTTP/1.1 server on POSIX sockets that answers
// "/intf/getDriver" from a catalogue and "/intf/f72" with a small body, logs every request line
// exactly as received, and can be switched at run time to answer in broken ways (modes.h).
//
// It writes its own bytes instead of using an HTTP library because several of the broken answers
// (a connection closed before any byte, a Content-Length the body never reaches) are exactly what
// HTTP libraries exist to prevent. Each connection carries one request and is closed after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "modes.h"

namespace driver_service {

struct ServiceSettings {
  std::string log_path;  // "-" for standard output, empty for none
  Mode mode = Mode::kNormal;
  int delay_ms = 12000;  // for Mode::kSlow
};

class DriverService {
 public:
  DriverService(Catalogue catalogue, ServiceSettings settings);
  ~DriverService();
  DriverService(const DriverService&) = delete;
  DriverService& operator=(const DriverService&) = delete;

  // Opens the log, binds host:port (port 0: any free one) and starts serving. False with a
  // one-line message naming the problem.
  bool Start(const std::string& host, int port, std::string* error);
  // Stops accepting, wakes delayed answers and waits for every connection to finish.
  void Stop();
  int port() const { return port_; }

  // The logged request lines since the start or the last ClearLog.
  std::vector<std::string> LogLines() const;

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  struct Behaviour {
    Mode mode;
    int delay_ms;
    long long length;  // -1: the mode's default
    std::string text;  // the Content-Length text of Mode::kBadLength
  };

  void AcceptLoop();
  void Serve(int fd);
  bool ReadRequestHead(int fd, std::string* head);
  bool SendAll(int fd, const std::string& data);  // false when the client is gone or stopped
  // Sends head, then prefix, then filler lines up to total body bytes (chunked when asked),
  // piece by piece, so that gigabytes never sit in memory.
  void SendHuge(int fd, const std::string& head, const std::string& prefix, long long total,
                bool chunked);
  void Answer(int fd, const std::string& path, const std::string& query);
  std::string Control(const std::string& path, const std::string& query, int* status);
  void Record(const std::string& line);
  bool Sleep(int delay_ms);  // false when stopped meanwhile

  const Catalogue catalogue_;
  const ServiceSettings settings_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};  // written once by Stop; every wait polls the read end
  int port_ = 0;
  std::thread accept_thread_;
  std::list<Connection> connections_;  // used by the accept thread, then by Stop after joining it

  mutable std::mutex behaviour_mutex_;  // guards behaviour_
  Behaviour behaviour_;

  mutable std::mutex log_mutex_;  // guards log_lines_ and log_file_
  std::vector<std::string> log_lines_;
  std::FILE* log_file_ = nullptr;

  std::mutex stop_mutex_;  // guards stopping_, with stop_cv_ for delayed answers
  std::condition_variable stop_cv_;
  bool stopping_ = false;
};

}  // namespace driver_service
