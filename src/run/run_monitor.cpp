#include "run/run_monitor.h"

#include "platform/interrupt_cleanup.h"

namespace fts {

RunMonitor::RunMonitor(Platform& platform, ConsoleLog& log, RunRecord& record,
                       std::string reportFile, bool progress)
    : platform_(platform), log_(log), record_(record), reportFile_(std::move(reportFile)) {
  if (progress && platform.StderrIsTerminal()) {
    progress_.emplace(platform);
    log_.SetStatusLine(&*progress_);
  }
}

// The run has ended: its phase closes and the status line goes. The report
// an interrupt would write stays until the run's own is written, after the
// clean-up.
RunMonitor::~RunMonitor() {
  ClosePhase();
  if (progress_) progress_->End();
  log_.SetStatusLine(nullptr);
}

void RunMonitor::ClosePhase() {
  const double seconds = std::chrono::duration<double>(Clock::now() - phaseBegan_).count();
  RunFigures& figures = record_.figures;
  if (phase_ == "listing") figures.listingSeconds += seconds;
  if (phase_ == "comparing") figures.comparisonSeconds += seconds;
  if (phase_ == "actions") figures.actionSeconds += seconds;
}

void RunMonitor::Phase(const std::string& phase) {
  ClosePhase();
  phase_ = phase;
  phaseBegan_ = Clock::now();
  if (progress_) progress_->Phase(phase);
  RefreshInterruptReport(true);
}

void RunMonitor::Listed(std::int64_t entries) {
  if (progress_) progress_->Listed(entries);
  RefreshInterruptReport(false);
}

void RunMonitor::ActionsBegin(std::int64_t total) {
  actionsTotal_ = total;
  if (progress_) progress_->Actions(0, total);
}

void RunMonitor::CopiesBegin(std::int64_t, std::uint64_t bytes) {
  if (progress_) progress_->CopiesBegin(bytes);
}

void RunMonitor::ActionDone(const ActionCounts& counts) {
  record_.figures.actions = counts;
  if (progress_) {
    progress_->Actions(counts.Done(), std::max(actionsTotal_, counts.Done()));
    progress_->Copied(counts.bytesCopied);
  }
  RefreshInterruptReport(false);
}

void RunMonitor::ActionFailed(const ActionRecord& action, const Status& failure) {
  record_.AddFailure(action, failure.Cause());
}

void RunMonitor::RefreshInterruptReport(bool now) {
  if (reportFile_.empty()) return;
  const Clock::time_point at = Clock::now();
  if (!now && at - refreshed_ < std::chrono::seconds(1)) return;
  refreshed_ = at;
  RunRecord interrupted = record_;
  interrupted.end = platform_.Now();
  interrupted.exitCode = 128;  // three characters, which the interrupt writes over
  interrupted.ending = "interrupted";
  std::size_t exitCodeAt = 0;
  const std::string text = ReportJson(interrupted, &exitCodeAt);
  SetInterruptReport(reportFile_, text, exitCodeAt);
}

}  // namespace fts
