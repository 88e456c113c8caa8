#include "windows/windows_test_support.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "platform/wide_text.h"
#include "platform/windows_paths.h"

namespace fts::test {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": error " + std::to_string(GetLastError()));
}

void ListInto(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
  const std::string folder = relative.empty() ? root : root + "\\" + relative;
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((SystemPath(folder) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::string name = Utf8FromWide(data.cFileName);
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = relative.empty() ? name : relative + "\\" + name;
    const bool folderEntry = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out.push_back(folderEntry ? path + "\\" : path);
    if (folderEntry && !link) {
      ListInto(root, path, out);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace

WindowsTempDir::WindowsTempDir() {
  static unsigned counter = 0;
  wchar_t base[MAX_PATH + 2];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0) {
    Fail("GetTempPathW", "");
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path = Utf8FromWide(std::wstring_view(base, length)) + "fts-test-" +
                       std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    if (CreateDirectoryW(SystemPath(path).c_str(), nullptr)) {
      path_ = path;
      return;
    }
  }
  Fail("cannot make a temporary folder", "");
}

WindowsTempDir::~WindowsTempDir() {
  try {
    RemoveTree(path_);
  } catch (...) {
  }
}

void WriteTextFile(const std::string& path, const std::string& contents) {
  const HANDLE file = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("cannot create", path);
  }
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != contents.size()) {
    Fail("cannot write", path);
  }
}

std::string ReadTextFile(const std::string& path) {
  const HANDLE file = CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("cannot open", path);
  }
  std::string contents;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    contents.append(buffer, got);
  }
  CloseHandle(file);
  return contents;
}

void MakeFolder(const std::string& path) {
  if (!CreateDirectoryW(SystemPath(path).c_str(), nullptr)) {
    Fail("cannot make", path);
  }
}

bool EntryExists(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

unsigned long AttributesOf(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str());
}

void SetAttributes(const std::string& path, unsigned long attributes) {
  if (!SetFileAttributesW(SystemPath(path).c_str(), attributes)) {
    Fail("cannot set the attributes of", path);
  }
}

long long LastWriteTicks(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data)) {
    Fail("cannot read the time of", path);
  }
  return static_cast<long long>(
      (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
}

void SetLastWriteTicks(const std::string& path, long long ticks) {
  const HANDLE file = CreateFileW(SystemPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("cannot open", path);
  }
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
  const BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  if (!ok) {
    Fail("cannot set the time of", path);
  }
}

void RemoveTree(const std::string& path) {
  const std::wstring system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(system.c_str());
    return;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((system + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      std::vector<std::string> names;
      do {
        const std::string name = Utf8FromWide(data.cFileName);
        if (name != "." && name != "..") {
          names.push_back(name);
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
      for (const std::string& name : names) {
        RemoveTree(path + "\\" + name);
      }
    }
  }
  RemoveDirectoryW(system.c_str());
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  ListInto(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace fts::test
