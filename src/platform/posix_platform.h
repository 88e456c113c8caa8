// The POSIX platform, made with a choice that the system platform makes by
// itself.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace fts {

// `unnamedFiles` false: copies never use unnamed files, as on a system that
// lacks them.
std::unique_ptr<Platform> MakePosixPlatform(bool unnamedFiles);

}  // namespace fts
