// driver-service: the driver-information test service for tests, the demo and people.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "catalogue.h"
#include "options.h"
#include "server.h"

namespace {

int Fail(const std::string& problem, int code) {
  std::cerr << "driver-service: " << problem << std::endl;
  return code;
}

// Written beside the target and renamed over it, so a reader polling for the file never sees
// a half-written number.
bool WritePortFile(const std::string& path, int port) {
  std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  bool written = std::fprintf(file, "%d\n", port) > 0;
  written = std::fclose(file) == 0 && written;
  return written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace driver_service;
  // Blocked first thing: before any thread starts, so that every thread inherits the mask and the
  // signals reach only the sigwait below, and before the catalogue is read, so that a stop
  // request that comes early waits for the sigwait and ends the program cleanly.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) return Fail(error + " (see --help)", 2);
  if (options.help) {
    std::cout << UsageText();
    return 0;
  }
  Catalogue catalogue;
  if (!Catalogue::Load(options.catalogue_path, &catalogue, &error)) return Fail(error, 1);

  DriverService service(std::move(catalogue),
                        ServiceSettings{options.log_path, options.mode, options.delay_ms});
  if (!service.Start(options.host, options.port, &error)) return Fail(error, 1);
  if (!options.port_file.empty() && !WritePortFile(options.port_file, service.port())) {
    service.Stop();
    return Fail("cannot write port file " + options.port_file, 1);
  }
  std::cout << "listening on " << options.host << ":" << service.port() << std::endl;

  int signal_number = 0;
  while (sigwait(&stop_signals, &signal_number) != 0) {
  }
  service.Stop();
  return 0;
}
