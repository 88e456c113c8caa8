#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

// ToLineIndex: the offset of every line of the destination inventory, in the
// ordinal order of the RelPaths (as paths, escapes undone).
//
// The inventory lists a tree depth first, so everything below a folder is
// one run of lines, and in sorted order everything below a folder is one
// run too, ordered as if the folder's name ended in the separator. So the
// whole order follows from sorting each folder's direct entries by name:
// one sweep of the file per level places every line, and memory holds only
// the index, two numbers per folder and the names of one folder at a time.
std::vector<std::int64_t> BuildToLineIndex(Platform& platform,
                                           const std::string& destinationInventory);

}  // namespace fts
