#include "inventory/entry_facts.h"

#include <charconv>

#include "inventory/record_format.h"

namespace fts {
namespace {

constexpr char kPartSeparator = '|';

// A number in the given base, without a temporary text.
void AppendNumber(std::string& out, std::uint64_t value, int base = 10) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value, base).ptr;
  out.append(text, end);
}
void AppendHex(std::string& out, std::uint64_t value) {
  AppendNumber(out, value, 16);
}

// Text that no entry of the other side can have.
std::string_view Unreadable(Side side) {
  return side == Side::kSource ? "(unreadable: source)" : "(unreadable: destination)";
}

// Mode, owner and extended attributes, as far as the rules weigh them.
void AppendAttributes(std::string& out, Platform& platform, const CopyRules& rules,
                      std::string_view path, LinkPolicy policy, const DirEntryInfo& info,
                      bool isFolder, Side side) {
  std::uint32_t mode = info.mode;
  std::uint32_t owner = info.owner;
  std::uint32_t group = info.group;
  std::vector<std::pair<std::string, std::string>> extended;
  const CarriedItems& carried = rules.carried;
  const bool readExtended = carried.xattrs || carried.acls;
  bool readable = true;
  if (info.attributesRead) {
    // The listing read them.
    extended = info.extended;
  } else if (isFolder) {
    // The walk does not look at folders: their attributes are read here.
    auto read =
        platform.ReadAttributes(std::string(path), policy, readExtended ? carried : CarriedItems{});
    if (read) {
      mode = read->mode;
      owner = read->owner;
      group = read->group;
      extended = std::move(read->extended);
    } else {
      readable = false;
    }
  } else if (readExtended) {
    auto read = platform.ReadExtendedAttributes(std::string(path), policy, carried);
    if (read) {
      extended = std::move(*read);
    } else {
      readable = false;
    }
  }
  if (!readable) {
    out += Unreadable(side);
    return;
  }
  if (!info.isSymlink) {
    // Set-id bits are kept only where the owner is.
    out += 'm';
    AppendNumber(out, mode & (carried.owner ? 07777u : 01777u), 8);
  }
  if (carried.owner) {
    out += 'u';
    AppendNumber(out, owner);
    out += ':';
    AppendNumber(out, group);
  }
  if (readExtended) {
    std::vector<std::pair<std::string, std::string>> acls;
    std::vector<std::pair<std::string, std::string>> others;
    for (auto& attribute : extended)
      (IsAclName(attribute.first) ? acls : others).push_back(std::move(attribute));
    if (carried.xattrs) out += 'x' + DigestOf(others);
    if (carried.acls) out += 'a' + DigestOf(acls);
  }
}

}  // namespace

bool IsAclName(std::string_view name) {
  return name.starts_with("system.posix_acl_");
}

std::string DigestOf(const std::vector<std::pair<std::string, std::string>>& attributes) {
  // None at all, the usual case, keeps the records short.
  if (attributes.empty()) return {};
  // FNV-1a over every name and value, each ended by a zero byte.
  std::uint64_t hash = 14695981039346656037ull;
  auto add = [&hash](std::string_view bytes) {
    for (unsigned char c : bytes) {
      hash ^= c;
      hash *= 1099511628211ull;
    }
    hash *= 1099511628211ull;  // the zero byte
  };
  for (const auto& [name, value] : attributes) {
    add(name);
    add(value);
  }
  std::string text;
  AppendHex(text, hash);
  return text;
}

std::string FactsOf(Platform& platform, const CopyRules& rules, std::string_view fullPath,
                    bool isFile, const DirEntryInfo& info, std::string_view timeStamp, Side side) {
  const LinkPolicy policy = side == Side::kSource && !info.isSymlink ? rules.SourceLinkPolicy()
                                                                     : LinkPolicy::kDoNotFollow;
  const CompareItems& compare = rules.compare;
  std::string facts;
  const bool keptLink = info.isSymlink && rules.links == SourceLinks::kKeep;
  if (compare.attributes && (!info.isSymlink || keptLink)) {
    AppendAttributes(facts, platform, rules, fullPath, policy, info, !isFile, side);
  }
  // A file's time is for the copy to mend, unless the contents decide.
  if (isFile && compare.content && !info.isSymlink) {
    facts += 't';
    facts += timeStamp;
  }
  facts += kPartSeparator;
  facts += HardLinkGroupOf(rules, isFile, info);
  facts += kPartSeparator;
  if (!isFile) {
    facts += 'd';
  } else if (keptLink) {
    auto target = platform.ReadLinkTarget(std::string(fullPath));
    facts += 'l';
    facts += target ? EscapeRecordPath(*target) : std::string(Unreadable(side));
  } else if (info.isSymlink) {
    facts += 'L';
  } else {
    facts += 'f';
    if (compare.size || compare.content) {
      facts += 's';
      AppendNumber(facts, info.size);
    }
    if (compare.time && !compare.content) {
      facts += 't';
      facts += timeStamp;
    }
  }
  return facts;
}

EntryFacts SplitFacts(std::string_view field) {
  const auto first = field.find(kPartSeparator);
  const auto second =
      first == std::string_view::npos ? first : field.find(kPartSeparator, first + 1);
  if (second == std::string_view::npos) return {{}, {}, field};
  return {field.substr(0, first), field.substr(first + 1, second - first - 1),
          field.substr(second + 1)};
}

std::string HardLinkGroupOf(const CopyRules& rules, bool isFile, const DirEntryInfo& info) {
  std::string group;
  if (rules.hardLinks && isFile && !info.isSymlink && info.linkCount > 1) {
    AppendHex(group, info.identity.device);
    group += ':';
    AppendHex(group, info.identity.inode);
  }
  return group;
}

bool IsKeptLink(const EntryFacts& facts) {
  return facts.copy.starts_with('l');
}

}  // namespace fts
