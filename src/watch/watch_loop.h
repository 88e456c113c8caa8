// The continuous mode: watches the source tree, and turns what changed
// into passes of the mirror over the folders concerned (see pass_scope.h).
// Changes that come while a pass runs wait in the system's queue for the
// next one; the folders a pass could not bring into line go into the next
// pass again.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "inventory/pass_scope.h"
#include "platform/platform.h"
#include "watch/watch_schedule.h"

namespace fts {

struct WatchSettings {
  std::chrono::milliseconds quiet{2000};
  std::chrono::milliseconds rescan{24LL * 3600 * 1000};
};

// Runs one pass: the whole trees for a null or whole scope. Returns the exit
// code a run would have (0 when everything was brought into line).
using PassRunner = std::function<int(const PassScope* scope)>;

class WatchLoop {
 public:
  using Clock = WatchSchedule::Clock;

  // `root` is the source root, ending in the separator.
  WatchLoop(Platform& platform, std::string root, WatchSettings settings, PassRunner runPass,
            std::function<Clock::time_point()> now = Clock::now);

  // Watches, makes the first pass, then passes as changes come, until the
  // process is interrupted. Returns only when the watch itself fails: the
  // exit code for that (1).
  int Run();

 private:
  void Note(const TreeChanges& changes);

  Platform& platform_;
  const std::string root_;
  const WatchSettings settings_;
  PassRunner runPass_;
  std::function<Clock::time_point()> now_;
  PassScope pending_;
  // What the last pass could not bring into line: in the next pass again.
  PassScope unsettled_;
};

}  // namespace fts
