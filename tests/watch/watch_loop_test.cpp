// The continuous mode's decisions, on a clock and a watch of the test's
// own: when a pass comes, what it covers, and what it carries over.
#include "watch/watch_loop.h"

#include <gtest/gtest.h>

#include <deque>

#include "support/test_support.h"
#include "watch/watch_schedule.h"

namespace fts {
namespace {

using namespace std::chrono_literals;
using TimePoint = WatchSchedule::TimePoint;

TEST(WatchScheduleTest, APassWaitsForQuietButNotForeverAndRescansOnTime) {
  const TimePoint start{};
  WatchSchedule schedule(2000ms, 3600000ms, start);
  EXPECT_EQ(schedule.Due(), start + 1h);  // nothing changed: the rescan
  schedule.Changed(start + 10s);
  EXPECT_EQ(schedule.Due(), start + 12s);
  // Changes that keep coming push the pass back, up to ten delays after
  // the first of them.
  for (auto at = 11s; at < 40s; at += 1s)
    schedule.Changed(start + at);
  EXPECT_EQ(schedule.Due(), start + 30s);
  EXPECT_FALSE(schedule.WholeDue(start + 30s));
  schedule.PassDone(start + 31s, false);
  EXPECT_EQ(schedule.Due(), start + 1h);
  EXPECT_TRUE(schedule.WholeDue(start + 1h));
  schedule.PassDone(start + 1h, true);
  // Lost notifications make the next pass a whole one.
  schedule.Changed(start + 1h + 5s, true);
  EXPECT_TRUE(schedule.WholeDue(start + 1h + 7s));
  schedule.PassDone(start + 1h + 8s, true);
  EXPECT_FALSE(schedule.WholeDue(start + 1h + 9s));
  EXPECT_EQ(schedule.Due(), start + 2h + 8s);
}

// A watch that hands out changes the test queued, one batch per wait, a
// tenth of a second apart; an empty batch, or none left, is quiet for the
// whole time waited.
class ScriptedWatch : public TreeWatch {
 public:
  ScriptedWatch(std::deque<TreeChanges>& script, TimePoint& now) : script_(script), now_(now) {}
  Status Wait(std::chrono::milliseconds timeout, TreeChanges& changes) override {
    if (script_.empty() || script_.front().Empty()) {
      if (!script_.empty()) script_.pop_front();
      now_ += timeout;
      return Status::Ok();
    }
    now_ += 100ms;
    changes = std::move(script_.front());
    script_.pop_front();
    return Status::Ok();
  }

 private:
  std::deque<TreeChanges>& script_;
  TimePoint& now_;
};

class ScriptedPlatform : public test::CapturingPlatform {
 public:
  Result<std::unique_ptr<TreeWatch>> WatchTree(const std::string&) override {
    return std::unique_ptr<TreeWatch>(std::make_unique<ScriptedWatch>(script, now));
  }
  std::deque<TreeChanges> script;
  TimePoint now{};
};

TEST(WatchLoopTest, PassesCoverWhatChangedAndRetryWhatFailed) {
  ScriptedPlatform platform;
  platform.script.push_back({{"docs"}, {}, {}});
  platform.script.push_back({{"src"}, {"src/new"}, {}});
  platform.script.push_back({});  // quiet: the first pass
  platform.script.push_back({{"other"}, {}, {}});
  platform.script.push_back({});  // the second pass, which fails
  platform.script.push_back({{}, {}, {"the queue of changes overflowed"}});
  struct Pass {
    bool whole;
    std::vector<std::string> folders;
  };
  std::vector<Pass> passes;
  WatchSettings settings;
  settings.quiet = 500ms;
  WatchLoop loop(
      platform, "/src/", settings,
      [&](const PassScope* scope) {
        Pass pass{scope == nullptr || scope->Whole(), {}};
        if (scope != nullptr) {
          pass.folders.assign(scope->Folders().begin(), scope->Folders().end());
          for (const std::string& subtree : scope->Subtrees())
            pass.folders.push_back(subtree + "/*");
          std::sort(pass.folders.begin(), pass.folders.end());
        }
        passes.push_back(pass);
        if (passes.size() == 5) throw std::runtime_error("enough");
        return passes.size() == 3 ? 3 : 0;
      },
      [&] { return platform.now; });
  EXPECT_THROW(loop.Run(), std::runtime_error);
  ASSERT_EQ(passes.size(), 5u);
  EXPECT_TRUE(passes[0].whole);
  EXPECT_EQ(passes[1].folders, (std::vector<std::string>{"docs", "src", "src/new/*"}));
  EXPECT_EQ(passes[2].folders, (std::vector<std::string>{"other"}));
  // The failed folder waits for the next pass, which the lost changes make
  // a whole one.
  EXPECT_TRUE(passes[3].whole);
  EXPECT_NE(platform.err.find("changes may have been missed (the queue of changes overflowed)"),
            std::string::npos);
  // Nothing more came: the rescan, a day later.
  EXPECT_TRUE(passes[4].whole);
  EXPECT_GE(platform.now - TimePoint{}, 24h);
}

}  // namespace
}  // namespace fts
