// The phone models of the test service's bundled catalogue (tools/driver-service/catalogue.ini),
// as the library must store them in phone records, and a builder for the record image it must
// produce. Header-only: the whole-road tests link the built library and nothing of its insides.
#ifndef MOBILEINFO_TESTS_E2E_CATALOGUE_MODELS_H
#define MOBILEINFO_TESTS_E2E_CATALOGUE_MODELS_H

#include <cstring>
#include <string>

#include "mobileinfo/mobileinfo.h"

namespace mobileinfo::e2e {

struct CatalogueModel {
  const char16_t* device_key;  // as the USB scan forms it: hex digits in lower case
  const char* driver_id;
  const char16_t* name;
  const char16_t* description;
  const char16_t* image_url;
  const char16_t* vendor_image_url;
  const char16_t* guid;
  const char16_t* package_download;
  const char16_t* install_path;
  const char16_t* file_ext;
  const char16_t* parameters;
  const char16_t* md5;
  const char16_t* pack;
};

inline const CatalogueModel kNimbus5 = {
    u"VID_18d1&PID_4f3a", "18d1_4f3a", u"Nimbus 5", u"Android phone, 6.1 inch",
    u"http://images.example.com/phones/nimbus-5.png", u"http://images.example.com/vendors/nimbus.png",
    u"{5F6C3A2E-1B7D-4C8E-9A0F-2D3E4B5C6D7A}",
    u"http://drivers.example.com/nimbus/nimbus-usb-2.1.exe", u"%ProgramFiles%\\Nimbus\\UsbDriver",
    u"exe", u"/S", u"3b5d7f9a1c2e4f6a8b0c1d2e3f4a5b6c", u"nimbus-usb-2.1"};

inline const CatalogueModel kOrcaX2 = {
    u"VID_04e8&PID_6a21", "04e8_6a21", u"Orca X2", u"Android phone, 6.4 inch",
    u"http://images.example.com/phones/orca-x2.png", u"http://images.example.com/vendors/orca.png",
    u"{8E2B1C4D-6F3A-4B5E-8D7C-0A1B2C3D4E5F}", u"http://drivers.example.com/orca/orca-adb-1.4.zip",
    u"%ProgramFiles%\\Orca\\AdbDriver", u"zip", u"", u"9f8e7d6c5b4a39281706f5e4d3c2b1a0",
    u"orca-adb-1.4"};

// Its description is the catalogue's one text outside ASCII.
inline const CatalogueModel kKestrelNote3 = {
    u"VID_2717&PID_ff6e", "2717_ff6e", u"Kestrel Note 3", u"T\u00e9l\u00e9phone Android, 6,7 pouces",
    u"http://images.example.com/phones/kestrel-note-3.png",
    u"http://images.example.com/vendors/kestrel.png", u"{1A2B3C4D-5E6F-4A7B-8C9D-0E1F2A3B4C5D}",
    u"http://drivers.example.com/kestrel/kestrel-usb-3.0.exe",
    u"%ProgramFiles%\\Kestrel\\UsbDriver", u"exe", u"/quiet /norestart",
    u"0123456789abcdef0123456789abcdef", u"kestrel-usb-3.0"};

inline const CatalogueModel kLumoFlip = {
    u"VID_22b8&PID_2e7c", "22b8_2e7c", u"Lumo Flip", u"Feature phone, modem and storage",
    u"http://images.example.com/phones/lumo-flip.png", u"http://images.example.com/vendors/lumo.png",
    u"{4D36E96D-0000-4C2A-9E3B-5F6A7B8C9D0E}", u"http://drivers.example.com/lumo/lumo-modem-1.0.zip",
    u"%ProgramFiles%\\Lumo\\Modem", u"zip", u"", u"fedcba9876543210fedcba9876543210",
    u"lumo-modem-1.0"};

inline const CatalogueModel kTernMini = {
    u"VID_2a70&PID_9e11", "2a70_9e11", u"Tern Mini", u"Android phone, 5.4 inch",
    u"http://images.example.com/phones/tern-mini.png", u"http://images.example.com/vendors/tern.png",
    u"{7C6B5A49-3827-4615-9F0E-1D2C3B4A5968}", u"http://drivers.example.com/tern/tern-usb-1.2.exe",
    u"%ProgramFiles%\\Tern\\UsbDriver", u"exe", u"/S", u"a1b2c3d4e5f60718293a4b5c6d7e8f90",
    u"tern-usb-1.2"};

// Copies text into a fixed field the way records are filled: cut to the field, zero-padded.
template <size_t N>
void PutField(char16_t (&field)[N], const std::u16string& text) {
  std::memset(field, 0, sizeof field);
  for (size_t i = 0; i < text.size() && i + 1 < N; ++i) field[i] = text[i];
}

template <size_t N>
std::u16string GetField(const char16_t (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != 0) ++n;
  return std::u16string(field, n);
}

// The record an identification stores for a phone of model with the given serial: key, serial,
// the eleven driver information fields, the time stamp; every other byte zero.
inline PhoneRecord ExpectedRecord(const CatalogueModel& model, const std::u16string& serial,
                                  int32_t time_stamp) {
  PhoneRecord record;
  std::memset(&record, 0, sizeof record);
  PutField(record.device_key, model.device_key);
  PutField(record.serial, serial);
  PutField(record.name, model.name);
  PutField(record.description, model.description);
  PutField(record.image_url, model.image_url);
  PutField(record.vendor_image_url, model.vendor_image_url);
  PutField(record.driver_guid, model.guid);
  PutField(record.package_download, model.package_download);
  PutField(record.install_path, model.install_path);
  PutField(record.file_ext, model.file_ext);
  PutField(record.parameters, model.parameters);
  PutField(record.md5, model.md5);
  PutField(record.pack, model.pack);
  record.time_stamp = time_stamp;
  return record;
}

}  // namespace mobileinfo::e2e

#endif  // MOBILEINFO_TESTS_E2E_CATALOGUE_MODELS_H
