// The USB scan against the fake platform: which instance ids become records, how they are keyed
// and diffed, and that an abandoned scan changes nothing.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cache/phone_store.h"
#include "fake_platform.h"
#include "records.h"
#include "model/phone_record.h"
#include "service/phone_list.h"
#include "usb/adb_registry.h"
#include "support/text.h"
#include "usb/device_tracker.h"
#include "usb/instance_id.h"

namespace mobileinfo {
namespace {

const std::u16string kSnapshotPath = u"C:\\Host\\MobileInfo2.dat";

struct Parsed {
  bool accepted;
  std::u16string device_key;
  std::u16string serial;
  int32_t kind;
};

Parsed Parse(const std::u16string& id,
             const std::optional<std::u16string>& description = std::nullopt) {
  UsbDeviceRecord record;
  bool accepted = ParseInstanceId(id, description, record);
  return {accepted, FieldText(record.device_key), FieldText(record.serial), record.storage_kind};
}

// --- matching ignoring case ---------------------------------------------------------------------

// Every place that matches serials ignoring case folds A-Z only, as _wcsicmp does: the diff, the
// phone store's known-serial test and lookup, the phone list and the ADB registry.
TEST(SerialMatchingTest, OnlyTheLettersAToZMatchInEitherCase) {
  struct Row {
    const char16_t* known;
    const char16_t* asked;
    bool match;
  };
  for (const Row& row : std::vector<Row>{{u"ABC123", u"abc123", true},
                                         {u"abc123", u"ABC123", true},
                                         {u"R58M", u"R58M", true},
                                         {u"\u00c9CLAIR", u"\u00e9clair", false},
                                         {u"X@[1", u"x`{1", false},
                                         {u"R58M", u"R58M ", false},
                                         {u"Z", u"z", true}}) {
    SCOPED_TRACE(Utf16ToUtf8(row.known) + " / " + Utf16ToUtf8(row.asked));
    DeviceList arrivals, removals;
    DiffDevices({{row.known, Device(u"VID_1111&PID_2222", row.known)}}, {{row.asked, Device(u"VID_1111&PID_2222", row.asked)}}, arrivals,
                removals);
    EXPECT_EQ(arrivals.empty(), row.match);
    EXPECT_EQ(removals.empty(), row.match);

    FakePlatform fake;
    PhoneStore store(fake);
    store.PutPhoneForTesting(row.known, MakePhoneRecord(u"VID_1111&PID_2222", row.known));
    EXPECT_EQ(store.IsKnownPhoneSerial(row.asked), row.match);
    EXPECT_EQ(store.FindPhoneIgnoringCase(row.asked).has_value(), row.match);

    PhoneList list;
    list.AppendIfAbsent(MakePhoneRecord(u"VID_1111&PID_2222", row.known));
    EXPECT_EQ(!list.AppendIfAbsent(MakePhoneRecord(u"vid_1111&pid_2222", row.asked)), row.match);

    AdbRecord adb;
    std::memset(&adb, 0, sizeof(adb));
    CopyField(adb.device_key, u"vid_9999&pid_9999");
    CopyField(adb.adb_serial, row.known);
    adb.state = kAdbActive;
    AdbRegistry registry(fake);
    registry.ReplaceForTesting({{u"path", adb}});
    EXPECT_EQ(registry.IsAdbDevice(Device(u"VID_1111&PID_2222", row.asked)), row.match);
    PhoneRecord phone = MakePhoneRecord(u"VID_1111&PID_2222", row.asked);
    EXPECT_EQ(registry.MatchAdbStatus(phone), row.match ? 2u : 0u);
  }
  // Of two keys that fold alike, a lookup gives the first in the map's order.
  FakePlatform fake;
  PhoneStore store(fake);
  store.PutPhoneForTesting(u"aBc", MakePhoneRecord(u"VID_0002&PID_0002", u"aBc"));
  store.PutPhoneForTesting(u"AbC", MakePhoneRecord(u"VID_0001&PID_0001", u"AbC"));
  EXPECT_EQ(FieldText(store.FindPhoneIgnoringCase(u"abc")->serial), u"AbC");
  store.ErasePhoneForTesting(u"AbC");
  EXPECT_EQ(FieldText(store.FindPhoneIgnoringCase(u"ABC")->serial), u"aBc");
  store.ErasePhoneForTesting(u"aBc");
  EXPECT_FALSE(store.IsKnownPhoneSerial(u"abc"));
}

// --- instance ids -------------------------------------------------------------------------------

TEST(InstanceIdTest, UsbDeviceGivesLowerCaseKeyAndSerialAsWritten) {
  Parsed p = Parse(u"USB\\VID_04E8&PID_6860\\R58M12345ABC");
  ASSERT_TRUE(p.accepted);
  EXPECT_EQ(p.device_key, u"VID_04e8&PID_6860");
  EXPECT_EQ(p.serial, u"R58M12345ABC");
  EXPECT_EQ(p.kind, kStorageOther);
}

TEST(InstanceIdTest, SkipsFunctionsOfCompositeDevicesAndOtherBuses) {
  EXPECT_FALSE(Parse(u"USB\\VID_04E8&PID_6860&MI_01\\6&2B3C4D5E&0&0001").accepted);
  EXPECT_FALSE(Parse(u"USBSTOR\\DISK&VEN_SAMSUNG\\0123").accepted);
  EXPECT_FALSE(Parse(u"HID\\VID_046D&PID_C52B&MI_00\\7&1").accepted);
  EXPECT_FALSE(Parse(u"ROOT\\LEGACY_BEEP\\0000").accepted);
  EXPECT_FALSE(Parse(u"USB\\ROOT_HUB20\\4&1B2C3D4E&0").accepted);
  EXPECT_FALSE(Parse(u"usb\\vid_04e8&pid_6860\\R58").accepted);  // the prefix test is exact
  EXPECT_FALSE(Parse(u"USB\\VID_").accepted);
  EXPECT_FALSE(Parse(u"").accepted);
}

TEST(InstanceIdTest, NeedsAnUpperCasePidMarker) {
  EXPECT_FALSE(Parse(u"USB\\VID_04E8\\R58M12345ABC").accepted);
  EXPECT_FALSE(Parse(u"USB\\VID_04E8&pid_6860\\R58M12345ABC").accepted);
  EXPECT_FALSE(Parse(u"USB\\VID_04E8&PID").accepted);
}

TEST(InstanceIdTest, ProductTextsOfUpToFourUnitsAreAccepted) {
  EXPECT_EQ(Parse(u"USB\\VID_04E8&PID_\\S").device_key, u"VID_04e8&PID_");
  EXPECT_EQ(Parse(u"USB\\VID_04E8&PID_A\\S").device_key, u"VID_04e8&PID_a");
  EXPECT_EQ(Parse(u"USB\\VID_04E8&PID_AB\\S").device_key, u"VID_04e8&PID_ab");
  EXPECT_EQ(Parse(u"USB\\VID_04E8&PID_ABC\\S").device_key, u"VID_04e8&PID_abc");
  EXPECT_EQ(Parse(u"USB\\VID_04E8&PID_ABCD\\S").device_key, u"VID_04e8&PID_abcd");
  EXPECT_FALSE(Parse(u"USB\\VID_04E8&PID_ABCDE\\S").accepted);
}

TEST(InstanceIdTest, ProductTextEndsAtTheLastBackslash) {
  // A "PID_" that only occurs after the last backslash leaves the product text empty, and an id
  // without a serial component takes everything after the prefix's backslash as its serial.
  Parsed in_serial = Parse(u"USB\\VID_04E8\\PID_6860");
  ASSERT_TRUE(in_serial.accepted);
  EXPECT_EQ(in_serial.device_key, u"VID_04e8&PID_");
  EXPECT_EQ(in_serial.serial, u"PID_6860");

  Parsed no_serial = Parse(u"USB\\VID_04E8&PID_6860");
  ASSERT_TRUE(no_serial.accepted);
  EXPECT_EQ(no_serial.device_key, u"VID_04e8&PID_");
  EXPECT_EQ(no_serial.serial, u"VID_04E8&PID_6860");

  // Several backslashes: the serial is the last component, the product text runs up to it.
  EXPECT_FALSE(Parse(u"USB\\VID_04E8&PID_6860\\A\\B").accepted);
}

TEST(InstanceIdTest, VendorTextIsTheFourUnitsAfterVidWhateverTheyAre) {
  EXPECT_EQ(Parse(u"USB\\VID_ZZ&G&PID_12AB\\S").device_key, u"VID_zz&g&PID_12ab");
  EXPECT_EQ(Parse(u"USB\\VID_1&PID_2\\S").device_key, u"VID_1&pi&PID_2");
  // Only A-Z are lowered, as CharLowerW does for hex digits; other letters stay.
  EXPECT_EQ(Parse(u"USB\\VID_\u00C0BCD&PID_\u00C9F00\\S").device_key,
            u"VID_\u00C0bcd&PID_\u00C9f00");
}

TEST(InstanceIdTest, SerialKeepsItsCaseAndMayBeEmpty) {
  EXPECT_EQ(Parse(u"USB\\VID_18D1&PID_4EE2\\AbCdEf012").serial, u"AbCdEf012");
  Parsed empty = Parse(u"USB\\VID_18D1&PID_4EE2\\");
  ASSERT_TRUE(empty.accepted);
  EXPECT_EQ(empty.serial, u"");
  EXPECT_EQ(empty.device_key, u"VID_18d1&PID_4ee2");
}

TEST(InstanceIdTest, IdIsReadAsTextUpToItsFirstNul) {
  std::u16string id = u"USB\\VID_04E8&PID_6860\\ABC";
  id.push_back(0);
  id += u"DEF";
  EXPECT_EQ(Parse(id).serial, u"ABC");
}

TEST(InstanceIdTest, IdMustFitTheBufferWithItsTerminator) {
  EXPECT_TRUE(InstanceIdFits(std::u16string(259, u'x')));
  EXPECT_FALSE(InstanceIdFits(std::u16string(260, u'x')));
  EXPECT_FALSE(InstanceIdFits(std::u16string(5000, u'x')));
  std::u16string short_with_tail = std::u16string(10, u'x') + u'\0' + std::u16string(300, u'y');
  EXPECT_TRUE(InstanceIdFits(short_with_tail));
}

TEST(InstanceIdTest, StorageKindFromDescription) {
  EXPECT_EQ(StorageKindOf(u"USB Mass Storage Device"), kStorageMass);
  EXPECT_EQ(StorageKindOf(U("USB 大容量存储设备")), kStorageMass);
  EXPECT_EQ(StorageKindOf(u"USB Composite Device"), kStorageComposite);
  EXPECT_EQ(StorageKindOf(u"Mass Composite"), kStorageMass);  // the mass tests come first
  EXPECT_EQ(StorageKindOf(u"usb mass storage device"), kStorageOther);
  EXPECT_EQ(StorageKindOf(u"USB COMPOSITE DEVICE"), kStorageOther);
  EXPECT_EQ(StorageKindOf(u"SAMSUNG Mobile USB Modem"), kStorageOther);
  EXPECT_EQ(StorageKindOf(u""), kStorageOther);
  EXPECT_EQ(StorageKindOf(std::nullopt), kStorageOther);
  // The description buffer holds 259 units and a terminator; a longer one cannot be read.
  EXPECT_EQ(StorageKindOf(std::u16string(250, u' ') + u"Composite"), kStorageComposite);
  EXPECT_EQ(StorageKindOf(std::u16string(251, u' ') + u"Composite"), kStorageOther);
  EXPECT_EQ(Parse(u"USB\\VID_0781&PID_5567\\4C53", u"USB Mass Storage Device").kind, kStorageMass);
}

// --- ScanUsbDevices -----------------------------------------------------------------------------

class UsbScanTest : public ::testing::Test {
 protected:
  DeviceMap present() { return service.PresentDevicesForTesting(); }
  DeviceList& arrivals() { return scan.arrivals; }
  DeviceList& removals() { return scan.removals; }

  FakePlatform fake;
  DeviceTracker service{fake};
  UsbScan scan;  // the changes of the last successful scan
};

TEST_F(UsbScanTest, ListsUsbDevicesAsArrivalsAndSavesThem) {
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\R58M12345ABC", u"SAMSUNG Mobile USB Composite Device");
  fake.AddDevice(u"USB\\VID_04E8&PID_6860&MI_01\\6&2B3C4D5E&0&0001", u"SAMSUNG Android ADB Interface");
  fake.AddDevice(u"USB\\ROOT_HUB20\\4&1B2C3D4E&0", u"USB Root Hub");
  fake.AddDevice(u"USB\\VID_0781&PID_5567\\4C530001", u"USB Mass Storage Device");
  fake.AddDevice(u"USBSTOR\\DISK&VEN_SANDISK\\4C530001&0");

  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(Keys(present()), (std::vector<std::u16string>{u"4C530001", u"R58M12345ABC"}));
  EXPECT_EQ(Serials(arrivals()), (std::vector<std::u16string>{u"4C530001", u"R58M12345ABC"}));
  EXPECT_TRUE(removals().empty());
  const UsbDeviceRecord phone = present().at(u"R58M12345ABC");
  EXPECT_EQ(FieldText(phone.device_key), u"VID_04e8&PID_6860");
  EXPECT_EQ(phone.storage_kind, kStorageComposite);
  EXPECT_EQ(present().at(u"4C530001").storage_kind, kStorageMass);

  std::optional<std::string> file = fake.GetFile(kSnapshotPath);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size(), 4u + 2 * 1092);
}

TEST_F(UsbScanTest, SecondScanReportsOnlyChangesInMapOrder) {
  for (const char16_t* serial : {u"D", u"B", u"A", u"C"}) {
    fake.AddDevice(std::u16string(u"USB\\VID_18D1&PID_4EE2\\") + serial);
  }
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(Serials(arrivals()), (std::vector<std::u16string>{u"A", u"B", u"C", u"D"}));

  fake.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\D");
  fake.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\B");
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\F");
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\E");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(Serials(arrivals()), (std::vector<std::u16string>{u"E", u"F"}));
  EXPECT_EQ(Serials(removals()), (std::vector<std::u16string>{u"B", u"D"}));

  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_TRUE(arrivals().empty());
  EXPECT_TRUE(removals().empty());
}

TEST_F(UsbScanTest, LaterDeviceWithTheSameSerialWins) {
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\SAME", u"USB Composite Device");
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\SAME", u"USB Mass Storage Device");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  ASSERT_EQ(present().size(), 1u);
  EXPECT_EQ(FieldText(present().at(u"SAME").device_key), u"VID_18d1&PID_4ee2");
  EXPECT_EQ(present().at(u"SAME").storage_kind, kStorageMass);
  EXPECT_EQ(arrivals().size(), 1u);
}

TEST_F(UsbScanTest, SerialInAnotherCaseIsNoChangeButTheMapTakesTheNewCase) {
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\abc123", u"USB Composite Device");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  fake.Lock()->devices.clear();
  fake.AddDevice(u"USB\\VID_04E8&PID_6861\\ABC123");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_TRUE(arrivals().empty());
  EXPECT_TRUE(removals().empty());
  EXPECT_EQ(Keys(present()), std::vector<std::u16string>{u"ABC123"});
  // A device in both scans is no change even though its record changed.
  EXPECT_EQ(FieldText(present().at(u"ABC123").device_key), u"VID_04e8&PID_6861");
  EXPECT_EQ(present().at(u"ABC123").storage_kind, kStorageOther);
}

TEST_F(UsbScanTest, EmptyBusRemovesEverythingAndLeavesAnEmptySnapshot) {
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\P1");
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\P2");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  fake.Lock()->devices.clear();
  fake.AddDevice(u"HID\\VID_046D&PID_C52B\\1");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_TRUE(present().empty());
  EXPECT_TRUE(arrivals().empty());
  EXPECT_EQ(Serials(removals()), (std::vector<std::u16string>{u"P1", u"P2"}));
  EXPECT_EQ(fake.GetFile(kSnapshotPath), std::string());
}

TEST_F(UsbScanTest, AbandonedScanChangesNothing) {
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\KEEP");
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  const std::string saved = *fake.GetFile(kSnapshotPath);
  arrivals() = {Device(u"VID_1111&PID_2222", u"STALE-ARRIVAL")};
  removals() = {Device(u"VID_1111&PID_2222", u"STALE-REMOVAL")};

  auto expect_unchanged = [&](const char* why) {
    SCOPED_TRACE(why);
    EXPECT_EQ(service.ScanUsbDevicesForTesting(scan), 0);
    EXPECT_EQ(Keys(present()), std::vector<std::u16string>{u"KEEP"});
    EXPECT_EQ(Serials(arrivals()), std::vector<std::u16string>{u"STALE-ARRIVAL"});
    EXPECT_EQ(Serials(removals()), std::vector<std::u16string>{u"STALE-REMOVAL"});
    EXPECT_EQ(fake.GetFile(kSnapshotPath), saved);
  };

  fake.Lock()->devices.clear();
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\NEW");
  fake.Lock()->device_list_fails = true;
  expect_unchanged("device list cannot be opened");
  fake.Lock()->device_list_fails = false;

  fake.Lock()->devices.push_back(PresentDevice{std::nullopt, u"USB Composite Device"});
  expect_unchanged("an instance id cannot be read");

  fake.Lock()->devices.back().instance_id = u"USB\\VID_04E8&PID_6860\\" + std::u16string(238, u'L');
  ASSERT_EQ(fake.Lock()->devices.back().instance_id->size(), 260u);
  expect_unchanged("an instance id of 260 units");
  fake.Lock()->devices.back().instance_id = std::u16string(1000, u'U');
  expect_unchanged("an instance id of 1000 units of another bus");

  // The next successful scan diffs against the map of the last completed scan.
  fake.Lock()->devices.pop_back();
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(Serials(arrivals()), std::vector<std::u16string>{u"NEW"});
  EXPECT_EQ(Serials(removals()), std::vector<std::u16string>{u"KEEP"});
}

TEST_F(UsbScanTest, IdOf259UnitsIsScanned) {
  const std::u16string serial(237, u'L');
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\" + serial);
  ASSERT_EQ(fake.Lock()->devices.back().instance_id->size(), 259u);
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(Keys(present()), std::vector<std::u16string>{serial});
}

TEST_F(UsbScanTest, UnreadableOrOverlongDescriptionKeepsTheDeviceAsOther) {
  fake.AddDevice(u"USB\\VID_0781&PID_5567\\NODESC");
  fake.AddDevice(u"USB\\VID_0781&PID_5567\\LONGDESC",
                 u"USB Mass Storage Device" + std::u16string(237, u' '));
  ASSERT_EQ(fake.Lock()->devices.back().description->size(), 260u);
  ASSERT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(present().at(u"NODESC").storage_kind, kStorageOther);
  EXPECT_EQ(present().at(u"LONGDESC").storage_kind, kStorageOther);
}

TEST_F(UsbScanTest, FailedSnapshotSaveDoesNotFailTheScan) {
  fake.Lock()->unreplaceable.insert(kSnapshotPath);
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\R58");
  EXPECT_EQ(service.ScanUsbDevicesForTesting(scan), 1);
  EXPECT_EQ(arrivals().size(), 1u);
  EXPECT_FALSE(fake.GetFile(kSnapshotPath));
}

// --- DiffDevices ----------------------------------------------------------------------------

DeviceMap MapOf(std::initializer_list<std::u16string> serials) {
  DeviceMap map;
  for (const auto& serial : serials) map[serial] = Device(u"VID_1111&PID_2222", serial);
  return map;
}

TEST_F(UsbScanTest, DiffMatchesSerialsIgnoringCaseOfAToZOnly) {
  DiffDevices(MapOf({u"ABC", u"abc", u"x\u00C9"}), MapOf({u"aBc", u"X\u00E9"}), arrivals(), removals());
  EXPECT_EQ(Serials(arrivals()), std::vector<std::u16string>{u"X\u00E9"});
  EXPECT_EQ(Serials(removals()), std::vector<std::u16string>{u"x\u00C9"});

  DiffDevices(MapOf({u"q"}), MapOf({u"ABC", u"Abc", u"abc"}), arrivals(), removals());
  EXPECT_EQ(Serials(arrivals()), (std::vector<std::u16string>{u"ABC", u"Abc", u"abc"}));
  EXPECT_EQ(Serials(removals()), std::vector<std::u16string>{u"q"});
}

TEST_F(UsbScanTest, DiffRefillsBothListsAndCopiesWholeRecords) {
  arrivals() = {Device(u"VID_1111&PID_2222", u"OLD")};
  removals() = {Device(u"VID_1111&PID_2222", u"OLD")};
  DeviceMap current;
  current[u"N"] = Device(u"VID_04e8&PID_6860", u"N", kStorageComposite);
  DiffDevices(DeviceMap(), current, arrivals(), removals());
  ASSERT_EQ(arrivals().size(), 1u);
  EXPECT_EQ(std::memcmp(&arrivals()[0], &current[u"N"], sizeof(UsbDeviceRecord)), 0);
  EXPECT_TRUE(removals().empty());
}

// The diff by folded keys must give exactly what comparing every pair gives, for maps whose keys
// collide in every way letter case allows.
TEST_F(UsbScanTest, DiffAgreesWithPairwiseComparison) {
  std::mt19937 random(12345);
  const char16_t alphabet[] = u"AaBb1\u00C9\u00E9";
  auto random_map = [&] {
    DeviceMap map;
    int n = static_cast<int>(random() % 12);
    for (int i = 0; i < n; ++i) {
      std::u16string key;
      int length = 1 + static_cast<int>(random() % 3);
      for (int k = 0; k < length; ++k) key.push_back(alphabet[random() % 7]);
      map[key] = Device(u"VID_1111&PID_2222", key);
    }
    return map;
  };
  auto pairwise = [](const DeviceMap& from, const DeviceMap& other) {
    std::vector<std::u16string> unmatched;
    for (const auto& a : from) {
      bool found = false;
      for (const auto& b : other) found = found || EqualsIgnoreCase(a.first, b.first);
      if (!found) unmatched.push_back(a.first);
    }
    return unmatched;
  };
  for (int round = 0; round < 2000; ++round) {
    DeviceMap previous = random_map();
    DeviceMap current = random_map();
    DiffDevices(previous, current, arrivals(), removals());
    ASSERT_EQ(Serials(arrivals()), pairwise(current, previous)) << "round " << round;
    ASSERT_EQ(Serials(removals()), pairwise(previous, current)) << "round " << round;
  }
}

}  // namespace
}  // namespace mobileinfo
