// Command line of the driver-service program.
#pragma once

#include <string>

#include "modes.h"

namespace driver_service {

struct Options {
  std::string catalogue_path;
  int port = -1;  // 0: the system picks a free port
  std::string host = "127.0.0.1";
  std::string log_path;   // "-" for standard output; empty: no log file
  std::string port_file;  // written with the bound port once the server listens
  Mode mode = Mode::kNormal;
  int delay_ms = 12000;
  bool help = false;
};

// False with a one-line message naming the problem. Options take their value as the next
// argument or after "=" (--port=0).
bool ParseOptions(int argc, const char* const argv[], Options* options, std::string* error);

const char* UsageText();

}  // namespace driver_service
