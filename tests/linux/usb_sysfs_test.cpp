// The Linux backend's USB operations against fake sysfs buses, and the core's scans on top of
// them: devices must come out named as Windows names them, so that the core's rules give the
// same records on both systems.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>

#include "linux/fake_sysfs.h"
#include "platform/linux/linux_platform.h"
#include "service/service.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

using ::testing::ElementsAre;

const std::u16string kAdbClass = u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}";

std::string U8(const std::u16string& text) { return Utf16ToUtf8(text); }

struct Listed {
  std::string id;
  std::string description;  // "<none>" when there is none
  bool operator==(const Listed& other) const {
    return id == other.id && description == other.description;
  }
};
std::ostream& operator<<(std::ostream& out, const Listed& listed) {
  return out << "{" << listed.id << ", " << listed.description << "}";
}

std::vector<Listed> ListDevices(LinuxPlatform& platform) {
  std::vector<PresentDevice> devices;
  EXPECT_TRUE(platform.ListPresentDevices(devices));
  std::vector<Listed> listed;
  for (const auto& device : devices) {
    EXPECT_TRUE(device.instance_id.has_value());
    listed.push_back({U8(device.instance_id.value_or(u"")),
                      device.description ? U8(*device.description) : "<none>"});
  }
  return listed;
}

std::vector<InterfaceEntry> ListInterfaces(LinuxPlatform& platform,
                                           const std::u16string& guid = kAdbClass) {
  auto list = platform.OpenInterfaceList(guid);
  EXPECT_TRUE(list);
  std::vector<InterfaceEntry> entries;
  InterfaceEntry entry;
  while (list && list->Next(entry)) entries.push_back(entry);
  if (list) {
    EXPECT_EQ(list->error(), kErrorNoMoreItems);
  }
  return entries;
}

std::optional<std::u16string> AskSerial(LinuxPlatform& platform, const std::u16string& path) {
  std::array<uint8_t, 1024> reply;
  reply.fill(0xEE);
  if (!platform.RequestAdbSerial(path, reply, 1000)) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 1 < reply.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(reply[i] | (reply[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// The last component of an instance id.
std::string Suffix(const std::string& id) { return id.substr(id.rfind('\\') + 1); }

class UsbSysfsTest : public ::testing::Test {
 protected:
  // The bus lists one ADB interface, at path, up or not, whose driver answers serial (nothing: it
  // does not answer).
  void ExpectOnlyInterface(const std::u16string& path, bool active,
                           const std::optional<std::u16string>& serial) {
    auto interfaces = ListInterfaces(platform_);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].path, path);
    EXPECT_EQ(interfaces[0].active, active);
    EXPECT_EQ(AskSerial(platform_, path), serial);
  }

  FakeSysfs bus_;
  LinuxPlatform platform_{bus_.root()};
};

TEST_F(UsbSysfsTest, PhoneWithSerialIsNamedByItsSerial) {
  bus_.LoadFixture("root_hub.txt");
  bus_.LoadFixture("phone_adb.txt");
  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], (Listed{"USB\\VID_18D1&PID_4EE7\\0123456789ABCDEF", "Pixel 7"}));
  EXPECT_TRUE(std::regex_match(listed[1].id, std::regex(R"(USB\\ROOT_HUB20\\4&[0-9A-F]{8}&0)")))
      << listed[1].id;
  EXPECT_EQ(listed[1].description, "USB Root Hub");

  ExpectOnlyInterface(
      u"\\\\?\\usb#vid_18d1&pid_4ee7#0123456789abcdef#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", true,
      u"0123456789ABCDEF");
}

TEST_F(UsbSysfsTest, RootHubKindFollowsUsbVersion) {
  bus_.Load("device usb2 idVendor=1d6b idProduct=0003 version=\" 3.10\"\n"
            "device usb3 idVendor=1d6b idProduct=0001 version=\" 1.10\"\n"
            "device usb4 idVendor=1d6b idProduct=0002\n");
  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].id.substr(0, 15), "USB\\ROOT_HUB30\\");
  EXPECT_EQ(listed[1].id.substr(0, 13), "USB\\ROOT_HUB\\");
  EXPECT_EQ(listed[2].id.substr(0, 15), "USB\\ROOT_HUB20\\");
}

TEST_F(UsbSysfsTest, CompositePhoneListsItsFunctionsAndAdbHangsOnTheFunction) {
  bus_.LoadFixture("phone_composite.txt");
  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0], (Listed{"USB\\VID_04E8&PID_6860\\R58M12345ABC", "USB Composite Device"}));
  const std::regex function_suffix(R"(6&[0-9A-F]{8}&0&000[01])");
  EXPECT_EQ(listed[1].id.substr(0, 28), "USB\\VID_04E8&PID_6860&MI_00\\");
  EXPECT_EQ(listed[1].description, "MTP");
  EXPECT_EQ(listed[2].id.substr(0, 28), "USB\\VID_04E8&PID_6860&MI_01\\");
  EXPECT_EQ(listed[2].description, "ADB Interface");
  EXPECT_TRUE(std::regex_match(Suffix(listed[1].id), function_suffix)) << listed[1].id;
  EXPECT_TRUE(std::regex_match(Suffix(listed[2].id), function_suffix)) << listed[2].id;
  // Both functions share the parent's id prefix and differ in the interface number.
  EXPECT_EQ(Suffix(listed[1].id).substr(0, 13), Suffix(listed[2].id).substr(0, 13));

  // The driver answers the parent device's serial even on the function's interface.
  ExpectOnlyInterface(u"\\\\?\\usb#vid_04e8&pid_6860&mi_01#" +
                          LowerAscii(Utf8ToUtf16(Suffix(listed[2].id))) +
                          u"#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}",
                      true, u"R58M12345ABC");
}

TEST_F(UsbSysfsTest, DescriptionsGiveTheStorageKindWindowsGives) {
  bus_.LoadFixture("mass_storage.txt");
  // A phone sharing its storage next to ADB: the composite driver takes it, and only its
  // function carries the mass-storage name.
  bus_.Load("device 1-5 idVendor=0bb4 idProduct=0c02 bNumInterfaces=\" 2\" serial=HT12345\n"
            "interface 1-5:1.0 bInterfaceNumber=00 bInterfaceClass=08 bInterfaceSubClass=06 "
            "bInterfaceProtocol=50\n"
            "interface 1-5:1.1 bInterfaceNumber=01 bInterfaceClass=ff bInterfaceSubClass=42 "
            "bInterfaceProtocol=01\n"
            "device 1-6 idVendor=1234 idProduct=0001 serial=X1\n");
  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[0], (Listed{"USB\\VID_0BB4&PID_0C02\\HT12345", "USB Composite Device"}));
  EXPECT_EQ(listed[1].description, "USB Mass Storage Device");
  EXPECT_EQ(listed[2].description, "<none>");
  EXPECT_EQ(listed[3], (Listed{"USB\\VID_1234&PID_0001\\X1", "<none>"}));
  EXPECT_EQ(listed[4],
            (Listed{"USB\\VID_0781&PID_5567\\4C530001231114115384", "USB Mass Storage Device"}));
}

TEST_F(UsbSysfsTest, DevicesWithoutUsableSerialGetAStablePortSuffix) {
  bus_.LoadFixture("hub_with_keyboard.txt");
  bus_.Load("device 1-7 idVendor=abcd idProduct=0001 serial=\"\"\n"
            "device 1-8 idVendor=abcd idProduct=0001 serial=\"HAS SPACE\"\n"
            "device 1-9 idVendor=abcd idProduct=0001 serial=a,b\n"
            "device 1-10 idVendor=abcd idProduct=0001 serial=back\\slash\n");
  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 6u);
  EXPECT_EQ(listed[0].id.substr(0, 22), "USB\\VID_05E3&PID_0608\\");
  EXPECT_TRUE(std::regex_match(Suffix(listed[0].id), std::regex(R"(5&[0-9A-F]{8}&0&1)")))
      << listed[0].id;
  EXPECT_EQ(listed[0].description, "USB2.0 Hub");
  EXPECT_EQ(listed[1], (Listed{listed[1].id, "USB Keyboard"}));
  EXPECT_TRUE(std::regex_match(Suffix(listed[1].id), std::regex(R"(6&[0-9A-F]{8}&0&4)")))
      << listed[1].id;
  EXPECT_TRUE(std::regex_match(Suffix(listed[2].id), std::regex(R"(5&[0-9A-F]{8}&0&10)")))
      << listed[2].id;
  for (size_t i = 3; i < 6; ++i) {
    EXPECT_TRUE(std::regex_match(Suffix(listed[i].id), std::regex(R"(5&[0-9A-F]{8}&0&[789])")))
        << listed[i].id;
  }
  // Same port, same name: on the next listing and from another backend object alike; another
  // port, another name.
  LinuxPlatform other(bus_.root());
  EXPECT_EQ(ListDevices(other), listed);
  EXPECT_NE(Suffix(listed[3].id).substr(0, 13), Suffix(listed[4].id).substr(0, 13));
}

TEST_F(UsbSysfsTest, UnplugKeepsTheAdbInterfaceListedInactive) {
  bus_.LoadFixture("phone_adb.txt");
  bus_.LoadFixture("mass_storage.txt");
  auto before = ListInterfaces(platform_);
  ASSERT_EQ(before.size(), 1u);
  const std::u16string path = *before[0].path;

  // While a list is open, requests answer from the bus read that made it: a scan reads the bus
  // once, however many interfaces it asks.
  auto open_list = platform_.OpenInterfaceList(kAdbClass);
  bus_.Unplug("1-2");
  EXPECT_EQ(AskSerial(platform_, path), u"0123456789ABCDEF");
  open_list.reset();
  EXPECT_EQ(ListDevices(platform_).size(), 1u);
  ExpectOnlyInterface(path, false, std::nullopt);

  bus_.LoadFixture("phone_adb.txt");  // plugged in again
  ExpectOnlyInterface(path, true, u"0123456789ABCDEF");
}

TEST_F(UsbSysfsTest, BrokenEntriesAreLeftOutAndNothingElseSuffers) {
  bus_.LoadFixture("phone_adb.txt");
  bus_.Load("device 1-4 idVendor=2222 idProduct=0001 serial=NOPRODUCT\n"
            "device 1-5 idVendor=2222 idProduct=0002 serial=UNREADABLE\n"
            "device 1-6 idVendor=2222 idProduct=0003 serial=GONE\n"
            "device 1-7 idVendor=zz1x idProduct=\" 4g \" serial=ODD\n"
            "device 1-8 idVendor=2222 idProduct=0005 serial=S8 product=Gadget\n"
            "device 1-9 idVendor=\"\" idProduct=0006 serial=EMPTYVENDOR\n"
            "interface 1-8:1.0 bInterfaceNumber=00 bInterfaceClass=ff bInterfaceSubClass=42 "
            "bInterfaceProtocol=01\n"
            "interface 1-99:1.0 bInterfaceClass=ff bInterfaceSubClass=42 bInterfaceProtocol=01\n");
  bus_.RemoveAttribute("1-4", "idProduct");
  bus_.MakeUnreadable("1-5", "idVendor");
  bus_.Vanish("1-6");
  bus_.MakeUnreadable("1-8", "serial");
  bus_.MakeUnreadable("1-8", "product");
  bus_.MakeUnreadable("1-8:1.0", "bInterfaceSubClass");

  auto listed = ListDevices(platform_);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].id, "USB\\VID_18D1&PID_4EE7\\0123456789ABCDEF");
  // Not hex: reported as read (upper-cased, blanks trimmed); the core judges it.
  EXPECT_EQ(listed[1], (Listed{"USB\\VID_ZZ1X&PID_4G\\ODD", "<none>"}));
  EXPECT_TRUE(std::regex_match(listed[2].id, std::regex(R"(USB\\VID_2222&PID_0005\\5&[0-9A-F]{8}&0&8)")))
      << listed[2].id;
  EXPECT_EQ(listed[2].description, "<none>");
  // 1-8's interface lost its subclass, so only the phone's ADB interface is there.
  EXPECT_EQ(ListInterfaces(platform_).size(), 1u);

  bus_.RemoveAttribute("1-2", "serial");
  auto interfaces = ListInterfaces(platform_);
  ASSERT_EQ(interfaces.size(), 2u);  // the old path, now inactive, and the one named by port
  EXPECT_FALSE(interfaces[0].active);
  EXPECT_TRUE(interfaces[1].active);
  EXPECT_EQ(AskSerial(platform_, *interfaces[1].path), std::nullopt);  // no serial to answer
}

TEST_F(UsbSysfsTest, SerialRequestReportsTheDeviceAnswerUnjudged) {
  bus_.LoadFixture("phone_adb.txt");
  const std::u16string path =
      u"\\\\?\\usb#vid_18d1&pid_4ee7#0123456789abcdef#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
  // Device paths match whatever their letter case.
  EXPECT_EQ(AskSerial(platform_, LowerAscii(path)), u"0123456789ABCDEF");
  std::u16string upper = path;
  for (auto& c : upper) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
  EXPECT_EQ(AskSerial(platform_, upper), u"0123456789ABCDEF");
  EXPECT_EQ(AskSerial(platform_, u"\\\\?\\usb#vid_18d1&pid_4ee7#other#{x}"), std::nullopt);

  // A serial that fills the whole reply leaves no terminator in it.
  std::string long_serial(600, 'S');
  bus_.SetAttribute("1-2", "serial", long_serial);
  auto interfaces = ListInterfaces(platform_);
  ASSERT_EQ(interfaces.size(), 1u);
  std::array<uint8_t, 1024> reply;
  ASSERT_TRUE(platform_.RequestAdbSerial(*interfaces[0].path, reply, 1000));
  EXPECT_EQ(reply[1022], 'S');
  EXPECT_EQ(reply[1023], 0);
}

TEST_F(UsbSysfsTest, BootloaderInterfaceIsListedInTheAdbClass) {
  // A phone in fastboot: the Android USB driver binds ff/42/03 under the ADB interface class.
  bus_.Load("device 1-3 idVendor=18d1 idProduct=4ee0 serial=FB0123 product=Android\n"
            "interface 1-3:1.0 bInterfaceNumber=00 bInterfaceClass=ff bInterfaceSubClass=42 "
            "bInterfaceProtocol=03\n");
  auto interfaces = ListInterfaces(platform_);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(U8(interfaces[0].path.value()),
            "\\\\?\\usb#vid_18d1&pid_4ee0#fb0123#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}");
  EXPECT_TRUE(interfaces[0].active);
}

TEST_F(UsbSysfsTest, OtherInterfaceClassesAreEmpty) {
  bus_.LoadFixture("phone_adb.txt");
  EXPECT_TRUE(ListInterfaces(platform_, u"{A5DCBF10-6530-11D2-901F-00C04FB951ED}").empty());
  EXPECT_EQ(ListInterfaces(platform_, u"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}").size(), 1u);
}

TEST(UsbSysfsRootTest, MissingBusAndMissingRoot) {
  FakeSysfs bus;
  LinuxPlatform empty_machine(bus.root() + "/bus");  // exists, holds no bus/usb
  std::vector<PresentDevice> devices{PresentDevice{}};
  EXPECT_TRUE(empty_machine.ListPresentDevices(devices));
  EXPECT_TRUE(devices.empty());
  LinuxPlatform nowhere(bus.root() + "/absent");
  EXPECT_FALSE(nowhere.ListPresentDevices(devices));
  EXPECT_TRUE(ListInterfaces(nowhere).empty());
}

TEST(UsbSysfsRootTest, DefaultBackendReadsTheRootFromTheEnvironmentOnEachCall) {
  FakeSysfs first, second;
  first.LoadFixture("phone_adb.txt");
  second.LoadFixture("mass_storage.txt");
  LinuxPlatform platform;
  setenv("MOBILEINFO_SYSFS_ROOT", first.root().c_str(), 1);
  auto a = ListDevices(platform);
  setenv("MOBILEINFO_SYSFS_ROOT", second.root().c_str(), 1);
  auto b = ListDevices(platform);
  unsetenv("MOBILEINFO_SYSFS_ROOT");
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].id, "USB\\VID_18D1&PID_4EE7\\0123456789ABCDEF");
  EXPECT_EQ(b[0].id, "USB\\VID_0781&PID_5567\\4C530001231114115384");
}

// The core's scans on the backend: records as the Windows build would make them.
class CoreOnSysfsTest : public UsbSysfsTest {
 protected:
  MobileInfoService service_{platform_};
  UsbScan changes_;

  std::vector<std::string> PresentRecords() {
    std::vector<std::string> records;
    for (const auto& entry : service_.CoreForTesting()->tracker.PresentDevicesForTesting()) {
      records.push_back(U8(FieldText(entry.second.device_key)) + " " +
                        U8(FieldText(entry.second.serial)) + " " +
                        std::to_string(entry.second.storage_kind));
    }
    return records;
  }
  std::vector<std::string> AdbRecords() {
    std::vector<std::string> records;
    for (const auto& entry : service_.CoreForTesting()->adb.DevicesForTesting()) {
      records.push_back(U8(entry.first) + " " + U8(FieldText(entry.second.device_key)) + " " +
                        U8(FieldText(entry.second.adb_serial)) + " " +
                        std::to_string(entry.second.state));
    }
    return records;
  }
};

TEST_F(CoreOnSysfsTest, ScansSeeEachDeviceOnceWithItsKind) {
  bus_.LoadFixture("root_hub.txt");
  bus_.LoadFixture("phone_composite.txt");
  bus_.LoadFixture("mass_storage.txt");
  bus_.LoadFixture("hub_with_keyboard.txt");
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  auto records = PresentRecords();
  ASSERT_EQ(records.size(), 4u);  // no root hub, no composite function
  EXPECT_EQ(records[0], "VID_0781&PID_5567 4C530001231114115384 1");
  EXPECT_EQ(records[3], "VID_04e8&PID_6860 R58M12345ABC 2");

  ASSERT_EQ(service_.CoreForTesting()->adb.ScanAdbInterfaces(), 1);
  auto adb = AdbRecords();
  ASSERT_EQ(adb.size(), 1u);
  EXPECT_TRUE(std::regex_match(adb[0],
                               std::regex(R"(6&[0-9a-f]{8}&0&0001 vid_04e8&pid_6860 R58M12345ABC 2)")))
      << adb[0];
}

// Phones of one model reporting one serial are as many devices as on Windows: the one plugged in
// first keeps the serial, whatever ports the others come and go on.
TEST_F(CoreOnSysfsTest, PhonesSharingASerialAreSeparateDevicesAndTheFirstKeepsIt) {
  const std::string kPhone = " idVendor=18d1 idProduct=4ee7 serial=0123456789ABCDEF devnum=";
  bus_.Load("device 1-2" + kPhone + "5\n");
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  bus_.Load("device 1-4" + kPhone + "6\n");
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  const std::string kFirst = "VID_18d1&PID_4ee7 0123456789ABCDEF 0";
  auto records = PresentRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], kFirst);
  EXPECT_TRUE(std::regex_match(records[1], std::regex(R"(VID_18d1&PID_4ee7 5&[0-9A-F]{8}&0&4 0)")))
      << records[1];

  bus_.Unplug("1-4");
  bus_.Load("device 1-1" + kPhone + "7\n");  // plugged in again, at a lower port
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  records = PresentRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], kFirst);
  EXPECT_TRUE(std::regex_match(records[1], std::regex(R"(VID_18d1&PID_4ee7 5&[0-9A-F]{8}&0&1 0)")))
      << records[1];

  // A backend that has seen neither (the next process) gives the serial to the one plugged in
  // longest.
  bus_.SetAttribute("1-1", "power/connected_duration", "4000");
  bus_.SetAttribute("1-2", "power/connected_duration", "90000");
  LinuxPlatform next(bus_.root());
  auto listed = ListDevices(next);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(Suffix(listed[0].id), "5&" + Suffix(listed[0].id).substr(2, 8) + "&0&1");
  EXPECT_EQ(Suffix(listed[1].id), "0123456789ABCDEF");
}

TEST_F(CoreOnSysfsTest, UnpluggedPhoneGoesFromActiveToRegistered) {
  bus_.LoadFixture("phone_adb.txt");
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  ASSERT_EQ(service_.CoreForTesting()->adb.ScanAdbInterfaces(), 1);
  EXPECT_THAT(AdbRecords(), ElementsAre("0123456789abcdef vid_18d1&pid_4ee7 0123456789ABCDEF 2"));

  bus_.Unplug("1-2");
  ASSERT_EQ(service_.CoreForTesting()->tracker.ScanUsbDevicesForTesting(changes_), 1);
  EXPECT_TRUE(PresentRecords().empty());
  ASSERT_EQ(service_.CoreForTesting()->adb.ScanAdbInterfaces(), 1);
  EXPECT_THAT(AdbRecords(), ElementsAre("0123456789abcdef vid_18d1&pid_4ee7 0123456789ABCDEF 1"));
}

}  // namespace
}  // namespace mobileinfo
