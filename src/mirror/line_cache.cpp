#include "mirror/line_cache.h"

#include <cstring>

#include "mirror/text_file.h"
#include "run/run_errors.h"

namespace fts {

InventoryLineCache::InventoryLineCache(Platform& platform, std::string fileName)
    : platform_(platform), fileName_(std::move(fileName)) {}

void InventoryLineCache::Open() {
  file_ = OpenInventory(platform_, fileName_);
}

void InventoryLineCache::Close() {
  blocks_.clear();
  byNumber_.clear();
  CloseInventory(file_, fileName_);
}

const InventoryLineCache::Block& InventoryLineCache::Fetch(std::int64_t number) {
  if (auto found = byNumber_.find(number); found != byNumber_.end()) {
    blocks_.splice(blocks_.begin(), blocks_, found->second);
    return blocks_.front();
  }
  if (blocks_.size() < kBlockCount) {
    blocks_.emplace_front();
    blocks_.front().bytes.resize(kBlockSize);
  } else {
    blocks_.splice(blocks_.begin(), blocks_, std::prev(blocks_.end()));
    byNumber_.erase(blocks_.front().number);
  }
  Block& block = blocks_.front();
  block.number = -1;
  Status status = file_->ReadAt(number * static_cast<std::int64_t>(kBlockSize), block.bytes.data(),
                                kBlockSize, block.size);
  if (!status) throw InventoryIoError("cannot read " + fileName_ + ": " + status.message);
  block.number = number;
  byNumber_[number] = blocks_.begin();
  return block;
}

std::string_view InventoryLineCache::LineAt(std::int64_t offset, std::int64_t& nextLine) {
  constexpr auto kSize = static_cast<std::int64_t>(kBlockSize);
  spanning_.clear();
  std::int64_t at = offset;
  for (;;) {
    const Block& block = Fetch(at / kSize);
    const auto start = static_cast<std::size_t>(at % kSize);
    if (start >= block.size) break;  // the end of the file
    const char* begin = block.bytes.data() + start;
    const std::size_t available = block.size - start;
    const void* newline = std::memchr(begin, '\n', available);
    if (newline == nullptr) {
      spanning_.append(begin, available);
      at += static_cast<std::int64_t>(available);
      continue;
    }
    const auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - begin);
    at += static_cast<std::int64_t>(length) + 1;
    nextLine = at;
    std::string_view line;
    if (spanning_.empty()) {
      line = std::string_view(begin, length);
    } else {
      spanning_.append(begin, length);
      line = spanning_;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }
  nextLine = at;
  return spanning_;
}

}  // namespace fts
