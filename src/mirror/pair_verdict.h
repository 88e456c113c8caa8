// Whether two entries of one name, a source one and a destination one, are
// the same, differ in what can be set in place, or need a new copy, as
// their facts tell it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace fts {

enum class PairVerdict {
  kIdentical,
  kMend,    // only attributes (or the time, where the contents decide) differ
  kDiffer,  // a new copy is needed
};

// The leaders of each side's hard-link groups (see ListingFindings).
struct LinkLeaders {
  const std::unordered_map<std::string, std::string>& source;
  const std::unordered_map<std::string, std::string>& destination;
};

// Judges the Facts fields of a pair whose RelPath is `relPath`. Two files
// that have other names agree when the other names are the same: each
// side's group is named by its leader, and a leader by nothing.
PairVerdict JudgeFacts(std::string_view sourceFacts, std::string_view destinationFacts,
                       std::string_view relPath, const LinkLeaders& leaders);

// True when the facts are those of a regular file, whose contents can be
// compared.
bool FactsOfRegularFile(std::string_view facts);

}  // namespace fts
