// The worker count a step settles on, on disks whose rate for each count is
// known: a clock of the test's own advances by the time each action takes.
#include "mirror/worker_tuner.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace fts {
namespace {

using Clock = WorkerTuner::Clock;

// Actions a second that `workers` workers finish together.
using Disk = std::function<double(int workers)>;

struct Simulation {
  WorkerTuner tuner{WorkerTuner::Settings{}};
  Clock::time_point now{};
  std::vector<int> counts;  // each count the tuner moved to

  // Runs `actions` actions of the given weight on `disk`.
  void Run(const Disk& disk, int actions, double weight = 1) {
    for (int i = 0; i < actions; ++i) {
      const int workers = tuner.Workers();
      now += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(weight / disk(workers)));
      if (tuner.Finished(now, weight, false)) counts.push_back(tuner.Workers());
    }
  }
};

Disk Table(std::map<int, double> rates) {
  return [rates](int workers) { return rates.at(workers); };
}

TEST(WorkerTunerTest, SettlesWhereAnotherDoublingStopsPaying) {
  struct Case {
    const char* disk;
    std::map<int, double> rates;
    int settled;
  } const cases[] = {
      // Two cores, files made on a local disk: more workers only compete.
      {"local, first copy", {{1, 30000}, {2, 31000}, {4, 27000}, {8, 22000}, {16, 20000}}, 1},
      // A second worker pays by a fifth, a third and fourth by less than a tenth.
      {"local, re-sync", {{1, 20000}, {2, 24000}, {4, 25000}, {8, 25000}, {16, 25000}}, 2},
      // A share that answers each call in 2 ms: every doubling pays.
      {"slow share", {{1, 50}, {2, 100}, {4, 200}, {8, 390}, {16, 700}}, 16},
      // A disk that serves four at once and then queues.
      {"four queues", {{1, 100}, {2, 190}, {4, 350}, {8, 370}, {16, 300}}, 4},
  };
  for (const Case& c : cases) {
    Simulation simulation;
    EXPECT_EQ(simulation.tuner.Workers(), 2) << c.disk << ": a step starts with few workers";
    simulation.Run(Table(c.rates), 20000);
    EXPECT_EQ(simulation.tuner.Workers(), c.settled) << c.disk;
    EXPECT_FALSE(simulation.tuner.Searching()) << c.disk;
    // It tried each count once at most, and did not wander once settled.
    EXPECT_LE(simulation.counts.size(), 5U) << c.disk;
  }
}

TEST(WorkerTunerTest, DecidesFromMeasuredTimeOnly) {
  Simulation simulation;
  const Disk slow = [](int workers) { return 50.0 * workers; };
  // However long, finishes while workers wanted for actions say nothing.
  for (int i = 0; i < 1000; ++i) {
    simulation.now += std::chrono::seconds(1);
    EXPECT_FALSE(simulation.tuner.Finished(simulation.now, 1, true));
  }
  EXPECT_EQ(simulation.tuner.Workers(), 2);
  // A measurement needs its time and its actions: four after the last
  // starved finish, which opened it.
  simulation.Run(slow, 3);
  EXPECT_EQ(simulation.tuner.Workers(), 2);
  simulation.Run(slow, 2000);
  EXPECT_EQ(simulation.tuner.Workers(), 16);
}

TEST(WorkerTunerTest, BytesWeighAsActions) {
  // Large files on a disk whose bandwidth two workers fill: per action the
  // rate falls as files grow, per weight it is the disk's.
  Simulation simulation;
  const Disk bandwidth = Table({{1, 400}, {2, 800}, {4, 810}, {8, 800}, {16, 780}});
  simulation.Run(bandwidth, 5000, 40);
  EXPECT_EQ(simulation.tuner.Workers(), 2);
}

TEST(WorkerTunerTest, SearchesAgainWhenTheSettledRateMoves) {
  Simulation simulation;
  simulation.Run(Table({{1, 30000}, {2, 31000}, {4, 27000}, {8, 22000}, {16, 20000}}), 20000);
  ASSERT_EQ(simulation.tuner.Workers(), 1);
  // Small changes of the rate keep the count.
  simulation.Run(Table({{1, 24000}, {2, 25000}, {4, 25000}, {8, 25000}, {16, 25000}}), 20000);
  EXPECT_EQ(simulation.tuner.Workers(), 1);
  // The folders now lie on a slow share: the count climbs again.
  simulation.Run([](int workers) { return 60.0 * workers; }, 3000);
  EXPECT_EQ(simulation.tuner.Workers(), 16);
  EXPECT_FALSE(simulation.tuner.Searching());
}

TEST(WorkerTunerTest, KeepsWithinTheMost) {
  WorkerTuner::Settings settings;
  settings.most = 4;
  Simulation simulation{WorkerTuner(settings), {}, {}};
  simulation.Run([](int workers) { return 100.0 * workers; }, 5000);
  EXPECT_EQ(simulation.tuner.Workers(), 4);
  settings.most = 1;
  EXPECT_EQ(WorkerTuner(settings).Workers(), 1);
}

}  // namespace
}  // namespace fts
