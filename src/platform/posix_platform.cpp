// The platform on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/folder_read_ahead.h"
#include "platform/platform.h"
#include "platform/posix_attributes.h"
#include "platform/posix_destination.h"
#include "platform/posix_fanotify_watch.h"
#include "platform/posix_fd.h"
#include "platform/posix_letter_case.h"
#include "platform/posix_platform.h"
#include "platform/posix_system_error.h"
#include "platform/posix_tree_watch.h"

namespace fts {
namespace {

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileTime LastWriteOf(const struct stat& st) {
  return {static_cast<std::int64_t>(st.st_mtim.tv_sec),
          static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
}

// What a listing tells of an entry besides its time and identity.
void FillFacts(const struct stat& st, DirEntryInfo& info) {
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  info.owner = static_cast<std::uint32_t>(st.st_uid);
  info.group = static_cast<std::uint32_t>(st.st_gid);
  info.linkCount = static_cast<std::uint64_t>(st.st_nlink);
}

class PosixListing : public DirectoryListing {
 public:
  PosixListing(DIR* dir, std::string path, LinkPolicy policy, FileIdentity identity)
      : dir_(dir), fd_(dirfd(dir)), path_(std::move(path)), policy_(policy), identity_(identity) {}
  ~PosixListing() override { closedir(dir_); }

  int Fd() const { return fd_; }
  FileIdentity Identity() const override { return identity_; }
  void ReadAttributesToo(const CarriedItems& extended) override {
    readAttributes_ = true;
    extended_ = extended;
  }
  Status status() const override { return status_; }

  bool Next(std::string& name, DirEntryInfo& info) override {
    errno = 0;
    const dirent* entry = readdir(dir_);
    if (entry == nullptr) {
      if (errno != 0) status_ = SystemError("list", path_);
      return false;
    }
    name.assign(entry->d_name);
    info = DirEntryInfo{};
    if (entry->d_type == DT_DIR) {
      // No look-up needed: the walk learns the identity when it opens it.
      info.isDirectory = true;
      struct stat st;
      if (readAttributes_ && fstatat(fd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        FillFacts(st, info);
        ReadExtended(entry->d_name, false, info);
      }
      return true;
    }
    struct stat st;
    if (fstatat(fd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (S_ISLNK(st.st_mode)) {
      if (policy_ == LinkPolicy::kDoNotFollow) {
        info.isSymlink = true;
        info.identity = IdentityOf(st);
        FillFacts(st, info);
        if (readAttributes_) ReadExtended(entry->d_name, false, info);
        return true;
      }
      // A link that leads nowhere is still an entry, with no valid time.
      if (fstatat(fd_, entry->d_name, &st, 0) != 0) return true;
    }
    info.isDirectory = S_ISDIR(st.st_mode);
    info.identity = IdentityOf(st);
    FillFacts(st, info);
    if (readAttributes_) ReadExtended(entry->d_name, policy_ == LinkPolicy::kFollow, info);
    if (!info.isDirectory) {
      info.timeValid = true;
      info.lastWrite = LastWriteOf(st);
    }
    return true;
  }

 private:
  // The extended attributes asked for, after the entry's stat; with them
  // its attributes are read. A failure leaves them to a look-up by path.
  void ReadExtended(const char* name, bool follow, DirEntryInfo& info) {
    if (extended_.xattrs || extended_.acls) {
      if (const auto none = HasNoCarriedXattrsAt(fd_, name, follow, extended_); !none || !*none) {
        const std::string path = path_ + (path_.ends_with('/') ? "" : "/") + name;
        auto read = ReadXattrs(XattrPlace{-1, path.c_str(), follow}, extended_, path);
        if (!read) return;
        info.extended = std::move(*read);
      }
    }
    info.attributesRead = true;
  }

  DIR* dir_;
  int fd_;
  std::string path_;
  LinkPolicy policy_;
  bool readAttributes_ = false;
  CarriedItems extended_;
  FileIdentity identity_;
  Status status_;
};

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    struct stat st;
    if (fstat(fd_, &st) == 0) identity_ = IdentityOf(st);
  }
  ~PosixFile() override {
    if (fd_ >= 0) close(fd_);
  }

  Result<std::size_t> ReadAt(std::int64_t offset, char* buffer, std::size_t size) override {
    std::size_t bytesRead = 0;
    while (bytesRead < size) {
      const ssize_t n = pread(fd_, buffer + bytesRead, size - bytesRead,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(bytesRead)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return SystemError("read", path_);
      }
      if (n == 0) break;
      bytesRead += static_cast<std::size_t>(n);
    }
    return bytesRead;
  }

  Status Append(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return SystemError("write", path_);
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return Status::Ok();
  }

  Status WriteAt(std::int64_t offset, const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return SystemError("write", path_);
      }
      data += n;
      offset += n;
      size -= static_cast<std::size_t>(n);
    }
    return Status::Ok();
  }

  Status Close() override {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return SystemError("close", path_);
    return Status::Ok();
  }

  FileIdentity Identity() const override { return identity_; }

 private:
  int fd_;
  std::string path_;
  FileIdentity identity_;
};

// The hold of a file: an exclusive lock on an open descriptor of it, which
// the system lets go when the process ends, however it ends.
class PosixFileHold : public FileHold {
 public:
  PosixFileHold(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  Result<std::string> ReadStart(std::size_t size) override {
    std::string bytes(size, '\0');
    const ssize_t n = pread(fd_.Get(), bytes.data(), size, 0);
    if (n < 0) return SystemError("read", path_);
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
  }

  Status DeleteAndRelease() override {
    struct stat held;
    struct stat named;
    Status status = Status::Ok();
    if (fstat(fd_.Get(), &held) == 0 && lstat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino && unlink(path_.c_str()) != 0) {
      status = SystemError("delete", path_);
    }
    fd_.Reset();
    return status;
  }

 private:
  Fd fd_;
  std::string path_;
};

// A name for `path` that the system takes in one call, however long the
// path: the path itself when it is short enough; else its last name in the
// folder above, which is opened one name at a time (links followed) and
// reached through /proc/self/fd while `folder` stays open.
struct ShortPath {
  Fd folder;
  std::string name;
  const char* c_str() const { return name.c_str(); }
};

Result<ShortPath> Shorten(const std::string& path, std::string_view operation) {
  ShortPath shortPath;
  const auto slash = path.rfind('/');
  if (path.size() < PATH_MAX || slash == std::string::npos) {
    shortPath.name = path;
    return shortPath;
  }
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  shortPath.folder = Fd(open(path.starts_with('/') ? "/" : ".", kFlags));
  std::string_view rest = std::string_view(path).substr(0, slash);
  while (shortPath.folder.Valid() && !rest.empty()) {
    const std::size_t end = std::min(rest.find('/'), rest.size());
    const std::string name(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!name.empty()) shortPath.folder = Fd(openat(shortPath.folder.Get(), name.c_str(), kFlags));
  }
  if (!shortPath.folder.Valid()) return SystemError(operation, path);
  shortPath.name =
      "/proc/self/fd/" + std::to_string(shortPath.folder.Get()) + "/" + path.substr(slash + 1);
  return shortPath;
}

// Reads up to `size` bytes, fewer only at the end of the file.
Result<std::size_t> ReadFull(int fd, char* buffer, std::size_t size, const std::string& path) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SystemError("read", path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// A regular file opened to be compared, and its size.
struct Compared {
  Fd fd;
  off_t size = 0;
  FileIdentity identity;
};

Result<Compared> OpenToCompare(const std::string& path) {
  auto name = Shorten(path, "compare");
  if (!name) return name.status();
  Compared file;
  // O_NONBLOCK: a FIFO swapped in would block; nothing changes for a file.
  file.fd = Fd(open(name->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!file.fd.Valid() || fstat(file.fd.Get(), &st) != 0) return SystemError("compare", path);
  if (!S_ISREG(st.st_mode)) return Status::Error("compare", path, "Not a regular file");
  file.size = st.st_size;
  file.identity = IdentityOf(st);
  return file;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// The folders that packages and `cmake --install` put programs in, and
// whether everything below one counts too (helpers under lib and libexec).
struct ProgramPlace {
  std::string_view path;
  bool wholeTree;
};
constexpr ProgramPlace kSystemProgramPlaces[] = {
    {"/bin", false},
    {"/sbin", false},
    {"/usr/bin", false},
    {"/usr/sbin", false},
    {"/usr/games", false},
    {"/usr/local/bin", false},
    {"/usr/local/sbin", false},
    {"/usr/local/games", false},
    {"/lib", true},
    {"/usr/lib", true},
    {"/usr/libexec", true},
    {"/usr/local/lib", true},
    {"/usr/local/libexec", true},
};

bool IsAtOrBelow(std::string_view path, std::string_view place, bool wholeTree) {
  if (path == place) return true;
  return wholeTree && path.size() > place.size() && path.starts_with(place) &&
         path[place.size()] == '/';
}

class PosixPlatform : public Platform {
 public:
  PosixPlatform(bool unnamedFiles, CopyCalls calls) : unnamedFiles_(unnamedFiles), calls_(calls) {}

  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int fd;
    if (auto* posixParent = dynamic_cast<PosixListing*>(parent)) {
      // Opened by name inside the open parent: no second walk down the full path.
      if (policy == LinkPolicy::kDoNotFollow) flags |= O_NOFOLLOW;
      const std::string name(nameInParent);
      fd = openat(posixParent->Fd(), name.c_str(), flags);
    } else {
      fd = open(path.c_str(), flags);
    }
    if (fd < 0) return SystemError("list", path);
    struct stat st;
    DIR* dir = fstat(fd, &st) == 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
      Status failure = SystemError("list", path);
      close(fd);
      return failure;
    }
    return std::unique_ptr<DirectoryListing>(
        std::make_unique<PosixListing>(dir, path, policy, IdentityOf(st)));
  }

  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  std::optional<std::string> RealPath(const std::string& path) override {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string result(resolved);
    std::free(resolved);
    return result;
  }

  std::string ExecutableFolder() override {
    std::vector<char> buffer(4096);
    for (;;) {
      const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n < 0) return "./";
      if (static_cast<std::size_t>(n) < buffer.size()) {
        return FolderOf(std::string(buffer.data(), static_cast<std::size_t>(n)));
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  std::string TemporaryFolder() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
  }

  bool IsSystemProgramFolder(const std::string& folder) override {
    std::string path = RealPath(folder).value_or(folder);
    while (path.size() > 1 && path.back() == '/')
      path.pop_back();
    if (IsSystemProgramPath(path)) return true;
    // A system folder that is a link to another disk (/usr/local/bin onto
    // /data, say) is the same folder under its real name.
    for (const ProgramPlace& place : kSystemProgramPlaces) {
      const auto real = RealPath(std::string(place.path));
      if (real && *real != place.path && IsAtOrBelow(path, *real, place.wholeTree)) return true;
    }
    return false;
  }

  CreateResult CreateNewFile(const std::string& path) override {
    CreateResult result;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // Held at once: another run that took the new, empty file for a
      // leftover in between has it now, and the name counts as taken.
      Fd hold(dup(fd));
      if (!hold.Valid() || flock(hold.Get(), LOCK_EX | LOCK_NB) != 0) {
        result.status = SystemError("hold", path);
        close(fd);
        result.outcome = CreateOutcome::kNameTaken;
        return result;
      }
      result.outcome = CreateOutcome::kCreated;
      result.file = std::make_unique<PosixFile>(fd, path);
      result.hold = std::make_unique<PosixFileHold>(std::move(hold), path);
      return result;
    }
    const int error = errno;
    result.status = SystemError("create", path, error);
    if (error == EEXIST) {
      result.outcome = CreateOutcome::kNameTaken;
    } else if (error == EACCES || error == EPERM || error == EROFS) {
      result.outcome = CreateOutcome::kNotWritable;
    } else {
      result.outcome = CreateOutcome::kFailed;
    }
    return result;
  }

  HoldResult HoldFile(const std::string& path) override {
    HoldResult result;
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.Valid() || fstat(fd.Get(), &st) != 0) {
      result.status = SystemError("hold", path);
      return result;
    }
    if (!S_ISREG(st.st_mode)) {
      result.status = SystemError("hold", path, EINVAL);
      return result;
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      result.status = SystemError("hold", path);
      if (errno == EWOULDBLOCK) result.outcome = HoldOutcome::kHeldElsewhere;
      return result;
    }
    result.outcome = HoldOutcome::kHeld;
    result.hold = std::make_unique<PosixFileHold>(std::move(fd), path);
    return result;
  }

  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override {
    const int flags = (mode == OpenMode::kRead ? O_RDONLY : O_WRONLY) | O_CLOEXEC;
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return SystemError("open", path);
    return std::unique_ptr<File>(std::make_unique<PosixFile>(fd, path));
  }

  Status DeleteFile(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? Status::Ok() : SystemError("delete", path);
  }

  std::optional<std::uint64_t> SizeOf(const std::string& path) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }

  std::unique_ptr<BackgroundWork> ReadFoldersAhead(const std::string& root,
                                                   LinkPolicy policy) override {
    return std::make_unique<FolderReadAhead>(*this, root, policy, kReadAheadThreads);
  }
  bool StderrIsTerminal() override { return isatty(2) == 1; }

  Status ReplaceFile(const std::string& path, std::string_view contents) override {
    const std::string temporary = path + ".tmp-" + std::to_string(getpid());
    Fd out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.Valid()) return SystemError("create", temporary);
    PosixFile file(out.Release(), temporary);
    Status status = file.Append(contents.data(), contents.size());
    if (Status closed = file.Close(); status && !closed) status = closed;
    if (status && rename(temporary.c_str(), path.c_str()) != 0) {
      status = SystemError("replace", path);
    }
    if (!status) unlink(temporary.c_str());  // the failure told is the one above
    return status;
  }

  Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) override {
    PosixCopyOptions options;
    options.unnamedFiles = unnamedFiles_;
    options.calls = calls_;
    options.reportStray = [this](const std::string& line) { WriteAll(2, line + "\n"); };
    return OpenPosixDestination(root, options);
  }

  Result<EntryAttributes> ReadAttributes(const std::string& path, LinkPolicy policy,
                                         const CarriedItems& items) override {
    auto name = Shorten(path, "read the attributes of");
    if (!name) return name.status();
    const bool follow = policy == LinkPolicy::kFollow;
    struct stat st;
    if ((follow ? stat(name->c_str(), &st) : lstat(name->c_str(), &st)) != 0) {
      return SystemError("read the attributes of", path);
    }
    EntryAttributes attributes;
    attributes.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    attributes.owner = static_cast<std::uint32_t>(st.st_uid);
    attributes.group = static_cast<std::uint32_t>(st.st_gid);
    attributes.lastWrite = LastWriteOf(st);
    auto extended = ReadXattrs(XattrPlace{-1, name->c_str(), follow}, items, path);
    if (!extended) return extended.status();
    attributes.extended = std::move(*extended);
    return attributes;
  }

  Result<std::vector<std::pair<std::string, std::string>>> ReadExtendedAttributes(
      const std::string& path, LinkPolicy policy, const CarriedItems& items) override {
    if (!items.xattrs && !items.acls) return ExtendedAttributes{};
    auto name = Shorten(path, "read the extended attributes of");
    if (!name) return name.status();
    return ReadXattrs(XattrPlace{-1, name->c_str(), policy == LinkPolicy::kFollow}, items, path);
  }

  Result<std::string> ReadLinkTarget(const std::string& path) override {
    auto name = Shorten(path, "read the link");
    if (!name) return name.status();
    std::string target(256, '\0');
    for (;;) {
      const ssize_t n = readlink(name->c_str(), target.data(), target.size());
      if (n < 0) return SystemError("read the link", path);
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        return target;
      }
      target.resize(target.size() * 2);
    }
  }

  // Sizes first; then both files a block at a time, up to the first block
  // that differs.
  std::string FoldLetterCase(std::string_view name) override { return FoldLetterCaseUtf8(name); }
  // Root marks the whole file system once; where it may not, or the kernel
  // or file system cannot, a watch per folder.
  Result<std::unique_ptr<TreeWatch>> WatchTree(const std::string& root) override {
    // inotify wakes only for the tree's own changes, where fanotify's one
    // mark wakes for every write on the file system (11.6 s of CPU in ten
    // minutes on a busy machine): as root the mark serves a tree that has
    // more folders than the limit of watches allows. FTS_WATCH_WITH names
    // the kind, for tests.
    const char* kind = std::getenv("FTS_WATCH_WITH");
    const bool forced = kind != nullptr && *kind != '\0';
    if (forced && std::string_view(kind) == "fanotify") {
      if (auto mark = WatchTreeWithFanotify(root)) return mark;
    }
    bool whole = true;
    auto watch = WatchTreeWithInotify(root, &whole);
    if ((!watch || !whole) && !forced && geteuid() == 0) {
      if (auto mark = WatchTreeWithFanotify(root)) return mark;
    }
    return watch;
  }
  Result<bool> IgnoresLetterCase(const std::string& path, bool mayWrite) override {
    return FolderIgnoresLetterCase(path, mayWrite);
  }

  Result<bool> SameContents(const std::string& first, const std::string& second) override {
    auto one = OpenToCompare(first);
    if (!one) return one.status();
    auto other = OpenToCompare(second);
    if (!other) return other.status();
    if (one->size != other->size) return false;
    if (one->identity == other->identity) return true;
    // The system reads ahead of both files by itself (told they are read
    // in order), so the block's size hardly matters to the disk; blocks that
    // stay in the processor's cache compare faster (measured on files in the
    // system's cache: 64 KiB about a quarter faster than 256 KiB, and the
    // same from disk).
    constexpr std::size_t kBlock = 64 << 10;
    if (one->size > static_cast<off_t>(kBlock)) {
      // A hint: where the system does not take it, the reads are the same.
      (void)posix_fadvise(one->fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
      (void)posix_fadvise(other->fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    thread_local std::vector<char> oneBlock(kBlock);
    thread_local std::vector<char> otherBlock(kBlock);
    // A file that changes meanwhile and ends early differs.
    for (off_t left = one->size; left > 0;) {
      const std::size_t want = static_cast<std::size_t>(std::min<off_t>(left, kBlock));
      auto oneGot = ReadFull(one->fd.Get(), oneBlock.data(), want, first);
      if (!oneGot) return oneGot.status();
      if (*oneGot < want) return false;
      auto otherGot = ReadFull(other->fd.Get(), otherBlock.data(), want, second);
      if (!otherGot) return otherGot.status();
      if (*otherGot < want || std::memcmp(oneBlock.data(), otherBlock.data(), want) != 0) {
        return false;
      }
      left -= static_cast<off_t>(want);
    }
    return true;
  }

  LocalDateTime Now() override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return ToLocalTime({static_cast<std::int64_t>(now.tv_sec), 0}).value_or(LocalDateTime{});
  }

  std::optional<LocalDateTime> ToLocalTime(const FileTime& time) override {
    const time_t seconds = static_cast<time_t>(time.seconds);
    struct tm parts;
    if (localtime_r(&seconds, &parts) == nullptr) return std::nullopt;
    return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                         parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  }

  void WriteStdout(std::string_view text) override { WriteAll(1, text); }
  void WriteStderr(std::string_view text) override { WriteAll(2, text); }

 private:
  void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = write(fd, text.data(), text.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (fd == 1 && !stdoutFailed_.exchange(true)) {
          // The log is gone; say so once where it can still be seen.
          WriteAll(2, "FernwickTreeSyncer: standard output: " + ErrorText(errno) + "\n");
        }
        return;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::atomic<bool> stdoutFailed_{false};
  // Naming an unnamed file goes through /proc, which a sandbox may lack.
  const bool unnamedFiles_;
  const CopyCalls calls_;
};

}  // namespace

// A program started with standard input, output or error closed would hand
// out their numbers to the next files it opens, and its log would land in
// them: each closed one is opened on the null device first. A closed
// standard output is told once on standard error, as a failing one is.
void KeepStandardStreamsApart() {
  bool outputClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == 1) outputClosed = true;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  if (outputClosed) {
    const std::string line = "FernwickTreeSyncer: standard output: " + ErrorText(EBADF) + "\n";
    (void)!write(2, line.data(), line.size());  // nowhere left to tell a failure
  }
}

std::unique_ptr<Platform> MakeSystemPlatform() {
  KeepStandardStreamsApart();
  return std::make_unique<PosixPlatform>(access("/proc/self/fd", X_OK) == 0, SystemCopyCalls());
}

std::unique_ptr<Platform> MakePosixPlatform(bool unnamedFiles, CopyCalls calls) {
  return std::make_unique<PosixPlatform>(unnamedFiles, calls);
}

bool IsSystemProgramPath(std::string_view path) {
  for (const ProgramPlace& place : kSystemProgramPlaces) {
    if (IsAtOrBelow(path, place.path, place.wholeTree)) return true;
  }
  // /opt/<package>/bin, sbin and libexec (FHS add-on packages, and
  // `cmake --install --prefix /opt/<package>`); the package's own top folder
  // is left to the rule of folders that belong to a program.
  constexpr std::string_view kOpt = "/opt/";
  if (!path.starts_with(kOpt)) return false;
  const std::string_view rest = path.substr(kOpt.size());
  const auto slash = rest.find('/');
  if (slash == 0 || slash == std::string_view::npos) return false;
  const std::string_view below = rest.substr(slash + 1);
  return below == "bin" || below == "sbin" || IsAtOrBelow(below, "libexec", true);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace fts
