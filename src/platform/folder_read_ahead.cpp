#include "platform/folder_read_ahead.h"

#include <algorithm>

#include "platform/interrupt_cleanup.h"

namespace fts {
namespace {

// Folders waiting to be read at most: the walk goes on where they run out.
constexpr std::size_t kMostWaiting = 1 << 16;

}  // namespace

FolderReadAhead::FolderReadAhead(Platform& platform, const std::string& root, LinkPolicy links,
                                 int threads)
    : platform_(platform), links_(links) {
  folders_.push_back(root);
  for (int i = 0; i < threads; ++i)
    workers_.emplace_back([this] { Work(); });
}

FolderReadAhead::~FolderReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_)
    worker.join();
}

void FolderReadAhead::Work() {
  KeepInterruptsAway();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !folders_.empty() || busy_ == 0; });
    if (stopping_ || folders_.empty()) return;  // stopped, or the whole tree is read
    const std::string folder = std::move(folders_.back());
    folders_.pop_back();
    ++busy_;
    lock.unlock();

    // Listing a folder reads what the walk will ask of each entry.
    std::vector<std::string> found;
    if (auto listing = platform_.OpenDirectory(folder, nullptr, {}, links_)) {
      const FileIdentity identity = (*listing)->Identity();
      bool seen = false;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        seen = !seen_.insert(identity).second;
      }
      std::string name;
      DirEntryInfo info;
      while (!seen && (*listing)->Next(name, info)) {
        if (info.isDirectory && name != "." && name != "..") {
          found.push_back(folder + name + kPathSeparator);
        }
      }
    }

    lock.lock();
    --busy_;
    // Deepest first, in the order the walk meets them.
    for (auto it = found.rbegin(); it != found.rend() && folders_.size() < kMostWaiting; ++it)
      folders_.push_back(std::move(*it));
    changed_.notify_all();
  }
}

}  // namespace fts
