#include "platform/windows_paths.h"

#include <windows.h>

#include <vector>

#include "platform/wide_text.h"

namespace fts {
namespace {

constexpr std::wstring_view kVerbatimPrefix = L"\\\\?\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kUncVerbatimPrefix = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsDriveLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The components of `rest` after the root, with "." and ".." resolved; a
// ".." never climbs above the root.
std::wstring JoinNormalized(std::wstring root, std::wstring_view rest) {
  std::vector<std::wstring_view> parts;
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) {
      ++i;
    }
    std::size_t end = i;
    while (end < rest.size() && !IsSeparator(rest[end])) {
      ++end;
    }
    const std::wstring_view part = rest.substr(i, end - i);
    if (part == L"..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    i = end;
  }
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) {
      root += L'\\';
    }
    root.append(parts[k]);
  }
  return root;
}

// A Win32 call that fills a buffer and returns the length it needs.
template <typename Call>
std::wstring FillBuffer(Call call) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(static_cast<std::size_t>(length) + 1);
  }
  return {};
}

// The absolute form of a path that is not yet absolute ("name", "\name"
// or "C:name"), as the system resolves it against the current folder.
std::wstring MadeAbsolute(const std::wstring& path) {
  std::wstring base;
  std::wstring_view rest = path;
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') {
    // "C:name": the current folder of that drive.
    const std::wstring drive = path.substr(0, 2);
    base = FillBuffer([&](wchar_t* buffer, DWORD size) {
      return GetFullPathNameW(drive.c_str(), size, buffer, nullptr);
    });
    rest.remove_prefix(2);
  } else if (!path.empty() && IsSeparator(path[0])) {
    // "\name": the root of the current folder's drive.
    base = FillBuffer(
        [](wchar_t* buffer, DWORD size) { return GetFullPathNameW(L"\\", size, buffer, nullptr); });
  } else {
    base =
        FillBuffer([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
  }
  if (base.empty()) {
    return {};
  }
  if (!IsSeparator(base.back())) {
    base += L'\\';
  }
  base.append(rest);
  return base;
}

}  // namespace

std::wstring ExtendedAbsolutePath(std::wstring_view path) {
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
    std::wstring root(kVerbatimPrefix);
    root += static_cast<wchar_t>(path[0]);
    root += L":\\";
    return JoinNormalized(std::move(root), path.substr(3));
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // \\server\share\...: the server and the share stay; ".." stops at them.
    std::wstring_view rest = path.substr(2);
    std::size_t serverEnd = 0;
    while (serverEnd < rest.size() && !IsSeparator(rest[serverEnd])) {
      ++serverEnd;
    }
    if (serverEnd == 0 || serverEnd >= rest.size()) {
      return {};
    }
    std::size_t shareEnd = serverEnd + 1;
    while (shareEnd < rest.size() && !IsSeparator(rest[shareEnd])) {
      ++shareEnd;
    }
    if (shareEnd == serverEnd + 1) {
      return {};
    }
    std::wstring root(kUncVerbatimPrefix);
    root.append(rest.substr(0, serverEnd));
    root += L'\\';
    root.append(rest.substr(serverEnd + 1, shareEnd - serverEnd - 1));
    root += L'\\';
    return JoinNormalized(std::move(root), rest.substr(shareEnd));
  }
  return {};
}

std::wstring SystemPath(std::string_view path) {
  std::wstring wide = WideFromUtf8(path);
  if (wide.starts_with(kVerbatimPrefix) || wide.starts_with(kDevicePrefix)) {
    return wide;
  }
  std::wstring result = ExtendedAbsolutePath(wide);
  if (result.empty() && !wide.empty()) {
    result = ExtendedAbsolutePath(MadeAbsolute(wide));
  }
  return result.empty() ? wide : result;
}

std::string DisplayPath(std::wstring_view path) {
  if (path.starts_with(kUncVerbatimPrefix)) {
    return "\\\\" + Utf8FromWide(path.substr(kUncVerbatimPrefix.size()));
  }
  if (path.starts_with(kVerbatimPrefix)) {
    path.remove_prefix(kVerbatimPrefix.size());
  }
  return Utf8FromWide(path);
}

}  // namespace fts
