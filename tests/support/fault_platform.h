// The real platform with its output captured and chosen failures injected,
// for the failures that real folders cannot show on demand.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace fts::test {

class FaultPlatform : public CapturingPlatform {
 public:
  // Asked before each write and close of a file the run creates, and
  // before the deletion of a held file: a failure to report instead, or
  // Status::Ok() to let the call through.
  using FileFault = std::function<Status(const std::string& path, std::string_view operation)>;

  std::string exeFolder;                 // ending in the separator; empty: the real one
  std::vector<std::string> undeletable;  // destination paths: "Permission denied"
  std::vector<std::string> unlistable;   // folders: "Permission denied"
  std::function<void()> beforeActions;   // runs when the destination is opened
  std::function<void(const std::string& path)> beforeReading;  // each open for reading
  FileFault fileFault;
  // Asked before each action on the destination ("delete", "remove",
  // "make", "copy to") with the target's full path.
  using ActionFault = std::function<Status(std::string_view operation, const std::string& path)>;
  ActionFault actionFault;

  std::string ExecutableFolder() override {
    return exeFolder.empty() ? CapturingPlatform::ExecutableFolder() : exeFolder;
  }
  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override;
  CreateResult CreateNewFile(const std::string& path) override;
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override;
  Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) override;
};

}  // namespace fts::test
