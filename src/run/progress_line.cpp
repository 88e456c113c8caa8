#include "run/progress_line.h"

#include <cstdio>

namespace fts {
namespace {

// "1.5 MB", with the units of a thousand.
std::string Bytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string Duration(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

// Takes the status line off the terminal: back to the line's start, and
// the line cleared.
constexpr std::string_view kErase = "\r\x1b[K";

}  // namespace

std::string ProgressLine::Text(const std::string& phase, std::int64_t listed, std::int64_t done,
                               std::int64_t total, std::uint64_t copied, std::uint64_t toCopy,
                               double seconds) {
  std::string text = phase + ": " + std::to_string(listed) + " entries listed";
  if (total > 0) {
    text += ", " + std::to_string(done) + " of " + std::to_string(total) + " actions";
  }
  if (toCopy > 0) {
    text += ", " + Bytes(copied) + " of " + Bytes(toCopy);
    if (seconds > 0 && copied > 0) {
      const double rate = static_cast<double>(copied) / seconds;
      text += ", " + Bytes(static_cast<std::uint64_t>(rate)) + "/s";
      text +=
          ", " + Duration(static_cast<double>(toCopy - std::min(copied, toCopy)) / rate) + " left";
    }
  }
  return text;
}

void ProgressLine::Phase(std::string phase) {
  phase_ = std::move(phase);
  Draw(true);
}

void ProgressLine::Listed(std::int64_t entries) {
  listed_ = entries;
  Draw();
}

void ProgressLine::Actions(std::int64_t done, std::int64_t total) {
  done_ = done;
  total_ = total;
  Draw();
}

void ProgressLine::CopiesBegin(std::uint64_t bytes) {
  toCopy_ = bytes;
  copiesBegan_ = Clock::now();
  Draw(true);
}

void ProgressLine::Copied(std::uint64_t bytes) {
  copied_ = bytes;
  Draw();
}

void ProgressLine::End() {
  Hide();
  ended_ = true;
}

void ProgressLine::Hide() {
  if (!shown_) return;
  platform_.WriteStderr(kErase);
  shown_ = false;
}

void ProgressLine::Show() {
  Draw();
}

void ProgressLine::Draw(bool now) {
  const Clock::time_point at = Clock::now();
  if (ended_ || (!now && at - drawn_ < std::chrono::milliseconds(100))) return;
  const double seconds = toCopy_ > 0 ? std::chrono::duration<double>(at - copiesBegan_).count() : 0;
  platform_.WriteStderr(std::string(kErase) +
                        Text(phase_, listed_, done_, total_, copied_, toCopy_, seconds));
  drawn_ = at;
  shown_ = true;
}

}  // namespace fts
