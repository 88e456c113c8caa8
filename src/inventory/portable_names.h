// Names as a destination that refuses some characters can hold them: FAT,
// exFAT, NTFS under Windows and SMB shares refuse " * : < > ? \ | and the
// control characters anywhere in a name, and a dot or a blank at its end.
// With --names=portable each of those is written as its Unicode look-alike:
//
//   "  *  :  <  >  ?  \  |     U+FF02 U+FF0A U+FF1A U+FF1C U+FF1E U+FF1F U+FF3C U+FF5C
//   0x00..0x1F, 0x7F           U+2400..U+241F, U+2421
//   a final "." or " "         U+FF0E, U+2420
//
// A name that already holds a look-alike, or the quote U+201B, has it
// written after a U+201B, so two source names never map to one.
#pragma once

#include <string>
#include <string_view>

namespace fts {

enum class NameMapping {
  kAsIs,      // destination names are the source names
  kPortable,  // refused characters become look-alikes
};

// One name as the destination gets it, and back.
std::string PortableName(std::string_view name);
std::string NameFromPortable(std::string_view name);

// The same for each name of a relative path whose names are joined by
// `separator`.
std::string PortablePath(std::string_view relPath, char separator);
std::string PathFromPortable(std::string_view relPath, char separator);

// The value of --names ("portable"); false for any other word.
bool ParseNameMapping(std::string_view text, NameMapping& mapping);

}  // namespace fts
