// Finds the identical pairs (same RelPath, same TimeStamp) and overwrites the
// ActionFlag "1" of both records with "0", in place in both inventories.
#pragma once

#include "run/run_context.h"

namespace fts {

// For every source record, bisects ToLineIndex for the destination record of
// the same RelPath; fills FromMatches and ToMatches with the offsets of the
// pairs' line ends, then writes the marks. Destination entries at or below a
// source folder that could not be listed are marked too, so that a read
// error never leads to a deletion.
void MarkIdenticalRecords(RunContext& run);

}  // namespace fts
