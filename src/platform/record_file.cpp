#include "platform/record_file.h"

#include <chrono>
#include <thread>
#include <utility>

#include "support/debug_log.h"

namespace mobileinfo {

namespace {

// Records are small and a file holds thousands of them: one system write per record would cost
// more than all the rest of a save.
constexpr size_t kWritePieceBytes = 64 * 1024;

constexpr int kReplaceAttempts = 5;
constexpr std::chrono::milliseconds kReplacePause{20};

}  // namespace

RecordFileWriter::RecordFileWriter(Platform& platform, std::u16string path)
    : platform_(platform), path_(std::move(path)), temporary_(path_ + u".tmp") {
  // A temporary file left by a process killed while it saved is simply overwritten.
  file_ = platform_.OpenFile(temporary_, FileMode::kCreateAlways, &failed_error_);
  if (!file_) failed_step_ = u"create";
}

RecordFileWriter::~RecordFileWriter() {
  file_.reset();
  if (!committed_) platform_.DeleteFile(temporary_);
}

std::u16string RecordFileWriter::failure() const {
  std::u16string text = u"the ";
  text += *failed_step_ ? failed_step_ : u"write";
  text += u" step failed";
  if (failed_error_ != FileError::kNone) text += std::u16string(u": ") + FileErrorText(failed_error_);
  return text;
}

bool RecordFileWriter::WriteHeader(uint32_t record_size) {
  const uint8_t header[4] = {static_cast<uint8_t>(record_size), static_cast<uint8_t>(record_size >> 8),
                             static_cast<uint8_t>(record_size >> 16),
                             static_cast<uint8_t>(record_size >> 24)};
  return Write(header, sizeof(header));
}

bool RecordFileWriter::Write(const void* data, uint32_t size) {
  if (!file_ || *failed_step_) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  pending_.insert(pending_.end(), bytes, bytes + size);
  return pending_.size() < kWritePieceBytes || WritePending();
}

bool RecordFileWriter::WritePending() {
  const bool written =
      pending_.empty() || file_->Write(pending_.data(), static_cast<uint32_t>(pending_.size()));
  pending_.clear();
  if (!written) failed_step_ = u"write";
  return written;
}

bool RecordFileWriter::Commit() {
  if (!file_ || *failed_step_ || !WritePending()) return false;
  if (!file_->Flush()) {
    failed_step_ = u"flush";
    return false;
  }
  file_.reset();  // closed: the system replaces no file that is open
  // A virus scanner, a backup tool or any reader of the target holds it for a moment now and
  // then, and the system refuses the replace meanwhile: it is tried a few times before the save
  // counts as failed.
  for (int attempt = 1; !platform_.ReplaceFile(temporary_, path_, &failed_error_); ++attempt) {
    if (attempt == kReplaceAttempts) {
      failed_step_ = u"replace";
      return false;
    }
    std::this_thread::sleep_for(kReplacePause);
  }
  committed_ = true;
  return true;
}

RecordFileReader::RecordFileReader(Platform& platform, std::u16string path, uint32_t record_size)
    : platform_(platform), path_(std::move(path)), record_size_(record_size) {}

bool RecordFileReader::Open() {
  if (!platform_.FileExists(path_)) {
    result_ = RecordFileRead::kMissing;
    return false;
  }
  open_error_ = FileError::kOther;
  file_ = platform_.OpenFile(path_, FileMode::kReadExisting, &open_error_);
  if (!file_) return false;  // cut short before the first byte: held, refused by the system
  open_error_ = FileError::kNone;
  size_ = file_->Size();
  uint8_t bytes[4];
  const std::optional<uint32_t> got = ReadFully(bytes, sizeof(bytes));
  if (!got) return false;
  header_ = *got < sizeof(bytes) ? 0
                                 : uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                       uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
  if (header_ != record_size_) {
    result_ = RecordFileRead::kRefused;
    return false;
  }
  offset_ = sizeof(bytes);
  return true;
}

bool RecordFileReader::Next(void* buffer) {
  if (!file_ || header_ != record_size_) return false;
  // The size taken at the open decides where the records end, as it did when the file was made:
  // a file that grows meanwhile is read as far as it was.
  if (size_ < offset_ || size_ - offset_ < record_size_) {
    result_ = RecordFileRead::kWhole;
    return false;
  }
  std::optional<uint32_t> got;
  if (file_->Seek(offset_) == static_cast<int64_t>(offset_)) got = ReadFully(buffer, record_size_);
  if (!got || *got < record_size_) {
    result_ = RecordFileRead::kCutShort;
    return false;
  }
  offset_ += record_size_;
  return true;
}

std::optional<uint32_t> RecordFileReader::ReadFully(void* buffer, uint32_t size) {
  uint32_t total = 0;
  while (total < size) {
    const std::optional<uint32_t> n = file_->Read(static_cast<uint8_t*>(buffer) + total, size - total);
    if (!n) return std::nullopt;
    if (*n == 0) break;
    total += *n;
  }
  return total;
}

void LogNotRead(Platform& platform, const RecordFileReader& reader, const char16_t* what,
                const std::u16string& path) {
  switch (reader.result()) {
    case RecordFileRead::kWhole:
      return;
    case RecordFileRead::kMissing:
      MOBILEINFO_LOG(platform, u"%s not loaded: %s is missing", what, path.c_str());
      return;
    case RecordFileRead::kRefused:
      // A header of 1092 in the phone cache's place: a device snapshot, and the other way round.
      MOBILEINFO_LOG(platform,
                     reader.header() ? u"%s refused: record size %u" : u"%s refused: no header",
                     what, reader.header());
      return;
    case RecordFileRead::kCutShort:
      MOBILEINFO_LOG(platform, u"%s not read whole: %s (%s)", what, path.c_str(),
                     reader.open_error() != FileError::kNone ? FileErrorText(reader.open_error())
                                                             : u"a read failed part-way");
      return;
  }
}

}  // namespace mobileinfo
