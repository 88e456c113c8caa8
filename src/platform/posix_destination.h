// The destination tree of the POSIX platform.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

// The calls through which a copy moves bytes. Tests stand in failing ones,
// for what no real folder shows on demand (a read error halfway through a
// file, a full disk). They move bytes at the files' offsets: a copy of a
// file with holes places both files at each part with data first.
struct CopyCalls {
  // Makes `out` share all of `in`'s blocks (0, or -1 and errno); nullptr: no
  // file is ever cloned, its bytes are copied.
  int (*clone)(int in, int out) = nullptr;
  ssize_t (*copyRange)(int in, int out, std::size_t size) = nullptr;  // nullptr: read and write
  ssize_t (*read)(int fd, void* buffer, std::size_t size) = nullptr;
  ssize_t (*write)(int fd, const void* buffer, std::size_t size) = nullptr;
};

// The system's own calls.
CopyCalls SystemCopyCalls();

struct PosixCopyOptions {
  // Copies are written as unnamed files (O_TMPFILE) and named when complete;
  // without them, under a temporary name that is renamed.
  bool unnamedFiles = true;
  CopyCalls calls = SystemCopyCalls();
  // Told, as one line, of a temporary file that could not be deleted.
  std::function<void(const std::string& line)> reportStray;
};

Result<std::unique_ptr<DestinationTree>> OpenPosixDestination(const std::string& root,
                                                              const PosixCopyOptions& options);

}  // namespace fts
