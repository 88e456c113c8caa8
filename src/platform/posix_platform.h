// The POSIX platform, made with a choice that the system platform makes by
// itself.
#pragma once

#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix_destination.h"

namespace fts {

// With `unnamedFiles` false, copies never use unnamed files, as on a system
// that lacks them; `calls` move a copy's bytes.
std::unique_ptr<Platform> MakePosixPlatform(bool unnamedFiles, CopyCalls calls = SystemCopyCalls());

// Whether `path` (absolute, links resolved, no trailing separator) is a
// folder that packages and `cmake --install` put programs in: /usr/bin and
// its kin, what lies below /usr/lib and /usr/libexec, /opt/<package>/bin.
bool IsSystemProgramPath(std::string_view path);

}  // namespace fts
