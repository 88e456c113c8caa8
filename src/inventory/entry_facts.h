// The Facts field of a record, written when a run weighs more than the time
// of its entries. It has three parts joined by '|':
//
//   mend | group | copy
//
// `mend` holds what a copy would carry but can be set in place (permission
// bits, owner, digests of the extended attributes and ACLs, and the time
// when the contents decide); `group` the identity of a file that has other
// names ("device:inode", hard links kept); `copy` what only a new copy can
// mend: the kind ("f" file, "d" folder, "l" and the text of a kept link,
// "L" a link that is not mirrored as one), then the size and the time. The
// mend part never holds '|', and the copy part comes last, so a link's text
// may.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "inventory/copy_rules.h"
#include "inventory/inventory_files.h"
#include "platform/platform.h"

namespace fts {

struct EntryFacts {
  std::string_view mend;
  std::string_view group;
  std::string_view copy;
};

// The facts of one listed entry. `timeStamp` is its TimeStamp text (files
// and links); a folder's attributes and every entry's extended attributes
// are read from the system as the rules need them.
std::string FactsOf(Platform& platform, const CopyRules& rules, std::string_view fullPath,
                    bool isFile, const DirEntryInfo& info, std::string_view timeStamp, Side side);

// Takes the field apart; a field without the three parts gives all of it
// as the copy part.
EntryFacts SplitFacts(std::string_view field);

// True for the facts of a link mirrored as a link.
bool IsKeptLink(const EntryFacts& facts);

// The group part of a file with other names, when the rules keep hard
// links; empty otherwise.
std::string HardLinkGroupOf(const CopyRules& rules, bool isFile, const DirEntryInfo& info);

// The digest of a list of extended attributes, as the mend part holds it:
// empty for none.
std::string DigestOf(const std::vector<std::pair<std::string, std::string>>& attributes);

// Whether an extended attribute's name is that of an ACL.
bool IsAclName(std::string_view name);

}  // namespace fts
