// What a run keeps of each entry and what makes two entries differ: how it
// treats source links, which attributes its copies carry, and which tests
// its comparison makes. The defaults are the program's original behaviour.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace fts {

enum class SourceLinks {
  kFollow,  // a link stands for what it points to
  kKeep,    // a link is mirrored as a link with the same text
  kSkip,    // a link is left out like an excluded entry
};

struct CompareItems {
  bool time = true;  // the TimeStamp text
  bool size = false;
  bool content = false;     // files of equal size are read and compared
  bool attributes = false;  // permission bits, and the carried attributes
  bool operator==(const CompareItems&) const = default;
};

struct CopyRules {
  SourceLinks links = SourceLinks::kFollow;
  CarriedItems carried;
  bool hardLinks = false;
  CompareItems compare;

  // True when records need facts beyond the TimeStamp: every rule but the
  // default ones (and skipping links, which needs none).
  bool NeedsFacts() const {
    return links == SourceLinks::kKeep || carried.Any() || hardLinks ||
           !(compare == CompareItems{});
  }
  // True when a pair may differ in what can be mended in place.
  bool CanMend() const { return compare.attributes || compare.content; }
  // How the source tree's links are listed.
  LinkPolicy SourceLinkPolicy() const {
    return links == SourceLinks::kFollow ? LinkPolicy::kFollow : LinkPolicy::kDoNotFollow;
  }
};

// The values of --links, --preserve and --compare; nullopt for a value that
// is none of the words (or, for a list, repeats one or is empty).
std::optional<SourceLinks> ParseSourceLinks(std::string_view text);
// Fills `rules` from --preserve's list.
bool ParsePreserveList(std::string_view text, CopyRules& rules);
std::optional<CompareItems> ParseCompareList(std::string_view text);

}  // namespace fts
