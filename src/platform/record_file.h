// How the library's files are read and written. The two data files are a 4-byte little-endian
// record size followed by raw records, rewritten in full when they change; they are read record
// by record. Every file is written whole or not at all: the data files and the refresh's reply
// file all go through the writer.
#ifndef MOBILEINFO_PLATFORM_RECORD_FILE_H
#define MOBILEINFO_PLATFORM_RECORD_FILE_H

#include <cstdint>
#include <memory>
#include <optional>
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
  // What failed, for the diagnostics: the step ("create", "write", "flush" or "replace") and,
  // where the system said, why ("the replace step failed: held by another program").
  std::u16string failure() const;

 private:
  // Hands the gathered bytes to the file.
  bool WritePending();

  Platform& platform_;
  const std::u16string path_;
  const std::u16string temporary_;
  std::unique_ptr<File> file_;
  std::vector<uint8_t> pending_;  // written, not yet handed to the file
  const char16_t* failed_step_ = u"";
  FileError failed_error_ = FileError::kNone;
  bool committed_ = false;
};

// How a read of a record file ended.
enum class RecordFileRead {
  kWhole,     // read to its end (trailing bytes short of a record are ignored)
  kMissing,   // there is no file
  kRefused,   // no header, or another record size: the file is not of this kind
  kCutShort,  // it could not be opened, or a read or seek failed part-way
};

// Reads a record file: the header first (Open), then one whole record after another.
class RecordFileReader {
 public:
  RecordFileReader(Platform& platform, std::u16string path, uint32_t record_size);
  RecordFileReader(const RecordFileReader&) = delete;
  RecordFileReader& operator=(const RecordFileReader&) = delete;

  // Opens the file and checks its header. False when there is nothing to read; result() says why.
  bool Open();
  // Reads the next record into buffer (record_size bytes). False at the end of the file or on a
  // failure; result() then tells which.
  bool Next(void* buffer);
  RecordFileRead result() const { return result_; }
  // Why the file could not be opened (kCutShort before any record), for the diagnostics.
  FileError open_error() const { return open_error_; }
  // The record size the header named (0 without a header).
  uint32_t header() const { return header_; }

 private:
  // Reads until size bytes arrived, the file ended or a read failed.
  std::optional<uint32_t> ReadFully(void* buffer, uint32_t size);

  Platform& platform_;
  const std::u16string path_;
  const uint32_t record_size_;
  std::unique_ptr<File> file_;
  uint32_t size_ = 0;
  uint32_t offset_ = 0;
  uint32_t header_ = 0;
  FileError open_error_ = FileError::kNone;
  RecordFileRead result_ = RecordFileRead::kCutShort;
};

// Tells the diagnostics why the file of kind `what` ("phone cache") at path was not read: missing,
// not of its kind, or why it could not be read.
void LogNotRead(Platform& platform, const RecordFileReader& reader, const char16_t* what,
                const std::u16string& path);

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_RECORD_FILE_H
