// "MobileInfo2.dat" against the fake platform's in-memory files: the exact layout, what a load
// accepts, and what survives a save that fails part-way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "records.h"
#include "usb/device_tracker.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

const std::u16string kSnapshotPath = u"C:\\Host\\MobileInfo2.dat";
constexpr size_t kRecordSize = 1092;

std::string Header(uint32_t record_size = 1092) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((record_size >> (8 * i)) & 0xFF);
  return bytes;
}

std::string Bytes(const UsbDeviceRecord& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

class DeviceSnapshotTest : public ::testing::Test {
 protected:
  DeviceMap present() { return service.PresentDevicesForTesting(); }

  FakePlatform fake;
  DeviceTracker service{fake};
};

// --- save -------------------------------------------------------------------------------------

TEST_F(DeviceSnapshotTest, SaveWritesHeaderAndRawRecordsInKeyOrder) {
  service.AcknowledgeArrivals({Device(u"VID_18d1&PID_4ee2", u"b", kStorageComposite)});
  service.AcknowledgeArrivals({Device(u"VID_0781&PID_5567", u"A", kStorageMass)});
  service.AcknowledgeArrivals({Device(u"VID_04e8&PID_6860", u"B")});
  ASSERT_EQ(service.SaveDeviceSnapshot(), 1);

  std::string expected = Header() + Bytes(present()[u"A"]) + Bytes(present()[u"B"]) +
                         Bytes(present()[u"b"]);
  EXPECT_EQ(fake.GetFile(kSnapshotPath), expected);
  EXPECT_EQ(expected.substr(0, 4), std::string("\x44\x04\x00\x00", 4));
  // Offsets of the file format: kind at 0, key at 4, serial at 68 of each record.
  EXPECT_EQ(expected[4], kStorageMass);
  EXPECT_EQ(expected[4 + 4], 'V');
  EXPECT_EQ(expected[4 + 68], 'A');
  EXPECT_EQ(expected[4 + 69], '\0');
}

TEST_F(DeviceSnapshotTest, SaveReplacesAnExistingFileWhole) {
  fake.SetFile(kSnapshotPath, std::string(50000, 'x'));
  service.AcknowledgeArrivals({Device(u"VID_04e8&PID_6860", u"S")});
  ASSERT_EQ(service.SaveDeviceSnapshot(), 1);
  EXPECT_EQ(fake.GetFile(kSnapshotPath)->size(), 4 + kRecordSize);
}

TEST_F(DeviceSnapshotTest, EmptyMapLeavesAnEmptyFile) {
  EXPECT_TRUE(service.SaveDeviceSnapshot());
  EXPECT_EQ(fake.GetFile(kSnapshotPath), std::string());
  fake.SetFile(kSnapshotPath, Header() + Bytes(Device(u"VID_04e8&PID_6860", u"OLD")));
  DeviceTracker next_session(fake);
  EXPECT_TRUE(next_session.SaveDeviceSnapshot());
  EXPECT_EQ(fake.GetFile(kSnapshotPath), std::string());
}

// --- load -------------------------------------------------------------------------------------

TEST_F(DeviceSnapshotTest, SavedMapLoadsBackUnchanged) {
  service.AcknowledgeArrivals({Device(u"VID_04e8&PID_6860", u"R58M12345ABC", kStorageComposite)});
  service.AcknowledgeArrivals({Device(u"VID_0781&PID_5567", u"4C530001", kStorageMass)});
  const DeviceMap saved = present();
  ASSERT_EQ(service.SaveDeviceSnapshot(), 1);
  service.ClearPresentDevices();
  ASSERT_EQ(service.LoadDeviceSnapshot(), 1);
  ASSERT_EQ(Keys(present()), Keys(saved));
  for (const auto& entry : saved) {
    EXPECT_EQ(std::memcmp(&present()[entry.first], &entry.second, kRecordSize), 0);
  }
}

TEST_F(DeviceSnapshotTest, FilesThatAreNoSnapshotLoadNothing) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"truncated header", Header().substr(0, 3)},
      {"phone cache header", Header(15296) + Bytes(Device(u"VID_04e8&PID_6860", u"S1"))},
      {"zero header", Header(0) + Bytes(Device(u"VID_04e8&PID_6860", u"S1"))},
  };
  EXPECT_EQ(service.LoadDeviceSnapshot(), 0);  // missing
  EXPECT_TRUE(present().empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.SetFile(kSnapshotPath, c.bytes);
    EXPECT_EQ(service.LoadDeviceSnapshot(), 0);
    EXPECT_TRUE(present().empty());
  }
  fake.SetFile(kSnapshotPath, Header() + Bytes(Device(u"VID_04e8&PID_6860", u"S1")));
  fake.Lock()->unopenable.insert(kSnapshotPath);
  EXPECT_EQ(service.LoadDeviceSnapshot(), 0);
  EXPECT_TRUE(present().empty());
}

TEST_F(DeviceSnapshotTest, TrailingBytesShortOfARecordAreIgnored) {
  fake.SetFile(kSnapshotPath, Header());
  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_TRUE(present().empty());

  fake.SetFile(kSnapshotPath, Header() + Bytes(Device(u"VID_04e8&PID_6860", u"S1")).substr(0, kRecordSize - 1));
  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_TRUE(present().empty());

  std::string three = Header() + Bytes(Device(u"VID_04e8&PID_6860", u"S1")) + Bytes(Device(u"VID_04e8&PID_6860", u"S2")) + Bytes(Device(u"VID_04e8&PID_6860", u"S3"));
  fake.SetFile(kSnapshotPath, three + std::string(10, '\x7f'));
  ASSERT_EQ(fake.GetFile(kSnapshotPath)->size(), 4 + 3 * kRecordSize + 10);
  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_EQ(Keys(present()), (std::vector<std::u16string>{u"S1", u"S2", u"S3"}));

  service.ClearPresentDevices();
  fake.SetFile(kSnapshotPath, three + Bytes(Device(u"VID_04e8&PID_6860", u"S4")).substr(0, 600));
  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_EQ(Keys(present()), (std::vector<std::u16string>{u"S1", u"S2", u"S3"}));
}

TEST_F(DeviceSnapshotTest, KeysComeFromTheSerialField) {
  UsbDeviceRecord cut = Device(u"VID_04e8&PID_6860", u"AB");
  cut.serial[3] = u'C';  // text after the first NUL is no part of the key
  UsbDeviceRecord full;
  std::memset(&full, 0, sizeof(full));
  for (char16_t& unit : full.serial) unit = u'Z';  // 512 units, no terminator
  UsbDeviceRecord earlier = Device(u"VID_0001&PID_0001", u"DUP");
  UsbDeviceRecord later = Device(u"VID_0002&PID_0002", u"DUP");
  fake.SetFile(kSnapshotPath, Header() + Bytes(Device(u"VID_04e8&PID_6860", u"")) + Bytes(cut) + Bytes(full) +
                                  Bytes(earlier) + Bytes(later));
  service.AcknowledgeArrivals({Device(u"VID_04e8&PID_6860", u"KEPT")});  // a load adds to the map; Init empties it first

  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_EQ(Keys(present()),
            (std::vector<std::u16string>{u"AB", u"DUP", u"KEPT", std::u16string(512, u'Z')}));
  EXPECT_EQ(FieldText(present()[u"DUP"].device_key), u"VID_0002&PID_0002");
  EXPECT_EQ(present()[u"AB"].serial[3], u'C');  // the record itself is kept as read
}

TEST(DeviceSnapshotFaultTest, ReadOrSeekFailurePartWayKeepsTheRecordsBefore) {
  const std::string file = Header() + Bytes(Device(u"VID_04e8&PID_6860", u"S1")) + Bytes(Device(u"VID_04e8&PID_6860", u"S2")) +
                           Bytes(Device(u"VID_04e8&PID_6860", u"S3"));
  // A read fails past the offset, a seek to it: the third record's read, the header's, the
  // second record's seek.
  for (const auto& [fails_at, kept] : std::vector<std::pair<size_t, std::vector<std::u16string>>>{
           {4 + 2 * kRecordSize + 5, {u"S1", u"S2"}}, {2, {}}, {4 + kRecordSize, {u"S1"}}}) {
    FakePlatform fake;
    fake.SetFile(kSnapshotPath, file);
    fake.Lock()->read_fails_at[kSnapshotPath] = fails_at;
    DeviceTracker service(fake);
    EXPECT_EQ(service.LoadDeviceSnapshot(), 0);
    EXPECT_EQ(Keys(service.PresentDevicesForTesting()), kept) << fails_at;
  }
}

TEST_F(DeviceSnapshotTest, HundredMegabyteFileLoadsRecordByRecord) {
  constexpr size_t kFileSize = 100u * 1024 * 1024;
  constexpr size_t kRecords = (kFileSize - 4) / kRecordSize;
  constexpr size_t kDistinct = 1000;
  std::string bytes = Header();
  bytes.reserve(kFileSize);
  for (size_t k = 0; k < kRecords; ++k) {
    std::u16string serial = k % 97 == 0 ? u"" : u"SER" + Utf8ToUtf16(std::to_string(k % kDistinct));
    bytes += Bytes(Device(u"VID_04e8&PID_6860", serial, static_cast<int32_t>(k)));
  }
  bytes.resize(kFileSize, '\x01');  // a partial record at the end
  fake.SetFile(kSnapshotPath, bytes);
  bytes = std::string();

  EXPECT_EQ(service.LoadDeviceSnapshot(), 1);
  EXPECT_EQ(present().size(), kDistinct);
  // Each serial holds the last record that carried it.
  size_t last_with_7 = kRecords - 1;
  while (last_with_7 % kDistinct != 7 || last_with_7 % 97 == 0) --last_with_7;
  EXPECT_EQ(present()[u"SER7"].storage_kind, static_cast<int32_t>(last_with_7));
}

// --- across a restart -------------------------------------------------------------------------

TEST(DeviceSnapshotRestartTest, DevicesThatStayedPluggedInAreNoArrivals) {
  FakePlatform fake;
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\STAYED");
  fake.AddDevice(u"USB\\VID_04E8&PID_6860\\LEFT");
  {
    DeviceTracker before(fake);
    UsbScan scan;
    ASSERT_EQ(before.ScanUsbDevicesForTesting(scan), 1);
  }
  fake.RemoveDevice(u"USB\\VID_04E8&PID_6860\\LEFT");
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\CAME");

  DeviceTracker after(fake);
  ASSERT_EQ(after.LoadDeviceSnapshot(), 1);
  UsbScan scan;
  ASSERT_EQ(after.ScanUsbDevicesForTesting(scan), 1);
  std::vector<std::u16string> arrivals, removals;
  for (const auto& r : scan.arrivals) arrivals.push_back(FieldText(r.serial));
  for (const auto& r : scan.removals) removals.push_back(FieldText(r.serial));
  EXPECT_EQ(arrivals, std::vector<std::u16string>{u"CAME"});
  EXPECT_EQ(removals, std::vector<std::u16string>{u"LEFT"});
}

}  // namespace
}  // namespace mobileinfo
