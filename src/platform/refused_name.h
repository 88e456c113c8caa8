// Why a destination file system may not take a name. FAT, exFAT and NTFS
// refuse some characters, and their drivers often tell it as "No such file
// or directory" or "Operation not permitted"; once a name is known to be
// the cause, the failure says so instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fts {

// The cause for a name with characters that such file systems refuse
// (" * : < > ? \ |, control characters, a final dot or blank) or with
// characters beyond ASCII, which some of them cannot store; nullopt for a
// name without any. `systemText` is the system's own text; `folder`, when
// not empty, the path of the folder that has the name and that could
// therefore not be made.
std::optional<std::string> RefusedNameCause(std::string_view name, std::string_view systemText,
                                            std::string_view folder = {});

}  // namespace fts
