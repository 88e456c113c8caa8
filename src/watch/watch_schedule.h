// When the continuous mode makes its passes: once the changes have been
// quiet for the delay, and no later than ten delays after the first of
// them, so that a tree that never stops changing is still mirrored; a pass
// over the whole trees when notifications may have been lost, and every
// rescan period. Time comes from outside, so that tests can drive it.
#pragma once

#include <chrono>
#include <optional>

namespace fts {

class WatchSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = std::chrono::milliseconds;

  // The whole trees were compared at `start` (the first pass).
  WatchSchedule(Duration quiet, Duration rescan, TimePoint start);

  // Something changed at `now`; with `lost`, changes may have been missed.
  void Changed(TimePoint now, bool lost = false);

  // When the next pass is due.
  TimePoint Due() const;
  // Whether the pass due at `now` must cover the whole trees.
  bool WholeDue(TimePoint now) const;
  // A pass ended at `now`; it covered the whole trees or not.
  void PassDone(TimePoint now, bool whole);

 private:
  Duration quiet_;
  Duration rescan_;
  TimePoint lastWhole_;
  std::optional<TimePoint> firstChange_;
  TimePoint lastChange_{};
  bool lost_ = false;
};

}  // namespace fts
