// fts_slow_fs: a FUSE 3 file system that passes every call through to a
// folder on the local disk, after waiting a fixed time first, so that each
// round trip to it costs what one to a network share costs. The jobs
// benchmark (bench/jobs.sh) mirrors into it to see how many parallel action
// workers hide that latency.
//
//   fts_slow_fs --root DIR --delay-ms D [--threads N] MOUNTPOINT [fuse options]
//
// Requests are served by a multithreaded loop (up to N threads, default 128):
// while one request waits, others wait beside it, as a share's round trips
// overlap when several are in flight. `--threads 1` serves them one at a time.
#define FUSE_USE_VERSION 35

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fuse.h>

namespace {

int g_root = -1;  // the backing folder, every path is resolved below it
std::chrono::microseconds g_delay{0};

// The latency of one round trip, paid before the real call.
void Wait() {
  if (g_delay.count() > 0) std::this_thread::sleep_for(g_delay);
}

// FUSE hands out "/a/b"; the *at calls below want it relative to the root.
const char* Rel(const char* path) {
  return path[1] == '\0' ? "." : path + 1;
}

int Result(int rc) {
  return rc < 0 ? -errno : 0;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  Wait();
  if (fi != nullptr) return Result(fstat(static_cast<int>(fi->fh), st));
  return Result(fstatat(g_root, Rel(path), st, AT_SYMLINK_NOFOLLOW));
}

int Access(const char* path, int mask) {
  Wait();
  return Result(faccessat(g_root, Rel(path), mask, AT_SYMLINK_NOFOLLOW));
}

int ReadLink(const char* path, char* buffer, size_t size) {
  Wait();
  const ssize_t n = readlinkat(g_root, Rel(path), buffer, size - 1);
  if (n < 0) return -errno;
  buffer[n] = '\0';
  return 0;
}

// An open folder: where its listing stands, and the entry that did not fit
// into the last answer.
struct OpenFolder {
  DIR* dir = nullptr;
  dirent* pending = nullptr;
  off_t offset = 0;
};

OpenFolder* FolderOf(const fuse_file_info* fi) {
  return reinterpret_cast<OpenFolder*>(fi->fh);
}

int OpenDir(const char* path, fuse_file_info* fi) {
  Wait();
  const int fd = openat(g_root, Rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return -errno;
  }
  fi->fh = reinterpret_cast<uint64_t>(new OpenFolder{dir});
  return 0;
}

// Each answer carries every entry's attributes, as a share's listing does,
// so that a walk pays a round trip per answer (about 25 entries) rather than
// one per entry. The entries get offsets: only then does libfuse pass them
// on with their attributes (in its own buffered mode the kernel ignores
// them), and the kernel keeps them for 1 s.
int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
            fuse_readdir_flags flags) {
  Wait();
  OpenFolder* folder = FolderOf(fi);
  if (offset != folder->offset) {
    seekdir(folder->dir, offset);
    folder->pending = nullptr;
    folder->offset = offset;
  }
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  for (;;) {
    if (folder->pending == nullptr) {
      errno = 0;
      folder->pending = readdir(folder->dir);
      if (folder->pending == nullptr) return -errno;
    }
    const dirent* entry = folder->pending;
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
    const bool full =
        plus && fstatat(dirfd(folder->dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const off_t next = telldir(folder->dir);
    if (fill(buffer, entry->d_name, &st, next,
             full ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)) != 0) {
      return 0;  // the answer is full: this entry opens the next one
    }
    folder->pending = nullptr;
    folder->offset = next;
  }
}

int ReleaseDir(const char*, fuse_file_info* fi) {
  Wait();
  closedir(FolderOf(fi)->dir);
  delete FolderOf(fi);
  return 0;
}

int MakeDir(const char* path, mode_t mode) {
  Wait();
  return Result(mkdirat(g_root, Rel(path), mode));
}

int Unlink(const char* path) {
  Wait();
  return Result(unlinkat(g_root, Rel(path), 0));
}

int RemoveDir(const char* path) {
  Wait();
  return Result(unlinkat(g_root, Rel(path), AT_REMOVEDIR));
}

int SymLink(const char* target, const char* path) {
  Wait();
  return Result(symlinkat(target, g_root, Rel(path)));
}

// The flags matter: the program renames with RENAME_NOREPLACE.
int Rename(const char* from, const char* to, unsigned int flags) {
  Wait();
  return Result(renameat2(g_root, Rel(from), g_root, Rel(to), flags));
}

int Link(const char* from, const char* to) {
  Wait();
  return Result(linkat(g_root, Rel(from), g_root, Rel(to), 0));
}

int ChangeMode(const char* path, mode_t mode, fuse_file_info* fi) {
  Wait();
  if (fi != nullptr) return Result(fchmod(static_cast<int>(fi->fh), mode));
  return Result(fchmodat(g_root, Rel(path), mode, 0));
}

int ChangeOwner(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  Wait();
  if (fi != nullptr) return Result(fchown(static_cast<int>(fi->fh), uid, gid));
  return Result(fchownat(g_root, Rel(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  Wait();
  if (fi != nullptr) return Result(ftruncate(static_cast<int>(fi->fh), size));
  const int fd = openat(g_root, Rel(path), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  const int rc = Result(ftruncate(fd, size));
  close(fd);
  return rc;
}

int SetTimes(const char* path, const struct timespec times[2], fuse_file_info* fi) {
  Wait();
  if (fi != nullptr) return Result(futimens(static_cast<int>(fi->fh), times));
  return Result(utimensat(g_root, Rel(path), times, AT_SYMLINK_NOFOLLOW));
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  Wait();
  const int fd = openat(g_root, Rel(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  Wait();
  const int fd = openat(g_root, Rel(path), fi->flags | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  Wait();
  const ssize_t n = pread(static_cast<int>(fi->fh), buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  Wait();
  const ssize_t n = pwrite(static_cast<int>(fi->fh), buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int StatFs(const char*, struct statvfs* st) {
  Wait();
  return Result(fstatvfs(g_root, st));
}

// Sent at every close(); a share answers it (and reports late write errors).
int Flush(const char*, fuse_file_info* fi) {
  Wait();
  return Result(close(dup(static_cast<int>(fi->fh))));
}

int Release(const char*, fuse_file_info* fi) {
  Wait();
  close(static_cast<int>(fi->fh));
  return 0;
}

int FileSync(const char*, int dataOnly, fuse_file_info* fi) {
  Wait();
  const int fd = static_cast<int>(fi->fh);
  return Result(dataOnly != 0 ? fdatasync(fd) : fsync(fd));
}

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  // Paths are resolved here, below the root: the inode numbers of the
  // backing files are shown as they are, as a share shows the server's.
  cfg->use_ino = 1;
  // Every listing with attributes, not only the first answer of each.
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // The kernel may keep this many asynchronous requests (releases, read
  // ahead) in flight; its default of 12 would throttle 16 or more workers.
  conn->max_background = 128;
  conn->congestion_threshold = 96;
  return nullptr;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.mkdir = MakeDir;
  ops.unlink = Unlink;
  ops.rmdir = RemoveDir;
  ops.symlink = SymLink;
  ops.rename = Rename;
  ops.link = Link;
  ops.chmod = ChangeMode;
  ops.chown = ChangeOwner;
  ops.truncate = Truncate;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.statfs = StatFs;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = FileSync;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.init = Init;
  ops.access = Access;
  ops.create = Create;
  ops.utimens = SetTimes;
  // No tmpfile, no copy_file_range: the kernel answers EOPNOTSUPP or EXDEV
  // for them, and a program must fall back to a named file and to read and
  // write, as it must on many shares.
  return ops;
}

int Usage() {
  std::fprintf(stderr,
               "usage: fts_slow_fs --root DIR --delay-ms D [--threads N] MOUNTPOINT "
               "[fuse options]\n"
               "  every operation waits D milliseconds (decimals allowed), then runs on DIR;\n"
               "  up to N requests are served at a time (default 128)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  double delayMs = -1;
  long threads = 128;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--root" || arg == "--delay-ms" || arg == "--threads") && i + 1 < argc) {
      const char* value = argv[++i];
      char* end = nullptr;
      if (arg == "--root") {
        root = value;
      } else if (arg == "--delay-ms") {
        delayMs = std::strtod(value, &end);
      } else {
        threads = std::strtol(value, &end, 10);
      }
      if (end != nullptr && (*end != '\0' || end == value)) return Usage();
    } else if (arg == "-h" || arg == "--help") {
      return Usage();
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (root.empty() || delayMs < 0 || threads < 1 || rest.size() < 2) return Usage();

  g_root = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_root < 0) {
    std::fprintf(stderr, "fts_slow_fs: %s: %s\n", root.c_str(), std::strerror(errno));
    return 1;
  }
  g_delay = std::chrono::microseconds(static_cast<long long>(delayMs * 1000));

  // One thread per request in flight, and they stay: a thread that came and
  // went for every burst would add its own start-up to the latency.
  std::string loopOptions =
      "max_threads=" + std::to_string(threads) + ",max_idle_threads=" + std::to_string(threads);
  static char dashO[] = "-o";
  rest.push_back(dashO);
  rest.push_back(loopOptions.data());
  if (threads == 1) {
    static char singleThreaded[] = "-s";
    rest.push_back(singleThreaded);
  }
  rest.push_back(nullptr);
  const fuse_operations ops = Operations();
  return fuse_main(static_cast<int>(rest.size()) - 1, rest.data(), &ops, nullptr);
}
