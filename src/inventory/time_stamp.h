// The TimeStamp field of a file's record: its last-write time in local time,
// as the two-second DOS date and time words of 1980 to 2107 hold it, written
// "YYYY/MM/DD H:MM:SS", or the date alone at exactly midnight.
#pragma once

#include <string>

#include "inventory/inventory_files.h"
#include "platform/platform.h"

namespace fts {

// Stands for a link in the destination: no source entry ever has it, so the
// link is removed as itself and never taken for a file or folder.
inline constexpr std::string_view kLinkTimeStamp = "(symbolic link)";

// The text for a local time; `dosRange` cuts the seconds to an even number.
std::string FormatTimeStamp(const LocalDateTime& local, bool dosRange);

// The TimeStamp of a listed file. Times a DOS word cannot hold keep their
// exact second; a time that cannot be read gets a text that no entry of the
// other side can have.
std::string TimeStampOf(Platform& platform, const DirEntryInfo& info, Side side);

}  // namespace fts
