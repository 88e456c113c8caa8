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
#include <vector>

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
      // Events follow each other at any offset: each part is copied out
      // before it is read.
      for (std::size_t at = 0; at + sizeof(fanotify_event_metadata) <= std::size_t(length);) {
        fanotify_event_metadata event;
        std::memcpy(&event, buffer + at, sizeof event);
        if (event.event_len < sizeof event || at + event.event_len > std::size_t(length)) break;
        Take(event, std::string_view(buffer + at, event.event_len), changes);
        at += event.event_len;
      }
    }
  }

 private:
  void Take(const fanotify_event_metadata& event, std::string_view bytes, TreeChanges& changes) {
    if (event.mask & FAN_Q_OVERFLOW) {
      Lose("the queue of changes overflowed", changes);
      return;
    }
    for (std::size_t at = event.metadata_len;
         at + sizeof(fanotify_event_info_header) <= bytes.size();) {
      fanotify_event_info_header header;
      std::memcpy(&header, bytes.data() + at, sizeof header);
      if (header.len == 0 || at + header.len > bytes.size()) break;
      if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
          header.info_type == FAN_EVENT_INFO_TYPE_DFID) {
        // The header, the file system's id, then a file_handle and the name.
        const std::size_t handleAt = at + sizeof(fanotify_event_info_fid);
        file_handle handle;
        if (handleAt + sizeof handle > at + header.len) break;
        std::memcpy(&handle, bytes.data() + handleAt, sizeof handle);
        const std::size_t nameAt = handleAt + sizeof handle + handle.handle_bytes;
        if (nameAt > at + header.len) break;
        const std::string_view handleBytes = bytes.substr(handleAt, nameAt - handleAt);
        std::string name;
        if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
          const std::string_view rest = bytes.substr(nameAt, at + header.len - nameAt);
          name = std::string(rest.substr(0, rest.find('\0')));
        }
        const bool named = !name.empty() && name != ".";
        Note(event.mask, handleBytes, named ? name.c_str() : nullptr, changes);
      }
      at += header.len;
    }
  }

  // An event in the folder `handle` names, on the entry `name` (none: the
  // folder itself).
  void Note(std::uint64_t mask, std::string_view handle, const char* name, TreeChanges& changes) {
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
  // `handle` holds a file_handle and its bytes, as the event had them.
  bool FolderOf(std::string_view handle, std::string& relPath) {
    const std::string key(handle);
    if (auto known = folders_.find(key); known != folders_.end()) {
      if (!known->second.inside) return false;
      relPath = known->second.relPath;
      return true;
    }
    // Copied to memory aligned for the call.
    std::vector<std::uint64_t> aligned((handle.size() + 7) / 8);
    std::memcpy(aligned.data(), handle.data(), handle.size());
    Fd folder(open_by_handle_at(rootFd_.Get(), reinterpret_cast<file_handle*>(aligned.data()),
                                O_PATH | O_CLOEXEC));
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
