// Mounting is done with the system's calls where the kernel has the driver
// (mount(2), umount2(2), the loop ioctls), so that a failure comes back as
// an errno; the tools run only to format images, to attach loop devices
// (losetup finds a free one without racing other tests) and to start FUSE
// drivers, their output kept in a file for the skip reason.
#include "support/mounted_file_system.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace fts::test {
namespace fs = std::filesystem;

const std::vector<std::string>& MountedFileSystem::Kinds() {
  static const std::vector<std::string> kinds = {"xfs", "btrfs", "exfat",   "ntfs",
                                                 "fat", "tmpfs", "squashfs"};
  return kinds;
}

namespace {

// Every folder this class makes is named so, with the maker's process id,
// so that a later process can tell its own from leftovers of dead ones.
constexpr std::string_view kPrefix = "fts-mount-";

// Large enough for the tests' trees with a 64 MiB sparse file written out
// in full (FAT and exFAT keep no holes); mkfs.xfs refuses less than 300
// MiB. The images are sparse files, so only what is written takes space.
constexpr std::uintmax_t kImageBytes = 256u << 20;
constexpr std::uintmax_t kXfsImageBytes = 320u << 20;

std::string Text(std::ifstream in) {
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FirstLine(const std::string& text) {
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_first_of("\r\n", start) - start);
}

std::string TemporaryRoot() {
  std::error_code error;
  const fs::path root = fs::canonical(fs::temp_directory_path(error), error);
  return error ? std::string("/tmp") : root.string();
}

// The tool's path, looked for in PATH and in the system folders that an
// ordinary user's PATH lacks (mkfs.* and losetup live in /usr/sbin).
std::string FindTool(const std::string& name) {
  std::string folders = getenv("PATH") != nullptr ? getenv("PATH") : "";
  folders += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream list(folders);
  for (std::string folder; std::getline(list, folder, ':');) {
    if (folder.empty()) continue;
    const std::string path = folder + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// The Debian package that brings a tool, for the skip reason.
std::string PackageOf(const std::string& tool) {
  static const std::map<std::string, std::string> packages = {{"mkfs.xfs", "xfsprogs"},
                                                              {"mkfs.btrfs", "btrfs-progs"},
                                                              {"mkfs.exfat", "exfatprogs"},
                                                              {"mount.exfat-fuse", "exfat-fuse"},
                                                              {"mkntfs", "ntfs-3g"},
                                                              {"ntfs-3g", "ntfs-3g"},
                                                              {"mkfs.fat", "dosfstools"},
                                                              {"fusefat", "fusefat"},
                                                              {"mksquashfs", "squashfs-tools"},
                                                              {"losetup", "mount"}};
  const auto found = packages.find(tool);
  return found == packages.end() ? "" : found->second;
}

// True when the running kernel mounts `type`: it is listed as loaded, or
// its module is there to be loaded on demand.
bool KernelHas(const std::string& type) {
  std::ifstream listed("/proc/filesystems");
  for (std::string line; std::getline(listed, line);) {
    const auto tab = line.rfind('\t');
    if (line.substr(tab == std::string::npos ? 0 : tab + 1) == type) return true;
  }
  struct utsname system;
  if (uname(&system) != 0) return false;
  std::error_code error;
  const fs::path modules = fs::path("/lib/modules") / system.release / "kernel" / "fs";
  // vfat's module lives in fs/fat.
  const std::string module = type + ".ko";
  for (auto it = fs::recursive_directory_iterator(modules, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename().string().starts_with(module)) return true;
  }
  return false;
}

// Undoes the escapes of /proc/self/mountinfo ("\040" for a blank).
std::string Unescaped(const std::string& field) {
  auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
  std::string text;
  for (std::size_t at = 0; at < field.size(); ++at) {
    if (field[at] == '\\' && at + 3 < field.size() && octal(at + 1) && octal(at + 2) &&
        octal(at + 3)) {
      text += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 +
                                (field[at + 3] - '0'));
      at += 3;
    } else {
      text += field[at];
    }
  }
  return text;
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return path == folder || path.starts_with(folder + "/");
}

// The mount points at or below `folder`, the most recent mount first so
// that mounts on top of others go first.
std::vector<std::string> MountsUnder(const std::string& folder) {
  std::vector<std::string> points;
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::stringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    point = Unescaped(point);
    if (IsUnder(point, folder)) points.insert(points.begin(), point);
  }
  return points;
}

// The loop devices whose backing file lies in `folder` (the file may be
// deleted already), by their /dev paths.
std::vector<std::string> LoopsUnder(const std::string& folder) {
  std::vector<std::string> devices;
  std::error_code error;
  for (const auto& block : fs::directory_iterator("/sys/block", error)) {
    const std::string name = block.path().filename().string();
    if (!name.starts_with("loop")) continue;
    std::ifstream backing(block.path() / "loop" / "backing_file");
    std::string file;
    if (!std::getline(backing, file)) continue;
    if (file.ends_with(" (deleted)")) file.resize(file.size() - 10);
    if (IsUnder(file, folder)) devices.push_back("/dev/" + name);
  }
  return devices;
}

bool LoopIsBound(const std::string& device) {
  std::error_code error;
  return fs::exists("/sys/block/" + fs::path(device).filename().string() + "/loop/backing_file",
                    error);
}

// Unmounts, or failing that detaches the mount from the tree so that the
// folder can go (the kernel frees it once its last user lets go). A FUSE
// driver may still be busy with the last writes: the plain unmount is
// tried a few times first.
void Unmount(const std::string& point) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (umount2(point.c_str(), 0) == 0 || errno == EINVAL || errno == ENOENT) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  umount2(point.c_str(), MNT_DETACH);
}

// Frees a loop device. While someone else still holds it (a FUSE driver
// that has not ended yet) the kernel only marks it to be freed on the last
// close, which is as good; older kernels refuse instead, and get the mark
// by hand.
void Detach(const std::string& device) {
  // Read-only is enough for the ioctls, and a read-only loop device
  // (squashfs) opens no other way.
  const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  bool done = false;
  for (int attempt = 0; attempt < 10 && !done; ++attempt) {
    done = ioctl(fd, LOOP_CLR_FD, 0) == 0 || errno == ENXIO;
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  struct loop_info64 info;
  if (!done && ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
    info.lo_flags |= LO_FLAGS_AUTOCLEAR;
    ioctl(fd, LOOP_SET_STATUS64, &info);
  }
  close(fd);
  // Give a FUSE driver that is ending the moment it needs, so that the
  // device is free when the test ends.
  for (int wait = 0; wait < 20 && LoopIsBound(device); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Everything under `folder` unmounted and detached, then the folder
// removed, unless something is still mounted there: removing it then
// would reach into the mounted file system.
void CleanFolder(const std::string& folder) {
  for (int round = 0; round < 3; ++round) {
    const auto points = MountsUnder(folder);
    if (points.empty()) break;
    for (const auto& point : points)
      Unmount(point);
  }
  for (const auto& device : LoopsUnder(folder))
    Detach(device);
  if (!MountsUnder(folder).empty()) return;
  std::error_code error;
  fs::remove_all(folder, error);
}

// The folder of this class that `path` lies in, with its maker's process
// id; an empty folder when it is none of them.
std::pair<std::string, pid_t> OwnFolderOf(const std::string& path, const std::string& root) {
  if (!path.starts_with(root + "/" + std::string(kPrefix))) return {"", 0};
  const auto start = root.size() + 1;
  const auto end = path.find('/', start);
  const std::string folder = path.substr(0, end);
  const std::string name = folder.substr(start + kPrefix.size());
  pid_t pid = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') break;
    pid = pid * 10 + (c - '0');
  }
  return {pid > 0 ? folder : "", pid};
}

}  // namespace

void MountedFileSystem::RemoveLeftovers() {
  const std::string root = TemporaryRoot();
  std::map<std::string, pid_t> folders;
  auto note = [&](const std::string& path) {
    const auto [folder, pid] = OwnFolderOf(path, root);
    if (!folder.empty()) folders[folder] = pid;
  };
  // A crashed run may have left a folder, a mount or a loop device whose
  // image is gone: each is looked for.
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error))
    note(entry.path().string());
  for (const auto& point : MountsUnder(root))
    note(point);
  for (const auto& device : LoopsUnder(root)) {
    std::ifstream backing("/sys/block/" + fs::path(device).filename().string() +
                          "/loop/backing_file");
    std::string file;
    if (std::getline(backing, file)) note(file);
  }
  for (const auto& [folder, pid] : folders) {
    const bool alive = kill(pid, 0) == 0 || errno == EPERM;
    if (pid != getpid() && !alive) CleanFolder(folder);
  }
}

MountedFileSystem::MountedFileSystem(const std::string& kind, const std::string& contents) {
  RemoveLeftovers();
  try {
    mounted_ = Make(kind, contents);
  } catch (const std::exception& error) {
    skipReason_ = std::string("cannot prepare the image: ") + error.what();
  }
}

MountedFileSystem::~MountedFileSystem() {
  // The loop device is found by its image, which lies in the folder.
  if (!folder_.empty()) CleanFolder(folder_);
}

bool MountedFileSystem::Run(const std::vector<std::string>& arguments) {
  const std::string tool = FindTool(arguments[0]);
  if (tool.empty()) {
    const std::string package = PackageOf(arguments[0]);
    skipReason_ = arguments[0] + " is not installed" +
                  (package.empty() ? "" : " (Debian package " + package + ")");
    return false;
  }
  const std::string output = folder_ + "/tool-output.txt";
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (std::size_t i = 1; i < copies.size(); ++i)
    argv.push_back(copies[i].data());
  argv.push_back(nullptr);
  // Output goes to a file, not a pipe: a FUSE driver that stays behind as a
  // daemon could hold a pipe open, and reading it would never end.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    skipReason_ = arguments[0] + " cannot be started: " + std::strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  const std::string said = FirstLine(Text(std::ifstream(output)));
  skipReason_ = arguments[0] + " failed (" +
                (WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                   : "signal " + std::to_string(WTERMSIG(status))) +
                ")" + (said.empty() ? "" : ": " + said);
  return false;
}

bool MountedFileSystem::AttachLoop(bool readOnly) {
  if (access("/dev/loop-control", R_OK | W_OK) != 0) {
    skipReason_ = "no loop devices here (/dev/loop-control is missing)";
    return false;
  }
  std::vector<std::string> arguments = {"losetup", "--find", "--show"};
  if (readOnly) arguments.push_back("--read-only");
  arguments.push_back(image_);
  if (!Run(arguments)) return false;
  loopDevice_ = FirstLine(Text(std::ifstream(folder_ + "/tool-output.txt")));
  if (!loopDevice_.starts_with("/dev/loop")) {
    skipReason_ = "losetup named no loop device: " + loopDevice_;
    loopDevice_.clear();
    return false;
  }
  return true;
}

bool MountedFileSystem::MountKernel(const std::string& type, const std::string& options,
                                    bool readOnly) {
  const std::string source = loopDevice_.empty() ? "fts-" + type : loopDevice_;
  if (mount(source.c_str(), mountPoint_.c_str(), type.c_str(), readOnly ? MS_RDONLY : 0,
            options.empty() ? nullptr : options.c_str()) != 0) {
    skipReason_ = "mounting " + type + " failed: " + std::strerror(errno);
    return false;
  }
  driver_ = "kernel " + type + (loopDevice_.empty() ? "" : " on " + loopDevice_);
  return true;
}

bool MountedFileSystem::Make(const std::string& kind, const std::string& contents) {
  if (geteuid() != 0) {
    skipReason_ = "not root: mounting a file system needs root";
    return false;
  }
  const std::string pattern =
      TemporaryRoot() + "/" + std::string(kPrefix) + std::to_string(getpid()) + "-XXXXXX";
  std::string made = pattern;
  if (mkdtemp(made.data()) == nullptr) {
    skipReason_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  folder_ = made;
  image_ = folder_ + "/image";
  mountPoint_ = folder_ + "/mnt";
  fs::create_directory(mountPoint_);

  auto emptyImage = [&](std::uintmax_t bytes) {
    std::ofstream(image_, std::ios::binary).close();
    fs::resize_file(image_, bytes);
  };
  // The FUSE drivers need the device and the kernel's side of FUSE.
  auto canFuse = [&](const std::string& type) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      skipReason_ = "no /dev/fuse here, which the FUSE driver for " + kind + " needs";
    } else if (!KernelHas(type)) {
      skipReason_ = "the kernel has neither " + kind + " nor " + type;
    } else {
      return true;
    }
    return false;
  };
  // A FUSE driver that returned without error mounted, but the check is
  // cheap and makes a strange driver's failure a clear skip.
  auto isMounted = [&] {
    struct stat inside, outside;
    if (stat(mountPoint_.c_str(), &inside) == 0 && stat(folder_.c_str(), &outside) == 0 &&
        inside.st_dev != outside.st_dev) {
      return true;
    }
    skipReason_ = driver_ + " returned but nothing is mounted";
    return false;
  };

  auto noKernelDriver = [&](const std::string& type) {
    skipReason_ = "the kernel has no " + type + " driver (see /proc/filesystems)";
    return false;
  };

  if (kind == "tmpfs") {
    if (!KernelHas("tmpfs")) return noKernelDriver("tmpfs");
    return MountKernel("tmpfs", "size=256m,mode=0755", false);
  }
  if (kind == "xfs" || kind == "btrfs") {
    if (!KernelHas(kind)) return noKernelDriver(kind);
    emptyImage(kind == "xfs" ? kXfsImageBytes : kImageBytes);
    // XFS with shared blocks, as a file system that can clone.
    const bool formatted = kind == "xfs" ? Run({"mkfs.xfs", "-q", "-m", "reflink=1", image_})
                                         : Run({"mkfs.btrfs", "-q", image_});
    return formatted && AttachLoop(false) && MountKernel(kind, "", false);
  }
  if (kind == "exfat") {
    emptyImage(kImageBytes);
    if (!Run({"mkfs.exfat", image_})) return false;
    if (KernelHas("exfat")) return AttachLoop(false) && MountKernel("exfat", "", false);
    // exfat-fuse reads block devices only.
    if (!canFuse("fuseblk") || !AttachLoop(false)) return false;
    driver_ = "exfat-fuse on " + loopDevice_;
    return Run({"mount.exfat-fuse", "-o", "rw", loopDevice_, mountPoint_}) && isMounted();
  }
  if (kind == "ntfs") {
    emptyImage(kImageBytes);
    if (!Run({"mkntfs", "-q", "-F", "-Q", image_}) || !canFuse("fuse")) return false;
    // windows_names, as desktops mount NTFS disks: names Windows cannot
    // open are refused, as on Windows itself.
    driver_ = "ntfs-3g -o windows_names";
    return Run({"ntfs-3g", "-o", "windows_names", image_, mountPoint_}) && isMounted();
  }
  if (kind == "fat") {
    emptyImage(kImageBytes);
    if (!Run({"mkfs.fat", "-F", "32", image_})) return false;
    if (KernelHas("vfat")) return AttachLoop(false) && MountKernel("vfat", "utf8", false);
    if (!canFuse("fuse")) return false;
    // fusefat mounts read-only unless told otherwise.
    driver_ = "fusefat -o rw+";
    return Run({"fusefat", "-o", "rw+", image_, mountPoint_}) && isMounted();
  }
  if (kind == "squashfs") {
    if (!KernelHas("squashfs")) return noKernelDriver("squashfs");
    // Uncompressed: the image is made quickly and read without effort.
    return Run({"mksquashfs", contents, image_, "-noappend", "-quiet", "-no-progress", "-noI",
                "-noD", "-noF", "-noX"}) &&
           AttachLoop(true) && MountKernel("squashfs", "", true);
  }
  skipReason_ = "no such kind of file system here: " + kind;
  return false;
}

}  // namespace fts::test
