// Reads an inventory as lines, from its first line or from any byte offset
// taken earlier, through a small cache of file blocks: a pass that reads on
// costs one system call per large block, and searches that probe lines close
// to each other again and again mostly cost none.
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

class InventoryReader {
 public:
  enum class Access {
    kSequential,  // one pass after another from the first line
    kScattered,   // single lines at offsets all over the file
  };

  // Opens the inventory; a failure ends the run.
  InventoryReader(Platform& platform, std::string fileName, Access access = Access::kSequential);
  ~InventoryReader();
  InventoryReader(const InventoryReader&) = delete;
  InventoryReader& operator=(const InventoryReader&) = delete;

  // The line at the position, without its CR LF, and moves past it; false
  // at the end of the file. The view stays valid until the next call.
  bool ReadLine(std::string_view& line);

  // TextFilePos: the offset of the next line.
  std::int64_t Pos() const { return position_; }
  // TextFileSeek: moves to `offset`, which must be where a line begins.
  void Seek(std::int64_t offset) { position_ = offset; }

  // The line that begins at `offset`, and the offset of the line after it.
  std::string_view LineAt(std::int64_t offset, std::int64_t& nextLine);

  // Closes the file; a failure ends the run.
  void Close();

  const std::string& FileName() const { return fileName_; }

 private:
  struct Block {
    std::int64_t number = -1;
    std::size_t size = 0;
    std::vector<char> bytes;
  };
  const Block& Fetch(std::int64_t number);

  std::string fileName_;
  std::unique_ptr<File> file_;
  std::size_t blockSize_;
  std::size_t blockCount_;
  std::list<Block> blocks_;  // most recently used first
  std::unordered_map<std::int64_t, std::list<Block>::iterator> byNumber_;
  std::int64_t position_ = 0;
  std::string spanning_;  // a line that crosses a block border
};

}  // namespace fts
