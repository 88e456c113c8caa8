#include "watch/watch_schedule.h"

#include <algorithm>

namespace fts {

WatchSchedule::WatchSchedule(Duration quiet, Duration rescan, TimePoint start)
    : quiet_(quiet), rescan_(rescan), lastWhole_(start) {}

void WatchSchedule::Changed(TimePoint now, bool lost) {
  if (!firstChange_) firstChange_ = now;
  lastChange_ = now;
  lost_ = lost_ || lost;
}

WatchSchedule::TimePoint WatchSchedule::Due() const {
  const TimePoint rescan = lastWhole_ + rescan_;
  if (!firstChange_) return rescan;
  return std::min({lastChange_ + quiet_, *firstChange_ + 10 * quiet_, rescan});
}

bool WatchSchedule::WholeDue(TimePoint now) const {
  return lost_ || now >= lastWhole_ + rescan_;
}

void WatchSchedule::PassDone(TimePoint now, bool whole) {
  firstChange_.reset();
  if (whole) {
    lastWhole_ = now;
    lost_ = false;
  }
}

}  // namespace fts
