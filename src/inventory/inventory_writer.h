// Lists the source and the destination tree into their inventory files
// beside the executable: one record per entry, in the walk's order.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "inventory/folder_walker.h"
#include "run/run_context.h"

namespace fts {

inline constexpr int kMaxParallelRuns = 99;
inline constexpr std::string_view kSourceInventoryBase = "tmp_CopyFromPath";
inline constexpr std::string_view kDestinationInventoryBase = "tmp_CopyToPath";

struct ClaimedInventory {
  std::string fileName;
  std::unique_ptr<File> file;
};

// Claims the first free name of base.txt, base2.txt ... base99.txt beside the
// executable by creating the file only if nothing stands under the name.
// When that folder cannot be written, the user's temporary folder is used
// instead. Returns nullopt when all 99 names are taken.
std::optional<ClaimedInventory> ChooseInventoryName(Platform& platform, std::string_view base);

// `text` without its last byte when that is a separator.
std::string StripTrailingBackslash(std::string_view text);

// Appends the record of one walked entry, without its line end:
// Kind","FullPath","RelPath","Depth","TimeStamp","1
void FormatInventoryRecord(std::string& out, std::string_view fullPath, bool isFile,
                           std::string_view root, std::string_view timeStamp);

// Lists every root of the side into a newly claimed inventory file. False
// when no inventory name is free (the limit message has been logged).
bool WriteInventory(RunContext& run, Side side);

}  // namespace fts
