// The real platform, counting every call made to it and to what it hands
// out (listings, files, holds, the destination tree), that ends the process
// on the spot at a chosen call: a run killed at any point, for the tests that
// check what such a run leaves behind.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/forwarding_platform.h"

namespace fts::test {

class CrashPlatform : public ForwardingPlatform {
 public:
  // The exit code of a process that this platform ended.
  static constexpr int kCrashed = 99;

  // Ends the process at call number `crashAt` (counting from 1); 0 never.
  CrashPlatform(Platform& inner, long crashAt) : ForwardingPlatform(inner), crashAt_(crashAt) {}

  // Calls so far.
  long Calls() const { return calls_; }
  // Counts one call, and ends the process when it is the chosen one.
  void Tick();

  std::string exeFolder;  // ending in the separator

  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing* parent,
                                                          std::string_view nameInParent,
                                                          LinkPolicy policy) override;
  bool IsDirectory(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  std::optional<std::string> RealPath(const std::string& path) override;
  std::string ExecutableFolder() override;
  std::string TemporaryFolder() override;
  CreateResult CreateNewFile(const std::string& path) override;
  HoldResult HoldFile(const std::string& path) override;
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override;
  Status DeleteFile(const std::string& path) override;
  Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) override;
  std::optional<LocalDateTime> ToLocalTime(const FileTime& time) override;
  void WriteStdout(std::string_view text) override;
  void WriteStderr(std::string_view text) override;

 private:
  const long crashAt_;
  std::atomic<long> calls_{0};
};

}  // namespace fts::test
