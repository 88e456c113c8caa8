#include "inventory/folder_walker.h"

#include <algorithm>

namespace fts {
namespace {

class Walker {
 public:
  Walker(Platform& platform, const WalkCallback& callback, const WalkOptions& options)
      : platform_(platform), callback_(callback), options_(options) {}

  // `path` holds the folder's walk root (ending in the separator) on entry
  // and is restored to it on return. Returns false when the walk was stopped.
  bool Walk(std::string& path, std::int32_t level, DirectoryListing* parent,
            std::string_view nameInParent) {
    auto opened = platform_.OpenDirectory(path, parent, nameInParent, options_.links);
    if (!opened) {
      ReportListFailure(path, level, opened.status());
      return true;
    }
    std::unique_ptr<DirectoryListing>& listing = *opened;
    if (options_.attributes) listing->ReadAttributesToo(*options_.attributes);
    const FileIdentity identity = listing->Identity();
    if (std::find(openPath_.begin(), openPath_.end(), identity) != openPath_.end()) return true;
    openPath_.push_back(identity);
    struct PopOnExit {
      std::vector<FileIdentity>& stack;
      ~PopOnExit() { stack.pop_back(); }
    } popOnExit{openPath_};

    const std::size_t rootLength = path.size();
    std::string name;
    DirEntryInfo info;
    while (listing->Next(name, info)) {
      if (name == "." || name == "..") continue;
      if (!info.isDirectory && IsExcluded(info)) continue;
      path.resize(rootLength);
      path += name;
      bool descend = true;
      const WalkEntry entry{path, !info.isDirectory, level, info};
      const WalkNext next = callback_(entry, descend);
      if (next == WalkNext::kStopWalk) {
        path.resize(rootLength);
        return false;
      }
      if (next == WalkNext::kEndListing) break;
      if (info.isDirectory && descend) {
        path += kPathSeparator;
        if (!Walk(path, level + 1, listing.get(), name)) {
          path.resize(rootLength);
          return false;
        }
      }
    }
    path.resize(rootLength);
    // A listing that broke off is as unreliable as one that never began.
    if (const Status status = listing->status(); !status) ReportListFailure(path, level, status);
    return true;
  }

 private:
  bool IsExcluded(const DirEntryInfo& info) const {
    if (!info.timeValid || info.isSymlink) return false;
    return std::find(options_.excluded.begin(), options_.excluded.end(), info.identity) !=
           options_.excluded.end();
  }

  void ReportListFailure(const std::string& path, std::int32_t level, const Status& failure) {
    if (!options_.onListFailure) return;
    std::string folder = path;
    if (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    options_.onListFailure(folder, level, failure);
  }

  Platform& platform_;
  const WalkCallback& callback_;
  const WalkOptions& options_;
  std::vector<FileIdentity> openPath_;
};

}  // namespace

bool WalkFolder(Platform& platform, const std::string& folder, std::int32_t level,
                const WalkCallback& callback, const WalkOptions& options) {
  std::string walkRoot = folder;
  if (walkRoot.empty() || walkRoot.back() != kPathSeparator) walkRoot += kPathSeparator;
  return Walker(platform, callback, options).Walk(walkRoot, level, nullptr, {});
}

}  // namespace fts
