#include "inventory/flag_patcher.h"

#include "platform/status.h"

namespace fts {

FlagPatcher::FlagPatcher(Platform& platform, std::string fileName, std::size_t chunkSize)
    : fileName_(std::move(fileName)),
      reader_(Open(platform, OpenMode::kRead)),
      writer_(Open(platform, OpenMode::kWriteExisting)) {
  chunk_.resize(chunkSize);
}

std::unique_ptr<File> FlagPatcher::Open(Platform& platform, OpenMode mode) {
  auto opened = platform.OpenFile(fileName_, mode);
  Check(opened.status());
  return std::move(*opened);
}

void FlagPatcher::Mark(std::int64_t flag, char value) {
  if (flag < chunkStart_ || flag >= chunkStart_ + static_cast<std::int64_t>(chunkSize_)) {
    Flush();
    chunkStart_ = flag;
    auto read = reader_->ReadAt(chunkStart_, chunk_.data(), chunk_.size());
    Check(read.status());
    chunkSize_ = *read;
    if (chunkSize_ == 0) Check(Status::Error("mark", fileName_, "past its end"));
  }
  char& byte = chunk_[static_cast<std::size_t>(flag - chunkStart_)];
  if (byte == '1') ++marked_;
  byte = value;
  dirty_ = true;
}

void FlagPatcher::Flush() {
  if (dirty_) Check(writer_->WriteAt(chunkStart_, chunk_.data(), chunkSize_));
  dirty_ = false;
}

void FlagPatcher::Close() {
  Flush();
  Check(reader_->Close());
  Check(writer_->Close());
}

void FlagPatcher::Check(const Status& status) const {
  if (!status) ThrowRunError(status);
}

}  // namespace fts
