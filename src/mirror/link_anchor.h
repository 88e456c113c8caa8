// Where the new names of a hard-link group are linked to: the first name
// that the run copies, or a name of the group that stands in the destination
// already. The other names' actions wait for the copy; it was given first,
// so it is under way or done when they start.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace fts {

class LinkAnchor {
 public:
  // An anchor that stands in the destination already.
  static std::shared_ptr<LinkAnchor> Standing(std::string relPath) {
    auto anchor = std::make_shared<LinkAnchor>(std::move(relPath));
    anchor->Settle(true);
    return anchor;
  }
  explicit LinkAnchor(std::string relPath) : relPath_(std::move(relPath)) {}

  void Settle(bool made) {
    std::lock_guard lock(mutex_);
    settled_ = true;
    made_ = made;
    settledChanged_.notify_all();
  }
  // Waits until the copy is done: true when it made the file. The copy's
  // action was given first, so it is under way or done.
  bool WaitMade() {
    std::unique_lock lock(mutex_);
    settledChanged_.wait(lock, [this] { return settled_; });
    return made_;
  }
  const std::string& RelPath() const { return relPath_; }

 private:
  std::string relPath_;
  std::mutex mutex_;
  std::condition_variable settledChanged_;
  bool settled_ = false;
  bool made_ = false;
};

}  // namespace fts
