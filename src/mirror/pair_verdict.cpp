#include "mirror/pair_verdict.h"

#include "inventory/entry_facts.h"

namespace fts {
namespace {

// The leader of the group that `group` names, or nothing where the file has
// no other name in its tree or leads its group itself.
std::string_view LeaderOf(std::string_view group, std::string_view relPath,
                          const std::unordered_map<std::string, std::string>& leaders) {
  if (group.empty()) return {};
  const auto found = leaders.find(std::string(group));
  if (found == leaders.end() || found->second == relPath) return {};
  return found->second;
}

}  // namespace

PairVerdict JudgeFacts(std::string_view sourceFacts, std::string_view destinationFacts,
                       std::string_view relPath, const LinkLeaders& leaders) {
  const EntryFacts source = SplitFacts(sourceFacts);
  const EntryFacts destination = SplitFacts(destinationFacts);
  if (source.copy != destination.copy ||
      LeaderOf(source.group, relPath, leaders.source) !=
          LeaderOf(destination.group, relPath, leaders.destination)) {
    return PairVerdict::kDiffer;
  }
  return source.mend == destination.mend ? PairVerdict::kIdentical : PairVerdict::kMend;
}

bool FactsOfRegularFile(std::string_view facts) {
  return SplitFacts(facts).copy.starts_with('f');
}

}  // namespace fts
