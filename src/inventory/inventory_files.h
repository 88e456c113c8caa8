// The two inventory files of a run: one per side, named beside the
// executable so that up to 99 runs of one executable can work side by side.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace fts {

enum class Side { kSource, kDestination };

inline constexpr int kMaxParallelRuns = 99;
inline constexpr std::string_view kSourceInventoryBase = "tmp_CopyFromPath";
inline constexpr std::string_view kDestinationInventoryBase = "tmp_CopyToPath";

struct InventoryFile {
  std::string name;  // set only once this run has created the file
  FileIdentity identity;
  std::unique_ptr<FileHold> hold;  // until the run deletes the file
};

struct InventoryFiles {
  InventoryFile source;
  InventoryFile destination;

  InventoryFile& Of(Side side) { return side == Side::kSource ? source : destination; }
  const InventoryFile& Of(Side side) const { return side == Side::kSource ? source : destination; }
};

// The folders a run mirrors: the command line gives one of each.
struct TreeRoots {
  std::vector<std::string> fromRoots;  // each ends in exactly one separator
  std::vector<std::string> toRoots;
};

}  // namespace fts
