// What one run knows: its inputs from the command line, its two inventory
// files, the line-offset lists, and how its actions went.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fts {

// The record fields are joined by quote, comma, quote.
inline constexpr std::string_view kFieldDelimiter = "\",\"";

enum class Side { kSource, kDestination };

struct Inventory {
  std::string fileName;  // set only once this run has created the file
  FileIdentity identity;
};

using OptionRow = std::vector<std::string>;
using OptionTable = std::vector<OptionRow>;

struct RunState {
  OptionTable optionTable;
  bool dryRun = false;
  bool helpRequested = false;

  std::vector<std::string> fromRoots;  // each ends in exactly one separator
  std::vector<std::string> toRoots;
  std::string mirrorFromPath;  // as typed, for display
  std::string mirrorToPath;

  Inventory source;
  Inventory destination;

  // Byte offsets of the destination inventory's lines, sorted by RelPath.
  std::vector<std::int64_t> toLineIndex;

  // RelPaths of source folders that could not be listed ("" for the root).
  std::vector<std::string> unlistedSourceFolders;
  bool listingFailed = false;
  bool actionFailed = false;

  Inventory& InventoryOf(Side side) { return side == Side::kSource ? source : destination; }
  const Inventory& InventoryOf(Side side) const {
    return side == Side::kSource ? source : destination;
  }
};

}  // namespace fts
