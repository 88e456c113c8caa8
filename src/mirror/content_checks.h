// Compares the contents of file pairs on several threads, a batch at a time:
// reading is most of a comparison by contents, and one pair after another
// leaves all but one core, and the disk's queue, idle.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fts {

class ContentChecks {
 public:
  // `readers` threads at most read at a time.
  ContentChecks(Platform& platform, int readers) : platform_(platform), readers_(readers) {}

  void Add(std::string from, std::string to) {
    pairs_.emplace_back(std::move(from), std::move(to));
  }
  std::size_t Size() const { return pairs_.size(); }

  // Compares every pair given since the last call, in any order, and
  // forgets them: for each pair in the order given, true when both files
  // could be read and hold the same bytes.
  std::vector<bool> CompareAll();

 private:
  Platform& platform_;
  const int readers_;
  std::vector<std::pair<std::string, std::string>> pairs_;
};

}  // namespace fts
