#include "support/crash_platform.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace fts::test {
namespace {

class CountedListing : public DirectoryListing {
 public:
  CountedListing(std::unique_ptr<DirectoryListing> inner, CrashPlatform& counter)
      : inner_(std::move(inner)), counter_(counter) {}
  bool Next(std::string& name, DirEntryInfo& info) override {
    counter_.Tick();
    return inner_->Next(name, info);
  }
  FileIdentity Identity() const override { return inner_->Identity(); }
  Status status() const override { return inner_->status(); }
  // The platform opens a subfolder relative to the real listing.
  DirectoryListing* Inner() const { return inner_.get(); }

 private:
  std::unique_ptr<DirectoryListing> inner_;
  CrashPlatform& counter_;
};

class CountedFile : public File {
 public:
  CountedFile(std::unique_ptr<File> inner, CrashPlatform& counter)
      : inner_(std::move(inner)), counter_(counter) {}
  Result<std::size_t> ReadAt(std::int64_t offset, char* buffer, std::size_t size) override {
    counter_.Tick();
    return inner_->ReadAt(offset, buffer, size);
  }
  Status Append(const char* data, std::size_t size) override {
    counter_.Tick();
    return inner_->Append(data, size);
  }
  Status WriteAt(std::int64_t offset, const char* data, std::size_t size) override {
    counter_.Tick();
    return inner_->WriteAt(offset, data, size);
  }
  Status Close() override {
    counter_.Tick();
    return inner_->Close();
  }
  FileIdentity Identity() const override { return inner_->Identity(); }

 private:
  std::unique_ptr<File> inner_;
  CrashPlatform& counter_;
};

class CountedHold : public FileHold {
 public:
  CountedHold(std::unique_ptr<FileHold> inner, CrashPlatform& counter)
      : inner_(std::move(inner)), counter_(counter) {}
  Result<std::string> ReadStart(std::size_t size) override {
    counter_.Tick();
    return inner_->ReadStart(size);
  }
  Status DeleteAndRelease() override {
    counter_.Tick();
    return inner_->DeleteAndRelease();
  }

 private:
  std::unique_ptr<FileHold> inner_;
  CrashPlatform& counter_;
};

class CountedTree : public ForwardingDestinationTree {
 public:
  CountedTree(std::unique_ptr<DestinationTree> inner, CrashPlatform& counter)
      : ForwardingDestinationTree(std::move(inner)), counter_(counter) {}
  Status DeleteFile(std::string_view relPath) override {
    counter_.Tick();
    return ForwardingDestinationTree::DeleteFile(relPath);
  }
  Status RemoveDirectory(std::string_view relPath) override {
    counter_.Tick();
    return ForwardingDestinationTree::RemoveDirectory(relPath);
  }
  Status MakeDirectory(std::string_view relPath) override {
    counter_.Tick();
    return ForwardingDestinationTree::MakeDirectory(relPath);
  }
  using DestinationTree::CopyFile;
  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                 Replace replace) override {
    counter_.Tick();
    return ForwardingDestinationTree::CopyFile(from, relPath, replace);
  }
  Status MoveFileTo(std::string_view relPath, DestinationTree& target,
                    std::string_view targetRelPath) override {
    counter_.Tick();
    return ForwardingDestinationTree::MoveFileTo(relPath, target, targetRelPath);
  }

 private:
  CrashPlatform& counter_;
};

}  // namespace

void CrashPlatform::Tick() {
  // No clean-up of any kind, not even a sanitizer's: as if the process were
  // killed.
  if (++calls_ == crashAt_) syscall(SYS_exit_group, kCrashed);
}

Result<std::unique_ptr<DirectoryListing>> CrashPlatform::OpenDirectory(
    const std::string& path, DirectoryListing* parent, std::string_view nameInParent,
    LinkPolicy policy) {
  Tick();
  if (auto* counted = dynamic_cast<CountedListing*>(parent)) parent = counted->Inner();
  auto listing = ForwardingPlatform::OpenDirectory(path, parent, nameInParent, policy);
  if (!listing) return listing;
  return std::unique_ptr<DirectoryListing>(
      std::make_unique<CountedListing>(std::move(*listing), *this));
}

bool CrashPlatform::IsDirectory(const std::string& path) {
  Tick();
  return ForwardingPlatform::IsDirectory(path);
}

bool CrashPlatform::FileExists(const std::string& path) {
  Tick();
  return ForwardingPlatform::FileExists(path);
}

std::optional<std::string> CrashPlatform::RealPath(const std::string& path) {
  Tick();
  return ForwardingPlatform::RealPath(path);
}

std::string CrashPlatform::ExecutableFolder() {
  Tick();
  return exeFolder.empty() ? ForwardingPlatform::ExecutableFolder() : exeFolder;
}

std::string CrashPlatform::TemporaryFolder() {
  Tick();
  return ForwardingPlatform::TemporaryFolder();
}

CreateResult CrashPlatform::CreateNewFile(const std::string& path) {
  Tick();
  CreateResult result = ForwardingPlatform::CreateNewFile(path);
  if (result.file) result.file = std::make_unique<CountedFile>(std::move(result.file), *this);
  if (result.hold) result.hold = std::make_unique<CountedHold>(std::move(result.hold), *this);
  return result;
}

HoldResult CrashPlatform::HoldFile(const std::string& path) {
  Tick();
  HoldResult result = ForwardingPlatform::HoldFile(path);
  if (result.hold) result.hold = std::make_unique<CountedHold>(std::move(result.hold), *this);
  return result;
}

Result<std::unique_ptr<File>> CrashPlatform::OpenFile(const std::string& path, OpenMode mode) {
  Tick();
  auto file = ForwardingPlatform::OpenFile(path, mode);
  if (!file) return file;
  return std::unique_ptr<File>(std::make_unique<CountedFile>(std::move(*file), *this));
}

Status CrashPlatform::DeleteFile(const std::string& path) {
  Tick();
  return ForwardingPlatform::DeleteFile(path);
}

Result<std::unique_ptr<DestinationTree>> CrashPlatform::OpenDestination(const std::string& root) {
  Tick();
  auto tree = ForwardingPlatform::OpenDestination(root);
  if (!tree) return tree;
  return std::unique_ptr<DestinationTree>(std::make_unique<CountedTree>(std::move(*tree), *this));
}

std::optional<LocalDateTime> CrashPlatform::ToLocalTime(const FileTime& time) {
  Tick();
  return ForwardingPlatform::ToLocalTime(time);
}

void CrashPlatform::WriteStdout(std::string_view) {
  Tick();  // the log is not wanted here
}

void CrashPlatform::WriteStderr(std::string_view) {
  Tick();
}

}  // namespace fts::test
