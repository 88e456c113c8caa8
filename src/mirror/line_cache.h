// Reads single lines of an inventory at known offsets through a small cache
// of file blocks. Searches probe lines close to each other again and again,
// so most probes cost no system call while memory stays bounded.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace fts {

class InventoryLineCache {
 public:
  static constexpr std::size_t kBlockSize = 16 << 10;
  static constexpr std::size_t kBlockCount = 96;

  InventoryLineCache(Platform& platform, std::string fileName);

  void Open();
  void Close();

  // The line starting at `offset`, without its CR LF, and the offset of
  // the next line. The view stays valid until the next call.
  std::string_view LineAt(std::int64_t offset, std::int64_t& nextLine);

 private:
  struct Block {
    std::int64_t number = -1;
    std::size_t size = 0;
    std::vector<char> bytes;
  };
  const Block& Fetch(std::int64_t number);

  Platform& platform_;
  std::string fileName_;
  std::unique_ptr<File> file_;
  std::list<Block> blocks_;  // most recently used first
  std::unordered_map<std::int64_t, std::list<Block>::iterator> byNumber_;
  std::string spanning_;  // a line that crosses a block border
};

}  // namespace fts
