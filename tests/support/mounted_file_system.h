// A small file system of a chosen kind, made for one test in an image file
// and mounted in a temporary folder (POSIX, as root): the kernel's driver on
// a loop device where the kernel has one, else the FUSE driver. Where that
// cannot be done here (not root, a tool or driver missing, no /dev/fuse, a
// mount refused), nothing is mounted and SkipReason() says why in one line,
// so that a test can skip with it.
#pragma once

#include <string>
#include <vector>

namespace fts::test {

class MountedFileSystem {
 public:
  // `kind` is one of Kinds(). "squashfs" is read-only and holds a copy of
  // the tree in `contents`; the other kinds start empty and ignore it.
  explicit MountedFileSystem(const std::string& kind, const std::string& contents = "");
  // Unmounts (lazily when it is busy), detaches the loop device and removes
  // the image and its folder.
  ~MountedFileSystem();
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;

  // "xfs", "btrfs", "exfat", "ntfs", "fat", "tmpfs" and "squashfs"; a
  // function, so that test instantiations may use it while statics are
  // still being made.
  static const std::vector<std::string>& Kinds();

  bool Mounted() const { return mounted_; }
  // The mounted folder, without a trailing separator; empty when not mounted.
  const std::string& MountPoint() const { return mounted_ ? mountPoint_ : kNothing; }
  const std::string& SkipReason() const { return skipReason_; }
  // How it was mounted, for the test's log: "kernel xfs on /dev/loop3",
  // "exfat-fuse on /dev/loop4", "fusefat"...
  const std::string& Driver() const { return driver_; }

  // Unmounts, detaches and removes what earlier test processes that ended
  // without their destructors (a crash, a kill on time-out) left in the
  // temporary folder. Folders of processes still running are left alone,
  // so tests that run side by side keep their mounts. The constructor
  // calls it first.
  static void RemoveLeftovers();

 private:
  bool Make(const std::string& kind, const std::string& contents);
  bool MountKernel(const std::string& type, const std::string& options, bool readOnly);
  bool AttachLoop(bool readOnly);
  // Runs a tool, its output kept in a file of the folder; false with the
  // skip reason set when it cannot be found or does not succeed.
  bool Run(const std::vector<std::string>& arguments);

  inline static const std::string kNothing;
  std::string folder_;  // holds image, mount point and the tools' output
  std::string image_;
  std::string mountPoint_;
  std::string loopDevice_;
  std::string driver_;
  std::string skipReason_;
  bool mounted_ = false;
};

}  // namespace fts::test
