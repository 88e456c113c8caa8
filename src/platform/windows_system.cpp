#include "platform/windows_system.h"

#include <cstdint>

#include "platform/platform.h"
#include "platform/wide_text.h"

namespace fts {
namespace {

// 100-nanosecond ticks from 1601-01-01, where file times count from, to 1970-01-01.
constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000;

}  // namespace

std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string raw;
  if (length > 0 && buffer != nullptr) {
    raw = Utf8FromWide(std::wstring_view(buffer, length));
  }
  if (buffer != nullptr) {
    LocalFree(buffer);
  }
  // The text ends in CR LF, and a long one may hold more line breaks: each
  // run of them becomes one blank, and none is left at the end.
  std::string text;
  for (char c : raw) {
    if (c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ') {
        text += ' ';
      }
    } else {
      text += c;
    }
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) {
    // The system's own text, for a code that some systems have none for.
    text = error == 681 ? "The create operation stopped after reaching a symbolic link."
                        : "System error " + std::to_string(error) + ".";
  }
  return text;
}

std::wstring FolderPart(const std::wstring& systemPath) {
  const auto separator = systemPath.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring(L".\\")
                                         : systemPath.substr(0, separator + 1);
}

FileTime FromFiletime(const FILETIME& time) {
  const auto ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime) -
      kTicksFrom1601To1970;
  std::int64_t seconds = ticks / kTicksPerSecond;
  std::int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    rest += kTicksPerSecond;
    seconds -= 1;
  }
  return {seconds, static_cast<std::int32_t>(rest * 100)};
}

bool ToFiletime(const FileTime& time, FILETIME& out) {
  constexpr std::int64_t kLowest = -kTicksFrom1601To1970 / kTicksPerSecond;
  constexpr std::int64_t kHighest = (INT64_MAX - kTicksFrom1601To1970) / kTicksPerSecond - 1;
  if (time.seconds < kLowest || time.seconds > kHighest) {
    return false;
  }
  const std::int64_t ticks =
      time.seconds * kTicksPerSecond + time.nanoseconds / 100 + kTicksFrom1601To1970;
  if (ticks < 0) {
    return false;
  }
  out.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) & 0xFFFFFFFFu);
  out.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return true;
}

}  // namespace fts
