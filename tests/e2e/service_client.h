// A minimal HTTP client for the driver-information test service's control endpoints (/_mode,
// /_log, /_clear) and for fetching what it serves. It deliberately shares nothing with the
// library's transport, which is what the tests examine.
#ifndef MOBILEINFO_TESTS_E2E_SERVICE_CLIENT_H
#define MOBILEINFO_TESTS_E2E_SERVICE_CLIENT_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace mobileinfo::e2e {

struct RawReply {
  int status = 0;
  std::string head;
  std::string body;
};

// GET target from 127.0.0.1:port over a fresh connection, reading until the server closes it.
// Nothing when no connection could be made or no complete head arrived.
std::optional<RawReply> HttpGet(int port, const std::string& target);

// The test service on one port, seen through its control endpoints.
class ServiceControl {
 public:
  explicit ServiceControl(int port) : port_(port) {}
  int port() const { return port_; }

  // True when the service answers its control endpoint.
  bool Reachable() const;
  // Switches the answer mode ("normal", "slow", ...); extra is appended to the query
  // ("&delay_ms=3000"). False when the service refused or did not answer.
  bool SetMode(const std::string& mode, const std::string& extra = "") const;
  bool ClearLog() const;
  // The logged request lines ("GET <target>"), oldest first.
  std::vector<std::string> Log() const;
  // Polls the log until it holds line; false after timeout.
  bool WaitForLogLine(const std::string& line, std::chrono::milliseconds timeout) const;

 private:
  int port_;
};

}  // namespace mobileinfo::e2e

#endif  // MOBILEINFO_TESTS_E2E_SERVICE_CLIENT_H
