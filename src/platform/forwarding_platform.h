// A platform that passes every call on to another one. Tests derive from it
// and override the calls they want to fail or record.
#pragma once

#include "platform/platform.h"

namespace fts {

// A destination tree that passes every action on to another one.
class ForwardingDestinationTree : public DestinationTree {
 public:
  explicit ForwardingDestinationTree(std::unique_ptr<DestinationTree> inner)
      : inner_(std::move(inner)) {}
  Status DeleteFile(std::string_view relPath) override { return inner_->DeleteFile(relPath); }
  Status RemoveDirectory(std::string_view relPath) override {
    return inner_->RemoveDirectory(relPath);
  }
  Status MakeDirectory(std::string_view relPath) override { return inner_->MakeDirectory(relPath); }
  using DestinationTree::CopyFile;
  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                 Replace replace) override {
    return inner_->CopyFile(from, relPath, replace);
  }
  // `target` may be a forwarding tree too: the move goes between the trees
  // they forward to.
  Status MoveFileTo(std::string_view relPath, DestinationTree& target,
                    std::string_view targetRelPath) override {
    return inner_->MoveFileTo(relPath, Innermost(target), targetRelPath);
  }
  void Carry(const CarriedItems& items) override { inner_->Carry(items); }
  Status MakeDirectoryWith(std::string_view relPath, const EntryAttributes& attributes) override {
    return inner_->MakeDirectoryWith(relPath, attributes);
  }
  Status MakeLink(std::string_view relPath, const std::string& target,
                  const EntryAttributes& attributes, Replace replace) override {
    return inner_->MakeLink(relPath, target, attributes, replace);
  }
  Status LinkFile(std::string_view existingRelPath, std::string_view relPath,
                  Replace replace) override {
    return inner_->LinkFile(existingRelPath, relPath, replace);
  }
  Status SetAttributes(std::string_view relPath, const EntryAttributes& attributes) override {
    return inner_->SetAttributes(relPath, attributes);
  }

  static DestinationTree& Innermost(DestinationTree& tree) {
    auto* forwarding = dynamic_cast<ForwardingDestinationTree*>(&tree);
    return forwarding == nullptr ? tree : Innermost(*forwarding->inner_);
  }

 protected:
  std::unique_ptr<DestinationTree> inner_;
};

// Passes every call on to another platform; tests derive from it and
// override the calls they want to fail or record.
class ForwardingPlatform : public Platform {
 public:
  explicit ForwardingPlatform(Platform& inner) : inner_(inner) {}

  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override {
    return inner_.OpenDirectory(path, parent, nameInParent, policy);
  }
  bool IsDirectory(const std::string& path) override { return inner_.IsDirectory(path); }
  bool FileExists(const std::string& path) override { return inner_.FileExists(path); }
  std::optional<std::string> RealPath(const std::string& path) override {
    return inner_.RealPath(path);
  }
  std::string ExecutableFolder() override { return inner_.ExecutableFolder(); }
  std::string TemporaryFolder() override { return inner_.TemporaryFolder(); }
  bool IsSystemProgramFolder(const std::string& folder) override {
    return inner_.IsSystemProgramFolder(folder);
  }
  CreateResult CreateNewFile(const std::string& path) override {
    return inner_.CreateNewFile(path);
  }
  HoldResult HoldFile(const std::string& path) override { return inner_.HoldFile(path); }
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override {
    return inner_.OpenFile(path, mode);
  }
  Status DeleteFile(const std::string& path) override { return inner_.DeleteFile(path); }
  Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) override {
    return inner_.OpenDestination(root);
  }
  std::optional<std::uint64_t> SizeOf(const std::string& path) override {
    return inner_.SizeOf(path);
  }
  bool StderrIsTerminal() override { return inner_.StderrIsTerminal(); }
  Status ReplaceFile(const std::string& path, std::string_view contents) override {
    return inner_.ReplaceFile(path, contents);
  }
  Result<EntryAttributes> ReadAttributes(const std::string& path, LinkPolicy policy,
                                         const CarriedItems& items) override {
    return inner_.ReadAttributes(path, policy, items);
  }
  Result<std::vector<std::pair<std::string, std::string>>> ReadExtendedAttributes(
      const std::string& path, LinkPolicy policy, const CarriedItems& items) override {
    return inner_.ReadExtendedAttributes(path, policy, items);
  }
  Result<std::string> ReadLinkTarget(const std::string& path) override {
    return inner_.ReadLinkTarget(path);
  }
  Result<bool> SameContents(const std::string& first, const std::string& second) override {
    return inner_.SameContents(first, second);
  }
  LocalDateTime Now() override { return inner_.Now(); }
  std::optional<LocalDateTime> ToLocalTime(const FileTime& time) override {
    return inner_.ToLocalTime(time);
  }
  void WriteStdout(std::string_view text) override { inner_.WriteStdout(text); }
  void WriteStderr(std::string_view text) override { inner_.WriteStderr(text); }
  const RegionalFormats& RegionalSettings() override { return inner_.RegionalSettings(); }
  std::string FoldPathCase(const std::string& path) override { return inner_.FoldPathCase(path); }
  std::string FoldLetterCase(std::string_view name) override { return inner_.FoldLetterCase(name); }
  Result<std::unique_ptr<TreeWatch>> WatchTree(const std::string& root) override {
    return inner_.WatchTree(root);
  }
  Result<bool> IgnoresLetterCase(const std::string& path, bool mayWrite) override {
    return inner_.IgnoresLetterCase(path, mayWrite);
  }

 protected:
  Platform& inner_;
};

}  // namespace fts
