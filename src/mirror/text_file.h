// Reads an inventory as lines, from its start or from any byte offset taken
// earlier, with a buffer that grows while reading runs on and shrinks again
// after every jump, so that probes at scattered lines stay cheap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

// Opens an inventory for reading; raises InventoryIoError when it cannot.
std::unique_ptr<File> OpenInventory(Platform& platform, const std::string& fileName);
// Closes an open inventory (nothing when it is not open); raises
// InventoryIoError when the close fails.
void CloseInventory(std::unique_ptr<File>& file, const std::string& fileName);

class InventoryTextFile {
 public:
  InventoryTextFile(Platform& platform, std::string fileName);

  // Opens for reading at the first byte. Failures raise InventoryIoError.
  void Open();
  void Close();

  // True when no byte is left to read; leaves the position where it is.
  bool Eof();
  // Reads the line at the position, without its CR LF, and moves past it.
  void ReadLine(std::string& line);

  // TextFilePos: the offset of the next byte a read returns.
  std::int64_t Pos() const { return bufferStart_ + static_cast<std::int64_t>(index_); }
  // TextFileSeek: discards the buffer and moves to `offset`.
  void Seek(std::int64_t offset);

  const std::string& FileName() const { return fileName_; }

 private:
  bool Load();  // false at the end of the file

  Platform& platform_;
  std::string fileName_;
  std::unique_ptr<File> file_;
  std::vector<char> buffer_;
  std::int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  std::size_t fill_ = 0;
  std::size_t index_ = 0;
  std::size_t nextLoad_ = 0;
};

}  // namespace fts
