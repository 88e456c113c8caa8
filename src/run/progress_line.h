// --progress: one status line on a terminal, rewritten in place at most ten
// times a second: the phase, the entries listed so far, and in the action
// phases the actions done of their total, the bytes copied of their total,
// the rate and the time left. Standard output is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "run/console_log.h"

namespace fts {

class ProgressLine : public StatusLine {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ProgressLine(Platform& platform) : platform_(platform) {}

  void Phase(std::string phase);
  void Listed(std::int64_t entries);
  void Actions(std::int64_t done, std::int64_t total);
  void CopiesBegin(std::uint64_t bytes);
  void Copied(std::uint64_t bytes);
  // Takes the line away for good.
  void End();

  void Hide() override;
  void Show() override;

  // The line for these figures, `seconds` into the copies.
  static std::string Text(const std::string& phase, std::int64_t listed, std::int64_t done,
                          std::int64_t total, std::uint64_t copied, std::uint64_t toCopy,
                          double seconds);

 private:
  // Draws the line again when a tenth of a second has passed since it was
  // last drawn, or at once.
  void Draw(bool now = false);

  Platform& platform_;
  std::string phase_;
  std::int64_t listed_ = 0;
  std::int64_t done_ = 0;
  std::int64_t total_ = 0;
  std::uint64_t copied_ = 0;
  std::uint64_t toCopy_ = 0;
  Clock::time_point copiesBegan_{};
  Clock::time_point drawn_{};
  bool shown_ = false;
  bool ended_ = false;
};

}  // namespace fts
