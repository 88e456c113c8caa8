// Finds how many workers a step of actions should run on from how fast its
// actions finish: the best count depends on the disk, the cores and the
// kind of action, so it is measured rather than guessed. The count climbs
// by doubling while each doubling raises the rate by a tenth, comes down
// while halving it costs less than that (fewer workers doing as much is
// better), and then stays; a settled rate that moves by half or more starts
// the search again. Only time in which every worker had an action to start
// counts: a step's short tail says nothing of the count.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace fts {

class WorkerTuner {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    int first = 2;  // the count a step starts with
    int most = 16;
    // A measurement lasts at least this long and sees at least
    // `windowActions` actions (and one per worker) finish.
    Clock::duration window = std::chrono::milliseconds(20);
    int windowActions = 4;
    // A settled count is measured over this many windows at a time.
    int settledWindows = 8;
    // How much more a doubling must do to pay for its workers.
    double pays = 1.10;
  };

  explicit WorkerTuner(const Settings& settings);

  // The count of workers to run now.
  int Workers() const { return workers_; }
  bool Searching() const { return phase_ != Phase::kSettled; }

  // An action finished at `now`; `work` is its weight (1 for an action,
  // more for one that moved many bytes). `starved`: a worker found no
  // action to start since the last call, so the time since says nothing.
  // Returns true when Workers() changed.
  bool Finished(Clock::time_point now, double work, bool starved);

 private:
  // Up: doubling from where the search began; down: halving from there.
  enum class Phase { kUp, kDown, kSettled };
  static constexpr int kLevels = 7;  // 1, 2, 4 ... 64 workers

  // Decides on the rate of the window that just ended.
  void Decide(double rate);
  void BeginSearch();
  void MoveTo(int level);
  void Settle(int level);

  Settings settings_;
  int mostLevel_;
  int level_ = 0;
  int startLevel_ = 0;
  int workers_ = 1;
  Phase phase_ = Phase::kUp;
  std::array<double, kLevels> rates_{};  // 0: not measured in this search
  double settledRate_ = 0;
  bool windowOpen_ = false;
  Clock::time_point windowStart_{};
  double windowWork_ = 0;
  int windowActions_ = 0;
  // Actions that began before the count changed are not measured.
  int toSkip_ = 0;
};

}  // namespace fts
