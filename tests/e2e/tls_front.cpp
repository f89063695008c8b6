// tls-front: https in front of the driver-information test service, for the https end-to-end
// tests (natively and under Wine, where it runs as a fixture). Each certificate and key pair is
// served on a port of its own on 127.0.0.1; every GET is passed on to the service unchanged and
// its status, type and body come back, except below /_to-http, which is redirected to the service's
// plain http address.
//
//   tls-front --upstream PORT --port-file FILE CERT KEY [CERT KEY]...
//
// The port file gets the bound ports, one a line, in the order of the pairs, once all listen.
// SIGTERM or SIGINT ends it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "tls-front: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  int upstream = 0;
  std::string port_file;
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--upstream" && i + 1 < argc) {
      upstream = std::atoi(argv[++i]);
    } else if (arg == "--port-file" && i + 1 < argc) {
      port_file = argv[++i];
    } else if (i + 1 < argc && arg.rfind("--", 0) != 0) {
      pairs.emplace_back(arg, argv[++i]);
    } else {
      return Fail("usage: tls-front --upstream PORT --port-file FILE CERT KEY [CERT KEY]...");
    }
  }
  if (upstream <= 0 || port_file.empty() || pairs.empty()) return Fail("missing arguments");

  std::vector<std::unique_ptr<httplib::SSLServer>> servers;
  std::vector<std::thread> threads;
  std::string ports;
  for (const auto& [cert, key] : pairs) {
    auto server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!server->is_valid()) return Fail("cannot use " + cert + " and " + key);
    server->Get(".*", [upstream](const httplib::Request& request, httplib::Response& response) {
      // /_to-http/<target>: a redirect down to the service's plain address.
      const std::string down = "/_to-http";
      if (request.target.compare(0, down.size(), down) == 0) {
        response.set_redirect("http://127.0.0.1:" + std::to_string(upstream) +
                              request.target.substr(down.size()));
        return;
      }
      httplib::Client client("127.0.0.1", upstream);
      client.set_url_encode(false);  // the service logs the target as it came
      client.set_read_timeout(60, 0);
      if (auto reply = client.Get(request.target.c_str())) {
        response.status = reply->status;
        response.set_content(reply->body, reply->get_header_value("Content-Type").c_str());
      } else {
        response.status = 502;
      }
    });
    const int port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) return Fail("cannot bind a port on 127.0.0.1");
    ports += std::to_string(port) + "\n";
    threads.emplace_back([raw = server.get()] { raw->listen_after_bind(); });
    servers.push_back(std::move(server));
  }
  const std::string temporary = port_file + ".tmp";
  if (std::FILE* file = std::fopen(temporary.c_str(), "w")) {
    std::fputs(ports.c_str(), file);
    std::fclose(file);
    std::rename(temporary.c_str(), port_file.c_str());
  }

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  for (auto& server : servers) server->stop();
  for (auto& thread : threads) thread.join();
  return 0;
}
