// The Linux backend's reading of sysfs, on a fake USB bus laid out from the input, and the core's
// parsers on what it reports: present devices and their instance ids, ADB interface paths, and
// serial replies.
//
// Input: lines in the fake bus description language of tests/data/sysfs/README.md, so that the
// fixtures there are seeds:
//     device <name> attr=value ...       an entry with attributes (value + "\n", as sysfs writes)
//     interface <name> attr=value ...
// with these additions: "attr!=value" writes the value without the newline; values may hold
// \n, \\ and \xHH escapes; "vanish <name>" removes an entry's directory but keeps its link;
// "unplug <name>" removes both; "unreadable <name> <attr>" makes an attribute a directory.
// Entry and attribute names are cut to a safe alphabet, so nothing is written outside the tree.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "linux/fake_sysfs.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/sysfs_usb.h"
#include "support/text.h"
#include "usb/instance_id.h"
#include "usb/interface_path.h"

using namespace mobileinfo;

namespace {

constexpr size_t kMaxEntries = 24;
constexpr size_t kMaxLines = 64;
constexpr size_t kMaxNameLength = 40;


// A name that stays one harmless path component: letters, digits, "-", "_", ".", ":" only, not
// starting with "." (so never "." or ".."), at most kMaxNameLength characters. Empty when
// nothing usable is left.
std::string SafeName(const std::string& text) {
  std::string name;
  for (char c : text) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':';
    if (allowed && !(name.empty() && c == '.')) name.push_back(c);
    if (name.size() == kMaxNameLength) break;
  }
  return name;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char next = text[++i];
    if (next == 'n') {
      out.push_back('\n');
    } else if (next == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
      i += 2;
    } else {
      out.push_back(next);
    }
  }
  return out;
}

void WriteAttribute(const FakeSysfs& sysfs, const std::string& entry, const std::string& name,
                    const std::string& value) {
  std::ofstream out(sysfs.root() + "/" + FakeSysfs::DevicePath(entry) + "/" + name,
                    std::ios::binary | std::ios::trunc);
  out << value;
}

void BuildBus(FakeSysfs& sysfs, const std::string& description) {
  std::istringstream lines(description);
  std::string line;
  size_t entries = 0;
  for (size_t count = 0; count < kMaxLines && std::getline(lines, line); ++count) {
    const std::vector<std::string> words = SplitSysfsLine(line.substr(0, line.find('#')));
    if (words.size() < 2) continue;
    const std::string entry = SafeName(words[1]);
    if (entry.empty()) continue;
    try {
      if (words[0] == "device" || words[0] == "interface") {
        if (++entries > kMaxEntries) return;
        sysfs.Load("device " + entry);
        for (size_t i = 2; i < words.size(); ++i) {
          const size_t equals = words[i].find('=');
          if (equals == std::string::npos) continue;
          const bool raw = equals > 0 && words[i][equals - 1] == '!';
          const std::string name = SafeName(words[i].substr(0, raw ? equals - 1 : equals));
          if (name.empty()) continue;
          const std::string value = Unescape(words[i].substr(equals + 1));
          WriteAttribute(sysfs, entry, name, raw ? value : value + "\n");
        }
      } else if (words[0] == "vanish") {
        sysfs.Vanish(entry);
      } else if (words[0] == "unplug") {
        sysfs.Unplug(entry);
      } else if (words[0] == "unreadable" && words.size() >= 3) {
        const std::string name = SafeName(words[2]);
        if (!name.empty()) sysfs.MakeUnreadable(entry, name);
      }
    } catch (const std::exception&) {
      // A layout the file system refuses (a name that is a file and a directory at once): the
      // bus stays as far as it got.
    }
  }
}

void ReadBus(const std::string& root) {
  std::vector<SysfsUsbDevice> devices;
  fuzz::Require(ReadUsbBus(root, devices));
  for (const auto& device : devices) {
    fuzz::Require(!device.vendor.empty() && !device.product.empty());
  }

  LinuxPlatform platform(root);
  std::vector<PresentDevice> present;
  fuzz::Require(platform.ListPresentDevices(present));
  for (const auto& device : present) {
    fuzz::Require(device.instance_id.has_value());
    if (!InstanceIdFits(*device.instance_id)) continue;
    UsbDeviceRecord record;
    ParseInstanceId(*device.instance_id, device.description, record);
  }

  auto list = platform.OpenInterfaceList(u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}");
  fuzz::Require(list != nullptr);
  InterfaceEntry entry;
  while (list->Next(entry)) {
    std::u16string path;
    uint32_t error = 0;
    if (!ReadInterfacePath(entry, path, error)) continue;
    UsbDeviceRecord record{};
    ParseInterfacePath(path.c_str(), &record);
    char16_t serial[kAdbSerialCapacity];
    ReadAdbSerial(platform, path.c_str(), serial);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Thousands of small trees a second: keep them in memory when the machine allows it.
  struct stat info;
  if (!std::getenv("TMPDIR") && stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) &&
      access("/dev/shm", W_OK) == 0) {
    setenv("TMPDIR", "/dev/shm", 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeSysfs sysfs;
  BuildBus(sysfs, std::string(reinterpret_cast<const char*>(data), size));
  ReadBus(sysfs.root());
  return 0;
}
