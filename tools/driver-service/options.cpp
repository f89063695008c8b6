#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace driver_service {
namespace {

bool ParseNumber(const std::string& text, long minimum, long maximum, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const argv[], Options* options, std::string* error) {
  bool have_catalogue = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool inline_value = false;
    size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      inline_value = true;
    }
    if (name == "--help" || name == "-h") {
      options->help = true;
      continue;
    }
    if (name == "--utf16") {
      options->mode = Mode::kUtf16;
      continue;
    }
    if (name != "--catalogue" && name != "--port" && name != "--host" && name != "--log" &&
        name != "--mode" && name != "--port-file" && name != "--delay-ms") {
      *error = "unknown option " + name;
      return false;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    long number = 0;
    if (name == "--catalogue") {
      options->catalogue_path = value;
      have_catalogue = !value.empty();
    } else if (name == "--port") {
      if (!ParseNumber(value, 0, 65535, &number)) {
        *error = "bad port " + value + " (expected 0 to 65535)";
        return false;
      }
      options->port = static_cast<int>(number);
    } else if (name == "--host") {
      options->host = value;
    } else if (name == "--log") {
      options->log_path = value;
    } else if (name == "--mode") {
      if (!ParseMode(value, &options->mode)) {
        *error = "unknown mode " + value + " (modes: " + ModeNames() + ")";
        return false;
      }
    } else if (name == "--port-file") {
      options->port_file = value;
    } else if (name == "--delay-ms") {
      if (!ParseNumber(value, 0, 3600000, &number)) {
        *error = "bad delay " + value + " (expected 0 to 3600000 ms)";
        return false;
      }
      options->delay_ms = static_cast<int>(number);
    }
  }
  if (options->help) return true;
  if (!have_catalogue) {
    *error = "missing --catalogue FILE";
    return false;
  }
  if (options->port < 0) {
    *error = "missing --port N";
    return false;
  }
  return true;
}

const char* UsageText() {
  return "usage: driver-service --catalogue FILE --port N [--host ADDR] [--log FILE|-]\n"
         "                      [--mode MODE] [--delay-ms N] [--utf16] [--port-file FILE]\n"
         "  --port 0 lets the system pick a free port; it is printed and written to the\n"
         "  port file. Modes: normal, no-content-length, slow, error-page, huge-length,\n"
         "  truncated, close, utf16, binary, trickle, huge, huge-chunked, redirect-loop,\n"
         "  long-body, bad-length, nuls, long-lines, many-sections; change them at run\n"
         "  time with GET /_mode?set=MODE[&delay_ms=N][&length=N][&text=T]. GET /_log\n"
         "  lists the requests, GET /_clear forgets them.\n";
}

}  // namespace driver_service
