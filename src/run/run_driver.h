#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

inline constexpr int kExitNormal = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitNoInventoryName = 2;
inline constexpr int kExitActionsFailed = 3;
inline constexpr int kExitDeletionLimit = 4;

// One whole run: `arguments` are the command-line arguments after the
// program name. Returns the process exit code.
int RunFernwickTreeSyncer(const std::vector<std::string>& arguments, Platform& platform);

}  // namespace fts
