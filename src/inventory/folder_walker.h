// Visits every entry of a folder tree, depth first and in the system's
// enumeration order, reporting each to a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace fts {

struct WalkEntry {
  std::string_view fullPath;  // the walk root followed by the names below it
  bool isFile;                // false for a directory, true for every other entry
  std::int32_t level;         // the level of the listing that found the entry
  const DirEntryInfo& info;
};

// What the walk does after an entry was reported.
enum class WalkNext {
  kContinue,
  kEndListing,  // ends the listing of the directory that holds the entry
  kStopWalk,    // ends the whole walk
};

// For a directory, `descend` comes in true; set it false to skip the
// directory's contents.
using WalkCallback = std::function<WalkNext(const WalkEntry& entry, bool& descend)>;

// Told of every folder that could not be listed: its path as the walk named
// it, its level, and the failure.
using ListFailureCallback =
    std::function<void(const std::string& folder, std::int32_t level, const Status& failure)>;

struct WalkOptions {
  LinkPolicy links = LinkPolicy::kFollow;
  // Entries that are never reported (the run's own inventory files).
  std::vector<FileIdentity> excluded;
  ListFailureCallback onListFailure;
  // When set, each entry's attributes come with it, with the extended
  // attributes of these kinds (see DirectoryListing::ReadAttributesToo).
  std::optional<CarriedItems> attributes;
};

// Walks `folder`, reporting the entries directly inside it at `level`. A
// directory already open on the current walk path (reached again through a
// link) is reported but not entered, so a walk never loops. Returns false
// when the callback stopped the walk.
bool WalkFolder(Platform& platform, const std::string& folder, std::int32_t level,
                const WalkCallback& callback, const WalkOptions& options = {});

}  // namespace fts
