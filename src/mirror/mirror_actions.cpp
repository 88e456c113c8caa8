#include "mirror/mirror_actions.h"

#include <functional>
#include <string>

#include "mirror/record.h"
#include "mirror/text_file.h"
#include "run/run_errors.h"
#include "text/record_escape.h"

namespace fts {
namespace {

enum class Records { kAll, kPending };

// The ActionFlag is the text after the last delimiter: a record is pending
// when its line ends in "," and "1". Passes that act only on pending
// records skip the others without taking them apart.
bool LineIsPending(std::string_view line) {
  return line.size() > kFieldDelimiter.size() && line.ends_with("1") &&
         line.substr(0, line.size() - 1).ends_with(kFieldDelimiter);
}

// One pass over an inventory from its first line; `onRecord` returns false
// to stop reading.
void ForEachRecord(InventoryTextFile& file, TStrArrayClass& splitter, Records which,
                   const std::function<bool(const TStrArrayClass&)>& onRecord) {
  std::string line;
  while (!file.Eof()) {
    file.ReadLine(line);
    if (which == Records::kPending && !LineIsPending(line)) continue;
    splitter.Split(line);
    if (!onRecord(splitter)) return;
  }
}

void ReadWholeInventory(RunContext& run, const std::string& fileName, Records which,
                        const std::function<bool(const TStrArrayClass&)>& onRecord) {
  TStrArrayClass splitter;
  SetUpRecordSplitter(splitter);
  InventoryTextFile file(run.platform, fileName);
  file.Open();
  ForEachRecord(file, splitter, which, onRecord);
  file.Close();
}

class MirrorActions {
 public:
  explicit MirrorActions(RunContext& run) : run_(run), state_(run.state) {}

  void Run() {
    if (!HasPendingAction(state_.source.fileName) &&
        !HasPendingAction(state_.destination.fileName)) {
      run_.log.WriteLog("No Difference In These Folders!");
      return;
    }
    run_.log.WriteLog(
        "-------- Remove Directory And Delete File In MirrorToFolder Start --------------");
    DeletePendingFiles();
    RemovePendingDirectories(MaxDepth(state_.destination.fileName));
    run_.log.WriteLog(
        "-------- Remove Directory And Delete File In MirrorToFolder End ----------------");

    run_.log.WriteLog(
        "-------- Make Directory And Copy File In MirrorToFolder Start ------------------");
    MakePendingDirectories(MaxDepth(state_.source.fileName));
    CopyPendingFiles();
    run_.log.WriteLog(
        "-------- Make Directory And Copy File In MirrorToFolder End --------------------");
  }

 private:
  bool HasPendingAction(const std::string& fileName) {
    bool pending = false;
    ReadWholeInventory(run_, fileName, Records::kPending, [&](const TStrArrayClass& record) {
      pending = IsPending(record);
      return !pending;
    });
    return pending;
  }

  std::int64_t MaxDepth(const std::string& fileName) {
    std::int64_t highest = 0;
    ReadWholeInventory(run_, fileName, Records::kAll, [&](const TStrArrayClass& record) {
      highest = std::max(highest, DepthOf(record));
      return true;
    });
    return highest;
  }

  void DeletePendingFiles() {
    ReadWholeInventory(
        run_, state_.destination.fileName, Records::kPending, [&](const TStrArrayClass& record) {
          if (IsFileRecord(record) && IsPending(record)) {
            const std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
            Act("Delete File      : " + path, [&] { return run_.platform.DeleteFile(path); });
          }
          return true;
        });
  }

  void RemovePendingDirectories(std::int64_t highestDepth) {
    SweepLevels(state_.destination.fileName, highestDepth, 0, [&](const TStrArrayClass& record) {
      const std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
      Act("Remove Directory : " + path, [&] { return run_.platform.RemoveDirectory(path); });
    });
  }

  void MakePendingDirectories(std::int64_t highestDepth) {
    SweepLevels(state_.source.fileName, 0, highestDepth, [&](const TStrArrayClass& record) {
      const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
      for (const std::string& root : state_.toRoots) {
        const std::string path = root + relPath;
        Act("Make Directory : " + path, [&] { return run_.platform.MakeDirectory(path); });
      }
    });
  }

  void CopyPendingFiles() {
    ReadWholeInventory(
        run_, state_.source.fileName, Records::kPending, [&](const TStrArrayClass& record) {
          if (IsFileRecord(record) && IsPending(record)) {
            const std::string from = UnescapeRecordPath(record.GetItem(kFullPathField));
            const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
            for (const std::string& root : state_.toRoots) {
              const std::string to = root + relPath;
              Act("Copy File      : " + from + " -> " + to,
                  [&] { return run_.platform.CopyFile(from, to); });
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
    InventoryTextFile file(run_.platform, fileName);
    file.Open();
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

  // Carries out one action (not in a dry run), logs it, and logs its
  // failure on the line after.
  void Act(const std::string& message, const std::function<Status()>& action) {
    Status status = state_.dryRun ? Status::Ok() : action();
    run_.log.WriteLog(message);
    if (!status) {
      run_.log.WriteLog("Action Failed    : " + status.message);
      state_.actionFailed = true;
    }
  }

  RunContext& run_;
  RunState& state_;
};

}  // namespace

void RunMirrorActions(RunContext& run) {
  MirrorActions(run).Run();
}

}  // namespace fts
