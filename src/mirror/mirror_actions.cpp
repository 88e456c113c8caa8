#include "mirror/mirror_actions.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "inventory/entry_facts.h"
#include "inventory/inventory_reader.h"
#include "inventory/record_format.h"
#include "mirror/action_pipeline.h"
#include "mirror/link_anchor.h"

namespace fts {
namespace {

constexpr std::uint32_t kOwnerWrite = 0200;
constexpr std::uint32_t kOwnerAll = 0700;

enum class Records {
  kAll,
  kPending,
  kNeedingAction,  // pending, or to be mended in place
};

// One pass over an inventory from its current position; `onRecord` returns
// false to stop reading.
void ForEachRecord(InventoryReader& file, TStrArrayClass& splitter, Records which,
                   const std::function<bool(const TStrArrayClass&)>& onRecord) {
  std::string_view line;
  while (file.ReadLine(line)) {
    if (which == Records::kPending && !LineIsPending(line)) continue;
    if (which == Records::kNeedingAction && !LineNeedsAction(line)) continue;
    splitter.Split(line);
    if (!onRecord(splitter)) return;
  }
}

void ReadWholeInventory(Platform& platform, const std::string& fileName, Records which,
                        const std::function<bool(const TStrArrayClass&)>& onRecord) {
  TStrArrayClass splitter;
  SetUpRecordSplitter(splitter);
  InventoryReader file(platform, fileName);
  ForEachRecord(file, splitter, which, onRecord);
  file.Close();
}

bool HasPendingAction(Platform& platform, const std::string& inventory) {
  bool pending = false;
  ReadWholeInventory(platform, inventory, Records::kNeedingAction,
                     [&](const TStrArrayClass& record) {
                       pending = IsPending(record) || IsMend(record);
                       return !pending;
                     });
  return pending;
}

// A tree of the platform, opened for its first action on the thread that
// gives the actions; when it cannot be opened, every action on it fails
// with that.
class LazyTree {
 public:
  LazyTree(Platform& platform, std::string root, CarriedItems carried = {})
      : platform_(platform), root_(std::move(root)), carried_(carried) {}

  // The tree, or nullptr with `failure` set.
  DestinationTree* Get(Status& failure) {
    if (!tree_) {
      tree_.emplace(platform_.OpenDestination(root_));
      if (*tree_ && carried_.Any()) tree_->value()->Carry(carried_);
    }
    if (!*tree_) {
      failure = tree_->status();
      return nullptr;
    }
    return tree_->value().get();
  }

 private:
  Platform& platform_;
  std::string root_;
  CarriedItems carried_;
  std::optional<Result<std::unique_ptr<DestinationTree>>> tree_;
};

// An action on a tree that may have failed to open.
struct TreeAction {
  DestinationTree* tree;
  Status failure;
  template <typename Action>
  Status operator()(Action&& action) const {
    return tree == nullptr ? failure : action(*tree);
  }
};

// The log line of an action.
std::string LineOf(const ActionRecord& action) {
  static const std::pair<std::string_view, std::string_view> kPrefixes[] = {
      {"Delete File", "Delete File      : "},      {"Move To Backup", "Move To Backup   : "},
      {"Remove Directory", "Remove Directory : "}, {"Make Directory", "Make Directory : "},
      {"Copy File", "Copy File      : "},          {"Set Attributes", "Set Attributes   : "},
  };
  std::string line;
  for (const auto& [name, prefix] : kPrefixes) {
    if (name == action.action) line = prefix;
  }
  line += action.path;
  if (!action.to.empty()) line += " -> " + action.to;
  return line;
}

class MirrorActions {
 public:
  MirrorActions(Platform& platform, ConsoleLog& log, const InventoryFiles& inventories,
                const MirrorPlan& plan)
      : platform_(platform),
        log_(log),
        source_(inventories.source.name),
        destination_(inventories.destination.name),
        plan_(plan),
        backup_(platform, plan.backupRoot),
        pipeline_(plan.dryRun ? WorkerCount{} : plan.workers, log) {
    const CarriedItems carried =
        plan.faithful != nullptr ? plan.faithful->rules.carried : CarriedItems{};
    for (const std::string& root : plan.toRoots)
      trees_.emplace_back(platform, root, carried);
    anchors_.resize(plan.toRoots.size());
    if (plan.faithful != nullptr && plan.faithful->linkAnchors != nullptr) {
      for (auto& anchors : anchors_) {
        for (const auto& [group, relPath] : *plan.faithful->linkAnchors)
          anchors.emplace(group, LinkAnchor::Standing(relPath));
      }
    }
  }

  ActionCounts Run() {
    if (!HasPendingAction(platform_, source_) && !HasPendingAction(platform_, destination_)) {
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
  std::int64_t MaxDepth(const std::string& fileName) {
    std::int64_t highest = 0;
    ReadWholeInventory(platform_, fileName, Records::kAll, [&](const TStrArrayClass& record) {
      highest = std::max(highest, DepthOf(record));
      return true;
    });
    return highest;
  }

  // Each pending destination file goes: deleted, or moved to the backup
  // folder.
  void DeletePendingFiles() {
    pipeline_.BeginStep();
    const bool backup = !plan_.backupRoot.empty();
    ReadWholeInventory(
        platform_, destination_, Records::kPending, [&](const TStrArrayClass& record) {
          if (!IsFileRecord(record) || !IsPending(record)) return true;
          std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
          std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
          const TreeAction onTree = TreeOf(RootOf(path, relPath));
          if (!backup) {
            Act({"Delete File", path, ""}, counts_.filesDeleted,
                [onTree, relPath = std::move(relPath)] {
                  return onTree([&](DestinationTree& t) { return t.DeleteFile(relPath); });
                });
            return true;
          }
          std::string backupRel = plan_.backupRun + kPathSeparator + relPath;
          Status backupFailure;
          DestinationTree* backupTree = backup_.Get(backupFailure);
          ActionRecord move{"Move To Backup", path, plan_.backupRoot + backupRel};
          Act(
              std::move(move), counts_.filesDeleted,
              [onTree, backupTree, backupFailure, relPath = std::move(relPath),
               backupRel = std::move(backupRel)] {
                if (backupTree == nullptr) return backupFailure;
                return onTree([&](DestinationTree& t) {
                  return t.MoveFileTo(relPath, *backupTree, backupRel);
                });
              },
              // A file whose backup failed is never overwritten.
              [this, path](const Status& status) {
                if (!status) keptForBackup_.insert(path);
              });
          return true;
        });
    counts_.workers.deletions = pipeline_.EndStep();
  }

  void RemovePendingDirectories(std::int64_t highestDepth) {
    pipeline_.BeginStep();
    SweepLevels(destination_, highestDepth, 0, [&](const TStrArrayClass& record) {
      std::string path = UnescapeRecordPath(record.GetItem(kFullPathField));
      std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
      const TreeAction onTree = TreeOf(RootOf(path, relPath));
      Act({"Remove Directory", std::move(path), ""}, counts_.foldersRemoved,
          [onTree, relPath = std::move(relPath)] {
            return onTree([&](DestinationTree& t) { return t.RemoveDirectory(relPath); });
          });
    });
    counts_.workers.removals = pipeline_.EndStep();
  }

  void MakePendingDirectories(std::int64_t highestDepth) {
    const FaithfulCopies* faithful = plan_.faithful;
    // A folder the run makes gets the weighed and carried attributes at once.
    const bool withAttributes = faithful != nullptr && (faithful->rules.compare.attributes ||
                                                        faithful->rules.carried.Any());
    pipeline_.BeginStep();
    SweepLevels(source_, 0, highestDepth, [&](const TStrArrayClass& record) {
      const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
      if (const CaseClash* clash = ClashOf(relPath)) {
        for (const std::string& root : plan_.toRoots)
          Refuse({"Make Directory", root + relPath, ""}, ClashFailure(*clash, root));
        return;
      }
      std::string from;
      if (withAttributes) from = UnescapeRecordPath(record.GetItem(kFullPathField));
      const bool sealLater = withAttributes && KeepsOwnerOut(from);
      for (std::size_t root = 0; root < trees_.size(); ++root) {
        const TreeAction onTree = TreeOf(root);
        if (sealLater) foldersToSeal_.push_back({root, from, relPath});
        Act({"Make Directory", plan_.toRoots[root] + relPath, ""}, counts_.foldersMade,
            [this, onTree, relPath, from, faithful, sealLater] {
              if (faithful == nullptr || from.empty()) {
                return onTree([&](DestinationTree& t) { return t.MakeDirectory(relPath); });
              }
              auto attributes = platform_.ReadAttributes(from, faithful->rules.SourceLinkPolicy(),
                                                         faithful->rules.carried);
              if (!attributes) return attributes.status();
              if (sealLater) attributes->mode |= kOwnerAll;
              return onTree(
                  [&](DestinationTree& t) { return t.MakeDirectoryWith(relPath, *attributes); });
            });
      }
    });
    counts_.workers.folders = pipeline_.EndStep();
  }

  // True for a source folder whose permissions keep its owner from writing
  // into it: its copy is made (or mended) open to the owner, so that what
  // goes into it can, and gets its own permissions after the copies.
  bool KeepsOwnerOut(const std::string& folder) {
    auto attributes =
        platform_.ReadAttributes(folder, plan_.faithful->rules.SourceLinkPolicy(), {});
    return attributes && (attributes->mode & kOwnerWrite) == 0;
  }

  // Gives the folders that keep their owner out their own permissions, the
  // deepest first.
  void SealFolders() {
    for (auto folder = foldersToSeal_.rbegin(); folder != foldersToSeal_.rend(); ++folder)
      SetAttributes(folder->from, folder->relPath, folder->root, false, false);
    pipeline_.Drain();
  }

  void CopyPendingFiles() {
    pipeline_.BeginStep();
    if (plan_.observer != nullptr && plan_.observer->WantsCopyTotals()) TellCopiesBegin();
    ReadWholeInventory(
        platform_, source_, Records::kNeedingAction, [&](const TStrArrayClass& record) {
          const bool mend = IsMend(record);
          if (!mend && (!IsFileRecord(record) || !IsPending(record))) return true;
          const std::string from = UnescapeRecordPath(record.GetItem(kFullPathField));
          const std::string relPath = UnescapeRecordPath(record.GetItem(kRelPathField));
          const EntryFacts facts = SplitFacts(FactsOf(record));
          if (const CaseClash* clash = mend ? nullptr : ClashOf(relPath)) {
            for (const std::string& root : plan_.toRoots)
              Refuse({"Copy File", from, root + relPath}, ClashFailure(*clash, root));
            return true;
          }
          const bool sealLater = mend && IsDirectoryRecord(record) && KeepsOwnerOut(from);
          for (std::size_t root = 0; root < trees_.size(); ++root) {
            if (sealLater) foldersToSeal_.push_back({root, from, relPath});
            if (mend) {
              SetAttributes(from, relPath, root, IsKeptLink(facts), sealLater);
            } else if (IsKeptLink(facts)) {
              MakeLink(from, relPath, root);
            } else {
              CopyFile(from, relPath, root, facts.group);
            }
          }
          return true;
        });
    pipeline_.Drain();
    SealFolders();
    counts_.workers.copies = pipeline_.EndStep();
  }

  DestinationTree::Replace ReplaceFor(const std::string& to) const {
    return keptForBackup_.count(to) != 0 ? DestinationTree::Replace::kNo
                                         : DestinationTree::Replace::kYes;
  }

  // Copies a file, or gives it a second name where it is a new name of a
  // hard-link group whose first name stands in the destination or is being
  // copied.
  void CopyFile(const std::string& from, const std::string& relPath, std::size_t root,
                std::string_view group) {
    std::string to = plan_.toRoots[root] + relPath;
    const auto replace = ReplaceFor(to);
    const TreeAction onTree = TreeOf(root);
    // Written by the worker, read once the action is done.
    auto bytes = std::make_shared<std::uint64_t>(0);
    const auto copy = [onTree, from, relPath, replace, bytes] {
      return onTree([&](DestinationTree& t) {
        auto copied = t.CopyFile(from, relPath, replace);
        if (copied) *bytes = *copied;
        return copied.status();
      });
    };
    std::function<Status()> action = copy;
    bool follower = false;  // waits for the copy of its group's first name
    if (std::shared_ptr<LinkAnchor> anchor = AnchorFor(root, group, relPath); anchor) {
      follower = true;
      action = [onTree, anchor, relPath, replace, copy] {
        // Where the first name could not be copied, this one is copied.
        if (!anchor->WaitMade()) return copy();
        return onTree(
            [&](DestinationTree& t) { return t.LinkFile(anchor->RelPath(), relPath, replace); });
      };
    } else if (auto made = anchors_[root].find(std::string(group));
               made != anchors_[root].end() && made->second->RelPath() == relPath) {
      action = [copy, anchor = made->second] {
        Status status = copy();
        anchor->Settle(status.ok());
        return status;
      };
    }
    Act({"Copy File", from, std::move(to)}, counts_.filesCopied, std::move(action),
        [this, bytes](const Status&) { counts_.bytesCopied += *bytes; }, {0, follower, bytes});
  }

  // The anchor a new name of `group` is linked to, nullptr where the name is
  // not in a group or is the first of its group (which then becomes the
  // group's anchor).
  std::shared_ptr<LinkAnchor> AnchorFor(std::size_t root, std::string_view group,
                                        const std::string& relPath) {
    const FaithfulCopies* faithful = plan_.faithful;
    if (group.empty() || faithful == nullptr || faithful->linkLeaders == nullptr ||
        faithful->linkLeaders->count(std::string(group)) == 0) {
      return nullptr;
    }
    auto [anchor, first] = anchors_[root].try_emplace(std::string(group));
    if (first) {
      anchor->second = std::make_shared<LinkAnchor>(relPath);
      return nullptr;
    }
    return anchor->second;
  }

  // Mirrors a source link as a link with the same text.
  void MakeLink(const std::string& from, const std::string& relPath, std::size_t root) {
    std::string to = plan_.toRoots[root] + relPath;
    const auto replace = ReplaceFor(to);
    const TreeAction onTree = TreeOf(root);
    const CarriedItems carried = plan_.faithful->rules.carried;
    Act({"Copy File", from, std::move(to)}, counts_.filesCopied,
        [this, onTree, from, relPath, replace, carried] {
          auto target = platform_.ReadLinkTarget(from);
          if (!target) return target.status();
          auto attributes = platform_.ReadAttributes(from, LinkPolicy::kDoNotFollow, carried);
          if (!attributes) return attributes.status();
          return onTree([&](DestinationTree& t) {
            return t.MakeLink(relPath, *target, *attributes, replace);
          });
        });
  }

  // Gives a destination entry the source entry's attributes in place.
  // With `openToOwner`, the owner may write into the entry whatever the
  // source's permissions say.
  void SetAttributes(const std::string& from, const std::string& relPath, std::size_t root,
                     bool keptLink, bool openToOwner) {
    const TreeAction onTree = TreeOf(root);
    const CopyRules& rules = plan_.faithful->rules;
    const LinkPolicy policy = keptLink ? LinkPolicy::kDoNotFollow : rules.SourceLinkPolicy();
    Act({"Set Attributes", plan_.toRoots[root] + relPath, ""}, counts_.attributesSet,
        [this, onTree, from, relPath, policy, openToOwner, carried = rules.carried] {
          auto attributes = platform_.ReadAttributes(from, policy, carried);
          if (!attributes) return attributes.status();
          if (openToOwner) attributes->mode |= kOwnerAll;
          return onTree([&](DestinationTree& t) { return t.SetAttributes(relPath, *attributes); });
        });
  }

  // Tells the observer how many copies come and how many bytes they hold.
  void TellCopiesBegin() {
    std::int64_t copies = 0;
    std::uint64_t bytes = 0;
    ReadWholeInventory(platform_, source_, Records::kPending, [&](const TStrArrayClass& record) {
      if (!IsFileRecord(record) || !IsPending(record)) return true;
      copies += static_cast<std::int64_t>(trees_.size());
      const auto size = platform_.SizeOf(UnescapeRecordPath(record.GetItem(kFullPathField)));
      bytes += size.value_or(0) * trees_.size();
      return true;
    });
    plan_.observer->CopiesBegin(copies, bytes);
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
      // Each level is done before the next one begins.
      pipeline_.Drain();
      if (level == last) break;
    }
    file.Close();
  }

  TreeAction TreeOf(std::size_t root) {
    TreeAction action{nullptr, Status::Ok()};
    action.tree = trees_[root].Get(action.failure);
    return action;
  }

  // The root of the destination record `fullPath`: the one it begins with,
  // followed by `relPath`.
  std::size_t RootOf(std::string_view fullPath, std::string_view relPath) const {
    for (std::size_t root = 0; root < plan_.toRoots.size(); ++root) {
      const std::string& text = plan_.toRoots[root];
      if (fullPath.size() == text.size() + relPath.size() && fullPath.starts_with(text)) {
        return root;
      }
    }
    return 0;
  }

  // The clash of a source entry the destination cannot hold, or nullptr.
  const CaseClash* ClashOf(const std::string& relPath) const {
    return plan_.refused == nullptr ? nullptr : plan_.refused->ClashOf(relPath);
  }

  // Logs an action that fails before it is tried, in a dry run too.
  void Refuse(ActionRecord record, Status failure) {
    Act(
        std::move(record), counts_.failed, [failure] { return failure; }, {}, {}, true);
  }

  // Gives one action to the pipeline (in a dry run, an action that does
  // nothing unless it is `refused`), which logs it, and its failure on the
  // line after.
  void Act(ActionRecord record, std::int64_t& done, std::function<Status()> action,
           std::function<void(const Status&)> onDone = {}, ActionPlace place = {},
           bool refused = false) {
    if (plan_.dryRun && !refused) action = [] { return Status::Ok(); };
    // The folder whose entries the action makes or deletes.
    const std::string_view entry = record.action == "Copy File" ? record.to : record.path;
    place.folder = std::hash<std::string_view>{}(entry.substr(0, entry.rfind(kPathSeparator) + 1));
    std::string line = LineOf(record);
    pipeline_.Submit(
        std::move(line), std::move(action),
        [this, &done, record = std::move(record),
         onDone = std::move(onDone)](const Status& status) {
          ++(status ? done : counts_.failed);
          if (onDone) onDone(status);
          if (plan_.observer == nullptr) return;
          if (!status) plan_.observer->ActionFailed(record, status);
          plan_.observer->ActionDone(counts_);
        },
        std::move(place));
  }

  Platform& platform_;
  ConsoleLog& log_;
  const std::string& source_;
  const std::string& destination_;
  const MirrorPlan& plan_;
  std::vector<LazyTree> trees_;
  LazyTree backup_;
  std::unordered_set<std::string> keptForBackup_;  // destination paths
  struct FolderToSeal {
    std::size_t root;
    std::string from;
    std::string relPath;
  };
  // In the order the folders were given.
  std::vector<FolderToSeal> foldersToSeal_;
  // Per destination root: each hard-link group's anchor.
  std::vector<std::unordered_map<std::string, std::shared_ptr<LinkAnchor>>> anchors_;
  ActionCounts counts_;
  ActionPipeline pipeline_;
};

}  // namespace

ActionCounts RunMirrorActions(Platform& platform, ConsoleLog& log,
                              const InventoryFiles& inventories, const MirrorPlan& plan) {
  return MirrorActions(platform, log, inventories, plan).Run();
}

}  // namespace fts
