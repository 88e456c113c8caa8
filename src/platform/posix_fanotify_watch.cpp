#include "platform/posix_fanotify_watch.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/posix_fd.h"
#include "platform/posix_system_error.h"

namespace fts {
namespace {

constexpr std::uint64_t kEvents = FAN_CREATE | FAN_DELETE | FAN_MODIFY | FAN_ATTRIB |
                                  FAN_MOVED_FROM | FAN_MOVED_TO | FAN_CLOSE_WRITE |
                                  FAN_DELETE_SELF | FAN_MOVE_SELF | FAN_ONDIR;

class FanotifyTreeWatch : public TreeWatch {
 public:
  FanotifyTreeWatch(Fd fd, Fd rootFd, std::string root, std::string realRoot)
      : fd_(std::move(fd)),
        rootFd_(std::move(rootFd)),
        root_(std::move(root)),
        realRoot_(std::move(realRoot)) {}

  Status Wait(std::chrono::milliseconds timeout, TreeChanges& changes) override {
    pollfd ready{fd_.Get(), POLLIN, 0};
    const int waited =
        poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(timeout.count(), 0)));
    if (waited < 0 && errno != EINTR) return SystemError("watch", root_);
    if (waited <= 0) return Status::Ok();
    alignas(fanotify_event_metadata) char buffer[64 << 10];
    for (;;) {
      const ssize_t length = read(fd_.Get(), buffer, sizeof buffer);
      if (length < 0) {
        if (errno == EAGAIN || errno == EINTR) return Status::Ok();
        return SystemError("watch", root_);
      }
      auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
      for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
        Take(*event, changes);
      }
    }
  }

 private:
  void Take(const fanotify_event_metadata& event, TreeChanges& changes) {
    if (event.mask & FAN_Q_OVERFLOW) {
      Lose("the queue of changes overflowed", changes);
      return;
    }
    const char* at = reinterpret_cast<const char*>(&event) + event.metadata_len;
    const char* end = reinterpret_cast<const char*>(&event) + event.event_len;
    while (at + sizeof(fanotify_event_info_header) <= end) {
      const auto* header = reinterpret_cast<const fanotify_event_info_header*>(at);
      if (header->len == 0) break;
      if (header->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
          header->info_type == FAN_EVENT_INFO_TYPE_DFID) {
        const auto* info = reinterpret_cast<const fanotify_event_info_fid*>(at);
        const auto* handle = reinterpret_cast<const file_handle*>(info->handle);
        const char* name = reinterpret_cast<const char*>(handle->f_handle) + handle->handle_bytes;
        const bool named = header->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME && *name != '\0' &&
                           std::strcmp(name, ".") != 0;
        Note(event.mask, *handle, named ? name : nullptr, changes);
      }
      at += header->len;
    }
  }

  // An event in the folder `handle` names, on the entry `name` (none: the
  // folder itself).
  void Note(std::uint64_t mask, const file_handle& handle, const char* name, TreeChanges& changes) {
    std::string folder;
    if (!FolderOf(handle, folder)) return;  // outside the tree
    if (name == nullptr) {
      if ((mask & (FAN_DELETE_SELF | FAN_MOVE_SELF)) && folder.empty()) {
        Lose("the source folder was moved or deleted", changes);
      } else if (!(mask & (FAN_DELETE_SELF | FAN_MOVE_SELF))) {
        changes.folders.push_back(folder);
      }
      return;
    }
    const std::string relPath = folder.empty() ? std::string(name) : folder + '/' + name;
    if (mask & FAN_ONDIR) {
      if (mask & (FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO)) {
        changes.subtrees.push_back(relPath);
        // Folders moved: the names kept for their handles may be wrong now.
        if (mask & (FAN_MOVED_FROM | FAN_MOVED_TO)) folders_.clear();
        return;
      }
    }
    changes.folders.push_back(folder);
  }

  // The RelPath of the folder a handle stands for; false when it lies
  // outside the tree or is gone.
  bool FolderOf(const file_handle& handle, std::string& relPath) {
    const std::string key(reinterpret_cast<const char*>(&handle),
                          sizeof(file_handle) + handle.handle_bytes);
    if (auto known = folders_.find(key); known != folders_.end()) {
      if (!known->second.inside) return false;
      relPath = known->second.relPath;
      return true;
    }
    Fd folder(
        open_by_handle_at(rootFd_.Get(), const_cast<file_handle*>(&handle), O_PATH | O_CLOEXEC));
    if (!folder.Valid()) return false;
    char path[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(folder.Get());
    const ssize_t length = readlink(self.c_str(), path, sizeof path - 1);
    if (length < 0) return false;
    const std::string_view real(path, static_cast<std::size_t>(length));
    Known known;
    if (real == realRoot_) {
      known.inside = true;
    } else if (real.size() > realRoot_.size() && real.starts_with(realRoot_) &&
               (realRoot_ == "/" || real[realRoot_.size()] == '/')) {
      known.inside = true;
      known.relPath = std::string(real.substr(realRoot_.size() + (realRoot_ == "/" ? 0 : 1)));
    }
    if (folders_.size() > 65536) folders_.clear();  // a bounded memory
    folders_.emplace(key, known);
    relPath = known.relPath;
    return known.inside;
  }

  void Lose(const std::string& reason, TreeChanges& changes) {
    changes.lost.push_back(told_.emplace(reason).second ? reason : std::string());
  }

  struct Known {
    bool inside = false;
    std::string relPath;
  };

  Fd fd_;
  Fd rootFd_;
  const std::string root_;
  const std::string realRoot_;
  std::unordered_map<std::string, Known> folders_;
  std::unordered_set<std::string> told_;
};

}  // namespace

Result<std::unique_ptr<TreeWatch>> WatchTreeWithFanotify(const std::string& root) {
  Fd fd(fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_NONBLOCK | FAN_CLOEXEC,
                      O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return SystemError("watch", root);
  Fd rootFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.Valid()) return SystemError("watch", root);
  char real[PATH_MAX];
  if (realpath(root.c_str(), real) == nullptr) return SystemError("watch", root);
  if (fanotify_mark(fd.Get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kEvents, rootFd.Get(), nullptr) !=
      0) {
    return SystemError("watch", root);
  }
  return std::unique_ptr<TreeWatch>(
      std::make_unique<FanotifyTreeWatch>(std::move(fd), std::move(rootFd), root, real));
}

}  // namespace fts
