// The destination tree of the Win32 platform.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

Result<std::unique_ptr<DestinationTree>> OpenWindowsDestination(const std::string& root);

}  // namespace fts
