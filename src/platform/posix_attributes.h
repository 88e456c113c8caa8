// Extended attributes on POSIX systems: which of an entry's names a copy
// carries, and how they are read and written, on an open file or by name.
// Shared by the platform (which reads them from the source) and the
// destination tree (which writes them).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fts {

using ExtendedAttributes = std::vector<std::pair<std::string, std::string>>;

// Where extended attributes are read or written: an open file (not one
// opened with O_PATH), or a name whose last part is followed or not.
struct XattrPlace {
  int fd = -1;                 // used when not negative
  const char* path = nullptr;  // used otherwise
  bool follow = false;
};

// Whether `name` is of a kind `items` carries: the two ACL names for acls;
// for xattrs user.*, and trusted.* and security.* when the process runs as
// root; never any other system.* name.
bool IsCarriedXattr(std::string_view name, const CarriedItems& items);

// The entry's extended attributes of the kinds `items` names, sorted by
// name; none on a file system without extended attributes.
// `path` names the entry in a failure.
Result<ExtendedAttributes> ReadXattrs(const XattrPlace& place, const CarriedItems& items,
                                      const std::string& path);

// True when the entry `name` of the open folder `folder` has no extended
// attributes of the kinds `items` names, false when it has some; asked
// without a look-up of the whole path where the kernel can (listxattrat).
// nullopt where it cannot tell that way: a path look-up must answer.
std::optional<bool> HasNoCarriedXattrsAt(int folder, const char* name, bool follow,
                                         const CarriedItems& items);

// Gives the entry the extended attributes in `wanted` that are of the kinds
// `items` names, and removes those of these kinds it has beyond them. Every
// refusal of the system fails it; a file system without extended attributes
// is no failure where nothing is to be set.
Status WriteXattrs(const XattrPlace& place, const ExtendedAttributes& wanted,
                   const CarriedItems& items, const std::string& path);

}  // namespace fts
