// The POSIX platform, made with a choice that the system platform makes by
// itself.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/posix_destination.h"

namespace fts {

// With `unnamedFiles` false, copies never use unnamed files, as on a system
// that lacks them; `calls` move a copy's bytes.
std::unique_ptr<Platform> MakePosixPlatform(bool unnamedFiles, CopyCalls calls = SystemCopyCalls());

}  // namespace fts
