// How the library's files are written: whole, or not at all. The two data files (a 4-byte
// little-endian record size followed by raw records, rewritten in full at every save) and the
// refresh's reply file all go through it.
#ifndef MOBILEINFO_PLATFORM_RECORD_FILE_H
#define MOBILEINFO_PLATFORM_RECORD_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mobileinfo {

// Writes a file through a temporary file beside it ("<path>.tmp"): the bytes go there, the
// file is flushed to the disk and then takes the target's place in one step. A crash, a kill or
// a full disk at any moment leaves the target with its old content or its new one, never missing
// or cut short. On any failure the target stays as it was and the temporary file is removed, as
// it is when the writer is destroyed without a successful Commit.
class RecordFileWriter {
 public:
  RecordFileWriter(Platform& platform, std::u16string path);
  ~RecordFileWriter();
  RecordFileWriter(const RecordFileWriter&) = delete;
  RecordFileWriter& operator=(const RecordFileWriter&) = delete;

  // The record size as the file's 4-byte header.
  bool WriteHeader(uint32_t record_size);
  // False once a write failed; the writes after it are skipped. The bytes are gathered and go to
  // the file in large pieces, so a write that does not fit is only known to have failed when
  // that piece is written, at the latest in Commit.
  bool Write(const void* data, uint32_t size);
  // Flushes the temporary file and puts it in the target's place. True when the target now holds
  // everything written.
  bool Commit();
  // The step that failed, for the diagnostics: "create", "write", "flush" or "replace"; empty
  // while none has.
  const char16_t* failed_step() const { return failed_step_; }

 private:
  // Hands the gathered bytes to the file.
  bool WritePending();

  Platform& platform_;
  const std::u16string path_;
  const std::u16string temporary_;
  std::unique_ptr<File> file_;
  std::vector<uint8_t> pending_;  // written, not yet handed to the file
  const char16_t* failed_step_ = u"";
  bool committed_ = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_RECORD_FILE_H
