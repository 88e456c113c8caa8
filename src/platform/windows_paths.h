// The forms of a path on Windows. Inside the program a path is UTF-8, as
// typed or as built from the roots and the listed names. The wide file
// interfaces get it absolute, in the \\?\ form: then no path is cut at 260
// characters, and a name is taken as it is (a trailing dot or blank, or a
// device name such as "con", stays part of the name).
#pragma once

#include <string>
#include <string_view>

namespace fts {

// `path` (either separator) made absolute against the current folder, with
// "." and ".." taken out, and in the \\?\ form ("\\?\C:\..." or
// "\\?\UNC\server\share\..."). A path already in the \\?\ or \\.\ form is
// kept as it is. No separator ends the result except that of a root ("C:\"
// or "\\server\share\").
std::wstring SystemPath(std::string_view path);

// The same for a path that is already absolute ("C:\..." or
// "\\server\share\..."); an empty result for any other path.
std::wstring ExtendedAbsolutePath(std::wstring_view path);

// A path as the system gave it, without a \\?\ prefix, in UTF-8.
std::string DisplayPath(std::wstring_view path);

}  // namespace fts
