// The platform on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"

namespace fts {
namespace {

std::string ErrorText(int error) {
  return std::strerror(error);
}

// Every failure of this platform is made here, from the system's error
// number (by default the one the failed call left).
Status SystemError(std::string_view operation, const std::string& path, int error = errno) {
  return Status::Error(operation, path, ErrorText(error));
}

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileTime LastWriteOf(const struct stat& st) {
  return {static_cast<std::int64_t>(st.st_mtim.tv_sec),
          static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
}

class PosixListing : public DirectoryListing {
 public:
  PosixListing(DIR* dir, std::string path, LinkPolicy policy, FileIdentity identity)
      : dir_(dir), fd_(dirfd(dir)), path_(std::move(path)), policy_(policy), identity_(identity) {}
  ~PosixListing() override { closedir(dir_); }

  int Fd() const { return fd_; }
  FileIdentity Identity() const override { return identity_; }
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
      return true;
    }
    struct stat st;
    if (fstatat(fd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (S_ISLNK(st.st_mode)) {
      if (policy_ == LinkPolicy::kDoNotFollow) {
        info.isSymlink = true;
        info.identity = IdentityOf(st);
        return true;
      }
      // A link that leads nowhere is still an entry, with no valid time.
      if (fstatat(fd_, entry->d_name, &st, 0) != 0) return true;
    }
    info.isDirectory = S_ISDIR(st.st_mode);
    info.identity = IdentityOf(st);
    if (!info.isDirectory) {
      info.timeValid = true;
      info.lastWrite = LastWriteOf(st);
    }
    return true;
  }

 private:
  DIR* dir_;
  int fd_;
  std::string path_;
  LinkPolicy policy_;
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

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// One side of a copy: the open file and the name it is known by.
struct CopyEnd {
  int fd;
  const std::string& path;
};

// Copies the bytes of one open file into another, in the kernel when it
// can. `size` is the length seen when the file was opened: a file that grows
// meanwhile is copied as it was, one that shrinks as far as it goes.
Status CopyContents(CopyEnd in, CopyEnd out, off_t size) {
  off_t copied = 0;
  while (copied < size) {
    const ssize_t n = copy_file_range(in.fd, nullptr, out.fd, nullptr,
                                      static_cast<std::size_t>(size - copied), 0);
    if (n > 0) {
      copied += n;
      continue;
    }
    if (n == 0) return Status::Ok();
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EPERM) {
      return SystemError("copy to", out.path);
    }
    break;  // carry on where the kernel stopped, through user space
  }
  static thread_local std::vector<char> buffer(1 << 20);
  while (copied < size) {
    const ssize_t got = read(in.fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return SystemError("read", in.path);
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out.fd, buffer.data() + done, static_cast<std::size_t>(got - done));
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

class PosixPlatform : public Platform {
 public:
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

  CreateResult CreateNewFile(const std::string& path) override {
    CreateResult result;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      result.outcome = CreateOutcome::kCreated;
      result.file = std::make_unique<PosixFile>(fd, path);
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

  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override {
    const int flags = (mode == OpenMode::kRead ? O_RDONLY : O_WRONLY) | O_CLOEXEC;
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return SystemError("open", path);
    return std::unique_ptr<File>(std::make_unique<PosixFile>(fd, path));
  }

  Status DeleteFile(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? Status::Ok() : SystemError("delete", path);
  }

  Status RemoveDirectory(const std::string& path) override {
    return rmdir(path.c_str()) == 0 ? Status::Ok() : SystemError("remove", path);
  }

  Status MakeDirectory(const std::string& path) override {
    return mkdir(path.c_str(), 0777) == 0 ? Status::Ok() : SystemError("make", path);
  }

  Status CopyFile(const std::string& from, const std::string& to) override {
    // A FIFO or a device would block or never end: only regular files are
    // opened. O_NONBLOCK guards against one swapped in meanwhile; it does
    // nothing to a regular file.
    struct stat st;
    if (stat(from.c_str(), &st) != 0) return SystemError("copy", from);
    if (!S_ISREG(st.st_mode)) return Status::Error("copy", from, "Not a regular file");
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in < 0) return SystemError("copy", from);
    Status status = CopyOpenFile({in, from}, to);
    close(in);  // read-only: nothing can be lost here
    return status;
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
        if (fd == 1 && !stdoutFailed_) {
          // The log is gone; say so once where it can still be seen.
          stdoutFailed_ = true;
          WriteAll(2, "FernwickTreeSyncer: standard output: " + ErrorText(errno) + "\n");
        }
        return;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Writes the copy as a file without a name in the destination folder and
  // gives it the final name only when it is complete, so that neither a
  // link standing there nor a half-written file can result. Where something
  // still stands under the name, the copy takes a temporary name and is
  // renamed over it.
  Status CopyOpenFile(CopyEnd in, const std::string& to) {
    struct stat st;
    if (fstat(in.fd, &st) != 0) return SystemError("copy", in.path);
    if (!S_ISREG(st.st_mode)) return Status::Error("copy", in.path, "Not a regular file");

    // Set-id bits are left out: the copy's owner is whoever runs the mirror.
    const mode_t mode = st.st_mode & 01777;
    const std::string folder = FolderOf(to);
    const int out =
        unnamedFilesWork_ ? open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode) : -1;
    if (out < 0) {
      if (unnamedFilesWork_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return SystemError("copy to", to);
      }
      return CopyThroughTemporaryName(in, st, mode, to);
    }
    Status status = WriteCopy(in, {out, to}, st, mode);
    if (status) {
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", out);
      if (linkat(AT_FDCWD, self, AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno == EEXIST) {
          status = LinkOverExisting(self, to);
        } else {
          status = SystemError("copy to", to);
        }
      }
    }
    if (close(out) != 0 && status) status = SystemError("copy to", to);
    return status;
  }

  // Contents, permission bits and times of `in` into `out`.
  Status WriteCopy(CopyEnd in, CopyEnd out, const struct stat& st, mode_t mode) {
    Status status = CopyContents(in, out, st.st_size);
    if (status && (mode & ~umask_) != mode && fchmod(out.fd, mode) != 0) {
      status = SystemError("set the permissions of", out.path);
    }
    if (status) {
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (futimens(out.fd, times) != 0) status = SystemError("set the time of", out.path);
    }
    return status;
  }

  std::string TemporaryNameIn(const std::string& folder) {
    return folder + ".fts-" + std::to_string(pid_) + "-" + std::to_string(copyCounter_++) + ".tmp";
  }

  // Gives the complete unnamed file `self` a temporary name beside `to`,
  // then renames it over what stands under `to`.
  Status LinkOverExisting(const char* self, const std::string& to) {
    const std::string temporary = TemporaryNameIn(FolderOf(to));
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, temporary);
    Status status = Status::Ok();
    if (linkat(AT_FDCWD, self, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      status = SystemError("create", temporary);
    } else if (rename(temporary.c_str(), to.c_str()) != 0) {
      status = SystemError("replace", to);
      RemoveTemporary(temporary);
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // For file systems without unnamed files: the copy is written under a
  // temporary name and renamed.
  Status CopyThroughTemporaryName(CopyEnd in, const struct stat& st, mode_t mode,
                                  const std::string& to) {
    const std::string folder = FolderOf(to);
    std::string temporary;
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
      temporary = TemporaryNameIn(folder);
      // Registered before it exists: the name is this process's own, so an
      // interrupt in between deletes nothing else.
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, temporary);
      out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
      Status status = SystemError("create", temporary);
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
      return status;
    }
    Status status = WriteCopy(in, {out, temporary}, st, mode);
    if (close(out) != 0 && status) status = SystemError("close", temporary);
    if (status && rename(temporary.c_str(), to.c_str()) != 0) status = SystemError("replace", to);
    if (!status) RemoveTemporary(temporary);
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  void RemoveTemporary(const std::string& temporary) {
    if (unlink(temporary.c_str()) != 0) {
      WriteAll(2, "FernwickTreeSyncer: " + SystemError("delete", temporary).Message() + "\n");
    }
  }

  static mode_t CurrentUmask() {
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
  }

  bool stdoutFailed_ = false;
  std::uint64_t copyCounter_ = 0;
  const mode_t umask_ = CurrentUmask();
  const pid_t pid_ = getpid();
  // Naming an unnamed file goes through /proc, which a sandbox may lack.
  const bool unnamedFilesWork_ = access("/proc/self/fd", X_OK) == 0;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() {
  return std::make_unique<PosixPlatform>();
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace fts
