// Reads one section of a getDriver reply file into a phone record.
#ifndef MOBILEINFO_IDENTIFY_DRIVER_INFO_READER_H
#define MOBILEINFO_IDENTIFY_DRIVER_INFO_READER_H

#include <string>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"

namespace mobileinfo {

class DriverInfoReader {
 public:
  // The reader keeps path as given; its owner keeps the text alive while the reader is used.
  DriverInfoReader(Platform& platform, const char16_t* path) : platform_(platform), path_(path) {}
  DriverInfoReader(const DriverInfoReader&) = delete;
  DriverInfoReader& operator=(const DriverInfoReader&) = delete;

  // Reads the section named section (a driver id) into record. False, with the record untouched,
  // when there is no record or path or the section has no non-empty "UID"; false, with only the
  // record's name emptied, when "Name" is missing or empty. On success every one of the eleven
  // driver information fields is written (an absent key leaves it empty), each cut to its width
  // less one unit.
  bool ReadSection(const std::u16string& section, PhoneRecord* record);

 private:
  Platform& platform_;
  const char16_t* path_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_IDENTIFY_DRIVER_INFO_READER_H
