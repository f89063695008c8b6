#include "linux/fake_sysfs.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace mobileinfo {

std::vector<std::string> SplitSysfsLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word.push_back(c);
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

namespace {


void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());  // power/connected_duration
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

FakeSysfs::FakeSysfs() {
  std::string pattern = (fs::temp_directory_path() / "mobileinfo-sysfs-XXXXXX").string();
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  fs::create_directories(root_ + "/bus/usb/devices");
}

FakeSysfs::~FakeSysfs() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string FakeSysfs::DevicePath(const std::string& entry) {
  const std::string controller = "devices/pci0000:00/0000:00:14.0";
  size_t colon = entry.find(':');
  if (colon != std::string::npos) return DevicePath(entry.substr(0, colon)) + "/" + entry;
  if (entry.compare(0, 3, "usb") == 0) return controller + "/" + entry;
  size_t dot = entry.rfind('.');
  std::string parent = dot != std::string::npos ? entry.substr(0, dot)
                                                 : "usb" + entry.substr(0, entry.find('-'));
  return DevicePath(parent) + "/" + entry;
}

void FakeSysfs::LinkEntry(const std::string& entry) {
  fs::path link = root_ + "/bus/usb/devices/" + entry;
  std::error_code ignored;
  fs::remove(link, ignored);
  fs::create_directory_symlink("../../../" + DevicePath(entry), link);
}

void FakeSysfs::Load(const std::string& description) {
  std::istringstream lines(description);
  std::string line;
  while (std::getline(lines, line)) {
    auto words = SplitSysfsLine(line.substr(0, line.find('#')));
    if (words.empty()) continue;
    if (words.size() < 2 || (words[0] != "device" && words[0] != "interface")) {
      throw std::runtime_error("bad sysfs description line: " + line);
    }
    // The entry appears on the bus only once its attributes are written, as the kernel adds a
    // device: a scan in between must not see a device without its serial.
    fs::create_directories(root_ + "/" + DevicePath(words[1]));
    for (size_t i = 2; i < words.size(); ++i) {
      size_t equals = words[i].find('=');
      if (equals == std::string::npos) throw std::runtime_error("bad attribute: " + words[i]);
      SetAttribute(words[1], words[i].substr(0, equals), words[i].substr(equals + 1));
    }
    LinkEntry(words[1]);
  }
}

void FakeSysfs::LoadFixture(const std::string& name) {
  std::ifstream in(std::string(MOBILEINFO_TEST_DATA) + "/sysfs/" + name);
  if (!in) throw std::runtime_error("missing fixture " + name);
  std::stringstream text;
  text << in.rdbuf();
  Load(text.str());
}

void FakeSysfs::Unplug(const std::string& device) {
  for (const auto& link : fs::directory_iterator(root_ + "/bus/usb/devices")) {
    std::string name = link.path().filename().string();
    if (name == device || name.compare(0, device.size() + 1, device + ":") == 0 ||
        name.compare(0, device.size() + 1, device + ".") == 0) {
      fs::remove(link.path());
    }
  }
  fs::remove_all(root_ + "/" + DevicePath(device));
}

void FakeSysfs::Vanish(const std::string& device) { fs::remove_all(root_ + "/" + DevicePath(device)); }

void FakeSysfs::SetAttribute(const std::string& entry, const std::string& name,
                             const std::string& value) {
  WriteFile(root_ + "/" + DevicePath(entry) + "/" + name, value + "\n");
}

void FakeSysfs::RemoveAttribute(const std::string& entry, const std::string& name) {
  fs::remove_all(root_ + "/" + DevicePath(entry) + "/" + name);
}

void FakeSysfs::MakeUnreadable(const std::string& entry, const std::string& name) {
  RemoveAttribute(entry, name);
  fs::create_directory(root_ + "/" + DevicePath(entry) + "/" + name);
}

}  // namespace mobileinfo
