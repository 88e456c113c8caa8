// The destination tree of the POSIX platform.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

struct PosixCopyOptions {
  // Copies are written as unnamed files (O_TMPFILE) and named when complete;
  // without them, under a temporary name that is renamed.
  bool unnamedFiles = true;
  // Told, as one line, of a temporary file that could not be deleted.
  std::function<void(const std::string& line)> reportStray;
};

Result<std::unique_ptr<DestinationTree>> OpenPosixDestination(const std::string& root,
                                                              const PosixCopyOptions& options);

}  // namespace fts
