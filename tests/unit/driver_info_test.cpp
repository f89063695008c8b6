// Driver ids and the reading of one reply section into a phone record.
#include <gtest/gtest.h>

#include <cstring>

#include "conformance_cases.h"
#include "fake_platform.h"
#include "identify/driver_id.h"
#include "identify/driver_info_reader.h"
#include "model/phone_record.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

const std::u16string kReply = u"C:\\Temp\\reply.tmp";

TEST(DriverIdTest, FormedFromTheUnitsAfterTheMarkers) {
  EXPECT_EQ(DriverIdOf(u"VID_04e8&PID_6860"), u"04e8_6860");
  EXPECT_EQ(DriverIdOf(u"PID_6860&VID_04e8"), u"04e8_6860");    // markers found anywhere
  EXPECT_EQ(DriverIdOf(u"VID_04e8&PID_68"), u"04e8_68");        // key ends sooner
  EXPECT_EQ(DriverIdOf(u"VID_04e8123&PID_6860xyz"), u"04e8_6860");  // cut to 4 units
  EXPECT_EQ(DriverIdOf(u"VID_&PID_"), u"&PID_");  // whatever follows, unchecked
  EXPECT_EQ(DriverIdOf(u"vid_04e8&pid_6860"), std::nullopt);    // markers are case-sensitive
  EXPECT_EQ(DriverIdOf(u"VID_04e8&6860"), std::nullopt);
  EXPECT_EQ(DriverIdOf(u""), std::nullopt);
  std::optional<VendorProduct> ids = SplitDeviceKey(u"USB\\VID_18d1&PID_4ee7&MI_01");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->vendor, u"18d1");
  EXPECT_EQ(ids->product, u"4ee7");
}

class ReadSectionTest : public ::testing::Test {
 protected:
  // A record with every byte set, so that untouched and rewritten fields are told apart.
  static PhoneRecord Filled() {
    PhoneRecord record;
    std::memset(&record, 0x41, sizeof(record));
    return record;
  }
  bool Read(const std::u16string& section, PhoneRecord* record) {
    DriverInfoReader reader(fake_, kReply.c_str());
    return reader.ReadSection(section, record);
  }
  void SetReply(const std::string& text) { fake_.SetFile(kReply, text); }

  FakePlatform fake_;
};

const char kFullSection[] =
    "[04e8_6860]\r\n"
    "UID=17\r\n"
    "Name=Galaxy S10\r\n"
    "Description=Samsung phone\r\n"
    "ImageUrl=http://img/p.png\r\n"
    "VendorImageUrl=http://img/v.png\r\n"
    "GUID={11111111-2222-3333-4444-555555555555}\r\n"
    "PDown=http://dl/pkg.zip\r\n"
    "InstallPath=C:\\Drivers\\Samsung\r\n"
    "FileExt=exe\r\n"
    "Param=/S /quiet\r\n"
    "MD5=0123456789abcdef0123456789abcdef\r\n"
    "Pack=samsung_pack\r\n";

TEST_F(ReadSectionTest, FillsAllElevenFieldsAndNothingElse) {
  SetReply(kFullSection);
  PhoneRecord record = Filled();
  ASSERT_TRUE(Read(u"04e8_6860", &record));
  EXPECT_EQ(fake_.Lock()->profile_file_reads, 1);  // once per section, not once per key
  EXPECT_EQ(FieldText(record.name), u"Galaxy S10");
  EXPECT_EQ(FieldText(record.description), u"Samsung phone");
  EXPECT_EQ(FieldText(record.image_url), u"http://img/p.png");
  EXPECT_EQ(FieldText(record.vendor_image_url), u"http://img/v.png");
  EXPECT_EQ(FieldText(record.driver_guid), u"{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(FieldText(record.package_download), u"http://dl/pkg.zip");
  EXPECT_EQ(FieldText(record.install_path), u"C:\\Drivers\\Samsung");
  EXPECT_EQ(FieldText(record.file_ext), u"exe");
  EXPECT_EQ(FieldText(record.parameters), u"/S /quiet");
  EXPECT_EQ(FieldText(record.md5), u"0123456789abcdef0123456789abcdef");
  EXPECT_EQ(FieldText(record.pack), u"samsung_pack");
  // Each field is zero after its text.
  EXPECT_EQ(record.name[31], 0);
  EXPECT_EQ(record.file_ext[4], 0);
  EXPECT_EQ(record.pack[259], 0);
  // The fields the reply does not name keep their bytes.
  const PhoneRecord before = Filled();
  EXPECT_EQ(std::memcmp(record.device_key, before.device_key, sizeof(record.device_key)), 0);
  EXPECT_EQ(std::memcmp(record.serial, before.serial, sizeof(record.serial)), 0);
  EXPECT_EQ(record.time_stamp, before.time_stamp);
  EXPECT_EQ(record.reserved, before.reserved);
  EXPECT_EQ(record.adb_status, before.adb_status);
  EXPECT_EQ(record.padding, before.padding);
}

// Replies as the service and its mirrors write them: names in any case, values cut to their
// field, a repeated section, UTF-16 with a byte-order mark.
TEST_F(ReadSectionTest, ReadsTheSectionAsTheProfileReaderWould) {
  const struct {
    std::string reply;
    std::u16string name, file_ext, pack;
  } cases[] = {
      {"[ABCD_EF01]\r\nuid=1\r\nNAME=Pixel\r\n", u"Pixel", u"", u""},
      {"[abcd_ef01]\r\nUID=1\r\nName=n\r\nFileExt=zipx5\r\n", u"n", u"zipx", u""},
      {"[abcd_ef01]\r\nUID=1\r\nName=first\r\n[abcd_ef01]\r\nUID=2\r\nName=second\r\n",
       u"first", u"", u""},
      {conformance::Utf16Bytes(u"[abcd_ef01]\r\nUID=1\r\nName=\u00d1exus \u96fb\u8a71\r\nPack=p\r\n", false),
       u"\u00d1exus \u96fb\u8a71", u"", u"p"},
  };
  for (const auto& c : cases) {
    SetReply(c.reply);
    PhoneRecord record = ZeroPhoneRecord();
    ASSERT_TRUE(Read(u"abcd_ef01", &record)) << c.reply;
    EXPECT_EQ(FieldText(record.name), c.name) << c.reply;
    EXPECT_EQ(FieldText(record.file_ext), c.file_ext) << c.reply;
    EXPECT_EQ(FieldText(record.pack), c.pack) << c.reply;
  }
}

TEST_F(ReadSectionTest, NoUsableUidLeavesTheRecordUntouched) {
  const PhoneRecord before = Filled();
  std::string blob;  // binary, without a NUL: no section in it
  for (int i = 0; i < 4096; ++i) blob.push_back(static_cast<char>((i * 131 + 7) % 255 + 1));
  for (const char* reply : {"[other]\r\nUID=1\r\nName=x\r\n",  // no such section
                            "[04e8_6860]\r\nUID=\r\nName=x\r\n",  // empty UID
                            "[04e8_6860]\r\nName=x\r\n",          // no UID
                            "", blob.c_str()}) {
    SetReply(reply);
    PhoneRecord record = Filled();
    EXPECT_FALSE(Read(u"04e8_6860", &record)) << reply;
    EXPECT_EQ(std::memcmp(&record, &before, sizeof(record)), 0) << reply;
  }
}

TEST_F(ReadSectionTest, MissingNameEmptiesOnlyTheName) {
  for (const char* reply : {"[04e8_6860]\r\nUID=1\r\nDescription=d\r\n",
                            "[04e8_6860]\r\nUID=1\r\nName=\r\nDescription=d\r\n"}) {
    SetReply(reply);
    PhoneRecord record = Filled();
    EXPECT_FALSE(Read(u"04e8_6860", &record));
    PhoneRecord expected = Filled();
    std::memset(expected.name, 0, sizeof(expected.name));
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof(record)), 0) << reply;
  }
}

TEST_F(ReadSectionTest, AbsentOptionalKeysClearWhatAnEarlierSectionLeft) {
  SetReply(std::string(kFullSection) + "[18d1_4ee7]\r\nUID=2\r\nName=Pixel\r\n");
  PhoneRecord record = ZeroPhoneRecord();
  ASSERT_TRUE(Read(u"04e8_6860", &record));
  ASSERT_TRUE(Read(u"18d1_4ee7", &record));
  EXPECT_EQ(FieldText(record.name), u"Pixel");
  for (const std::u16string& field :
       {FieldText(record.description), FieldText(record.image_url),
        FieldText(record.vendor_image_url), FieldText(record.driver_guid),
        FieldText(record.package_download), FieldText(record.install_path),
        FieldText(record.file_ext), FieldText(record.parameters), FieldText(record.md5),
        FieldText(record.pack)}) {
    EXPECT_EQ(field, u"");
  }
}

TEST_F(ReadSectionTest, LongValuesAreCutToTheirWidthLessOne) {
  struct Key { const char* name; size_t width; };
  const Key keys[] = {{"Name", 32},   {"Description", 32}, {"ImageUrl", 2048},
                      {"VendorImageUrl", 2048}, {"GUID", 40}, {"PDown", 2048},
                      {"InstallPath", 260}, {"FileExt", 5}, {"Param", 260},
                      {"MD5", 64},    {"Pack", 260}};
  std::string reply = "[04e8_6860]\r\nUID=" + std::string(100, 'u') + "\r\n";
  for (const Key& key : keys) reply += std::string(key.name) + "=" + std::string(3000, 'v') + "\r\n";
  SetReply(reply);
  PhoneRecord record = Filled();
  ASSERT_TRUE(Read(u"04e8_6860", &record));
  EXPECT_EQ(FieldText(record.name).size(), 31u);
  EXPECT_EQ(FieldText(record.description).size(), 31u);
  EXPECT_EQ(FieldText(record.image_url).size(), 2047u);
  EXPECT_EQ(FieldText(record.vendor_image_url).size(), 2047u);
  EXPECT_EQ(FieldText(record.driver_guid).size(), 39u);
  EXPECT_EQ(FieldText(record.package_download).size(), 2047u);
  EXPECT_EQ(FieldText(record.install_path).size(), 259u);
  EXPECT_EQ(FieldText(record.file_ext), u"vvvv");
  EXPECT_EQ(FieldText(record.parameters).size(), 259u);
  EXPECT_EQ(FieldText(record.md5).size(), 63u);
  EXPECT_EQ(FieldText(record.pack).size(), 259u);
  // The neighbours of the widest cuts are intact.
  const PhoneRecord before = Filled();
  EXPECT_EQ(record.time_stamp, before.time_stamp);
  EXPECT_EQ(record.padding, before.padding);
}

TEST_F(ReadSectionTest, NoRecordNoPathOrNoFileFails) {
  SetReply(kFullSection);
  EXPECT_FALSE(Read(u"04e8_6860", nullptr));
  PhoneRecord record = Filled();
  DriverInfoReader no_path(fake_, nullptr);
  EXPECT_FALSE(no_path.ReadSection(u"04e8_6860", &record));
  DriverInfoReader missing(fake_, u"C:\\Temp\\gone.tmp");
  EXPECT_FALSE(missing.ReadSection(u"04e8_6860", &record));
  const PhoneRecord before = Filled();
  EXPECT_EQ(std::memcmp(&record, &before, sizeof(record)), 0);
}

}  // namespace
}  // namespace mobileinfo
