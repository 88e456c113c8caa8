#include "inventory/inventory_reader.h"

#include <cstring>

#include "platform/status.h"

namespace fts {
namespace {

struct CacheShape {
  std::size_t blockSize;
  std::size_t blockCount;
};

CacheShape ShapeFor(InventoryReader::Access access) {
  // Reading on: large reads. Probing: small blocks, many of them, so that
  // the neighbourhood of recent probes stays at hand.
  return access == InventoryReader::Access::kSequential ? CacheShape{256 << 10, 1}
                                                        : CacheShape{16 << 10, 32};
}

}  // namespace

InventoryReader::InventoryReader(Platform& platform, std::string fileName, Access access)
    : fileName_(std::move(fileName)),
      blockSize_(ShapeFor(access).blockSize),
      blockCount_(ShapeFor(access).blockCount) {
  auto opened = platform.OpenFile(fileName_, OpenMode::kRead);
  if (!opened) ThrowRunError(opened.status());
  file_ = std::move(*opened);
}

InventoryReader::~InventoryReader() {
  // Only on the way out of a failed run: that failure is the one reported.
  if (file_) (void)file_->Close();
}

void InventoryReader::Close() {
  blocks_.clear();
  byNumber_.clear();
  if (!file_) return;
  const Status status = file_->Close();
  file_.reset();
  if (!status) ThrowRunError(status);
}

const InventoryReader::Block& InventoryReader::Fetch(std::int64_t number) {
  if (!blocks_.empty() && blocks_.front().number == number) return blocks_.front();
  if (auto found = byNumber_.find(number); found != byNumber_.end()) {
    blocks_.splice(blocks_.begin(), blocks_, found->second);
    return blocks_.front();
  }
  if (blocks_.size() < blockCount_) {
    blocks_.emplace_front();
    blocks_.front().bytes.resize(blockSize_);
  } else {
    blocks_.splice(blocks_.begin(), blocks_, std::prev(blocks_.end()));
    byNumber_.erase(blocks_.front().number);
  }
  Block& block = blocks_.front();
  block.number = -1;
  auto read =
      file_->ReadAt(number * static_cast<std::int64_t>(blockSize_), block.bytes.data(), blockSize_);
  if (!read) ThrowRunError(read.status());
  block.size = *read;
  block.number = number;
  byNumber_[number] = blocks_.begin();
  return block;
}

bool InventoryReader::ReadLine(std::string_view& line) {
  const auto blockSize = static_cast<std::int64_t>(blockSize_);
  spanning_.clear();
  bool begun = false;
  for (;;) {
    const Block& block = Fetch(position_ / blockSize);
    const auto start = static_cast<std::size_t>(position_ % blockSize);
    if (start >= block.size) break;  // the last line ends at the end of the file
    begun = true;
    const char* begin = block.bytes.data() + start;
    const std::size_t available = block.size - start;
    const void* newline = std::memchr(begin, '\n', available);
    if (newline == nullptr) {
      spanning_.append(begin, available);
      position_ += static_cast<std::int64_t>(available);
      continue;
    }
    const auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - begin);
    position_ += static_cast<std::int64_t>(length) + 1;
    if (spanning_.empty()) {
      line = std::string_view(begin, length);
    } else {
      spanning_.append(begin, length);
      line = spanning_;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    return true;
  }
  line = spanning_;
  if (line.ends_with('\r')) line.remove_suffix(1);
  return begun;
}

std::string_view InventoryReader::LineAt(std::int64_t offset, std::int64_t& nextLine) {
  Seek(offset);
  std::string_view line;
  ReadLine(line);
  nextLine = position_;
  return line;
}

}  // namespace fts
