// The platform on Windows. Every name is UTF-8 inside the program and goes
// to the wide (UTF-16) interfaces of the system through the conversions of
// wide_text.h, in the \\?\ form of windows_paths.h, so that every name the
// system can hold round-trips and paths longer than 260 characters work.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"
#include "platform/regional_formats.h"
#include "platform/wide_text.h"
#include "platform/windows_paths.h"

namespace fts {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 100-nanosecond ticks from 1601-01-01, where file times count from, to 1970-01-01.
constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000;
// The attributes that a copy takes over from its source.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The system's text for an error code, on one line: "Access is denied."
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
    text = "System error " + std::to_string(error) + ".";
  }
  return text;
}

Status LastError() {
  return Status::Error(ErrorText(GetLastError()));
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

// A handle that closes itself.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
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
HANDLE OpenForAttributes(const std::wstring& systemPath) {
  return CreateFileW(systemPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The volume and the file number of an open file or folder.
bool IdentityOfHandle(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    static_assert(sizeof id.FileId.Identifier == 16);
    std::memcpy(&low, id.FileId.Identifier, 8);
    std::memcpy(&high, id.FileId.Identifier + 8, 8);
    identity = {id.VolumeSerialNumber, low ^ high};
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information)) {
    identity = {
        information.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
    return true;
  }
  return false;
}

// The identity of a folder; one that cannot be read gets a value of its own
// that no other folder has, so that the walk never takes it for another.
FileIdentity FolderIdentity(const std::wstring& systemPath) {
  static std::atomic<std::uint64_t> unknownCount{0};
  Handle folder(OpenForAttributes(systemPath));
  FileIdentity identity;
  if (folder.Valid() && IdentityOfHandle(folder.Get(), identity)) {
    return identity;
  }
  return {~std::uint64_t{0}, ++unknownCount};
}

// Letters in upper case as the system compares names: each UTF-16 unit on
// its own, without regard to the user's language.
std::wstring UpperCase(std::wstring_view text) {
  std::wstring upper(text);
  if (!upper.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(),
                  static_cast<int>(text.size()), upper.data(), static_cast<int>(upper.size()),
                  nullptr, nullptr, 0);
  }
  return upper;
}

// The identity of a file that is not a folder: its folder's identity and
// its name in upper case, as the system compares names. The listing knows
// both without opening each file, and a file opened by name learns the same.
FileIdentity EntryIdentity(const FileIdentity& folder, std::wstring_view name) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (wchar_t c : UpperCase(name)) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ULL;
  }
  return {folder.inode ^ 0x9E3779B97F4A7C15ULL, hash ^ (folder.device * 0xBF58476D1CE4E5B9ULL)};
}

// The part of a system path up to and including its last separator.
std::wstring FolderPart(const std::wstring& systemPath) {
  const auto separator = systemPath.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring(L".\\")
                                         : systemPath.substr(0, separator + 1);
}

std::wstring NamePart(const std::wstring& systemPath) {
  const auto separator = systemPath.find_last_of(L'\\');
  return separator == std::wstring::npos ? systemPath : systemPath.substr(separator + 1);
}

FileIdentity IdentityOfPath(const std::wstring& systemPath) {
  return EntryIdentity(FolderIdentity(FolderPart(systemPath)), NamePart(systemPath));
}

// A symbolic link, a junction or another entry that stands for a name
// elsewhere. Some systems report such an entry without its tag (0).
bool IsLinkTag(DWORD tag) {
  return tag == 0 || IsReparseTagNameSurrogate(tag);
}

class WindowsListing : public DirectoryListing {
 public:
  WindowsListing(HANDLE find, const WIN32_FIND_DATAW* first, std::wstring folder, LinkPolicy policy,
                 FileIdentity identity)
      : find_(find), folder_(std::move(folder)), policy_(policy), identity_(identity) {
    if (first != nullptr) {
      data_ = *first;
      pending_ = true;
    }
  }
  ~WindowsListing() override {
    if (find_ != INVALID_HANDLE_VALUE) {
      FindClose(find_);
    }
  }

  FileIdentity Identity() const override { return identity_; }
  std::string Error() const override { return error_; }

  bool Next(std::string& name, DirEntryInfo& info) override {
    if (pending_) {
      pending_ = false;
    } else if (find_ == INVALID_HANDLE_VALUE) {
      return false;
    } else if (!FindNextFileW(find_, &data_)) {
      if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES) {
        error_ = ErrorText(code);
      }
      return false;
    }
    name = Utf8FromWide(data_.cFileName);
    info = DirEntryInfo{};
    Describe(info);
    return true;
  }

 private:
  void Describe(DirEntryInfo& info) {
    const DWORD attributes = data_.dwFileAttributes;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link =
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(data_.dwReserved0);
    const std::wstring_view name = data_.cFileName;
    if (link && policy_ == LinkPolicy::kDoNotFollow) {
      // Listed as itself, never entered: the mirror removes the link alone.
      info.isSymlink = true;
      info.identity = EntryIdentity(identity_, name);
      return;
    }
    if (directory) {
      info.isDirectory = true;  // a followed link to a folder is entered too
      return;
    }
    if (link) {
      // A followed link to a file: the time of the file it leads to.
      Handle target(OpenForAttributes(folder_ + std::wstring(name)));
      BY_HANDLE_FILE_INFORMATION information;
      if (!target.Valid() || !GetFileInformationByHandle(target.Get(), &information)) {
        return;  // it leads nowhere: an entry with no valid time
      }
      if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        info.isDirectory = true;
        return;
      }
      info.timeValid = true;
      info.lastWrite = FromFiletime(information.ftLastWriteTime);
      info.identity = EntryIdentity(identity_, name);
      return;
    }
    info.timeValid = true;
    info.lastWrite = FromFiletime(data_.ftLastWriteTime);
    info.identity = EntryIdentity(identity_, name);
  }

  HANDLE find_;
  std::wstring folder_;  // system form, ending in a separator
  LinkPolicy policy_;
  FileIdentity identity_;
  WIN32_FIND_DATAW data_{};
  bool pending_ = false;
  std::string error_;
};

class WindowsFile : public File {
 public:
  WindowsFile(HANDLE handle, std::wstring systemPath)
      : handle_(handle), systemPath_(std::move(systemPath)) {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle_.Get(), &size)) {
      appendAt_ = size.QuadPart;
    }
  }

  Status ReadAt(std::int64_t offset, char* buffer, std::size_t size,
                std::size_t& bytesRead) override {
    bytesRead = 0;
    while (bytesRead < size) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - bytesRead, 1u << 30));
      OVERLAPPED at = At(offset + static_cast<std::int64_t>(bytesRead));
      DWORD got = 0;
      if (!ReadFile(handle_.Get(), buffer + bytesRead, chunk, &got, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
          break;
        }
        return Status::Error(ErrorText(error));
      }
      if (got == 0) {
        break;
      }
      bytesRead += got;
    }
    return Status::Ok();
  }

  Status Append(const char* data, std::size_t size) override {
    Status status = WriteAt(appendAt_, data, size);
    if (status) {
      appendAt_ += static_cast<std::int64_t>(size);
    }
    return status;
  }

  Status WriteAt(std::int64_t offset, const char* data, std::size_t size) override {
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      OVERLAPPED at = At(offset);
      DWORD written = 0;
      if (!WriteFile(handle_.Get(), data, chunk, &written, &at)) {
        return LastError();
      }
      if (written == 0) {
        return Status::Error(ErrorText(ERROR_WRITE_FAULT));
      }
      data += written;
      offset += written;
      size -= written;
    }
    return Status::Ok();
  }

  Status Close() override {
    HANDLE handle = handle_.Release();
    if (handle == INVALID_HANDLE_VALUE) {
      return Status::Ok();
    }
    return CloseHandle(handle) ? Status::Ok() : LastError();
  }

  FileIdentity Identity() const override {
    if (!identityKnown_) {
      identity_ = IdentityOfPath(systemPath_);
      identityKnown_ = true;
    }
    return identity_;
  }

 private:
  static OVERLAPPED At(std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
  }

  Handle handle_;
  std::wstring systemPath_;
  std::int64_t appendAt_ = 0;
  mutable FileIdentity identity_;
  mutable bool identityKnown_ = false;
};

// One text of the user's regional settings; nullopt when it cannot be read.
std::optional<std::string> LocaleText(LCTYPE type) {
  std::wstring buffer(128, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buffer.data(),
                                       static_cast<int>(buffer.size()));
    if (length > 0) {
      buffer.resize(static_cast<std::size_t>(length - 1));  // without its terminating zero
      return Utf8FromWide(buffer);
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return std::nullopt;
    }
    const int needed = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, nullptr, 0);
    if (needed <= 0) {
      return std::nullopt;
    }
    buffer.assign(static_cast<std::size_t>(needed), L'\0');
  }
  return std::nullopt;
}

RegionalFormats ReadRegionalFormats() {
  RegionalFormats formats;
  auto take = [](std::string& into, LCTYPE type) {
    if (auto text = LocaleText(type); text && !text->empty()) {
      into = std::move(*text);
    }
  };
  take(formats.shortDate, LOCALE_SSHORTDATE);
  formats.amText = LocaleText(LOCALE_S1159).value_or(formats.amText);
  formats.pmText = LocaleText(LOCALE_S2359).value_or(formats.pmText);
  for (int i = 0; i < 12; ++i) {
    take(formats.monthNames[static_cast<std::size_t>(i)],
         static_cast<LCTYPE>(LOCALE_SMONTHNAME1 + i));
    take(formats.abbreviatedMonthNames[static_cast<std::size_t>(i)],
         static_cast<LCTYPE>(LOCALE_SABBREVMONTHNAME1 + i));
  }
  // The system counts the days from Monday; the formats from Sunday.
  for (int i = 0; i < 7; ++i) {
    const auto day = static_cast<std::size_t>((i + 1) % 7);
    take(formats.dayNames[day], static_cast<LCTYPE>(LOCALE_SDAYNAME1 + i));
    take(formats.abbreviatedDayNames[day], static_cast<LCTYPE>(LOCALE_SABBREVDAYNAME1 + i));
  }
  wchar_t era[64];
  if (GetCalendarInfoEx(LOCALE_NAME_USER_DEFAULT, CAL_GREGORIAN, nullptr, CAL_SERASTRING, era, 64,
                        nullptr) > 1) {
    formats.eraText = Utf8FromWide(era);
  }

  const std::string timeFormat = LocaleText(LOCALE_STIMEFORMAT).value_or("HH:mm:ss");
  const TimeFormatShape shape = ShapeOfTimeFormat(timeFormat);
  std::string separator = shape.separator;
  if (separator.empty()) {
    separator = LocaleText(LOCALE_STIME).value_or(std::string());
  }
  if (separator.empty()) {
    separator.push_back(':');
  }
  formats.timeSeparator = separator;
  formats.longTime =
      LongTimePattern(shape, separator, !formats.amText.empty() || !formats.pmText.empty());
  return formats;
}

class WindowsPlatform : public Platform {
 public:
  WindowsPlatform() : regional_(ReadRegionalFormats()) {
    // A console shows the log's UTF-8 as it is; the code page it had comes
    // back when the run ends.
    DWORD mode = 0;
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
      const HANDLE handle = GetStdHandle(which);
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        if (savedOutputCodePage_ == 0) {
          savedOutputCodePage_ = GetConsoleOutputCP();
        }
        SetConsoleOutputCP(CP_UTF8);
      }
    }
  }

  ~WindowsPlatform() override {
    if (savedOutputCodePage_ != 0) {
      SetConsoleOutputCP(savedOutputCodePage_);
    }
  }

  std::unique_ptr<DirectoryListing> OpenDirectory(const std::string& path, DirectoryListing*,
                                                  std::string_view, LinkPolicy policy,
                                                  std::string& error) override {
    std::wstring folder = SystemPath(path);
    if (folder.empty()) {
      error = ErrorText(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    const FileIdentity identity = FolderIdentity(folder);
    if (folder.back() != L'\\') {
      folder += L'\\';
    }
    WIN32_FIND_DATAW first;
    const HANDLE find = FindFirstFileExW((folder + L'*').c_str(), FindExInfoBasic, &first,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      // A drive's root has no "." and "..": empty, it has no entry at all.
      if (code == ERROR_FILE_NOT_FOUND && IsDirectory(path)) {
        return std::make_unique<WindowsListing>(INVALID_HANDLE_VALUE, nullptr, std::move(folder),
                                                policy, identity);
      }
      error = ErrorText(code);
      return nullptr;
    }
    return std::make_unique<WindowsListing>(find, &first, std::move(folder), policy, identity);
  }

  bool IsDirectory(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool FileExists(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  std::optional<std::string> RealPath(const std::string& path) override {
    const std::wstring system = SystemPath(path);
    Handle handle(OpenForAttributes(system));
    if (!handle.Valid()) {
      return std::nullopt;
    }
    std::wstring final(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
      const DWORD length =
          GetFinalPathNameByHandleW(handle.Get(), final.data(), static_cast<DWORD>(final.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (length == 0) {
        break;
      }
      if (length < final.size()) {
        final.resize(length);
        return DisplayPath(final);
      }
      final.assign(static_cast<std::size_t>(length) + 1, L'\0');
    }
    // The system cannot name it (a folder without a drive letter, or a
    // path too long for it): the path itself, made absolute, stands in.
    return DisplayPath(system);
  }

  std::string FoldPathCase(const std::string& path) override {
    return Utf8FromWide(UpperCase(WideFromUtf8(path)));
  }

  std::string ExecutableFolder() override {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
      const DWORD length =
          GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) {
        break;
      }
      if (length < buffer.size()) {
        buffer.resize(length);
        const std::string path = DisplayPath(buffer);
        const auto separator = path.find_last_of('\\');
        return separator == std::string::npos ? std::string(".\\") : path.substr(0, separator + 1);
      }
      buffer.assign(buffer.size() * 2, L'\0');
    }
    return ".\\";
  }

  std::string TemporaryFolder() override {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::string folder = length == 0 || length > MAX_PATH + 1
                             ? std::string(".\\")
                             : DisplayPath(std::wstring_view(buffer, length));
    if (folder.back() != '\\') {
      folder += '\\';
    }
    return folder;
  }

  CreateResult CreateNewFile(const std::string& path) override {
    CreateResult result;
    const std::wstring system = SystemPath(path);
    const HANDLE handle = CreateFileW(system.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      result.outcome = CreateOutcome::kCreated;
      result.file = std::make_unique<WindowsFile>(handle, system);
      return result;
    }
    const DWORD error = GetLastError();
    result.message = ErrorText(error);
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      result.outcome = CreateOutcome::kNameTaken;
    } else if (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) {
      // Something that stands under the name (a folder, a file on its way
      // out) also refuses access: the name is taken, not the folder closed.
      result.outcome = GetFileAttributesW(system.c_str()) != INVALID_FILE_ATTRIBUTES
                           ? CreateOutcome::kNameTaken
                           : CreateOutcome::kNotWritable;
    } else {
      result.outcome = CreateOutcome::kFailed;
    }
    return result;
  }

  std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode,
                                 std::string& error) override {
    const std::wstring system = SystemPath(path);
    const DWORD access = mode == OpenMode::kRead ? GENERIC_READ : GENERIC_WRITE;
    const HANDLE handle = CreateFileW(system.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      error = ErrorText(GetLastError());
      return nullptr;
    }
    return std::make_unique<WindowsFile>(handle, system);
  }

  Status DeleteFile(const std::string& path) override {
    const std::wstring system = SystemPath(path);
    const DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return LastError();
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      // A link or junction to a folder goes as itself; what it leads to
      // is never touched.
      return WithWriteAllowed(system, attributes,
                              [&] { return RemoveDirectoryW(system.c_str()) != 0; });
    }
    return WithWriteAllowed(system, attributes, [&] { return DeleteFileW(system.c_str()) != 0; });
  }

  Status RemoveDirectory(const std::string& path) override {
    const std::wstring system = SystemPath(path);
    const DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return LastError();
    }
    return WithWriteAllowed(system, attributes,
                            [&] { return RemoveDirectoryW(system.c_str()) != 0; });
  }

  Status MakeDirectory(const std::string& path) override {
    return CreateDirectoryW(SystemPath(path).c_str(), nullptr) ? Status::Ok() : LastError();
  }

  Status CopyFile(const std::string& from, const std::string& to) override {
    const std::wstring source = SystemPath(from);
    const std::wstring target = SystemPath(to);
    // A file that another program holds open, even for writing, is copied
    // as it stands.
    Handle in(CreateFileW(source.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) {
      return LastError();
    }
    // A pipe or a device would block or never end: only files on disk copy.
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(in.Get()) != FILE_TYPE_DISK) {
      return Status::Error("Not a regular file");
    }
    if (!GetFileInformationByHandle(in.Get(), &information)) {
      return LastError();
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      return Status::Error("Not a regular file");
    }
    return CopyOpenFile(in.Get(), information, target);
  }

  LocalDateTime Now() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  }

  bool ToLocalTime(const FileTime& time, LocalDateTime& local) override {
    FILETIME utc;
    FILETIME localTime;
    SYSTEMTIME parts;
    if (!ToFiletime(time, utc) || !FileTimeToLocalFileTime(&utc, &localTime) ||
        !FileTimeToSystemTime(&localTime, &parts)) {
      return false;
    }
    local = {parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond};
    return true;
  }

  void WriteStdout(std::string_view text) override { WriteAll(STD_OUTPUT_HANDLE, text); }
  void WriteStderr(std::string_view text) override { WriteAll(STD_ERROR_HANDLE, text); }

  const RegionalFormats& RegionalSettings() override { return regional_; }

 private:
  // Runs a delete or remove that a read-only attribute would refuse: the
  // attribute is cleared first, and put back when the action still fails.
  template <typename Action>
  Status WithWriteAllowed(const std::wstring& system, DWORD attributes, Action action) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
      SetAttributes(system, attributes, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (action()) {
      return Status::Ok();
    }
    const DWORD error = GetLastError();
    if (readOnly) {
      SetAttributes(system, attributes & ~FILE_ATTRIBUTE_READONLY, attributes);
    }
    return Status::Error(ErrorText(error));
  }

  // Sets the attributes of the entry itself, also when it is a link.
  static void SetAttributes(const std::wstring& system, DWORD current, DWORD wanted) {
    wanted &= ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (!(current & FILE_ATTRIBUTE_REPARSE_POINT)) {
      SetFileAttributesW(system.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
      return;
    }
    Handle link(CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!link.Valid()) {
      return;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted;
    SetFileInformationByHandle(link.Get(), FileBasicInfo, &basic, sizeof basic);
  }

  // Writes the copy under a temporary name in the destination folder and
  // renames it over the final name: neither a link standing there nor a
  // half-written file can result, and a failed copy leaves nothing behind.
  Status CopyOpenFile(HANDLE in, const BY_HANDLE_FILE_INFORMATION& information,
                      const std::wstring& target) {
    const std::wstring folder = FolderPart(target);
    std::wstring temporary;
    Handle out;
    {
      InterruptHoldOff holdOff;
      for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
        temporary = folder + L".fts-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(copyCounter_++) + L".tmp";
        // Open for deleting too: an interrupt deletes the file while the
        // copy writes it.
        out.Reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.Valid()) {
          const DWORD error = GetLastError();
          if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return Status::Error(ErrorText(error));
          }
        }
      }
      if (!out.Valid()) {
        return LastError();
      }
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, DisplayPath(temporary));
    }

    Status status = CopyContents(in, out.Get());
    if (status && !SetFileTime(out.Get(), nullptr, nullptr, &information.ftLastWriteTime)) {
      status = LastError();
    }
    if (!CloseHandle(out.Release()) && status) {
      status = LastError();
    }
    const DWORD attributes = information.dwFileAttributes & kCopiedAttributes;
    if (status && !SetFileAttributesW(temporary.c_str(),
                                      attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes)) {
      status = LastError();
    }
    if (status && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      status = LastError();
    }
    if (!status) {
      SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(temporary.c_str());
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  Status CopyContents(HANDLE in, HANDLE out) {
    copyBuffer_.resize(1 << 20);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in, copyBuffer_.data(), static_cast<DWORD>(copyBuffer_.size()), &got,
                    nullptr)) {
        return LastError();
      }
      if (got == 0) {
        return Status::Ok();
      }
      for (DWORD done = 0; done < got;) {
        DWORD put = 0;
        if (!WriteFile(out, copyBuffer_.data() + done, got - done, &put, nullptr)) {
          return LastError();
        }
        if (put == 0) {
          return Status::Error(ErrorText(ERROR_WRITE_FAULT));
        }
        done += put;
      }
    }
  }

  void WriteAll(DWORD which, std::string_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
      return;
    }
    while (!text.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
      DWORD written = 0;
      if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) {
        if (which == STD_OUTPUT_HANDLE && !stdoutFailed_) {
          // The log is gone; say so once where it can still be seen.
          stdoutFailed_ = true;
          WriteAll(STD_ERROR_HANDLE,
                   "FernwickTreeSyncer: standard output: " + ErrorText(GetLastError()) + "\r\n");
        }
        return;
      }
      text.remove_prefix(written);
    }
  }

  RegionalFormats regional_;
  UINT savedOutputCodePage_ = 0;
  bool stdoutFailed_ = false;
  std::uint64_t copyCounter_ = 0;
  std::vector<char> copyBuffer_;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() {
  return std::make_unique<WindowsPlatform>();
}

}  // namespace fts
