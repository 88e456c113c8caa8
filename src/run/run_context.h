#pragma once

#include "platform/platform.h"
#include "run/console_log.h"
#include "run/run_state.h"

namespace fts {

// What every phase of a run works with.
struct RunContext {
  Platform& platform;
  ConsoleLog& log;
  RunState& state;
};

}  // namespace fts
