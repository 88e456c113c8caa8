#include "platform/posix_tree_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/posix_fd.h"
#include "platform/posix_system_error.h"

namespace fts {
namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                  IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::string Join(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + '/' + std::string(name);
}

class InotifyTreeWatch : public TreeWatch {
 public:
  InotifyTreeWatch(Fd fd, std::string root) : fd_(std::move(fd)), root_(std::move(root)) {}

  void WatchStart() { WatchFolders("", startLosses_); }
  bool WatchesWholeTree() const { return startLosses_.lost.empty(); }

  // Watches `relPath` and every folder below it; what cannot be watched is
  // told in `changes`.
  void WatchFolders(const std::string& relPath, TreeChanges& changes) {
    std::vector<std::string> pending{relPath};
    while (!pending.empty()) {
      const std::string folder = std::move(pending.back());
      pending.pop_back();
      const std::string path = root_ + folder;
      const int wd = inotify_add_watch(fd_.Get(), path.c_str(), kEvents);
      if (wd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) continue;  // gone meanwhile
        Lose(errno == ENOSPC ? "the limit of watches is reached (fs.inotify.max_user_watches)"
                             : "cannot watch " + path + ": " + ErrorText(errno),
             changes);
        continue;
      }
      // A folder watched before (moved within the tree) keeps its watch
      // under its new name.
      if (auto known = folders_.find(wd); known != folders_.end()) wds_.erase(known->second);
      folders_[wd] = folder;
      wds_[folder] = wd;
      DIR* dir = opendir(path.c_str());
      if (dir == nullptr) continue;  // its events will tell
      while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
          pending.push_back(Join(folder, name));
        }
      }
      closedir(dir);
    }
  }

  Status Wait(std::chrono::milliseconds timeout, TreeChanges& changes) override {
    for (std::string& reason : startLosses_.lost)
      changes.lost.push_back(std::move(reason));
    startLosses_.lost.clear();
    pollfd ready{fd_.Get(), POLLIN, 0};
    const int waited =
        poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(timeout.count(), 0)));
    if (waited < 0 && errno != EINTR) return SystemError("watch", root_);
    if (waited <= 0) return Status::Ok();
    // One read a wait: watching the folders a burst makes takes time, and
    // the caller's next wait comes back at once while more is queued.
    alignas(inotify_event) char buffer[64 << 10];
    const ssize_t length = read(fd_.Get(), buffer, sizeof buffer);
    if (length < 0) {
      if (errno == EAGAIN || errno == EINTR) return Status::Ok();
      return SystemError("watch", root_);
    }
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      Take(*event, changes);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return Status::Ok();
  }

 private:
  void Take(const inotify_event& event, TreeChanges& changes) {
    if (event.mask & IN_Q_OVERFLOW) {
      Lose("the queue of changes overflowed", changes);
      return;
    }
    const auto found = folders_.find(event.wd);
    if (found == folders_.end()) return;
    const std::string folder = found->second;
    if (event.mask & IN_IGNORED) {
      if (wds_.count(folder) != 0 && wds_[folder] == event.wd) wds_.erase(folder);
      folders_.erase(found);
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
      // The root itself went; any other folder is told by its parent.
      if (folder.empty()) Lose("the source folder was moved or deleted", changes);
      return;
    }
    const std::string name = event.len > 0 ? std::string(event.name) : std::string();
    if (name.empty()) {
      changes.folders.push_back(folder);
      return;
    }
    const std::string relPath = Join(folder, name);
    if (event.mask & IN_ISDIR) {
      if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
        changes.subtrees.push_back(relPath);
        WatchFolders(relPath, changes);
      } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
        changes.subtrees.push_back(relPath);
        ForgetBelow(relPath);
      } else {
        changes.folders.push_back(folder);
      }
      return;
    }
    changes.folders.push_back(folder);
  }

  // Drops the watches of `relPath` and the folders below it (moved away,
  // or about to be watched afresh).
  void ForgetBelow(const std::string& relPath) {
    for (auto it = wds_.begin(); it != wds_.end();) {
      const std::string& folder = it->first;
      const bool below = folder == relPath || relPath.empty() ||
                         (folder.size() > relPath.size() && folder.starts_with(relPath) &&
                          folder[relPath.size()] == '/');
      if (below) {
        inotify_rm_watch(fd_.Get(), it->second);
        folders_.erase(it->second);
        it = wds_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Each reason is told once; told again, it is an empty text.
  void Lose(const std::string& reason, TreeChanges& changes) {
    changes.lost.push_back(told_.emplace(reason).second ? reason : std::string());
  }

  Fd fd_;
  const std::string root_;
  TreeChanges startLosses_;  // told at the first wait
  std::unordered_map<int, std::string> folders_;
  std::unordered_map<std::string, int> wds_;
  std::unordered_set<std::string> told_;
};

}  // namespace

Result<std::unique_ptr<TreeWatch>> WatchTreeWithInotify(const std::string& root, bool* whole) {
  Fd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd.Valid()) return SystemError("watch", root);
  auto watch = std::make_unique<InotifyTreeWatch>(std::move(fd), root);
  watch->WatchStart();
  if (whole != nullptr) *whole = watch->WatchesWholeTree();
  return std::unique_ptr<TreeWatch>(std::move(watch));
}

}  // namespace fts
