// Claims the name of a run's inventory file: the first free of base.txt,
// base2.txt ... base99.txt beside the executable.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace fts {

struct ClaimedInventory {
  std::string fileName;
  std::unique_ptr<File> file;
};

// Claims a name by creating the file only if nothing stands under it. When
// the executable's folder cannot be written, the user's temporary folder is
// used instead. Returns nullopt when all 99 names are taken; a failure to
// create ends the run.
std::optional<ClaimedInventory> ChooseInventoryName(Platform& platform, std::string_view base);

}  // namespace fts
