#include "watch/watch_loop.h"

#include <utility>

namespace fts {

WatchLoop::WatchLoop(Platform& platform, std::string root, WatchSettings settings,
                     PassRunner runPass, std::function<Clock::time_point()> now)
    : platform_(platform),
      root_(std::move(root)),
      settings_(settings),
      runPass_(std::move(runPass)),
      now_(std::move(now)) {}

int WatchLoop::Run() {
  // Watched before the first pass: nothing that changes during it is missed.
  auto watch = platform_.WatchTree(root_);
  if (!watch) {
    platform_.WriteStderr("FernwickTreeSyncer: " + watch.status().Message() +
                          std::string(kConsoleLineEnd));
    return 1;
  }
  runPass_(nullptr);
  WatchSchedule schedule(settings_.quiet, settings_.rescan, now_());
  for (;;) {
    const auto now = now_();
    if (now >= schedule.Due()) {
      const bool whole = schedule.WholeDue(now);
      PassScope scope;
      if (whole) {
        scope.AddSubtree("");
      } else {
        scope = std::move(pending_);
        scope.Merge(unsettled_);
      }
      pending_.Clear();
      unsettled_.Clear();
      const int exitCode = runPass_(&scope);
      if (exitCode != 0 && !whole) unsettled_ = std::move(scope);
      schedule.PassDone(now_(), whole);
      continue;
    }
    TreeChanges changes;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(schedule.Due() - now);
    if (Status waited = (*watch)->Wait(wait, changes); !waited) {
      platform_.WriteStderr("FernwickTreeSyncer: " + waited.Message() +
                            std::string(kConsoleLineEnd));
      return 1;
    }
    if (changes.Empty()) continue;
    Note(changes);
    schedule.Changed(now_(), !changes.lost.empty());
  }
}

// Each loss is told once on standard error; the pass after it covers the
// whole trees.
void WatchLoop::Note(const TreeChanges& changes) {
  for (const std::string& folder : changes.folders)
    pending_.AddFolder(folder);
  for (const std::string& subtree : changes.subtrees)
    pending_.AddSubtree(subtree);
  for (const std::string& reason : changes.lost) {
    if (reason.empty()) continue;
    platform_.WriteStderr("FernwickTreeSyncer: changes may have been missed (" + reason +
                          "): the next pass compares the whole trees" +
                          std::string(kConsoleLineEnd));
  }
}

}  // namespace fts
