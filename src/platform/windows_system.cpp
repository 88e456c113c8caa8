#include "platform/windows_system.h"

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/platform.h"
#include "platform/wide_text.h"

namespace fts {
namespace {

// 100-nanosecond ticks from 1601-01-01, where file times count from, to 1970-01-01.
constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000;

OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return at;
}

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

std::optional<std::vector<FileRange>> AllocatedRanges(HANDLE file, std::int64_t size) {
  std::vector<FileRange> ranges;
  FILE_ALLOCATED_RANGE_BUFFER query{};
  query.FileOffset.QuadPart = 0;
  query.Length.QuadPart = size;
  std::array<FILE_ALLOCATED_RANGE_BUFFER, 256> found;
  while (query.Length.QuadPart > 0) {
    DWORD bytes = 0;
    const bool complete =
        DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, found.data(),
                        static_cast<DWORD>(sizeof found), &bytes, nullptr) != 0;
    if (!complete && GetLastError() != ERROR_MORE_DATA) {
      return std::nullopt;
    }
    const std::size_t count = std::min<std::size_t>(bytes / sizeof found[0], found.size());
    for (std::size_t i = 0; i < count; ++i) {
      ranges.push_back({found[i].FileOffset.QuadPart, found[i].Length.QuadPart});
    }
    if (complete) {
      break;
    }
    // More ranges follow: ask again from the end of the last one told.
    const std::int64_t end = count == 0 ? 0 : ranges.back().offset + ranges.back().length;
    if (end <= query.FileOffset.QuadPart) {
      return std::nullopt;  // no headway: the answer cannot be trusted
    }
    query.Length.QuadPart -= end - query.FileOffset.QuadPart;
    query.FileOffset.QuadPart = end;
  }
  return ranges;
}

Status CopyRanges(HANDLE in, const std::string& inPath, HANDLE out, const std::string& outPath,
                  const std::vector<FileRange>& ranges, std::int64_t size) {
  thread_local std::vector<char> buffer(1 << 20);
  for (const FileRange& range : ranges) {
    std::int64_t offset = std::max<std::int64_t>(range.offset, 0);
    const std::int64_t end = std::min(range.offset + range.length, size);
    while (offset < end) {
      const auto want =
          static_cast<DWORD>(std::min<std::int64_t>(end - offset, std::ssize(buffer)));
      OVERLAPPED from = At(offset);
      DWORD got = 0;
      if (!ReadFile(in, buffer.data(), want, &got, &from)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
          break;  // the file grew shorter meanwhile: the rest reads as zeros
        }
        return SystemError("read", inPath, error);
      }
      if (got == 0) {
        break;
      }
      for (DWORD done = 0; done < got;) {
        OVERLAPPED to = At(offset + done);
        DWORD put = 0;
        if (!WriteFile(out, buffer.data() + done, got - done, &put, &to)) {
          return SystemError("write", outPath);
        }
        if (put == 0) {
          return SystemError("write", outPath, ERROR_WRITE_FAULT);
        }
        done += put;
      }
      offset += got;
    }
  }
  FILE_END_OF_FILE_INFO endOfFile{};
  endOfFile.EndOfFile.QuadPart = size;
  if (!SetFileInformationByHandle(out, FileEndOfFileInfo, &endOfFile, sizeof endOfFile)) {
    return SystemError("write", outPath);
  }
  return Status::Ok();
}

}  // namespace fts
