// Reads the folders of a tree ahead of its walk, on several threads. A walk
// is one folder at a time; where the folders are not in the system's cache
// yet, each read waits for the disk. Reading many folders at once keeps the
// disk busy, and the walk then finds them in the cache.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace fts {

// Enough reads at once to keep a disk's queue full, few enough to stay light.
constexpr int kReadAheadThreads = 8;

class FolderReadAhead : public BackgroundWork {
 public:
  // Starts reading from `root` (ending in the separator), deepest first,
  // as the walk goes.
  FolderReadAhead(Platform& platform, const std::string& root, LinkPolicy links, int threads);
  // Stops: folders not read yet are left alone.
  ~FolderReadAhead() override;
  FolderReadAhead(const FolderReadAhead&) = delete;
  FolderReadAhead& operator=(const FolderReadAhead&) = delete;

 private:
  void Work();

  Platform& platform_;
  const LinkPolicy links_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> folders_;  // to read, the next one last
  struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const {
      return std::hash<std::uint64_t>()(id.inode * 31 + id.device);
    }
  };
  std::unordered_set<FileIdentity, IdentityHash> seen_;  // read, so that links never loop
  int busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace fts
