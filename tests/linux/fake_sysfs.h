// A fake sysfs USB bus in a temporary directory, laid out as the kernel lays out the real one:
// device directories nested below devices/ by port path, and a link per device and interface in
// bus/usb/devices/. Tests describe the bus in the compact text form of tests/data/sysfs/README.md.
#ifndef MOBILEINFO_TESTS_LINUX_FAKE_SYSFS_H
#define MOBILEINFO_TESTS_LINUX_FAKE_SYSFS_H

#include <string>
#include <vector>

namespace mobileinfo {

// Splits a description line into words; "double quoted" parts keep their blanks.
std::vector<std::string> SplitSysfsLine(const std::string& line);

class FakeSysfs {
 public:
  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::string& root() const { return root_; }

  // Adds the entries of a description ("device ..." / "interface ..." lines).
  void Load(const std::string& description);
  // Adds the entries of tests/data/sysfs/<name>.
  void LoadFixture(const std::string& name);

  // Unplugs a device: its directory, everything below it and all their bus links go.
  void Unplug(const std::string& device);
  // The device goes away between the listing and the reading of its attributes: its directory
  // is gone but its bus link is still there (dangling).
  void Vanish(const std::string& device);

  void SetAttribute(const std::string& entry, const std::string& name, const std::string& value);
  void RemoveAttribute(const std::string& entry, const std::string& name);
  // Replaces the attribute with something that cannot be read as a file (a directory).
  void MakeUnreadable(const std::string& entry, const std::string& name);

  // The entry's directory below devices/ (relative to root).
  static std::string DevicePath(const std::string& entry);

 private:
  // Puts the entry's link into bus/usb/devices/.
  void LinkEntry(const std::string& entry);
  std::string root_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_LINUX_FAKE_SYSFS_H
