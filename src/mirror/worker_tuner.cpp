#include "mirror/worker_tuner.h"

#include <algorithm>

namespace fts {
namespace {

int LevelOf(int workers) {
  int level = 0;
  while ((2 << level) <= workers)
    ++level;
  return level;
}

}  // namespace

WorkerTuner::WorkerTuner(const Settings& settings)
    : settings_(settings),
      mostLevel_(std::min(LevelOf(std::max(settings.most, 1)), kLevels - 1)),
      startLevel_(std::min(LevelOf(std::max(settings.first, 1)), mostLevel_)) {
  level_ = startLevel_;
  workers_ = 1 << level_;
  BeginSearch();
}

bool WorkerTuner::Finished(Clock::time_point now, double work, bool starved) {
  if (toSkip_ > 0) {
    --toSkip_;
    return false;
  }
  if (starved || !windowOpen_) {
    // A window begins at a finish, so the work of the actions finishing
    // after it is set against the time from it.
    windowOpen_ = true;
    windowStart_ = now;
    windowWork_ = 0;
    windowActions_ = 0;
    return false;
  }
  windowWork_ += work;
  ++windowActions_;
  const int windows = phase_ == Phase::kSettled ? settings_.settledWindows : 1;
  const auto elapsed = now - windowStart_;
  if (elapsed < settings_.window * windows ||
      windowActions_ < std::max(settings_.windowActions, workers_) * windows) {
    return false;
  }
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const int before = workers_;
  windowOpen_ = false;
  Decide(windowWork_ / seconds);
  return workers_ != before;
}

void WorkerTuner::BeginSearch() {
  rates_.fill(0);
  startLevel_ = level_;
  phase_ = Phase::kUp;
}

void WorkerTuner::Decide(double rate) {
  if (phase_ == Phase::kSettled) {
    // The rate moved by half or more: the disk or the actions changed.
    if (rate < settledRate_ * 0.5 || rate > settledRate_ * 2) {
      BeginSearch();
      Decide(rate);
    } else {
      settledRate_ = settledRate_ * 0.75 + rate * 0.25;
    }
    return;
  }
  rates_[level_] = rate;
  if (phase_ == Phase::kUp) {
    const bool climbed = level_ > startLevel_;
    if (climbed && rate < rates_[level_ - 1] * settings_.pays) {
      // The last doubling did not pay: back to the count below it, and
      // from the starting count try fewer.
      if (level_ - 1 == startLevel_ && startLevel_ > 0) {
        phase_ = Phase::kDown;
        MoveTo(startLevel_ - 1);
      } else {
        Settle(level_ - 1);
      }
    } else if (level_ < mostLevel_) {
      MoveTo(level_ + 1);
    } else if (!climbed && level_ > 0) {
      phase_ = Phase::kDown;
      MoveTo(level_ - 1);
    } else {
      Settle(level_);
    }
    return;
  }
  // Down: fewer workers that do nearly as much are better.
  if (rate * settings_.pays >= rates_[level_ + 1]) {
    if (level_ > 0) {
      MoveTo(level_ - 1);
    } else {
      Settle(level_);
    }
  } else {
    Settle(level_ + 1);
  }
}

void WorkerTuner::MoveTo(int level) {
  // The actions under way began at the old count.
  toSkip_ = workers_;
  level_ = level;
  workers_ = 1 << level_;
}

void WorkerTuner::Settle(int level) {
  if (level != level_) MoveTo(level);
  phase_ = Phase::kSettled;
  settledRate_ = rates_[level];
}

}  // namespace fts
