// Change notifications on Linux: one inotify watch per folder of the tree.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

// Watches every folder below `root` (ending in '/'), links not followed.
Result<std::unique_ptr<TreeWatch>> WatchTreeWithInotify(const std::string& root);

}  // namespace fts
