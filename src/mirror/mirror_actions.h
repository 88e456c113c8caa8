// Brings the destination into line with the source from the records still
// flagged "1": deletes and removes what must go, deepest first, then makes
// and copies what must come, top level first.
#pragma once

#include "run/run_context.h"

namespace fts {

void RunMirrorActions(RunContext& run);

}  // namespace fts
