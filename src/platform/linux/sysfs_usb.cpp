#include "platform/linux/sysfs_usb.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace mobileinfo {
namespace {

// sysfs attributes are at most a page; anything longer is not an attribute worth reading whole.
constexpr size_t kMaxAttributeBytes = 4096;

std::string TrimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// A trimmed number attribute in the given base ("ff", " 2", " 2.00" up to its '.').
std::optional<uint64_t> ReadWideNumber(const std::string& path, int base,
                                       bool stop_at_dot = false) {
  auto text = ReadSysfsText(path);
  if (!text) return std::nullopt;
  std::string trimmed = TrimBlanks(*text);
  if (stop_at_dot) trimmed = trimmed.substr(0, trimmed.find('.'));
  if (trimmed.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(trimmed.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || trimmed[0] == '-') return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::optional<unsigned> ReadNumber(const std::string& path, int base, bool stop_at_dot = false) {
  auto value = ReadWideNumber(path, base, stop_at_dot);
  if (!value || *value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<unsigned>(*value);
}

bool IsRootHubName(const std::string& name) {
  return name.size() > 3 && name.compare(0, 3, "usb") == 0 &&
         std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::string> ReadSysfsText(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;  // EISDIR, EIO of a device that went away, ...
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxAttributeBytes) {
      text.resize(kMaxAttributeBytes);
      break;
    }
  }
  close(fd);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool ReadUsbBus(const std::string& root, std::vector<SysfsUsbDevice>& devices) {
  devices.clear();
  const std::string bus = root + "/bus/usb/devices";
  DIR* directory = opendir(bus.c_str());
  if (!directory) {
    struct stat info;
    // No USB subsystem on this machine: a present-device list without USB devices.
    return errno == ENOENT && stat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());

  std::map<std::string, SysfsUsbDevice> by_name;
  std::vector<std::string> interface_names;
  for (const std::string& name : names) {
    if (name.find(':') != std::string::npos) {
      interface_names.push_back(name);
      continue;
    }
    const std::string base = bus + "/" + name + "/";
    auto vendor = ReadSysfsText(base + "idVendor");
    auto product = ReadSysfsText(base + "idProduct");
    if (!vendor || !product) continue;
    SysfsUsbDevice device;
    device.name = name;
    device.root_hub = IsRootHubName(name);
    device.vendor = TrimBlanks(*vendor);
    device.product = TrimBlanks(*product);
    if (device.vendor.empty() || device.product.empty()) continue;
    device.serial = ReadSysfsText(base + "serial");
    device.product_string = ReadSysfsText(base + "product");
    device.usb_major = ReadNumber(base + "version", 10, true);
    device.num_interfaces = ReadNumber(base + "bNumInterfaces", 10);
    device.devnum = ReadNumber(base + "devnum", 10);
    device.connected_ms = ReadWideNumber(base + "power/connected_duration", 10);
    by_name.emplace(name, std::move(device));
  }
  for (const std::string& name : interface_names) {
    auto parent = by_name.find(name.substr(0, name.find(':')));
    if (parent == by_name.end()) continue;
    const std::string base = bus + "/" + name + "/";
    SysfsUsbInterface usb_interface;
    usb_interface.name = name;
    usb_interface.number = ReadNumber(base + "bInterfaceNumber", 16);
    usb_interface.class_code = ReadNumber(base + "bInterfaceClass", 16);
    usb_interface.subclass = ReadNumber(base + "bInterfaceSubClass", 16);
    usb_interface.protocol = ReadNumber(base + "bInterfaceProtocol", 16);
    usb_interface.text = ReadSysfsText(base + "interface");
    parent->second.interfaces.push_back(std::move(usb_interface));
  }
  devices.reserve(by_name.size());
  for (auto& entry : by_name) devices.push_back(std::move(entry.second));
  return true;
}

}  // namespace mobileinfo
