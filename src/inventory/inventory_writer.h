// Lists the source and the destination tree into their inventory files
// beside the executable: one record per entry, in the walk's order.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// What a listing found besides its records: one log line per folder that
// could not be listed, and those folders' RelPaths.
struct ListingReport {
  std::vector<std::string> messages;
  std::vector<std::string> unlistedFolders;
};

// Thrown inside a listing that was asked to stop.
struct ListingStopped {};

// Lists every root of the side into the side's claimed inventory file, one
// record per entry in the walk's order, and closes the file.
void ListSide(RunContext& run, Side side, File& file, ListingReport& report,
              const std::atomic<bool>* stop);

// Lists the source tree and then the destination tree into their
// inventories beside the executable. The destination tree is walked on a
// second thread while the source tree is walked; its messages are held back
// until WriteDestination, so the log reads exactly as if the listings ran
// one after the other.
class InventoryListing {
 public:
  explicit InventoryListing(RunContext& run);
  ~InventoryListing();
  InventoryListing(const InventoryListing&) = delete;
  InventoryListing& operator=(const InventoryListing&) = delete;

  // False when no source inventory name is free (the limit message has
  // been logged).
  bool WriteSource();
  // False when no destination inventory name is free.
  bool WriteDestination();

 private:
  void Publish(const ListingReport& report, Side side);

  RunContext& run_;
  std::optional<ClaimedInventory> destination_;
  ListingReport destinationReport_;
  std::thread destinationWalk_;
  std::atomic<bool> stop_{false};
  std::exception_ptr destinationError_;
};

}  // namespace fts
