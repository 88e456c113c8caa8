// Letter case in names on POSIX systems: the form in which a folder that
// ignores case takes two names as one, and whether a folder does. Most
// POSIX file systems tell case apart, but exFAT, FAT, a casefolded ext4
// folder or a share may not, each from its own mount point or folder on.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace fts {

// Each letter in upper case, by the system's Unicode tables; bytes that are
// not UTF-8 stay as they are.
std::string FoldLetterCaseUtf8(std::string_view name);

// Whether `folder`, or the nearest folder above it that exists, ignores
// letter case: found out from the names it holds, or, with `mayWrite`,
// from a file made and deleted there for the purpose.
Result<bool> FolderIgnoresLetterCase(const std::string& folder, bool mayWrite);

}  // namespace fts
