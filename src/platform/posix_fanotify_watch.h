// Change notifications on Linux for root: one fanotify mark on the whole
// file system that holds the tree, events named by their folder and name,
// kept when they fall within the tree. A tree of any size needs one mark.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace fts {

// Fails where the kernel or the file system offers no such mark, or the
// caller may not set one: inotify serves then.
Result<std::unique_ptr<TreeWatch>> WatchTreeWithFanotify(const std::string& root);

}  // namespace fts
