// Change notifications on Windows: one watch on the root folder that the
// system extends to everything below it.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

// Watches the folder `root` (ending in '\') and every folder below it.
Result<std::unique_ptr<TreeWatch>> WatchTreeWithDirectoryChanges(const std::string& root);

}  // namespace fts
