#include "inventory/pass_scope.h"

#include "platform/platform.h"

namespace fts {
namespace {

// Calls `visit` with `relPath` and each folder above it, the root ("") last.
template <typename Visit>
void UpToRoot(std::string_view relPath, Visit visit) {
  for (;;) {
    visit(relPath);
    if (relPath.empty()) return;
    const auto separator = relPath.rfind(kPathSeparator);
    relPath =
        separator == std::string_view::npos ? std::string_view() : relPath.substr(0, separator);
  }
}

}  // namespace

void PassScope::AddFolder(std::string_view relPath) {
  folders_.emplace(relPath);
  UpToRoot(relPath, [&](std::string_view folder) { waypoints_.emplace(folder); });
}

void PassScope::AddSubtree(std::string_view relPath) {
  subtrees_.emplace(relPath);
  UpToRoot(relPath, [&](std::string_view folder) { waypoints_.emplace(folder); });
}

void PassScope::Clear() {
  folders_.clear();
  subtrees_.clear();
  waypoints_.clear();
}

void PassScope::Merge(const PassScope& other) {
  for (const std::string& folder : other.folders_)
    AddFolder(folder);
  for (const std::string& subtree : other.subtrees_)
    AddSubtree(subtree);
}

bool PassScope::InSubtree(std::string_view relPath) const {
  bool found = false;
  UpToRoot(relPath, [&](std::string_view folder) {
    found = found || subtrees_.count(std::string(folder)) != 0;
  });
  return found;
}

PassScope::Verdict PassScope::Judge(std::string_view folder, std::string_view relPath) const {
  if (InSubtree(folder)) return {true, true};
  const bool onTheWay = waypoints_.count(std::string(relPath)) != 0;
  if (folders_.count(std::string(folder)) != 0) return {true, onTheWay};
  return {onTheWay, onTheWay};
}

}  // namespace fts
