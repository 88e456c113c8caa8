// Change notifications on Linux: one inotify watch per folder of the tree.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

// Watches every folder below `root` (ending in '/'), links not followed.
// `whole`, where given, tells whether every folder could be watched; the
// first wait tells what could not.
Result<std::unique_ptr<TreeWatch>> WatchTreeWithInotify(const std::string& root,
                                                        bool* whole = nullptr);

}  // namespace fts
