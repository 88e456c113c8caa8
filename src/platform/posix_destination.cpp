// The destination tree on POSIX systems. Every action reaches its target
// from a handle on the root, one name at a time, and never follows a link
// below the root: where the kernel has it, openat2 resolves the parent folder
// with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS; elsewhere each folder is
// opened with O_NOFOLLOW inside the one before. The last step is the *at
// call on the parent's handle, and a copy's permissions and times are set on
// the open file.
#include "platform/posix_destination.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/posix_attributes.h"
#include "platform/posix_fd.h"
#include "platform/posix_kept_folders.h"
#include "platform/posix_system_error.h"
#include "platform/refused_name.h"

namespace fts {
namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

int OpenBeneath(int root, const std::string& relFolder) {
  struct open_how how {};
  how.flags = kFolderFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, root, relFolder.c_str(), &how, sizeof how));
}

bool KernelResolvesBeneath() {
  static const bool works = [] {
    const int fd = OpenBeneath(AT_FDCWD, ".");
    if (fd < 0) return false;  // an old kernel, or a sandbox that forbids the call
    close(fd);
    return true;
  }();
  return works;
}

// Splits "a/b/name" into "a/b" and "name".
void SplitLast(std::string_view path, std::string_view& folder, std::string_view& name) {
  const auto slash = path.rfind('/');
  folder = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
  name = slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A folder handle that is either borrowed (the root) or owned.
struct Folder {
  int fd = -1;
  Fd owned;
};

// Opens the folder `path` one name at a time from `start` (from the root
// folder when the path is absolute), following links or not.
Result<Fd> OpenComponents(int start, std::string_view path, bool followLinks,
                          const std::string& errorPath, std::string_view operation) {
  Fd current(openat(start, path.starts_with('/') ? "/" : ".", kFolderFlags));
  if (!current.Valid()) return SystemError(operation, errorPath);
  while (!path.empty()) {
    const std::size_t end = std::min(path.find('/'), path.size());
    const std::string name(path.substr(0, end));
    path.remove_prefix(std::min(end + 1, path.size()));
    if (name.empty() || name == ".") continue;
    if (!followLinks && name == "..") return SystemError(operation, errorPath, EINVAL);
    Fd next(openat(current.Get(), name.c_str(), kFolderFlags | (followLinks ? 0 : O_NOFOLLOW)));
    if (!next.Valid()) {
      int error = errno;
      struct stat st;
      // A link where a folder must be: the same answer the kernel gives
      // when it refuses to resolve one.
      if (!followLinks && error == ENOTDIR &&
          fstatat(current.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
      return SystemError(operation, errorPath, error);
    }
    current = std::move(next);
  }
  return current;
}

// One side of a copy: the open file and the name it is known by.
struct CopyEnd {
  int fd;
  const std::string& path;
};

// Copies the bytes from `start` to `end` of one open file to the same place
// in the other, in the kernel when it can (`kernel` goes false when it
// cannot, for the rest of the copy). `atOffsets` places both files at
// `start` first; without it they stand there already. `ended` tells of a
// source that ended before `end`.
Status CopyExtent(const CopyCalls& calls, CopyEnd in, CopyEnd out, off_t start, off_t end,
                  bool atOffsets, bool& kernel, bool& ended) {
  if (atOffsets && (lseek(in.fd, start, SEEK_SET) < 0 || lseek(out.fd, start, SEEK_SET) < 0)) {
    return SystemError("copy to", out.path);
  }
  off_t copied = start;
  while (kernel && calls.copyRange != nullptr && copied < end) {
    const ssize_t n = calls.copyRange(in.fd, out.fd, static_cast<std::size_t>(end - copied));
    if (n > 0) {
      copied += n;
      continue;
    }
    if (n == 0) {
      ended = true;
      return Status::Ok();
    }
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EPERM) {
      return SystemError("copy to", out.path);
    }
    kernel = false;  // carry on where the kernel stopped, through user space
  }
  // A worker whose copies the kernel makes never fills a buffer of its own:
  // eight of them would hold 8 MiB.
  if (copied >= end) return Status::Ok();
  static thread_local std::vector<char> buffer(1 << 20);
  while (copied < end) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<off_t>(end - copied, static_cast<off_t>(buffer.size())));
    const ssize_t got = calls.read(in.fd, buffer.data(), want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return SystemError("read", in.path);
    }
    if (got == 0) {
      ended = true;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put =
          calls.write(out.fd, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return SystemError("write", out.path);
      }
      done += put;
    }
    copied += got;
  }
  return Status::Ok();
}

// Copies the bytes of one open file into another. `st` is what the source
// showed when it was opened: a file that grows meanwhile is copied as it was,
// one that shrinks as far as it goes. A file with fewer blocks than its
// length has holes: only its data is copied, each part to its place, and the
// holes stay holes in the copy. A file system that cannot tell where the
// data lies has its files copied whole.
Status CopyWithHoles(const CopyCalls& calls, CopyEnd in, CopyEnd out, const struct stat& st);

Status CopyContents(const CopyCalls& calls, CopyEnd in, CopyEnd out, const struct stat& st) {
  const off_t size = st.st_size;
  bool kernel = true;
  bool ended = false;
  if (st.st_blocks * 512 >= size) {
    return CopyExtent(calls, in, out, 0, size, false, kernel, ended);
  }
  Status holes = CopyWithHoles(calls, in, out, st);
  if (holes || holes.IsNoSpace() || holes.Operation() == "read") return holes;
  // A file system that cannot leave a hole (FAT through FUSE will not make a
  // file longer than what was written to it): the whole file, its holes
  // written as zeros.
  return CopyExtent(calls, in, out, 0, size, true, kernel, ended);
}

Status CopyWithHoles(const CopyCalls& calls, CopyEnd in, CopyEnd out, const struct stat& st) {
  const off_t size = st.st_size;
  bool kernel = true;
  bool ended = false;
  off_t position = 0;
  while (position < size && !ended) {
    off_t data = lseek(in.fd, position, SEEK_DATA);
    off_t hole = size;
    if (data < 0) {
      if (errno == ENXIO) break;  // no data after `position`: the rest is a hole
      if (errno != EINVAL && errno != EOPNOTSUPP) return SystemError("read", in.path);
      data = position;  // no telling where the data lies: the rest is copied whole
    } else {
      hole = lseek(in.fd, data, SEEK_HOLE);
      if (hole < 0) {
        if (errno != EINVAL && errno != EOPNOTSUPP && errno != ENXIO) {
          return SystemError("read", in.path);
        }
        hole = size;
      }
    }
    if (data >= size) break;
    hole = std::min(hole, size);
    if (Status copied = CopyExtent(calls, in, out, data, hole, true, kernel, ended); !copied) {
      return copied;
    }
    position = hole;
  }
  // A hole at the end is a length without data.
  if (!ended && ftruncate(out.fd, size) != 0) return SystemError("write", out.path);
  return Status::Ok();
}

mode_t CurrentUmask() {
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

class PosixDestinationTree : public DestinationTree {
 public:
  PosixDestinationTree(Fd root, std::string rootPath, const PosixCopyOptions& options)
      : root_(std::move(root)), rootPath_(std::move(rootPath)), options_(options) {}

  Status DeleteFile(std::string_view relPath) override {
    return AtParent("delete", relPath,
                    [](int parent, const char* name) { return unlinkat(parent, name, 0) == 0; });
  }

  Status RemoveDirectory(std::string_view relPath) override {
    return AtParent("remove", relPath, [this](int parent, const char* name) {
      if (unlinkat(parent, name, AT_REMOVEDIR) != 0) return false;
      keptFolders_.Forget();
      return true;
    });
  }

  Status MakeDirectory(std::string_view relPath) override {
    return ExplainName(MakeDirectoryAsNamed(relPath), relPath);
  }

  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                 Replace replace) override {
    auto copied = CopyFileAsNamed(from, relPath, replace);
    if (copied) return copied;
    return ExplainName(copied.status(), relPath);
  }

  Status MakeDirectoryWith(std::string_view relPath, const EntryAttributes& attributes) override {
    return ExplainName(MakeDirectoryWithAsNamed(relPath, attributes), relPath);
  }

  Status MakeLink(std::string_view relPath, const std::string& target,
                  const EntryAttributes& attributes, Replace replace) override {
    return ExplainName(MakeLinkAsNamed(relPath, target, attributes, replace), relPath);
  }

  Status LinkFile(std::string_view existingRelPath, std::string_view relPath,
                  Replace replace) override {
    return ExplainName(LinkFileAsNamed(existingRelPath, relPath, replace), relPath);
  }

  Status MakeDirectoryAsNamed(std::string_view relPath) {
    return AtParent("make", relPath,
                    [](int parent, const char* name) { return mkdirat(parent, name, 0777) == 0; });
  }

  Result<std::uint64_t> CopyFileAsNamed(const std::string& from, std::string_view relPath,
                                        Replace replace) {
    const std::string to = rootPath_ + std::string(relPath);
    struct stat st;
    auto in = OpenSourceFile(from, st);
    if (!in) return in.status();
    std::string_view parentPath;
    std::string_view nameView;
    SplitLast(relPath, parentPath, nameView);
    auto parent = OpenFolderKept(parentPath, to, "copy to");
    if (!parent) return parent.status();
    const Target target{parent->fd, std::string(nameView), to, replace};
    if (Status copied = CopyOpenFile({in->Get(), from}, st, target); !copied) return copied;
    return static_cast<std::uint64_t>(st.st_size);
  }

  Status MoveFileTo(std::string_view relPath, DestinationTree& other,
                    std::string_view targetRelPath) override {
    auto& target = dynamic_cast<PosixDestinationTree&>(other);
    const std::string path = rootPath_ + std::string(relPath);
    const std::string targetPath = target.rootPath_ + std::string(targetRelPath);
    std::string_view parentPath;
    std::string_view name;
    SplitLast(relPath, parentPath, name);
    auto parent = OpenFolder(parentPath, path, "move");
    if (!parent) return parent.status();
    std::string_view targetFolder;
    std::string_view targetName;
    SplitLast(targetRelPath, targetFolder, targetName);
    auto targetParent = target.MakeFolders(targetFolder, targetPath);
    if (!targetParent) return targetParent.status();

    const std::string from(name);
    const Target to{targetParent->fd, std::string(targetName), targetPath, Replace::kNo};
    if (RenameNoReplace(parent->fd, from, to)) return Status::Ok();
    if (errno != EXDEV) return SystemError("move", path);
    // Another file system: a copy that is complete before the original goes.
    Status copied = CopyEntry(parent->fd, from, path, to);
    if (!copied) return copied;
    if (unlinkat(parent->fd, from.c_str(), 0) != 0) return SystemError("delete", path);
    return Status::Ok();
  }

  void Carry(const CarriedItems& items) override {
    carried_.store(
        (items.owner ? kOwner : 0u) | (items.xattrs ? kXattrs : 0u) | (items.acls ? kAcls : 0u),
        std::memory_order_release);
  }

  Status MakeDirectoryWithAsNamed(std::string_view relPath, const EntryAttributes& attributes) {
    auto located = Locate(relPath, "make");
    if (!located) return located.status();
    const std::string& path = located->path;
    const Folder& parent = located->parent;
    const std::string& name = located->name;
    // Open to no one else until its attributes are set. A folder whose
    // attributes cannot all be set stays, and the failure is told: what
    // goes into it need not fail with it.
    if (mkdirat(parent.fd, name.c_str(), 0700) != 0) return SystemError("make", path);
    Fd folder(openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.Valid()) return SystemError("make", path);
    Entry entry;
    entry.kind = Kind::kFolder;
    entry.fd = folder.Get();
    return Apply(entry, attributes, path);
  }

  Status MakeLinkAsNamed(std::string_view relPath, const std::string& target,
                         const EntryAttributes& attributes, Replace replace) {
    auto located = Locate(relPath, "make the link");
    if (!located) return located.status();
    const std::string& path = located->path;
    const Folder& parent = located->parent;
    const std::string& name = located->name;
    if (symlinkat(target.c_str(), parent.fd, name.c_str()) == 0) {
      Status status = Apply(LinkEntry(parent.fd, name, path), attributes, path);
      // A link without its attributes does not stay.
      if (!status) RemoveTemporary(parent.fd, name, path);
      return status;
    }
    if (errno != EEXIST || replace == Replace::kNo) return SystemError("make the link", path);
    // Made beside what stands there, then renamed over it.
    return ReplaceThroughTemporaryName(
        parent.fd, name, path,
        [&](const std::string& temporary) {
          return symlinkat(target.c_str(), parent.fd, temporary.c_str()) == 0;
        },
        [&](const std::string& temporary, const std::string& temporaryPath) {
          return Apply(LinkEntry(parent.fd, temporary, temporaryPath), attributes, temporaryPath);
        });
  }

  Status LinkFileAsNamed(std::string_view existingRelPath, std::string_view relPath,
                         Replace replace) {
    auto existingEntry = Locate(existingRelPath, "link");
    if (!existingEntry) return existingEntry.status();
    const Folder& existingParent = existingEntry->parent;
    const std::string& existing = existingEntry->name;
    auto located = Locate(relPath, "link");
    if (!located) return located.status();
    const std::string& path = located->path;
    const Folder& parent = located->parent;
    const std::string& name = located->name;
    // Without AT_SYMLINK_FOLLOW: a link gets a second name itself.
    if (linkat(existingParent.fd, existing.c_str(), parent.fd, name.c_str(), 0) == 0) {
      return Status::Ok();
    }
    if (errno != EEXIST || replace == Replace::kNo) return SystemError("link", path);
    return ReplaceThroughTemporaryName(
        parent.fd, name, path,
        [&](const std::string& temporary) {
          return linkat(existingParent.fd, existing.c_str(), parent.fd, temporary.c_str(), 0) == 0;
        },
        [](const std::string&, const std::string&) { return Status::Ok(); });
  }

  Status SetAttributes(std::string_view relPath, const EntryAttributes& attributes) override {
    auto located = Locate(relPath, "set the attributes of");
    if (!located) return located.status();
    const std::string& path = located->path;
    const Folder& parent = located->parent;
    const std::string& name = located->name;
    struct stat st;
    if (fstatat(parent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemError("set the attributes of", path);
    }
    if (S_ISLNK(st.st_mode)) {
      return Apply(LinkEntry(parent.fd, name, path), attributes, path);
    }
    Entry entry;
    Fd opened;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
      const int folderFlag = S_ISDIR(st.st_mode) ? O_DIRECTORY : 0;
      opened = Fd(openat(parent.fd, name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | folderFlag));
      if (!opened.Valid() && (errno != EACCES || !ProcFdWorks())) {
        return SystemError("set the attributes of", path);
      }
      entry.fd = opened.Get();
    }
    if (!opened.Valid()) {
      // An entry this process may not read, or one that is neither a file
      // nor a folder (opening a device could do anything): reached through
      // a handle on the entry itself.
      if (!ProcFdWorks()) return Status::Error("set the attributes of", path, "Not a regular file");
      opened = Fd(openat(parent.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      if (!opened.Valid()) return SystemError("set the attributes of", path);
      entry.at = AT_FDCWD;
      entry.name = ProcPath(opened.Get());
      entry.xattrPath = entry.name;
    }
    // What was opened, which is never a link: O_NOFOLLOW saw to that, but
    // O_PATH opens a link as itself.
    if (fstat(opened.Get(), &st) != 0) return SystemError("set the attributes of", path);
    if (S_ISLNK(st.st_mode)) return SystemError("set the attributes of", path, ELOOP);
    entry.kind = S_ISDIR(st.st_mode) ? Kind::kFolder : Kind::kFile;
    return Apply(entry, attributes, path);
  }

 private:
  static constexpr unsigned kOwner = 1;
  static constexpr unsigned kXattrs = 2;
  static constexpr unsigned kAcls = 4;

  CarriedItems Carried() const {
    const unsigned bits = carried_.load(std::memory_order_acquire);
    CarriedItems items;
    items.owner = (bits & kOwner) != 0;
    items.xattrs = (bits & kXattrs) != 0;
    items.acls = (bits & kAcls) != 0;
    return items;
  }

  static bool ProcFdWorks() {
    static const bool works = access("/proc/self/fd", X_OK) == 0;
    return works;
  }

  static std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

  // An entry whose attributes are set: an open file or folder (fd), or a
  // name `name` in `at` and the name `xattrPath` that the calls on extended
  // attributes take; a link's names are never followed.
  enum class Kind { kFile, kFolder, kLink };
  struct Entry {
    Kind kind = Kind::kFile;
    int fd = -1;
    int at = AT_FDCWD;
    std::string name;
    std::string xattrPath;
  };

  // The link `name` in the folder `parent`; `path` is its name from the
  // root as typed, used where /proc is missing.
  Entry LinkEntry(int parent, const std::string& name, const std::string& path) const {
    Entry entry;
    entry.at = parent;
    entry.name = name;
    entry.kind = Kind::kLink;
    const CarriedItems items = Carried();
    if (items.xattrs || items.acls) {
      entry.xattrPath = ProcFdWorks() ? ProcPath(parent) + "/" + name : path;
    }
    return entry;
  }

  // Gives the entry the owner where it is carried, the permission bits (not
  // to a link), the carried extended attributes and the time (not to a
  // folder), in this order: a new owner takes set-id bits and capabilities
  // away, and a change of permissions may change the ACL.
  Status Apply(const Entry& entry, const EntryAttributes& attributes, const std::string& path) {
    const CarriedItems items = Carried();
    const bool open = entry.fd >= 0;
    const bool link = entry.kind == Kind::kLink;
    if (items.owner) {
      const int flags = link ? AT_SYMLINK_NOFOLLOW : 0;
      if ((open ? fchown(entry.fd, attributes.owner, attributes.group)
                : fchownat(entry.at, entry.name.c_str(), attributes.owner, attributes.group,
                           flags)) != 0) {
        return SystemError("set the owner of", path);
      }
    }
    if (!link) {
      // Set-id bits only with the owner they belong to (folders keep theirs).
      const mode_t bits =
          attributes.mode & (items.owner || entry.kind == Kind::kFolder ? 07777 : 01777);
      if ((open ? fchmod(entry.fd, bits) : fchmodat(entry.at, entry.name.c_str(), bits, 0)) != 0) {
        return SystemError("set the permissions of", path);
      }
    }
    if (items.xattrs || items.acls) {
      const XattrPlace place =
          open ? XattrPlace{entry.fd} : XattrPlace{-1, entry.xattrPath.c_str(), !link};
      if (Status status = WriteXattrs(place, attributes.extended, items, path); !status) {
        return status;
      }
    }
    if (entry.kind != Kind::kFolder) {
      const struct timespec times[2] = {{0, UTIME_OMIT},
                                        {static_cast<time_t>(attributes.lastWrite.seconds),
                                         static_cast<long>(attributes.lastWrite.nanoseconds)}};
      if ((open ? futimens(entry.fd, times)
                : utimensat(entry.at, entry.name.c_str(), times, link ? AT_SYMLINK_NOFOLLOW : 0)) !=
          0) {
        return SystemError("set the time of", path);
      }
    }
    return Status::Ok();
  }

  // Makes an entry under a temporary name in `parent` through `make`, gives
  // it its attributes through `finish`, and renames it over `name`; nothing
  // of it stays on a failure.
  template <typename Make, typename Finish>
  Status ReplaceThroughTemporaryName(int parent, const std::string& name, const std::string& path,
                                     Make make, Finish finish) {
    const Target target{parent, name, path};
    std::string temporary;
    std::string temporaryPath;
    bool made = false;
    for (int attempt = 0; attempt < 100 && !made; ++attempt) {
      temporary = TemporaryName();
      temporaryPath = PathBeside(target, temporary);
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, temporaryPath);
      made = make(temporary);
      if (!made && errno != EEXIST) break;
    }
    if (!made) {
      Status status = SystemError("create", temporaryPath);
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
      return status;
    }
    Status status = finish(temporary, temporaryPath);
    if (status && renameat(parent, temporary.c_str(), parent, name.c_str()) != 0) {
      status = SystemError("replace", path);
    }
    if (!status) {
      RemoveTemporary(parent, temporary, temporaryPath);
    } else if (unlinkat(parent, temporary.c_str(), 0) != 0 && errno != ENOENT) {
      // Two names of one file: the rename left both, and the temporary one
      // must go.
      options_.reportStray("FernwickTreeSyncer: " + SystemError("delete", temporaryPath).Message());
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // Where a copy goes: the open parent folder, the name in it, the path as
  // the log shows it, and whether it replaces what stands there.
  struct Target {
    int parent;
    std::string name;
    const std::string& path;
    Replace replace = Replace::kYes;
  };

  // Renames `from` in `parent` to the target, never over what stands there.
  static bool RenameNoReplace(int parent, const std::string& from, const Target& to) {
    if (renameat2(parent, from.c_str(), to.parent, to.name.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno != EINVAL) return false;
    // A file system without that kind of rename: a second name, then the
    // first one goes.
    if (linkat(parent, from.c_str(), to.parent, to.name.c_str(), 0) != 0) return false;
    return unlinkat(parent, from.c_str(), 0) == 0;
  }

  // Copies the file (or link) `name` in `parent` to the target.
  Status CopyEntry(int parent, const std::string& name, const std::string& path, const Target& to) {
    struct stat st;
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemError("move", path);
    }
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> text(static_cast<std::size_t>(st.st_size) + 1);
      const ssize_t length = readlinkat(parent, name.c_str(), text.data(), text.size());
      if (length < 0) return SystemError("move", path);
      text[static_cast<std::size_t>(length)] = '\0';
      if (symlinkat(text.data(), to.parent, to.name.c_str()) != 0) {
        return SystemError("move to", to.path);
      }
      return Status::Ok();
    }
    Fd in(openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.Valid() || fstat(in.Get(), &st) != 0) return SystemError("move", path);
    if (!S_ISREG(st.st_mode)) return Status::Error("move", path, "Not a regular file");
    return CopyOpenFile({in.Get(), path}, st, to);
  }

  // The folder `relFolder` below the root, made where it is missing, never
  // through a link.
  Result<Folder> MakeFolders(std::string_view relFolder, const std::string& errorPath) {
    Folder folder;
    folder.fd = root_.Get();
    while (!relFolder.empty()) {
      const std::size_t end = std::min(relFolder.find('/'), relFolder.size());
      const std::string name(relFolder.substr(0, end));
      relFolder.remove_prefix(std::min(end + 1, relFolder.size()));
      if (name.empty()) continue;
      if (mkdirat(folder.fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
        return SystemError("move to", errorPath);
      }
      auto next = OpenComponents(folder.fd, name, false, errorPath, "move to");
      if (!next) return next.status();
      folder.owned = std::move(*next);
      folder.fd = folder.owned.Get();
    }
    return folder;
  }

  // The folder `relFolder` below the root, never through a link.
  // An entry below the root: its path as the log shows it, its parent folder
  // opened link-safe, and its name there.
  struct Located {
    std::string path;
    Folder parent;
    std::string name;
  };
  Result<Located> Locate(std::string_view relPath, std::string_view operation) {
    Located located;
    located.path = rootPath_ + std::string(relPath);
    std::string_view parentPath;
    std::string_view name;
    SplitLast(relPath, parentPath, name);
    auto parent = OpenFolder(parentPath, located.path, operation);
    if (!parent) return parent.status();
    located.parent = std::move(*parent);
    located.name = std::string(name);
    return located;
  }

  Result<Folder> OpenFolder(std::string_view relFolder, const std::string& errorPath,
                            std::string_view operation) {
    Folder folder;
    if (relFolder.empty()) {
      folder.fd = root_.Get();
      return folder;
    }
    const std::string rel(relFolder);
    if (KernelResolvesBeneath() && rel.size() < PATH_MAX) {
      folder.owned = Fd(OpenBeneath(root_.Get(), rel));
      if (!folder.owned.Valid()) return SystemError(operation, errorPath);
    } else {
      auto walked = OpenComponents(root_.Get(), rel, false, errorPath, operation);
      if (!walked) return walked.status();
      folder.owned = std::move(*walked);
    }
    folder.fd = folder.owned.Get();
    return folder;
  }

  // As OpenFolder, the handle kept for the calling thread's next action.
  // Only for an action that opens no other folder of the tree meanwhile.
  Result<Folder> OpenFolderKept(std::string_view relFolder, const std::string& errorPath,
                                std::string_view operation) {
    if (relFolder.empty()) return OpenFolder(relFolder, errorPath, operation);
    Folder kept;
    kept.fd = keptFolders_.Find(relFolder);
    if (kept.fd >= 0) return kept;
    auto opened = OpenFolder(relFolder, errorPath, operation);
    if (!opened) return opened;
    kept.fd = keptFolders_.Keep(relFolder, std::move(opened->owned));
    return kept;
  }

  template <typename Action>
  Status AtParent(std::string_view operation, std::string_view relPath, Action action) {
    const std::string path = rootPath_ + std::string(relPath);
    std::string_view parentPath;
    std::string_view name;
    SplitLast(relPath, parentPath, name);
    auto parent = OpenFolderKept(parentPath, path, operation);
    if (!parent) return parent.status();
    if (!action(parent->fd, std::string(name).c_str())) return SystemError(operation, path);
    return Status::Ok();
  }

  // Opens a source file for reading, links followed, however long its path.
  // A FIFO or a device would block or never end: only regular files are
  // opened. O_NONBLOCK guards against one swapped in meanwhile; it does
  // nothing to a regular file.
  static Result<Fd> OpenSourceFile(const std::string& from, struct stat& st) {
    int at = AT_FDCWD;
    std::string name = from;
    Fd folder;
    if (from.size() >= PATH_MAX) {
      // Too long for one call: the folder is opened name by name.
      const auto slash = from.rfind('/');
      auto opened =
          OpenComponents(AT_FDCWD, std::string_view(from).substr(0, slash + 1), true, from, "copy");
      if (!opened) return opened.status();
      folder = std::move(*opened);
      at = folder.Get();
      name = from.substr(slash + 1);
    }
    if (fstatat(at, name.c_str(), &st, 0) != 0) return SystemError("copy", from);
    if (!S_ISREG(st.st_mode)) return Status::Error("copy", from, "Not a regular file");
    Fd in(openat(at, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!in.Valid()) return SystemError("copy", from);
    if (fstat(in.Get(), &st) != 0) return SystemError("copy", from);
    if (!S_ISREG(st.st_mode)) return Status::Error("copy", from, "Not a regular file");
    return in;
  }

  // Writes the copy as a file without a name in the destination folder and
  // gives it the final name only when it is complete, so that neither a
  // link standing there nor a half-written file can result. Where something
  // still stands under the name, the copy takes a temporary name and is
  // renamed over it.
  Status CopyOpenFile(CopyEnd in, const struct stat& st, const Target& target) {
    // Set-id bits only with the owner they belong to: without it the
    // copy's owner is whoever runs the mirror.
    const mode_t mode = st.st_mode & (Carried().owner ? 07777 : 01777);
    Fd out;
    if (options_.unnamedFiles) {
      out = Fd(openat(target.parent, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
      if (!out.Valid() && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return SystemError("copy to", target.path);
      }
    }
    if (!out.Valid()) return CopyThroughTemporaryName(in, st, mode, target);

    Status status = WriteCopy(in, {out.Get(), target.path}, st, mode);
    if (status) {
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", out.Get());
      if (!NameUnnamed(out.Get(), self, target)) {
        status = errno == EEXIST && target.replace == Replace::kYes
                     ? LinkOverExisting(self, target)
                     : SystemError("copy to", target.path);
      }
    }
    if (!out.Close() && status) status = SystemError("copy to", target.path);
    return status;
  }

  // Contents, owner (where carried), permission bits, carried extended
  // attributes and times of `in` into `out`, in this order (see Apply).
  Status WriteCopy(CopyEnd in, CopyEnd out, const struct stat& st, mode_t mode) {
    const CarriedItems items = Carried();
    Status status = FillCopy(in, out, st);
    if (status && items.owner && fchown(out.fd, st.st_uid, st.st_gid) != 0) {
      status = SystemError("set the owner of", out.path);
    }
    if (status && (items.Any() || (mode & ~umask_) != mode) && fchmod(out.fd, mode) != 0) {
      status = SystemError("set the permissions of", out.path);
    }
    if (status && (items.xattrs || items.acls)) {
      auto extended = ReadXattrs(XattrPlace{in.fd}, items, in.path);
      status = extended ? WriteXattrs(XattrPlace{out.fd}, *extended, items, out.path)
                        : extended.status();
    }
    if (status) {
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (futimens(out.fd, times) != 0) status = SystemError("set the time of", out.path);
    }
    return status;
  }

  // The contents of `in` into the empty `out`: where both lie on one file
  // system that can share blocks, `out` shares all of them in one call,
  // holes included, and nothing is read or written; otherwise, or when that
  // fails, the bytes are copied. Everything after it is done as for copied
  // bytes, so a reader cannot tell the two apart.
  Status FillCopy(CopyEnd in, CopyEnd out, const struct stat& st) {
    const auto clone = options_.calls.clone;
    // An empty file has no blocks to share.
    if (clone == nullptr || st.st_size == 0 || !cloning_.load(std::memory_order_relaxed)) {
      return CopyContents(options_.calls, in, out, st);
    }
    if (clone(in.fd, out.fd) == 0) {
      // A source that grew since `st` was taken is copied as it was then,
      // as the bytes would have been.
      struct stat cloned;
      if (fstat(out.fd, &cloned) != 0) return SystemError("copy to", out.path);
      if (cloned.st_size > st.st_size && ftruncate(out.fd, st.st_size) != 0) {
        return SystemError("write", out.path);
      }
      return Status::Ok();
    }
    if (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL) {
      // Another file system, or one that cannot share blocks (or not
      // between these two files): the next copies into this tree would
      // most likely be refused alike, and each refusal costs a call.
      cloning_.store(false, std::memory_order_relaxed);
    } else if (ftruncate(out.fd, 0) != 0) {
      // A clone that failed halfway may have shared a part; the copy
      // starts from an empty file.
      return SystemError("write", out.path);
    }
    return CopyContents(options_.calls, in, out, st);
  }

  // The failure to make `relPath`, with a text that says so where a name
  // is what the destination's file system refused: the entry's own name,
  // or that of a folder above it that could not be made. Such a name holds
  // what those file systems refuse, names nothing, and a plain name can be
  // made beside it.
  Status ExplainName(Status failure, std::string_view relPath) {
    if (failure || failure.IsNoSpace() || failure.Path() != rootPath_ + std::string(relPath)) {
      return failure;
    }
    Fd opened;
    int parent = root_.Get();
    for (std::size_t begin = 0;;) {
      const std::size_t end = std::min(relPath.find('/', begin), relPath.size());
      const std::string name(relPath.substr(begin, end - begin));
      const bool last = end == relPath.size();
      struct stat st;
      if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const std::string folder =
            last ? std::string() : rootPath_ + std::string(relPath.substr(0, end));
        const auto cause = RefusedNameCause(name, failure.Cause(), folder);
        if (!cause || !CanMakeIn(parent, rootPath_ + std::string(relPath.substr(0, end)))) {
          return failure;
        }
        return Status::Error(failure.Operation(), failure.Path(), *cause);
      }
      if (last || !S_ISDIR(st.st_mode)) return failure;
      opened = Fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!opened.Valid()) return failure;
      parent = opened.Get();
      begin = end + 1;
    }
  }

  // True when a file of a plain temporary name can be made (and is deleted
  // again) in the open folder `parent`; `path` names an entry beside it.
  bool CanMakeIn(int parent, const std::string& path) {
    const std::string probe = TemporaryName();
    Fd made(
        openat(parent, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!made.Valid()) return false;
    made.Reset();
    const Target beside{parent, probe, path};
    RemoveTemporary(parent, probe, PathBeside(beside, probe));
    return true;
  }

  std::string TemporaryName() {
    return ".fts-" + std::to_string(pid_) + "-" + std::to_string(copyCounter_++) + ".tmp";
  }

  // The temporary's path as an interrupt must delete it.
  std::string PathBeside(const Target& target, const std::string& name) const {
    const auto slash = target.path.rfind('/');
    return target.path.substr(0, slash + 1) + name;
  }

  // Gives the unnamed file `fd` (also reached as `self`) the target's name.
  // The kernel names it from the handle alone where it lets the file's
  // opener do so (Linux 6.10 and later, or with CAP_DAC_READ_SEARCH): that
  // spares the walk through /proc, a quarter of what naming a file costs.
  bool NameUnnamed(int fd, const char* self, const Target& target) {
    if (namesFromHandle_.load(std::memory_order_relaxed)) {
      if (linkat(fd, "", target.parent, target.name.c_str(), AT_EMPTY_PATH) == 0) return true;
      // Refused as such: not asked again. Any other failure is the name's.
      if (errno != ENOENT && errno != EINVAL && errno != EPERM) return false;
      namesFromHandle_.store(false, std::memory_order_relaxed);
    }
    return linkat(AT_FDCWD, self, target.parent, target.name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  }

  // Gives the complete unnamed file `self` a temporary name beside the
  // target, then renames it over what stands under the target's name.
  Status LinkOverExisting(const char* self, const Target& target) {
    const std::string temporary = TemporaryName();
    const std::string temporaryPath = PathBeside(target, temporary);
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, temporaryPath);
    Status status = Status::Ok();
    if (linkat(AT_FDCWD, self, target.parent, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      status = SystemError("create", temporaryPath);
    } else if (renameat(target.parent, temporary.c_str(), target.parent, target.name.c_str()) !=
               0) {
      status = SystemError("replace", target.path);
      RemoveTemporary(target.parent, temporary, temporaryPath);
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // For file systems without unnamed files: the copy is written under a
  // temporary name and renamed.
  Status CopyThroughTemporaryName(CopyEnd in, const struct stat& st, mode_t mode,
                                  const Target& target) {
    std::string temporary;
    std::string temporaryPath;
    Fd out;
    for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
      temporary = TemporaryName();
      temporaryPath = PathBeside(target, temporary);
      // Registered before it exists: the name is this process's own, so an
      // interrupt in between deletes nothing else.
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, temporaryPath);
      out = Fd(openat(target.parent, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      if (!out.Valid() && errno != EEXIST) break;
    }
    if (!out.Valid()) {
      Status status = SystemError("create", temporaryPath);
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
      return status;
    }
    Status status = WriteCopy(in, {out.Get(), temporaryPath}, st, mode);
    if (!out.Close() && status) status = SystemError("close", temporaryPath);
    if (status && target.replace == Replace::kNo) {
      if (!RenameNoReplace(target.parent, temporary, target)) {
        status = SystemError("copy to", target.path);
      }
    } else if (status && renameat(target.parent, temporary.c_str(), target.parent,
                                  target.name.c_str()) != 0) {
      status = SystemError("replace", target.path);
    }
    if (status) status = KeepTimeThroughRename(target, st);
    if (!status) RemoveTemporary(target.parent, temporary, temporaryPath);
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // Some drivers give a renamed file the time of the rename (FAT through
  // FUSE): the first rename of the tree tells, and from then on each
  // renamed copy has its time set again. FAT keeps two-second steps, so a
  // time within two seconds of the source's was kept.
  Status KeepTimeThroughRename(const Target& target, const struct stat& st) {
    int resets = renameResetsTime_.load(std::memory_order_relaxed);
    if (resets == 0) return Status::Ok();
    const char* name = target.name.c_str();
    if (resets < 0) {
      struct stat renamed;
      if (fstatat(target.parent, name, &renamed, AT_SYMLINK_NOFOLLOW) != 0) {
        return SystemError("set the time of", target.path);
      }
      const auto apart = renamed.st_mtim.tv_sec - st.st_mtim.tv_sec;
      // A source written a moment ago cannot tell: its time is set again
      // and the next copy asks once more.
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      const bool recent = now.tv_sec - st.st_mtim.tv_sec < 10;
      if (apart > 2 || apart < -2) {
        renameResetsTime_.store(1, std::memory_order_relaxed);
      } else if (!recent) {
        renameResetsTime_.store(0, std::memory_order_relaxed);
        return Status::Ok();
      }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(target.parent, name, times, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemError("set the time of", target.path);
    }
    return Status::Ok();
  }

  // A temporary name already gone (a driver that dropped it when the rename
  // failed) is no stray.
  void RemoveTemporary(int parent, const std::string& name, const std::string& path) {
    if (unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
      options_.reportStray("FernwickTreeSyncer: " + SystemError("delete", path).Message());
    }
  }

  Fd root_;
  std::string rootPath_;  // ends in the separator
  PosixCopyOptions options_;
  PosixKeptFolders keptFolders_;
  std::atomic<std::uint64_t> copyCounter_{0};
  std::atomic<unsigned> carried_{0};       // kOwner, kXattrs, kAcls
  std::atomic<bool> cloning_{true};        // false once a clone was refused for good
  std::atomic<int> renameResetsTime_{-1};  // -1: not known yet
  // False once naming an unnamed file by its handle was refused.
  std::atomic<bool> namesFromHandle_{true};
  const mode_t umask_ = CurrentUmask();
  const pid_t pid_ = getpid();
};

}  // namespace

CopyCalls SystemCopyCalls() {
  CopyCalls calls;
  calls.clone = [](int in, int out) { return ioctl(out, FICLONE, in); };
  calls.copyRange = [](int in, int out, std::size_t size) {
    return copy_file_range(in, nullptr, out, nullptr, size, 0);
  };
  calls.read = ::read;
  calls.write = ::write;
  return calls;
}

Result<std::unique_ptr<DestinationTree>> OpenPosixDestination(const std::string& root,
                                                              const PosixCopyOptions& options) {
  // The root is followed once, as typed.
  Fd fd(open(root.c_str(), kFolderFlags));
  if (!fd.Valid()) return SystemError("open", root);
  std::string rootPath = root;
  if (rootPath.empty() || rootPath.back() != '/') rootPath += '/';
  return std::unique_ptr<DestinationTree>(
      std::make_unique<PosixDestinationTree>(std::move(fd), std::move(rootPath), options));
}

}  // namespace fts
