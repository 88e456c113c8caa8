#include "support/fault_platform.h"

#include <algorithm>

namespace fts::test {
namespace {

bool Contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

class FaultyFile : public File {
 public:
  FaultyFile(std::unique_ptr<File> inner, std::string path, const FaultPlatform::FileFault& fault)
      : inner_(std::move(inner)), path_(std::move(path)), fault_(fault) {}
  Result<std::size_t> ReadAt(std::int64_t offset, char* buffer, std::size_t size) override {
    return inner_->ReadAt(offset, buffer, size);
  }
  Status Append(const char* data, std::size_t size) override {
    if (Status injected = fault_(path_, "write"); !injected) return injected;
    return inner_->Append(data, size);
  }
  Status WriteAt(std::int64_t offset, const char* data, std::size_t size) override {
    return inner_->WriteAt(offset, data, size);
  }
  Status Close() override {
    Status closed = inner_->Close();
    if (Status injected = fault_(path_, "close"); !injected) return injected;
    return closed;
  }
  FileIdentity Identity() const override { return inner_->Identity(); }

 private:
  std::unique_ptr<File> inner_;
  std::string path_;
  const FaultPlatform::FileFault& fault_;
};

class FaultyHold : public FileHold {
 public:
  FaultyHold(std::unique_ptr<FileHold> inner, std::string path,
             const FaultPlatform::FileFault& fault)
      : inner_(std::move(inner)), path_(std::move(path)), fault_(fault) {}
  Result<std::string> ReadStart(std::size_t size) override { return inner_->ReadStart(size); }
  Status DeleteAndRelease() override {
    if (Status injected = fault_(path_, "delete"); !injected) return injected;
    return inner_->DeleteAndRelease();
  }

 private:
  std::unique_ptr<FileHold> inner_;
  std::string path_;
  const FaultPlatform::FileFault& fault_;
};

class FaultyTree : public ForwardingDestinationTree {
 public:
  FaultyTree(std::unique_ptr<DestinationTree> inner, std::string root, const FaultPlatform& faults)
      : ForwardingDestinationTree(std::move(inner)), root_(std::move(root)), faults_(faults) {}
  Status DeleteFile(std::string_view relPath) override {
    const std::string path = root_ + std::string(relPath);
    if (Contains(faults_.undeletable, path)) {
      return Status::Error("delete", path, "Permission denied");
    }
    if (Status injected = Injected("delete", relPath); !injected) return injected;
    return ForwardingDestinationTree::DeleteFile(relPath);
  }
  Status RemoveDirectory(std::string_view relPath) override {
    if (Status injected = Injected("remove", relPath); !injected) return injected;
    return ForwardingDestinationTree::RemoveDirectory(relPath);
  }
  Status MakeDirectory(std::string_view relPath) override {
    if (Status injected = Injected("make", relPath); !injected) return injected;
    return ForwardingDestinationTree::MakeDirectory(relPath);
  }
  using DestinationTree::CopyFile;
  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                 Replace replace) override {
    if (Status injected = Injected("copy to", relPath); !injected) return injected;
    return ForwardingDestinationTree::CopyFile(from, relPath, replace);
  }
  Status MoveFileTo(std::string_view relPath, DestinationTree& target,
                    std::string_view targetRelPath) override {
    if (Status injected = Injected("move", relPath); !injected) return injected;
    return ForwardingDestinationTree::MoveFileTo(relPath, target, targetRelPath);
  }

 private:
  Status Injected(std::string_view operation, std::string_view relPath) const {
    if (!faults_.actionFault) return Status::Ok();
    return faults_.actionFault(operation, root_ + std::string(relPath));
  }

  std::string root_;
  const FaultPlatform& faults_;
};

}  // namespace

Result<std::unique_ptr<DirectoryListing>> FaultPlatform::OpenDirectory(
    const std::string& path, DirectoryListing* parent, std::string_view nameInParent,
    LinkPolicy policy) {
  std::string folder = path;
  if (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
  if (Contains(unlistable, folder)) return Status::Error("list", path, "Permission denied");
  return CapturingPlatform::OpenDirectory(path, parent, nameInParent, policy);
}

CreateResult FaultPlatform::CreateNewFile(const std::string& path) {
  CreateResult result = CapturingPlatform::CreateNewFile(path);
  if (fileFault && result.file) {
    result.file = std::make_unique<FaultyFile>(std::move(result.file), path, fileFault);
  }
  if (fileFault && result.hold) {
    result.hold = std::make_unique<FaultyHold>(std::move(result.hold), path, fileFault);
  }
  return result;
}

Result<std::unique_ptr<File>> FaultPlatform::OpenFile(const std::string& path, OpenMode mode) {
  if (beforeReading && mode == OpenMode::kRead) beforeReading(path);
  return CapturingPlatform::OpenFile(path, mode);
}

Result<std::unique_ptr<DestinationTree>> FaultPlatform::OpenDestination(const std::string& root) {
  if (beforeActions) beforeActions();
  auto tree = CapturingPlatform::OpenDestination(root);
  if (!tree) return tree;
  return std::unique_ptr<DestinationTree>(
      std::make_unique<FaultyTree>(std::move(*tree), root, *this));
}

}  // namespace fts::test
