// The pipeline's workers on actions of the test's own: what one action at a
// time could not do.
#include "mirror/action_pipeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "support/fault_platform.h"

namespace fts {
namespace {

using namespace std::chrono_literals;

// Two long actions given one after the other run at once, also when the
// workers of an earlier step are idle: the first one waits until the
// second has started, and fails after a while if it never does.
TEST(ActionPipelineTest, ActionsGivenOneAfterAnotherRunAtOnce) {
  for (const WorkerCount count : {WorkerCount{2, false}, WorkerCount{16, true}}) {
    test::FaultPlatform platform;
    ConsoleLog log(platform);
    ActionPipeline pipeline(count, log);
    std::vector<Status> outcomes;
    const auto note = [&](const Status& status) { outcomes.push_back(status); };
    pipeline.BeginStep();
    for (int i = 0; i < 2; ++i)
      pipeline.Submit(
          "quick", [] { return Status::Ok(); }, note);
    pipeline.EndStep();

    pipeline.BeginStep();
    std::promise<void> firstStarted;
    std::promise<void> secondStarted;
    pipeline.Submit(
        "first",
        [&, started = secondStarted.get_future().share()] {
          firstStarted.set_value();
          return started.wait_for(10s) == std::future_status::ready
                     ? Status::Ok()
                     : Status::Error("copy", "first", "the second never started");
        },
        note);
    // Given once the first is under way, with an idle worker beside it.
    firstStarted.get_future().wait();
    pipeline.Submit("second",
                    [&] {
                      secondStarted.set_value();
                      return Status::Ok();
                    },
                    note, {1, false, nullptr});
    EXPECT_EQ(pipeline.EndStep(), 2);  // the starting count, and the fixed one
    ASSERT_EQ(outcomes.size(), 4U);
    EXPECT_TRUE(outcomes[2]) << outcomes[2].Cause();
  }
}

}  // namespace
}  // namespace fts
