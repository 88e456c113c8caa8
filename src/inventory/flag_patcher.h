// Writes "0" (or "2") over the ActionFlag of chosen records of an inventory, in place:
// a chunk of the file at a time is read, changed and written back, so marks
// given in file order cost one read and one write per chunk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

class FlagPatcher {
 public:
  // Opens the inventory for the marks; a failure ends the run.
  FlagPatcher(Platform& platform, std::string fileName, std::size_t chunkSize = 64 << 10);

  // Marks the ActionFlag byte at `flagOffset` (see ActionFlagOffset) with
  // "0", or with `flag`.
  void Mark(std::int64_t flagOffset, char flag = '0');
  // The flags turned from "1" to another value so far.
  std::int64_t Marked() const { return marked_; }
  // Writes what is left and closes; a failure ends the run.
  void Close();

 private:
  std::unique_ptr<File> Open(Platform& platform, OpenMode mode);
  void Flush();
  void Check(const Status& status) const;

  std::string fileName_;
  std::unique_ptr<File> reader_;
  std::unique_ptr<File> writer_;
  std::vector<char> chunk_;
  std::int64_t chunkStart_ = 0;
  std::size_t chunkSize_ = 0;
  bool dirty_ = false;
  std::int64_t marked_ = 0;
};

}  // namespace fts
