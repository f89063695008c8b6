// The phone cache file "MobileInfo1.dat": loading (format check, age limit, damaged and odd
// files), saving (what is written and in which order, the negative-entry stamp, writes that fail
// part-way, a file not read whole), and saves racing each other and changes to the maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "records.h"
#include "platform_wrapper.h"
#include "model/phone_record.h"
#include "cache/phone_store.h"
#include "usb/device_tracker.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kNow = 1700000000;
constexpr int32_t kDay = 86400;
constexpr size_t kRecord = sizeof(PhoneRecord);
const std::u16string kCachePath = u"C:\\Host\\MobileInfo1.dat";
const char16_t kKeyA[] = u"VID_04e8&PID_6860";
const char16_t kKeyB[] = u"VID_18d1&PID_4ee7";
const char16_t kKeyC[] = u"VID_2717&PID_ff48";

// A phone record as an identification pass leaves it, with the runtime fields set as a phone in
// use would have them.
PhoneRecord Full(const std::u16string& serial, const std::u16string& key, int32_t stamp) {
  PhoneRecord record = MakePhoneRecord(key, serial);
  CopyField(record.name, u"name-" + serial);
  CopyField(record.package_download, u"http://drivers.invalid/" + serial + u".zip");
  CopyField(record.md5, u"0123456789abcdef");
  record.time_stamp = stamp;
  record.reserved = 7;
  record.adb_status = 2;
  return record;
}

PhoneRecord Negative(const std::u16string& key, int32_t stamp) {
  PhoneRecord record = MakePhoneRecord(key, u"");
  record.time_stamp = stamp;
  return record;
}

std::string Bytes(const PhoneRecord& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
}

std::string CacheFile(std::initializer_list<PhoneRecord> records, const std::string& tail = "") {
  std::string bytes("\xC0\x3B\x00\x00", 4);
  for (const PhoneRecord& record : records) bytes += Bytes(record);
  return bytes + tail;
}

uint32_t U32At(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes.at(offset + i));
  return value;
}

std::string RecordAt(const std::string& file, size_t index) {
  return file.substr(4 + index * kRecord, kRecord);
}

class PhoneCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { fake.ManualTime(0, kNow); }

  int Load(const std::string& bytes) {
    fake.SetFile(kCachePath, bytes);
    return service.LoadPhoneCache();
  }
  PhoneInfoMap phones() { return service.PhonesForTesting(); }
  ModelStatusMap models() { return service.ModelsForTesting(); }
  int32_t negative_stamp() { return service.NegativeCacheStampForTesting(); }
  std::string CacheBytes() { return fake.GetFile(kCachePath).value_or("<missing>"); }

  FakePlatform fake;
  PhoneStore service{fake};
};

// --- loading --------------------------------------------------------------------------------

using PhoneCacheLoad = PhoneCacheTest;

TEST_F(PhoneCacheLoad, MissingOrUnopenableFileYieldsNothing) {
  EXPECT_EQ(service.LoadPhoneCache(), 0);
  fake.Lock()->unopenable.insert(kCachePath);
  EXPECT_EQ(Load(CacheFile({Full(u"R1", kKeyA, kNow)})), 0);
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(models().empty());
}

TEST_F(PhoneCacheLoad, AnyOtherRecordSizeFailsTheFormatCheck) {
  // A device snapshot file (1092-byte records) put in the cache's place.
  std::string snapshot("\x44\x04\x00\x00", 4);
  snapshot += std::string(3 * 1092, '\x01');
  EXPECT_EQ(Load(snapshot), 0);
  EXPECT_EQ(Load(""), 0);
  EXPECT_EQ(Load(std::string("\xC0\x3B\x00", 3)), 0);  // header cut short
  EXPECT_EQ(Load(std::string("\xC0\x3B\x00\x01", 4) + Bytes(Full(u"R1", kKeyA, kNow))), 0);
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(models().empty());
}

TEST_F(PhoneCacheLoad, LessThanOneWholeRecordIsAnEmptyCache) {
  EXPECT_EQ(Load(CacheFile({})), 1);
  EXPECT_EQ(Load(CacheFile({}, std::string(kRecord - 1, '\x55'))), 1);
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(models().empty());
}

TEST_F(PhoneCacheLoad, TrailingPartOfARecordIsIgnored) {
  EXPECT_EQ(Load(CacheFile({Full(u"R1", kKeyA, kNow), Negative(kKeyB, kNow)},
                           std::string(100, '\x55'))),
            1);
  EXPECT_EQ(phones().size(), 1u);
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}, {kKeyB, false}}));
}

TEST_F(PhoneCacheLoad, FullRecordIsStoredWholeWithItsRuntimeFieldsCleared) {
  PhoneRecord record = Full(u"R58M12345ABC", kKeyA, kNow - 100);
  ASSERT_EQ(Load(CacheFile({record})), 1);

  ASSERT_EQ(phones().count(u"R58M12345ABC"), 1u);
  PhoneRecord expected = record;
  expected.reserved = 0;
  expected.adb_status = 0;
  EXPECT_EQ(Bytes(phones()[u"R58M12345ABC"]), Bytes(expected));
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}}));
  EXPECT_EQ(negative_stamp(), 0);  // only negative entries carry the shared stamp
}

TEST_F(PhoneCacheLoad, NegativeEntryMarksTheModelUnknownAndSetsTheSharedStamp) {
  ASSERT_EQ(Load(CacheFile({Negative(kKeyA, kNow - 50), Negative(kKeyB, kNow - 20)})), 1);
  EXPECT_TRUE(phones().empty());
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, false}, {kKeyB, false}}));
  EXPECT_EQ(negative_stamp(), kNow - 20);  // the last one read
}

TEST_F(PhoneCacheLoad, RecordExactlyTimeOutOldIsDropped) {
  service.SetCacheTimeout(2);
  ASSERT_EQ(Load(CacheFile({
                Full(u"exact", kKeyA, kNow - 2 * kDay),
                Full(u"young", kKeyB, kNow - 2 * kDay + 1),
                Full(u"future", kKeyC, kNow + 5 * kDay),
                Negative(u"VID_0001&PID_0001", kNow - 2 * kDay),
                Negative(u"VID_0002&PID_0002", kNow - 2 * kDay + 1),
            })),
            1);
  EXPECT_EQ(phones().count(u"exact"), 0u);
  EXPECT_EQ(phones().count(u"young"), 1u);
  EXPECT_EQ(phones().count(u"future"), 1u);
  EXPECT_EQ(models().count(kKeyA), 0u);
  EXPECT_EQ(models().count(u"VID_0001&PID_0001"), 0u);
  EXPECT_EQ(models().count(u"VID_0002&PID_0002"), 1u);
  EXPECT_EQ(negative_stamp(), kNow - 2 * kDay + 1);
}

TEST_F(PhoneCacheLoad, TimeOutOfZeroOrLessKeepsOnlyRecordsFromTheFuture) {
  service.SetCacheTimeout(0);
  ASSERT_EQ(Load(CacheFile({Full(u"now", kKeyA, kNow), Full(u"ahead", kKeyB, kNow + 1)})), 1);
  EXPECT_EQ(phones().count(u"now"), 0u);
  EXPECT_EQ(phones().count(u"ahead"), 1u);

  // A negative time-out asks for records more than that many days ahead.
  service.Clear();
  service.SetCacheTimeout(-1);
  ASSERT_EQ(Load(CacheFile({Full(u"one day ahead", kKeyA, kNow + kDay),
                            Full(u"further", kKeyB, kNow + kDay + 1)})),
            1);
  EXPECT_EQ(phones().count(u"one day ahead"), 0u);
  EXPECT_EQ(phones().count(u"further"), 1u);
}

TEST_F(PhoneCacheLoad, AgeIsComparedAsWrappingThirtyTwoBitValues) {
  // Every build that shares this file compares 32-bit differences: near the 2038 wrap a stamp
  // from "1901" is 21 seconds old.
  fake.ManualTime(0, INT32_MAX - 10);
  ASSERT_EQ(Load(CacheFile({Full(u"wrapped", kKeyA, INT32_MIN + 10)})), 1);
  EXPECT_EQ(phones().count(u"wrapped"), 1u);

  // A time-out too long for 32-bit seconds keeps everything (the product would wrap into
  // "expire everything"); one as far below zero keeps nothing.
  fake.ManualTime(0, kNow);
  for (const auto& [days, kept] : std::vector<std::pair<int32_t, size_t>>{
           {24855, 1}, {24856, 2}, {INT32_MAX, 2}, {-24855, 0}, {-24856, 0}, {INT32_MIN, 0}}) {
    service.Clear();
    service.SetCacheTimeout(days);
    // "ancient" is 24855.1 days old, as old as a 32-bit age gets.
    ASSERT_EQ(Load(CacheFile({Full(u"recent", kKeyA, kNow - 1),
                              Full(u"ancient", kKeyA, kNow - 2147480000)})),
              1);
    EXPECT_EQ(phones().size(), kept) << days;
  }
}

TEST_F(PhoneCacheLoad, TextsWithoutTerminatorsAreReadUpToTheirCapacity) {
  PhoneRecord record = ZeroPhoneRecord();
  for (auto& c : record.device_key) c = u'K';
  for (auto& c : record.serial) c = u'S';
  for (auto& c : record.name) c = u'N';
  for (auto& c : record.parameters) c = u'P';
  record.padding = u'Z';
  record.time_stamp = kNow;
  PhoneRecord negative = ZeroPhoneRecord();
  for (auto& c : negative.device_key) c = u'Q';
  negative.time_stamp = kNow;
  ASSERT_EQ(Load(CacheFile({record, negative})), 1);

  const std::u16string serial(512, u'S');
  ASSERT_EQ(phones().count(serial), 1u);
  EXPECT_EQ(models(), (ModelStatusMap{{std::u16string(32, u'K'), true},
                                      {std::u16string(32, u'Q'), false}}));
  // The texts and the padding stay as the file had them; every reader of a text is bounded by
  // its field.
  EXPECT_EQ(Bytes(phones()[serial]), Bytes(record));
}

TEST_F(PhoneCacheLoad, LaterRecordWithTheSameSerialWins) {
  ASSERT_EQ(Load(CacheFile({Full(u"R1", kKeyA, kNow - 10), Full(u"R1", kKeyB, kNow - 5)})), 1);
  ASSERT_EQ(phones().size(), 1u);
  EXPECT_EQ(FieldText(phones()[u"R1"].device_key), kKeyB);
  EXPECT_EQ(phones()[u"R1"].time_stamp, kNow - 5);
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}, {kKeyB, true}}));
}

TEST_F(PhoneCacheLoad, NegativeEntryAfterAFullRecordOfTheSameModelWinsInTheModelMap) {
  ASSERT_EQ(Load(CacheFile({Full(u"R1", kKeyA, kNow - 10), Negative(kKeyA, kNow - 5)})), 1);
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, false}}));
  EXPECT_EQ(phones().count(u"R1"), 1u);
}

// --- saving ---------------------------------------------------------------------------------

using PhoneCacheSave = PhoneCacheTest;

TEST_F(PhoneCacheSave, NothingToSaveLeavesTheFileAsItWas) {
  service.Exclude(u"R1");
  EXPECT_EQ(service.SavePhoneCache(), 0);
  EXPECT_FALSE(fake.GetFile(kCachePath));
  fake.SetFile(kCachePath, "older cache");
  EXPECT_EQ(service.SavePhoneCache(), 0);
  EXPECT_EQ(CacheBytes(), "older cache");
}

TEST_F(PhoneCacheSave, WritesFullRecordsThenNegativeEntriesEachInKeyOrder) {
  const PhoneRecord b = Full(u"B2", kKeyA, kNow - 30);
  const PhoneRecord a = Full(u"A1", kKeyB, kNow - 40);
  service.PutPhoneForTesting(u"B2", b);
  service.PutPhoneForTesting(u"A1", a);
  phones()[u"6&2a3b4c5d&0&1"] = Full(u"6&2a3b4c5d&0&1", kKeyA, kNow);  // made-up instance id
  service.PutPhoneForTesting(u"", Full(u"", kKeyA, kNow));
  service.PutPhoneForTesting(u"EXCLUDED", Full(u"EXCLUDED", kKeyA, kNow));
  service.Exclude(u"EXCLUDED");
  service.PutModelForTesting(u"VID_ffff&PID_0002", false);
  service.PutModelForTesting(u"VID_ffff&PID_0001", false);
  service.PutModelForTesting(kKeyA, true);
  service.SetNegativeCacheStampForTesting(kNow - 100);

  ASSERT_EQ(service.SavePhoneCache(), 1);
  const std::string file = CacheBytes();
  ASSERT_EQ(file.size(), 4 + 4 * kRecord);
  EXPECT_EQ(file.substr(0, 4), std::string("\xC0\x3B\x00\x00", 4));
  // Full records exactly as held in memory, runtime fields included.
  EXPECT_EQ(RecordAt(file, 0), Bytes(a));
  EXPECT_EQ(RecordAt(file, 1), Bytes(b));
  EXPECT_EQ(U32At(file, 4 + 13584), static_cast<uint32_t>(kNow - 40));
  EXPECT_EQ(U32At(file, 4 + 13588), 7u);
  EXPECT_EQ(U32At(file, 4 + 13592), 2u);
  // Negative entries: the device key and the shared stamp, every other byte zero.
  for (size_t k = 2; k < 4; ++k) {
    std::string entry = RecordAt(file, k);
    const char16_t* key = k == 2 ? u"VID_ffff&PID_0001" : u"VID_ffff&PID_0002";
    EXPECT_EQ(entry.substr(0, 34), std::string(reinterpret_cast<const char*>(key), 34));
    EXPECT_EQ(U32At(entry, 13584), static_cast<uint32_t>(kNow - 100));
    entry.replace(0, 34, 34, '\0');
    entry.replace(13584, 4, 4, '\0');
    EXPECT_EQ(entry, std::string(kRecord, '\0'));
  }
}

TEST_F(PhoneCacheSave, NegativeEntryKeyIsCutToItsField) {
  const std::u16string long_key(40, u'k');
  service.PutModelForTesting(long_key, false);
  ASSERT_EQ(service.SavePhoneCache(), 1);
  PhoneRecord entry;
  const std::string file = CacheBytes();
  ASSERT_EQ(file.size(), 4 + kRecord);
  std::memcpy(&entry, file.data() + 4, kRecord);
  EXPECT_EQ(std::u16string(entry.device_key, 32), std::u16string(32, u'k'));
  EXPECT_EQ(entry.serial[0], 0);
}

TEST_F(PhoneCacheSave, NegativeEntriesShareTheStampWhileYoungThenTakeTheSaveTime) {
  service.PutModelForTesting(kKeyA, false);
  auto saved_stamp = [&](int32_t stamp, int32_t days) {
    service.SetNegativeCacheStampForTesting(stamp);
    service.SetCacheTimeout(days);
    EXPECT_EQ(service.SavePhoneCache(), 1);
    EXPECT_EQ(negative_stamp(), stamp);  // the save does not move the shared stamp
    return static_cast<int32_t>(U32At(CacheBytes(), 4 + 13584));
  };
  EXPECT_EQ(saved_stamp(kNow - kDay + 1, 1), kNow - kDay + 1);
  EXPECT_EQ(saved_stamp(kNow - kDay, 1), kNow);
  EXPECT_EQ(saved_stamp(0, 1), kNow);  // never loaded
  EXPECT_EQ(saved_stamp(kNow + 10, 1), kNow + 10);
  EXPECT_EQ(saved_stamp(kNow - 1, 0), kNow);
  EXPECT_EQ(saved_stamp(kNow - 1, -1), kNow);
}

TEST_F(PhoneCacheSave, SavedCacheLoadsBackIntoAFreshService) {
  service.PutPhoneForTesting(u"R1", Full(u"R1", kKeyA, kNow - 10));
  service.PutPhoneForTesting(u"R2", Full(u"R2", kKeyB, kNow - 20));
  service.PutModelForTesting(kKeyA, true);
  service.PutModelForTesting(kKeyB, true);
  service.PutModelForTesting(kKeyC, false);
  service.SetNegativeCacheStampForTesting(kNow - 5);
  ASSERT_EQ(service.SavePhoneCache(), 1);

  PhoneStore restarted(fake);
  ASSERT_EQ(restarted.LoadPhoneCache(), 1);
  PhoneInfoMap loaded = restarted.PhonesForTesting();
  ASSERT_EQ(loaded.size(), 2u);
  PhoneRecord expected = phones()[u"R1"];
  expected.reserved = 0;
  expected.adb_status = 0;
  EXPECT_EQ(Bytes(loaded[u"R1"]), Bytes(expected));
  EXPECT_EQ(restarted.ModelsForTesting(), models());
  EXPECT_EQ(restarted.NegativeCacheStampForTesting(), kNow - 5);
}

TEST_F(PhoneCacheSave, AReaderHoldingTheFileForAMomentDoesNotFailTheSave) {
  // A virus scanner or a backup tool reads the file just as the replace comes.
  fake.SetFile(kCachePath, "older cache");
  service.PutPhoneForTesting(u"R1", Full(u"R1", kKeyA, kNow));
  std::unique_ptr<File> reader = fake.OpenFile(kCachePath, FileMode::kReadExisting);
  std::thread lets_go([&] {
    std::this_thread::sleep_for(30ms);
    reader.reset();
  });
  EXPECT_EQ(service.SavePhoneCache(), 1);
  lets_go.join();
  EXPECT_EQ(CacheBytes().size(), 4 + kRecord);
}

TEST_F(PhoneCacheSave, AFileNotReadWholeIsKeptThenMergedWithWhatTheSessionLearnt) {
  // Another program holds the file at Init (a second host, a backup tool, a virus scanner), or a
  // read fails after two records: the file must outlive the session's saves until it has been
  // read whole, then take what the session learnt besides its own records.
  const std::string old_file = CacheFile({Full(u"OLD1", kKeyA, kNow - 10), Full(u"OLD2", kKeyA, kNow - 10),
                                          Full(u"OLD3", kKeyB, kNow - 10), Negative(kKeyC, kNow - 10)});
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "held at Init" : "read fails after two records");
    FakePlatform fake;
    fake.ManualTime(0, kNow);
    fake.SetFile(kCachePath, old_file);
    if (held) fake.Lock()->unopenable.insert(kCachePath);
    else fake.Lock()->read_fails_at[kCachePath] = 4 + 2 * kRecord + 100;
    fake.debug_log().Configure(u"1");
    PhoneStore store(fake);
    EXPECT_EQ(store.LoadPhoneCache(), 0);
    // The diagnostics say why.
    const std::u16string why = held ? u"(held by another program)" : u"(a read failed part-way)";
    EXPECT_TRUE(fake.Logged(why));

    // A publication of this session (a new phone, and a newer record of an old one), and one old
    // serial excluded; the save of a file still not readable writes nothing.
    PhoneRecord newer = Full(u"OLD2", kKeyA, kNow);
    CopyField(newer.name, u"newer");
    store.StoreIdentified({{kKeyB, u"NEW1", Full(u"NEW1", kKeyB, kNow)}, {kKeyA, u"OLD2", newer}});
    store.Exclude(u"OLD3");
    EXPECT_EQ(store.SavePhoneCache(), 0);
    EXPECT_EQ(fake.GetFile(kCachePath), old_file);

    // Once readable, the first save (Stop's) merges: every old record is kept.
    fake.Lock()->unopenable.clear();
    fake.Lock()->read_fails_at.clear();
    ASSERT_EQ(store.SavePhoneCache(), 1);
    PhoneStore restarted(fake);
    ASSERT_EQ(restarted.LoadPhoneCache(), 1);
    PhoneInfoMap loaded = restarted.PhonesForTesting();
    EXPECT_EQ(Keys(loaded), (std::vector<std::u16string>{u"NEW1", u"OLD1", u"OLD2"}));
    EXPECT_EQ(FieldText(loaded[u"OLD2"].name), u"newer");
    EXPECT_EQ(restarted.ModelsForTesting(),
              (ModelStatusMap{{kKeyA, true}, {kKeyB, true}, {kKeyC, false}}));
    EXPECT_EQ(restarted.NegativeCacheStampForTesting(), kNow - 10);
  }
}

// Each data file is saved whole or not at all: whichever step of the replace fails, the old
// file stays as it was and no temporary file is left; a read-only old file is replaced.
TEST_F(PhoneCacheSave, EveryFailingStepOfTheReplaceKeepsTheOldFileOfEitherKind) {
  enum Step { kNone, kCreate, kHeader, kRecordWrite, kFlush, kReplace, kReadOnly };
  const std::u16string kSnapshotPath = u"C:\\Host\\MobileInfo2.dat";
  for (bool cache : {true, false}) {
    for (Step step : {kNone, kCreate, kHeader, kRecordWrite, kFlush, kReplace, kReadOnly}) {
      SCOPED_TRACE(std::string(cache ? "phone cache" : "snapshot") + ", step " +
                   std::to_string(step));
      FakePlatform disk;
      PhoneStore saver(disk);
      saver.PutPhoneForTesting(u"R1", Full(u"R1", kKeyA, kNow));
      saver.PutPhoneForTesting(u"R2", Full(u"R2", kKeyB, kNow));
      DeviceTracker tracker(disk);
      UsbDeviceRecord device = ZeroDeviceRecord();
      CopyField(device.serial, std::u16string(u"S1"));
      UsbDeviceRecord second = device;
      CopyField(second.serial, std::u16string(u"S2"));
      tracker.AcknowledgeArrivals({device, second});
      const std::u16string path = cache ? kCachePath : kSnapshotPath;
      const uint32_t record = cache ? kRecord : sizeof(UsbDeviceRecord);
      disk.SetFile(path, "old content");
      switch (step) {
        case kNone: break;
        case kCreate: disk.Lock()->unopenable.insert(path + u".tmp"); break;
        case kHeader: disk.Lock()->write_limit = 2; break;
        case kRecordWrite: disk.Lock()->write_limit = 4 + record + 100; break;  // full disk
        case kFlush: disk.Lock()->flush_fails = true; break;
        case kReplace: disk.Lock()->unreplaceable.insert(path); break;
        case kReadOnly: disk.Lock()->undeletable.insert(path); break;
      }
      const int saved = cache ? saver.SavePhoneCache() : tracker.SaveDeviceSnapshot();
      const bool replaced = step == kNone || step == kReadOnly;
      EXPECT_EQ(saved, replaced ? 1 : 0);
      const std::string after = disk.GetFile(path).value_or("<missing>");
      if (replaced) {
        EXPECT_EQ(after.size(), 4 + 2 * record);
      } else {
        EXPECT_EQ(after, "old content");
      }
      EXPECT_FALSE(disk.GetFile(path + u".tmp"));
    }
  }
}

// --- saves on several threads ---------------------------------------------------------------

// Checks that a cache file is one whole image: whole records, full ones in strictly ascending
// serial order, then negative entries in strictly ascending key order, each record as the test's
// writer made it.
void ExpectWholeImage(const std::string& file) {
  ASSERT_GE(file.size(), 4u);
  ASSERT_EQ((file.size() - 4) % kRecord, 0u);
  std::u16string last_serial, last_key;
  bool negatives = false;
  for (size_t k = 0; k < (file.size() - 4) / kRecord; ++k) {
    PhoneRecord record;
    std::memcpy(&record, file.data() + 4 + k * kRecord, kRecord);
    const std::u16string serial = FieldText(record.serial);
    if (serial.empty()) {
      const std::u16string key = FieldText(record.device_key);
      if (negatives) {
        EXPECT_LT(last_key, key);
      }
      negatives = true;
      last_key = key;
      continue;
    }
    ASSERT_FALSE(negatives) << "full record after a negative entry";
    if (k > 0) {
      EXPECT_LT(last_serial, serial);
    }
    last_serial = serial;
    EXPECT_EQ(FieldText(record.name), u"name-" + serial);
  }
}

TEST(PhoneCacheConcurrency, SavesRacingMapChangesAlwaysLeaveAWholeImage) {
  FakePlatform fake;
  fake.ManualTime(0, kNow);
  PhoneStore service(fake);
  service.PutPhoneForTesting(u"anchor", Full(u"anchor", kKeyA, kNow));

  std::atomic<bool> changing{true};
  std::thread changer([&] {
    for (int i = 0; i < 400; ++i) {
      const std::u16string serial = u"P" + std::u16string(1, char16_t(u'a' + i % 17));
      const std::u16string key = u"VID_" + std::u16string(1, char16_t(u'a' + i % 13));
      if (i % 3 == 0) service.ErasePhoneForTesting(serial);
      else service.PutPhoneForTesting(serial, Full(serial, kKeyB, kNow - i));
      service.PutModelForTesting(key, i % 2 == 0);
      if (i % 5 == 0) service.Exclude(serial);
    }
    changing = false;
  });
  auto saver = [&] {
    // At least one save each, even when the changer ends before a saver starts.
    do {
      EXPECT_EQ(service.SavePhoneCache(), 1);
    } while (changing);
  };
  std::thread saver1(saver), saver2(saver);
  changer.join();
  saver1.join();
  saver2.join();
  ExpectWholeImage(fake.GetFile(kCachePath).value_or(""));

  // Saves after the last change write the final state, which a restart reads back.
  std::thread late1([&] { EXPECT_EQ(service.SavePhoneCache(), 1); });
  std::thread late2([&] { EXPECT_EQ(service.SavePhoneCache(), 1); });
  late1.join();
  late2.join();
  ExpectWholeImage(fake.GetFile(kCachePath).value_or(""));
  PhoneStore restarted(fake);
  ASSERT_EQ(restarted.LoadPhoneCache(), 1);
  std::set<std::u16string> expected, loaded;
  for (const auto& entry : service.PhonesForTesting()) {
    if (!service.IsExcludedForTesting(entry.first)) expected.insert(entry.first);
  }
  for (const auto& entry : restarted.PhonesForTesting()) loaded.insert(entry.first);
  EXPECT_EQ(loaded, expected);
}

// A fake whose next HostDirectory call waits for the test: a save asks for it after it has built
// its image and before it writes, so a save can be held between the two.
class GatedPlatform : public PlatformWrapper {
 public:
  explicit GatedPlatform(FakePlatform& fake) : PlatformWrapper(fake) {}
  void ArmGate() {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    armed_ = true;
    open_ = false;
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    return gate_cv_.wait_for(lock, 10s, [&] { return held_; });
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    open_ = true;
    gate_cv_.notify_all();
  }
  std::u16string HostDirectory() override {
    {
      std::unique_lock<std::mutex> lock(gate_mutex_);
      if (armed_) {
        armed_ = false;
        held_ = true;
        gate_cv_.notify_all();
        gate_cv_.wait(lock, [&] { return open_; });
        held_ = false;
      }
    }
    return PlatformWrapper::HostDirectory();
  }

 private:
  std::mutex gate_mutex_;
  std::condition_variable gate_cv_;
  bool armed_ = false;
  bool held_ = false;
  bool open_ = false;
};

TEST(PhoneCacheConcurrency, OlderImageNeverOverwritesANewerOne) {
  // A save built from the maps before a change reaches the file only after a save built after
  // the change has written it (the scan thread's save overtaken by Stop's, or the reverse).
  FakePlatform fake;
  GatedPlatform gated(fake);
  fake.ManualTime(0, kNow);
  PhoneStore service(gated);
  service.PutPhoneForTesting(u"R1", Full(u"R1", kKeyA, kNow));
  gated.ArmGate();
  std::thread older([&] { EXPECT_EQ(service.SavePhoneCache(), 1); });
  ASSERT_TRUE(gated.WaitUntilHeld());
  service.PutPhoneForTesting(u"R2", Full(u"R2", kKeyB, kNow));
  std::thread newer([&] { EXPECT_EQ(service.SavePhoneCache(), 1); });
  newer.join();
  const std::string newest = fake.GetFile(kCachePath).value_or("");
  gated.OpenGate();
  older.join();

  EXPECT_EQ(fake.GetFile(kCachePath), newest);
  PhoneStore restarted(fake);
  ASSERT_EQ(restarted.LoadPhoneCache(), 1);
  EXPECT_EQ(restarted.PhonesForTesting().size(), 2u);
}

}  // namespace
}  // namespace mobileinfo
