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
  std::unique_ptr<File> file;      // for writing the records
  std::unique_ptr<FileHold> hold;  // held until the file is deleted
};

// Claims a name by creating the file only if nothing stands under it, and
// holds the file for as long as it exists. A file under a name that no
// running run holds and that is empty or begins with an inventory record is
// a leftover of a run that was killed: it is deleted and its name claimed.
// Any other file is left alone. When the executable's folder cannot be
// written, or is a system folder of programs (Platform::IsSystemProgramFolder),
// the user's temporary folder is used instead. Returns nullopt when all 99
// names are taken; a failure to create ends the run.
std::optional<ClaimedInventory> ChooseInventoryName(Platform& platform, std::string_view base);

// True for the first bytes of an inventory: none, or a record's start.
bool LooksLikeInventory(std::string_view start);

}  // namespace fts
