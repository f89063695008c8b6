// SetupAPI enumeration under Wine, against device nodes and interfaces the test writes itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "registry_devices.h"

namespace mobileinfo {
namespace {

using testing::ScopedAdbInterface;
using testing::ScopedUsbDevice;

std::u16string U16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

const std::u16string kAdbClass = U16(testing::kAdbClassGuid);

const PresentDevice* FindDevice(const std::vector<PresentDevice>& devices,
                                const std::u16string& instance_id) {
  for (const PresentDevice& device : devices) {
    if (device.instance_id && *device.instance_id == instance_id) return &device;
  }
  return nullptr;
}

std::vector<InterfaceEntry> ListInterfaces(const std::u16string& class_guid, uint32_t& error) {
  std::vector<InterfaceEntry> entries;
  std::unique_ptr<InterfaceList> list = Platform::Default().OpenInterfaceList(class_guid);
  if (!list) return entries;
  InterfaceEntry entry;
  while (list->Next(entry)) entries.push_back(entry);
  error = list->error();
  return entries;
}

const InterfaceEntry* FindInterface(const std::vector<InterfaceEntry>& entries,
                                    const std::u16string& path) {
  for (const InterfaceEntry& entry : entries) {
    if (entry.path && *entry.path == path) return &entry;
  }
  return nullptr;
}

TEST(PresentDevices, ListsRegistryNodesWithInstanceIdAndDescription) {
  ScopedUsbDevice phone(L"USB\\VID_04E8&PID_6860\\R58M12345ABC", L"SAMSUNG Mobile USB Composite Device");
  ScopedUsbDevice stick(L"USB\\VID_0781&PID_5567\\4C530001131024116365", L"USB Mass Storage Device");
  ScopedUsbDevice bare(L"USB\\VID_1234&PID_0001\\NODESC", std::nullopt);
  ASSERT_TRUE(phone.ok() && stick.ok() && bare.ok());

  std::vector<PresentDevice> devices;
  ASSERT_TRUE(Platform::Default().ListPresentDevices(devices));

  const PresentDevice* found = FindDevice(devices, u"USB\\VID_04E8&PID_6860\\R58M12345ABC");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->description, u"SAMSUNG Mobile USB Composite Device");
  found = FindDevice(devices, u"USB\\VID_0781&PID_5567\\4C530001131024116365");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->description, u"USB Mass Storage Device");
  // A node without DeviceDesc is still present; only its description is missing.
  found = FindDevice(devices, u"USB\\VID_1234&PID_0001\\NODESC");
  ASSERT_NE(found, nullptr);
  EXPECT_FALSE(found->description.has_value());
  // Every entry was read: an entry without instance id would mean the listing broke off.
  for (const PresentDevice& device : devices) EXPECT_TRUE(device.instance_id.has_value());
}

TEST(PresentDevices, RemovedNodeIsNoLongerListed) {
  std::u16string id = u"USB\\VID_04E8&PID_6860\\GONE0001";
  {
    ScopedUsbDevice phone(L"USB\\VID_04E8&PID_6860\\GONE0001", L"Phone");
    ASSERT_TRUE(phone.ok());
    std::vector<PresentDevice> devices;
    ASSERT_TRUE(Platform::Default().ListPresentDevices(devices));
    EXPECT_NE(FindDevice(devices, id), nullptr);
  }
  std::vector<PresentDevice> devices;
  ASSERT_TRUE(Platform::Default().ListPresentDevices(devices));
  EXPECT_EQ(FindDevice(devices, id), nullptr);
}

TEST(PresentDevices, DescriptionMustFitTheBufferWithItsTerminator) {
  // The property buffer holds 520 bytes: 259 units and the NUL. A longer text is refused by
  // SetupAPI, and the device stays listed without a description.
  ScopedUsbDevice fits(L"USB\\VID_1234&PID_0002\\DESC259", std::wstring(259, L'M'));
  ScopedUsbDevice too_long(L"USB\\VID_1234&PID_0002\\DESC260", std::wstring(260, L'M'));
  ASSERT_TRUE(fits.ok() && too_long.ok());
  std::vector<PresentDevice> devices;
  ASSERT_TRUE(Platform::Default().ListPresentDevices(devices));
  const PresentDevice* found = FindDevice(devices, u"USB\\VID_1234&PID_0002\\DESC259");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->description, std::u16string(259, u'M'));
  found = FindDevice(devices, u"USB\\VID_1234&PID_0002\\DESC260");
  ASSERT_NE(found, nullptr);
  EXPECT_FALSE(found->description.has_value());
}

// Wine forms the interface path from the instance id in lower case throughout (Windows keeps
// the serial's letter case); either way the core reads it as it comes.
TEST(AdbInterfaces, ListedWithLowerCasePathAndActiveFromLinked) {
  ScopedAdbInterface active(L"USB\\VID_18D1&PID_4EE3\\ABCDEF0123456789", true);
  ScopedAdbInterface registered(L"USB\\VID_18D1&PID_4EE2\\0123456789FEDCBA", false);
  ASSERT_TRUE(active.ok() && registered.ok());

  uint32_t error = 0;
  std::vector<InterfaceEntry> entries = ListInterfaces(kAdbClass, error);
  EXPECT_EQ(error, kErrorNoMoreItems);
  const InterfaceEntry* found = FindInterface(
      entries,
      u"\\\\?\\usb#vid_18d1&pid_4ee3#abcdef0123456789#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}");
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(found->active);
  EXPECT_EQ(found->path_error, 0u);
  // Registered but not linked: an unplugged device's interface, still listed.
  found = FindInterface(
      entries,
      u"\\\\?\\usb#vid_18d1&pid_4ee2#0123456789fedcba#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}");
  ASSERT_NE(found, nullptr);
  EXPECT_FALSE(found->active);
}

TEST(AdbInterfaces, UnlinkingTurnsAnInterfaceInactive) {
  ScopedAdbInterface phone(L"USB\\VID_18D1&PID_4EE7\\SERIAL77", true);
  ASSERT_TRUE(phone.ok());
  const std::u16string path =
      u"\\\\?\\usb#vid_18d1&pid_4ee7#serial77#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
  uint32_t error = 0;
  std::vector<InterfaceEntry> entries = ListInterfaces(kAdbClass, error);
  ASSERT_NE(FindInterface(entries, path), nullptr);
  EXPECT_TRUE(FindInterface(entries, path)->active);

  ASSERT_TRUE(testing::SetAdbInterfaceLinked(L"USB\\VID_18D1&PID_4EE7\\SERIAL77", false));
  entries = ListInterfaces(kAdbClass, error);
  ASSERT_NE(FindInterface(entries, path), nullptr);
  EXPECT_FALSE(FindInterface(entries, path)->active);
}

TEST(AdbInterfaces, ClassWithoutInterfacesEndsAtOnceWithNoMoreItems) {
  uint32_t error = 0;
  std::vector<InterfaceEntry> entries =
      ListInterfaces(u"{0badc0de-1111-2222-3333-444455556666}", error);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(error, kErrorNoMoreItems);
}

TEST(AdbInterfaces, ClassTextIsParsedInAnyLetterCaseWithOrWithoutBraces) {
  ScopedAdbInterface phone(L"USB\\VID_18D1&PID_4EE8\\CASETEST", false);
  ASSERT_TRUE(phone.ok());
  const std::u16string path =
      u"\\\\?\\usb#vid_18d1&pid_4ee8#casetest#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
  for (const std::u16string& text :
       {std::u16string(u"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}"),
        std::u16string(u"F72FE0D4-CBCB-407D-8814-9ED673D0DD6B")}) {
    uint32_t error = 0;
    EXPECT_NE(FindInterface(ListInterfaces(text, error), path), nullptr);
  }
}

TEST(AdbInterfaces, MalformedClassTextOpensNoList) {
  for (const char16_t* text :
       {u"", u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B", u"{F72FE0D4CBCB-407D-8814-9ED673D0DD6B0}",
        u"{G72FE0D4-CBCB-407D-8814-9ED673D0DD6B}", u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6}",
        u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}x"}) {
    EXPECT_EQ(Platform::Default().OpenInterfaceList(text), nullptr);
  }
}

TEST(AdbSerial, FailsWhenThePathCannotBeOpened) {
  std::array<uint8_t, 1024> reply;
  reply.fill(0xAA);
  // Wine has no driver behind the interfaces the tests register, so the open fails, as it does
  // on Windows for an unplugged phone.
  EXPECT_FALSE(Platform::Default().RequestAdbSerial(
      u"\\\\?\\usb#vid_18d1&pid_4ee3#abcdef0123456789#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}",
      reply, 1000));
  EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](uint8_t b) { return b == 0; }));
}

TEST(AdbSerial, FailsWhenTheDeviceRefusesTheRequest) {
  // An ordinary file opens but knows no get-serial request.
  wchar_t directory[MAX_PATH + 1] = {};
  ASSERT_NE(GetTempPathW(MAX_PATH, directory), 0u);
  std::wstring path = std::wstring(directory) + L"mobileinfo-ioctl-target.bin";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  std::array<uint8_t, 1024> reply;
  EXPECT_FALSE(Platform::Default().RequestAdbSerial(U16(path), reply, 1000));
  DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace mobileinfo
