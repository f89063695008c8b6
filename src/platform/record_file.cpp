#include "platform/record_file.h"

#include <utility>

namespace mobileinfo {

namespace {

// Records are small and a file holds thousands of them: one system write per record would cost
// more than all the rest of a save.
constexpr size_t kWritePieceBytes = 64 * 1024;

}  // namespace

RecordFileWriter::RecordFileWriter(Platform& platform, std::u16string path)
    : platform_(platform), path_(std::move(path)), temporary_(path_ + u".tmp") {
  // A temporary file left by a process killed while it saved is simply overwritten.
  file_ = platform_.OpenFile(temporary_, FileMode::kCreateAlways);
  if (!file_) failed_step_ = u"create";
}

RecordFileWriter::~RecordFileWriter() {
  file_.reset();
  if (!committed_) platform_.DeleteFile(temporary_);
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
  if (!platform_.ReplaceFile(temporary_, path_)) {
    failed_step_ = u"replace";
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace mobileinfo
