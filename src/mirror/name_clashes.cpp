#include "mirror/name_clashes.h"

#include <unordered_set>

namespace fts {

RefusedNames::RefusedNames(const std::vector<CaseClash>& clashes) {
  for (const CaseClash& clash : clashes)
    byLoser_.emplace(clash.loser, clash);
}

bool RefusedNames::Clashes(std::string_view relPath) const {
  return byLoser_.count(std::string(relPath)) != 0;
}

const CaseClash* RefusedNames::ClashOf(std::string_view relPath) const {
  if (byLoser_.empty()) return nullptr;
  // The entry itself, then each folder above it.
  for (std::size_t end = relPath.size(); end != std::string_view::npos && end != 0;
       end = relPath.rfind(kPathSeparator, end - 1)) {
    if (auto found = byLoser_.find(std::string(relPath.substr(0, end))); found != byLoser_.end()) {
      return &found->second;
    }
  }
  return nullptr;
}

RefusedNames RefuseCaseClashes(Platform& platform, const std::vector<CaseClash>& clashes,
                               const std::vector<std::string>& toRoots, bool mayWrite) {
  if (clashes.empty()) return {};
  std::unordered_set<std::string> ignoring;
  std::unordered_set<std::string> asked;
  for (const CaseClash& clash : clashes) {
    if (!asked.insert(clash.folder).second) continue;
    for (const std::string& root : toRoots) {
      // A folder that cannot be asked is taken to ignore case: a clash is
      // then refused rather than risking one entry overwriting the other.
      const Result<bool> ignores = platform.IgnoresLetterCase(root + clash.folder, mayWrite);
      if (!ignores || *ignores) {
        ignoring.insert(clash.folder);
        break;
      }
    }
  }
  std::vector<CaseClash> refused;
  for (const CaseClash& clash : clashes) {
    if (ignoring.count(clash.folder) != 0) refused.push_back(clash);
  }
  return RefusedNames(refused);
}

Status ClashFailure(const CaseClash& clash, const std::string& toRoot) {
  return Status::Error("copy", toRoot + clash.loser,
                       "Name clash: " + toRoot + clash.loser + " and " + toRoot + clash.winner +
                           " differ only in letter case, which the destination folder ignores");
}

}  // namespace fts
