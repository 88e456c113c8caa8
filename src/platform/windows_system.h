// What the Win32 platform files share: the system's error texts, the one
// place where their failures are made, and handles that close themselves.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace fts {

struct FileTime;

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's text for an error code, on one line: "Access is denied."
std::string ErrorText(DWORD error);

// Every failure of the Win32 platform is made here, from the system's error
// code (by default the one the failed call left; take it before anything
// else can change it).
inline Status SystemError(std::string_view operation, const std::string& path,
                          DWORD error = GetLastError()) {
  const bool noSpace = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
  return Status::Error(operation, path, ErrorText(error),
                       noSpace ? Status::Kind::kNoSpace : Status::Kind::kOther);
}

// A handle that closes itself.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept : handle_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (Valid()) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Opens a file or a folder (through any link) only to read its attributes.
inline HANDLE OpenForAttributes(const std::wstring& systemPath) {
  return CreateFileW(systemPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The part of a system path up to and including its last separator.
std::wstring FolderPart(const std::wstring& systemPath);

// A symbolic link, a junction or another entry that stands for a name
// elsewhere. Some systems report such an entry without its tag (0).
inline bool IsLinkTag(DWORD tag) {
  return tag == 0 || IsReparseTagNameSurrogate(tag);
}

// A system file time and the program's, both ways; ToFiletime fails for a
// time before 1601 or too far ahead.
FileTime FromFiletime(const FILETIME& time);
bool ToFiletime(const FileTime& time, FILETIME& out);

// Windows keeps no permission bits, only the read-only attribute. The
// program shows it as a permission value of its own making, so that a
// comparison of attributes sees a file or folder made read-only or writable:
//   file,   read-only: 0444     file,   writable: 0666
//   folder, read-only: 0555     folder, writable: 0777
// The way back looks at the owner's write bit (0200) alone: without it the
// entry is made read-only, with it writable. Owner and group are always 0,
// and every file has one name.
inline constexpr std::uint32_t kOwnerWriteBit = 0200;
inline std::uint32_t ModeOfAttributes(DWORD attributes) {
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    return folder ? 0555 : 0444;
  }
  return folder ? 0777 : 0666;
}
inline bool ReadOnlyForMode(std::uint32_t mode) {
  return (mode & kOwnerWriteBit) == 0;
}

// A stretch of a file that holds data; what lies between such stretches in
// a sparse file is a hole, which reads as zeros and takes no space.
struct FileRange {
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// The stretches of the first `size` bytes of an open file that hold data,
// as the file system tells them; nullopt where it cannot tell (a file
// system without sparse files, or one that does not answer the question).
std::optional<std::vector<FileRange>> AllocatedRanges(HANDLE file, std::int64_t size);

// Copies the `ranges` of `in` to the same places in `out` and then makes
// `out` `size` bytes long: in a file marked sparse, what was not written
// stays a hole. `inPath` and `outPath` name the two in failures.
Status CopyRanges(HANDLE in, const std::string& inPath, HANDLE out, const std::string& outPath,
                  const std::vector<FileRange>& ranges, std::int64_t size);

}  // namespace fts
