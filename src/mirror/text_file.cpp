#include "mirror/text_file.h"

#include <algorithm>
#include <cstring>

#include "run/run_errors.h"

namespace fts {
namespace {

constexpr std::size_t kProbeLoad = 512;  // after a jump: about one record
constexpr std::size_t kSequentialLoad = 256 << 10;

}  // namespace

std::unique_ptr<File> OpenInventory(Platform& platform, const std::string& fileName) {
  std::string error;
  auto file = platform.OpenFile(fileName, OpenMode::kRead, error);
  if (!file) throw InventoryIoError("cannot open " + fileName + ": " + error);
  return file;
}

void CloseInventory(std::unique_ptr<File>& file, const std::string& fileName) {
  if (!file) return;
  Status status = file->Close();
  file.reset();
  if (!status) throw InventoryIoError("cannot close " + fileName + ": " + status.message);
}

InventoryTextFile::InventoryTextFile(Platform& platform, std::string fileName)
    : platform_(platform), fileName_(std::move(fileName)) {}

void InventoryTextFile::Open() {
  file_ = OpenInventory(platform_, fileName_);
  bufferStart_ = 0;
  fill_ = index_ = 0;
  nextLoad_ = kSequentialLoad;
}

void InventoryTextFile::Close() {
  CloseInventory(file_, fileName_);
}

void InventoryTextFile::Seek(std::int64_t offset) {
  bufferStart_ = offset;
  fill_ = index_ = 0;
  nextLoad_ = kProbeLoad;
}

bool InventoryTextFile::Load() {
  bufferStart_ += static_cast<std::int64_t>(fill_);
  fill_ = index_ = 0;
  if (buffer_.size() < nextLoad_) buffer_.resize(nextLoad_);
  std::size_t got = 0;
  Status status = file_->ReadAt(bufferStart_, buffer_.data(), nextLoad_, got);
  if (!status) throw InventoryIoError("cannot read " + fileName_ + ": " + status.message);
  fill_ = got;
  nextLoad_ = std::min(nextLoad_ * 4, kSequentialLoad);
  return fill_ > 0;
}

bool InventoryTextFile::Eof() {
  if (!file_) throw InventoryIoError("read from " + fileName_ + " while it is closed");
  return index_ >= fill_ && !Load();
}

void InventoryTextFile::ReadLine(std::string& line) {
  line.clear();
  for (;;) {
    if (index_ >= fill_ && !Load()) return;  // the last line ends at the end of the file
    const char* start = buffer_.data() + index_;
    const std::size_t available = fill_ - index_;
    const void* newline = std::memchr(start, '\n', available);
    if (newline == nullptr) {
      line.append(start, available);
      index_ = fill_;
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
    line.append(start, length);
    index_ += length + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return;
  }
}

}  // namespace fts
