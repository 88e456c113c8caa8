// The folder each thread last acted in, kept open. A step's actions come
// folder by folder, and opening the folder again for each of them walks its
// path each time. A folder removed through the tree makes every kept one be
// opened afresh, so that no action lands in a folder that has gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "platform/posix_fd.h"

namespace fts {

class PosixKeptFolders {
 public:
  // The handle this thread keeps for `relFolder`, or -1. It stays open
  // until this thread keeps another folder.
  int Find(std::string_view relFolder) {
    Kept& kept = Mine();
    if (!kept.fd.Valid() || kept.generation != generation_.load() || kept.relFolder != relFolder) {
      return -1;
    }
    return kept.fd.Get();
  }

  // Keeps `fd`, the handle of `relFolder`, for this thread and returns it.
  int Keep(std::string_view relFolder, Fd fd) {
    Kept& kept = Mine();
    kept.generation = generation_.load();
    kept.relFolder = relFolder;
    kept.fd = std::move(fd);
    return kept.fd.Get();
  }

  // A folder went: no kept handle is used again.
  void Forget() { ++generation_; }

 private:
  struct Kept {
    std::uint64_t generation = 0;
    std::string relFolder;
    Fd fd;
  };

  Kept& Mine() {
    // The thread's own entry, found without the lock once it has one; an id
    // of each set, never reused, tells whose the remembered entry is.
    thread_local std::uint64_t lastSet = 0;
    thread_local Kept* last = nullptr;
    if (lastSet == id_) return *last;
    std::lock_guard<std::mutex> lock(mutex_);
    // Elements stay where they are as others are added.
    last = &kept_[std::this_thread::get_id()];
    lastSet = id_;
    return *last;
  }

  static std::uint64_t NextId() {
    static std::atomic<std::uint64_t> next{1};
    return next++;
  }

  const std::uint64_t id_ = NextId();
  std::mutex mutex_;
  std::unordered_map<std::thread::id, Kept> kept_;
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace fts
