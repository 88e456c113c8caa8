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
Status LastError() {
  return Status::Error(ErrorText(errno));
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
  PosixListing(DIR* dir, LinkPolicy policy, FileIdentity identity)
      : dir_(dir), fd_(dirfd(dir)), policy_(policy), identity_(identity) {}
  ~PosixListing() override { closedir(dir_); }

  int Fd() const { return fd_; }
  FileIdentity Identity() const override { return identity_; }
  std::string Error() const override { return error_; }

  bool Next(std::string& name, DirEntryInfo& info) override {
    errno = 0;
    const dirent* entry = readdir(dir_);
    if (entry == nullptr) {
      if (errno != 0) error_ = ErrorText(errno);
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
  LinkPolicy policy_;
  FileIdentity identity_;
  std::string error_;
};

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {
    struct stat st;
    if (fstat(fd_, &st) == 0) identity_ = IdentityOf(st);
  }
  ~PosixFile() override {
    if (fd_ >= 0) close(fd_);
  }

  Status ReadAt(std::int64_t offset, char* buffer, std::size_t size,
                std::size_t& bytesRead) override {
    bytesRead = 0;
    while (bytesRead < size) {
      const ssize_t n = pread(fd_, buffer + bytesRead, size - bytesRead,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(bytesRead)));
      if (n < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      if (n == 0) break;
      bytesRead += static_cast<std::size_t>(n);
    }
    return Status::Ok();
  }

  Status Append(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return LastError();
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
        return LastError();
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
    if (close(fd) != 0) return LastError();
    return Status::Ok();
  }

  FileIdentity Identity() const override { return identity_; }

 private:
  int fd_;
  FileIdentity identity_;
};

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// Copies the bytes of one open file into another, in the kernel when it
// can. `size` is the length seen when the file was opened: a file that grows
// meanwhile is copied as it was, one that shrinks as far as it goes.
Status CopyContents(int in, int out, off_t size) {
  off_t copied = 0;
  while (copied < size) {
    const ssize_t n =
        copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(size - copied), 0);
    if (n > 0) {
      copied += n;
      continue;
    }
    if (n == 0) return Status::Ok();
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EPERM) {
      return LastError();
    }
    break;  // carry on where the kernel stopped, through user space
  }
  static thread_local std::vector<char> buffer(1 << 20);
  while (copied < size) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      done += put;
    }
    copied += got;
  }
  return Status::Ok();
}

class PosixPlatform : public Platform {
 public:
  std::unique_ptr<DirectoryListing> OpenDirectory(const std::string& path, DirectoryListing* parent,
                                                  std::string_view nameInParent, LinkPolicy policy,
                                                  std::string& error) override {
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
    if (fd < 0) {
      error = ErrorText(errno);
      return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      error = ErrorText(errno);
      close(fd);
      return nullptr;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      error = ErrorText(errno);
      close(fd);
      return nullptr;
    }
    return std::make_unique<PosixListing>(dir, policy, IdentityOf(st));
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
      result.file = std::make_unique<PosixFile>(fd);
      return result;
    }
    const int error = errno;
    result.message = ErrorText(error);
    if (error == EEXIST) {
      result.outcome = CreateOutcome::kNameTaken;
    } else if (error == EACCES || error == EPERM || error == EROFS) {
      result.outcome = CreateOutcome::kNotWritable;
    } else {
      result.outcome = CreateOutcome::kFailed;
    }
    return result;
  }

  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode,
                                 std::string& error) override {
    const int flags = (mode == OpenMode::kRead ? O_RDONLY : O_WRONLY) | O_CLOEXEC;
    const int fd = open(path.c_str(), flags);
    if (fd < 0) {
      error = ErrorText(errno);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  Status DeleteFile(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? Status::Ok() : LastError();
  }

  Status RemoveDirectory(const std::string& path) override {
    return rmdir(path.c_str()) == 0 ? Status::Ok() : LastError();
  }

  Status MakeDirectory(const std::string& path) override {
    return mkdir(path.c_str(), 0777) == 0 ? Status::Ok() : LastError();
  }

  Status CopyFile(const std::string& from, const std::string& to) override {
    // A FIFO or a device would block or never end: only regular files are
    // opened. O_NONBLOCK guards against one swapped in meanwhile; it does
    // nothing to a regular file.
    struct stat st;
    if (stat(from.c_str(), &st) != 0) return LastError();
    if (!S_ISREG(st.st_mode)) return Status::Error("Not a regular file");
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in < 0) return LastError();
    Status status = CopyOpenFile(in, to);
    close(in);  // read-only: nothing can be lost here
    return status;
  }

  LocalDateTime Now() override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    LocalDateTime local;
    ToLocalTime({static_cast<std::int64_t>(now.tv_sec), 0}, local);
    return local;
  }

  bool ToLocalTime(const FileTime& time, LocalDateTime& local) override {
    const time_t seconds = static_cast<time_t>(time.seconds);
    struct tm parts;
    if (localtime_r(&seconds, &parts) == nullptr) return false;
    local = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
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
  Status CopyOpenFile(int in, const std::string& to) {
    struct stat st;
    if (fstat(in, &st) != 0) return LastError();
    if (!S_ISREG(st.st_mode)) return Status::Error("Not a regular file");

    // Set-id bits are left out: the copy's owner is whoever runs the mirror.
    const mode_t mode = st.st_mode & 01777;
    const std::string folder = FolderOf(to);
    const int out =
        unnamedFilesWork_ ? open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode) : -1;
    if (out < 0) {
      if (unnamedFilesWork_ && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return LastError();
      }
      return CopyThroughTemporaryName(in, st, mode, to);
    }
    Status status = WriteCopy(in, out, st, mode);
    if (status) {
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", out);
      if (linkat(AT_FDCWD, self, AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno == EEXIST) {
          status = LinkOverExisting(self, to);
        } else {
          status = LastError();
        }
      }
    }
    if (close(out) != 0 && status) status = LastError();
    return status;
  }

  // Contents, permission bits and times of `in` into `out`.
  Status WriteCopy(int in, int out, const struct stat& st, mode_t mode) {
    Status status = CopyContents(in, out, st.st_size);
    if (status && (mode & ~umask_) != mode && fchmod(out, mode) != 0) status = LastError();
    if (status) {
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      if (futimens(out, times) != 0) status = LastError();
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
      status = LastError();
    } else if (rename(temporary.c_str(), to.c_str()) != 0) {
      status = LastError();
      RemoveTemporary(temporary);
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // For file systems without unnamed files: the copy is written under a
  // temporary name and renamed.
  Status CopyThroughTemporaryName(int in, const struct stat& st, mode_t mode,
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
      Status status = LastError();
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
      return status;
    }
    Status status = WriteCopy(in, out, st, mode);
    if (close(out) != 0 && status) status = LastError();
    if (status && rename(temporary.c_str(), to.c_str()) != 0) status = LastError();
    if (!status) RemoveTemporary(temporary);
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  void RemoveTemporary(const std::string& temporary) {
    if (unlink(temporary.c_str()) != 0) {
      WriteAll(2,
               "FernwickTreeSyncer: cannot delete " + temporary + ": " + ErrorText(errno) + "\n");
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

}  // namespace fts
