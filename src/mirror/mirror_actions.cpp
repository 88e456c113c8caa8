#include "mirror/mirror_actions.h"

#include <functional>
#include <optional>
#include <string>

#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"

namespace fts {
namespace {

enum class Records { kAll, kPending };

// One pass over an inventory from its current position; `onRecord` returns
// false to stop reading.
void ForEachRecord(InventoryReader& file, TStrArrayClass& splitter, Records which,
                   const std::function<bool(const TStrArrayClass&)>& onRecord) {
  std::string_view line;
  while (file.ReadLine(line)) {
    if (which == Records::kPending && !LineIsPending(line)) continue;
    splitter.Split(line);
    if (!onRecord(splitter)) return;
  }
}

class MirrorActions {
 public:
  MirrorActions(Platform& platform, ConsoleLog& log, const InventoryFiles& inventories,
                const std::vector<std::string>& toRoots, bool dryRun)
      : platform_(platform),
        log_(log),
        source_(inventories.source.name),
        destination_(inventories.destination.name),
        toRoots_(toRoots),
        dryRun_(dryRun),
        trees_(toRoots.size()) {}

  ActionCounts Run() {
    if (!HasPendingAction(source_) && !HasPendingAction(destination_)) {
      log_.WriteLog("No Difference In These Folders!");
      return counts_;
    }
    log_.WriteLog(
        "-------- Remove Directory And Delete File In MirrorToFolder Start --------------");
    DeletePendingFiles();
    RemovePendingDirectories(MaxDepth(destination_));
    log_.WriteLog(
        "-------- Remove Directory And Delete File In MirrorToFolder End ----------------");

    log_.WriteLog(
        "-------- Make Directory And Copy File In MirrorToFolder Start ------------------");
    MakePendingDirectories(MaxDepth(source_));
    CopyPendingFiles();
    log_.WriteLog(
        "-------- Make Directory And Copy File In MirrorToFolder End --------------------");
    return counts_;
  }

 private:
  void ReadWholeInventory(const std::string& fileName, Records which,
                          const std::function<bool(const TStrArrayClass&)>& onRecord) {
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    InventoryReader file(platform_, fileName);
    ForEachRecord(file, splitter, which, onRecord);
    file.Close();
  }

  bool HasPendingAction(const std::string& fileName) {
    bool pending = false;
    ReadWholeInventory(fileName, Records::kPending, [&](const TStrArrayClass& record) {
      pending = IsPending(record);
      return !pending;
    });
    return pending;
  }

  std::int64_t MaxDepth(const std::string& fileName) {
    std::int64_t highest = 0;
    ReadWholeInventory(fileName, Records::kAll, [&](const TStrArrayClass& record) {
      highest = std::max(highest, DepthOf(record));
      return true;
    });
    return highest;
  }

  void DeletePendingFiles() {
    ReadWholeInventory(destination_, Records::kPending, [&](const TStrArrayClass& record) {
      if (IsFileRecord(record) && IsPending(record)) {
        const std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
        const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
        Act("Delete File      : " + path, counts_.filesDeleted, [&] {
          return InTree(RootOf(path, relPath),
                        [&](DestinationTree& tree) { return tree.DeleteFile(relPath); });
        });
      }
      return true;
    });
  }

  void RemovePendingDirectories(std::int64_t highestDepth) {
    SweepLevels(destination_, highestDepth, 0, [&](const TStrArrayClass& record) {
      const std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
      const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
      Act("Remove Directory : " + path, counts_.foldersRemoved, [&] {
        return InTree(RootOf(path, relPath),
                      [&](DestinationTree& tree) { return tree.RemoveDirectory(relPath); });
      });
    });
  }

  void MakePendingDirectories(std::int64_t highestDepth) {
    SweepLevels(source_, 0, highestDepth, [&](const TStrArrayClass& record) {
      const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
      for (std::size_t root = 0; root < toRoots_.size(); ++root) {
        Act("Make Directory : " + toRoots_[root] + relPath, counts_.foldersMade, [&] {
          return InTree(root, [&](DestinationTree& tree) { return tree.MakeDirectory(relPath); });
        });
      }
    });
  }

  void CopyPendingFiles() {
    ReadWholeInventory(source_, Records::kPending, [&](const TStrArrayClass& record) {
      if (IsFileRecord(record) && IsPending(record)) {
        const std::string from = UnescapeRecordPath(record.GetItem(kFullPathField));
        const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
        for (std::size_t root = 0; root < toRoots_.size(); ++root) {
          Act("Copy File      : " + from + " -> " + toRoots_[root] + relPath, counts_.filesCopied,
              [&] {
                return InTree(root,
                              [&](DestinationTree& tree) { return tree.CopyFile(from, relPath); });
              });
        }
      }
      return true;
    });
  }

  // Sweeps the inventory once per level, from level `first` to level `last`
  // both included, acting on the pending directories of each level in
  // inventory order.
  void SweepLevels(const std::string& fileName, std::int64_t first, std::int64_t last,
                   const std::function<void(const TStrArrayClass&)>& onDirectory) {
    const std::int64_t step = first <= last ? 1 : -1;
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    InventoryReader file(platform_, fileName);
    for (std::int64_t level = first;; level += step) {
      file.Seek(0);
      ForEachRecord(file, splitter, Records::kPending, [&](const TStrArrayClass& record) {
        if (IsDirectoryRecord(record) && DepthOf(record) == level && IsPending(record)) {
          onDirectory(record);
        }
        return true;
      });
      if (level == last) break;
    }
    file.Close();
  }

  // The root of the destination record `fullPath`: the one it begins with,
  // followed by `relPath`.
  std::size_t RootOf(std::string_view fullPath, std::string_view relPath) const {
    for (std::size_t root = 0; root < toRoots_.size(); ++root) {
      if (fullPath.size() == toRoots_[root].size() + relPath.size() &&
          fullPath.starts_with(toRoots_[root])) {
        return root;
      }
    }
    return 0;
  }

  // Runs `action` on the tree below toRoots_[root], which is opened for its
  // first action; when it cannot be opened, every action fails with that.
  Status InTree(std::size_t root, const std::function<Status(DestinationTree&)>& action) {
    auto& tree = trees_[root];
    if (!tree) tree.emplace(platform_.OpenDestination(toRoots_[root]));
    if (!*tree) return tree->status();
    return action(*tree->value());
  }

  // Carries out one action (not in a dry run), logs it, and logs its
  // failure on the line after.
  void Act(const std::string& message, std::int64_t& done, const std::function<Status()>& action) {
    const Status status = dryRun_ ? Status::Ok() : action();
    log_.WriteLog(message);
    if (!status) {
      log_.WriteLog("Action Failed    : " + status.Cause());
      ++counts_.failed;
    } else {
      ++done;
    }
  }

  Platform& platform_;
  ConsoleLog& log_;
  const std::string& source_;
  const std::string& destination_;
  const std::vector<std::string>& toRoots_;
  const bool dryRun_;
  std::vector<std::optional<Result<std::unique_ptr<DestinationTree>>>> trees_;
  ActionCounts counts_;
};

}  // namespace

ActionCounts RunMirrorActions(Platform& platform, ConsoleLog& log,
                              const InventoryFiles& inventories,
                              const std::vector<std::string>& toRoots, bool dryRun) {
  return MirrorActions(platform, log, inventories, toRoots, dryRun).Run();
}

}  // namespace fts
