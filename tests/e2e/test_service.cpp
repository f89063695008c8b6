#include "test_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#include <wincrypt.h>
#else
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

std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

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

// The ports tls-front listens on, one a line, and the authority beside them.
std::unique_ptr<TlsFront> ReadTlsFront(const std::string& state, std::string* why) {
  std::ifstream ports(state + "/ports");
  auto front = std::make_unique<TlsFront>();
  if (!(ports >> front->trusted_port >> front->stranger_port)) {
    *why = "no tls-front ports in " + state;
    return nullptr;
  }
  front->ca_file = state + "/ca.pem";
  return front;
}

#if defined(_WIN32)

// WinINet trusts the authorities of the machine's Root store: the registry key that Windows
// keeps the local machine's Root certificates in. Wine's "Root" system store is built in memory
// from the host's certificates and drops what is added to it, so the authority is written to
// the key itself, before the process's first https request; it is taken out at exit.
class RootStoreEntry {
 public:
  ~RootStoreEntry() {
    if (added_) CertDeleteCertificateFromStore(added_);
    if (store_) CertCloseStore(store_, 0);
    if (key_) RegCloseKey(key_);
  }

  bool Add(const std::string& pem_file) {
    const std::string pem = ReadText(pem_file);
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr)) {
      return false;
    }
    std::string der(size, '\0');
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\SystemCertificates\\Root", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
      key_ = nullptr;
      return false;
    }
    store_ = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key_);
    // A registry store writes the key when it is committed (or closed).
    return store_ &&
           CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING,
                                            reinterpret_cast<const BYTE*>(der.data()), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, &added_) &&
           CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  }

 private:
  HKEY key_ = nullptr;
  HCERTSTORE store_ = nullptr;
  PCCERT_CONTEXT added_ = nullptr;
};

std::unique_ptr<TlsFront> StartTlsFront(std::string* why) {
  auto front = ReadTlsFront(MOBILEINFO_E2E_TLS_STATE, why);
  if (!front) {
    *why += ": the CTest fixture e2e_tls_start runs the native build's tls-front "
            "(MOBILEINFO_NATIVE_TLS_FRONT); build the linux preset first and run through ctest";
    return nullptr;
  }
  static RootStoreEntry authority;  // taken out at exit
  if (!authority.Add(front->ca_file)) {
    *why = "cannot add " + front->ca_file + " to the machine's Root store (error " +
           std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return front;
}

#else

// The fixture script started for this process, stopped at exit.
class TlsFrontProcess {
 public:
  ~TlsFrontProcess() {
    if (directory_.empty()) return;
    Script("stop " + directory_ + " >/dev/null");
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  std::unique_ptr<TlsFront> Start(std::string* why) {
    const ServiceControl* service = SharedService(0, why);
    if (!service) return nullptr;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "mobileinfo-e2e-tls-XXXXXX").string();
    if (!mkdtemp(&pattern[0])) {
      *why = "mkdtemp failed";
      return nullptr;
    }
    directory_ = pattern;
    if (!Script("start-tls " + directory_ + " " TLS_FRONT_EXE " " +
                std::to_string(service->port()) + " >" + directory_ + "/start.log 2>&1")) {
      *why = "tls-front did not start: " + ReadText(directory_ + "/start.log");
      return nullptr;
    }
    auto front = ReadTlsFront(directory_, why);
    if (front) setenv("MOBILEINFO_CA_FILE", front->ca_file.c_str(), 1);
    return front;
  }

 private:
  static bool Script(const std::string& arguments) {
    return std::system(("bash " DRIVER_SERVICE_SCRIPT " " + arguments).c_str()) == 0;
  }
  std::string directory_;
};

std::unique_ptr<TlsFront> StartTlsFront(std::string* why) {
  static TlsFrontProcess process;  // stopped at exit
  return process.Start(why);
}

#endif

}  // namespace

const TlsFront* SharedTlsFront(std::string* why) {
  static std::string failure;
  static std::unique_ptr<TlsFront> front = StartTlsFront(&failure);
  if (!front && why) *why = failure;
  return front.get();
}

const ServiceControl* SharedService(int wanted_port, std::string* why) {
  static std::string failure;
  static std::unique_ptr<ServiceControl> control = Locate(wanted_port, &failure);
  if (!control && why) *why = failure;
  return control.get();
}

const ServiceControl* RequireSharedService(int wanted_port) {
  std::string why;
  const ServiceControl* control = SharedService(wanted_port, &why);
  // The lambdas return void, as the macros need; the skip or fatal failure stays recorded.
#if defined(_WIN32)
  if (!control) [&] { GTEST_SKIP() << why; }();
#else
  if (!control) [&] { FAIL() << why; }();
#endif
  return control;
}

}  // namespace mobileinfo::e2e
