#include "test_service.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace mobileinfo::e2e {
namespace {

#if defined(_WIN32)

std::unique_ptr<ServiceControl> Locate(int, std::string* why) {
  if (kBuiltInServicePort == 0) {
    *why = "the build's service address (MOBILEINFO_SERVICE_URL) is not on 127.0.0.1, so no "
           "fixture starts the test service";
    return nullptr;
  }
  auto control = std::make_unique<ServiceControl>(kBuiltInServicePort);
  if (control->Reachable()) return control;
  *why = "no driver-service answers on 127.0.0.1:" + std::to_string(kBuiltInServicePort) +
         ": the CTest fixture e2e_service_start runs the native build's driver-service "
         "(MOBILEINFO_NATIVE_DRIVER_SERVICE); build the linux preset first and run through ctest";
  return nullptr;
}

#else

std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// One driver-service child process, ended with SIGTERM when the object goes.
class ServiceProcess {
 public:
  ~ServiceProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }

  std::unique_ptr<ServiceControl> Start(int port, std::string* why) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mobileinfo-e2e-service-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) {
      *why = "mkdtemp failed";
      return nullptr;
    }
    directory_ = pattern;
    const std::string port_file = directory_ + "/port";
    const std::string errors = directory_ + "/stderr";
    const std::string port_text = std::to_string(port);
    pid_ = fork();
    if (pid_ < 0) {
      *why = "fork failed";
      return nullptr;
    }
    if (pid_ == 0) {
      // The service must not outlive a test program that crashes.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int null_fd = open("/dev/null", O_RDWR);
      int error_fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
      }
      if (error_fd >= 0) dup2(error_fd, 2);
      execl(DRIVER_SERVICE_EXE, DRIVER_SERVICE_EXE, "--catalogue", DRIVER_SERVICE_CATALOGUE,
            "--port", port_text.c_str(), "--port-file", port_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *why = "driver-service (" DRIVER_SERVICE_EXE ") ended at start: " + ReadText(errors);
        return nullptr;
      }
      std::string text = ReadText(port_file);
      if (!text.empty()) {
        auto control = std::make_unique<ServiceControl>(std::atoi(text.c_str()));
        if (control->Reachable()) return control;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        *why = "driver-service did not start listening on port " + port_text;
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  pid_t pid_ = -1;
  std::string directory_;
};

std::unique_ptr<ServiceControl> Locate(int port, std::string* why) {
  static ServiceProcess process;  // stopped at exit
  return process.Start(port, why);
}

#endif

}  // namespace

const ServiceControl* SharedService(int wanted_port, std::string* why) {
  static std::string failure;
  static std::unique_ptr<ServiceControl> control = Locate(wanted_port, &failure);
  if (!control && why) *why = failure;
  return control.get();
}

}  // namespace mobileinfo::e2e
