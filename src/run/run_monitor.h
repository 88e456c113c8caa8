// Follows a run as it goes: keeps its figures and failures for --stats and
// --report, draws the --progress line, and keeps the report that an
// interrupt writes up to date.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "run/console_log.h"

#include "mirror/mirror_actions.h"
#include "platform/platform.h"
#include "run/progress_line.h"
#include "run/run_report.h"

namespace fts {

class RunMonitor : public ActionObserver {
 public:
  using Clock = std::chrono::steady_clock;

  // `reportFile` empty: no report; `progress` false: no status line.
  RunMonitor(Platform& platform, ConsoleLog& log, RunRecord& record, std::string reportFile,
             bool progress);
  ~RunMonitor() override;

  RunRecord& Record() { return record_; }

  // A phase of the run begins ("listing", "comparing", "actions").
  void Phase(const std::string& phase);
  void Listed(std::int64_t entries);
  void ActionsBegin(std::int64_t total);

  // Only the status line shows the bytes still to copy.
  bool WantsCopyTotals() const override { return progress_.has_value(); }
  void CopiesBegin(std::int64_t copies, std::uint64_t bytes) override;
  void ActionDone(const ActionCounts& counts) override;
  void ActionFailed(const ActionRecord& action, const Status& failure) override;

 private:
  // The report an interrupt would write, at most once a second unless `now`.
  void RefreshInterruptReport(bool now);
  void ClosePhase();

  Platform& platform_;
  ConsoleLog& log_;
  RunRecord& record_;
  std::string reportFile_;
  std::optional<ProgressLine> progress_;
  std::string phase_;
  Clock::time_point phaseBegan_ = Clock::now();
  Clock::time_point refreshed_{};
  std::int64_t actionsTotal_ = 0;
};

}  // namespace fts
