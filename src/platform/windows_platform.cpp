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

#include "platform/command_line_split.h"
#include "platform/folder_read_ahead.h"
#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"
#include "platform/regional_formats.h"
#include "platform/wide_text.h"
#include "platform/windows_destination.h"
#include "platform/windows_paths.h"
#include "platform/windows_system.h"
#include "platform/windows_tree_watch.h"

namespace fts {
namespace {

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

std::wstring NamePart(const std::wstring& systemPath) {
  const auto separator = systemPath.find_last_of(L'\\');
  return separator == std::wstring::npos ? systemPath : systemPath.substr(separator + 1);
}

FileIdentity IdentityOfPath(const std::wstring& systemPath) {
  return EntryIdentity(FolderIdentity(FolderPart(systemPath)), NamePart(systemPath));
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
  Status status() const override { return status_; }

  bool Next(std::string& name, DirEntryInfo& info) override {
    if (pending_) {
      pending_ = false;
    } else if (find_ == INVALID_HANDLE_VALUE) {
      return false;
    } else if (!FindNextFileW(find_, &data_)) {
      if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES) {
        status_ = SystemError("list", DisplayPath(folder_), code);
      }
      return false;
    }
    name = Utf8FromWide(data_.cFileName);
    info = DirEntryInfo{};
    Describe(info);
    return true;
  }

 private:
  // Besides the time, the size and the permission value that stands for the
  // read-only attribute (see ModeOfAttributes); owner and group stay 0 and
  // the number of names 1, as this system shows them.
  void Describe(DirEntryInfo& info) {
    const DWORD attributes = data_.dwFileAttributes;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link =
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(data_.dwReserved0);
    const std::wstring_view name = data_.cFileName;
    info.size = (static_cast<std::uint64_t>(data_.nFileSizeHigh) << 32) | data_.nFileSizeLow;
    info.mode = ModeOfAttributes(attributes);
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
      // A followed link to a file: the file it leads to.
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
      info.size =
          (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
      info.mode = ModeOfAttributes(information.dwFileAttributes);
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
  Status status_;
};

class WindowsFile : public File {
 public:
  WindowsFile(HANDLE handle, std::wstring systemPath)
      : handle_(handle), systemPath_(std::move(systemPath)), name_(DisplayPath(systemPath_)) {
    LARGE_INTEGER size;
    if (GetFileSizeEx(handle_.Get(), &size)) {
      appendAt_ = size.QuadPart;
    }
  }

  Result<std::size_t> ReadAt(std::int64_t offset, char* buffer, std::size_t size) override {
    std::size_t bytesRead = 0;
    while (bytesRead < size) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - bytesRead, 1u << 30));
      OVERLAPPED at = At(offset + static_cast<std::int64_t>(bytesRead));
      DWORD got = 0;
      if (!ReadFile(handle_.Get(), buffer + bytesRead, chunk, &got, &at)) {
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
          break;
        }
        return SystemError("read", Name(), error);
      }
      if (got == 0) {
        break;
      }
      bytesRead += got;
    }
    return bytesRead;
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
        return SystemError("write", Name());
      }
      if (written == 0) {
        return SystemError("write", Name(), ERROR_WRITE_FAULT);
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
    return CloseHandle(handle) ? Status::Ok() : SystemError("close", Name());
  }

  FileIdentity Identity() const override {
    if (!identityKnown_) {
      identity_ = IdentityOfPath(systemPath_);
      identityKnown_ = true;
    }
    return identity_;
  }

 private:
  const std::string& Name() const { return name_; }

  static OVERLAPPED At(std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
  }

  Handle handle_;
  std::wstring systemPath_;
  std::string name_;  // as the program names it, for messages
  std::int64_t appendAt_ = 0;
  mutable FileIdentity identity_;
  mutable bool identityKnown_ = false;
};

// The hold of a file: an open handle, which the system closes when the
// process ends, however it ends. Another run tells a held file by opening it
// alone (no sharing), which fails while any handle is open. The hold itself
// shares everything, so that an interrupt can still delete the file.
class WindowsFileHold : public FileHold {
 public:
  WindowsFileHold(Handle handle, std::string path)
      : handle_(std::move(handle)), path_(std::move(path)) {}

  Result<std::string> ReadStart(std::size_t size) override {
    std::string bytes(size, '\0');
    OVERLAPPED start{};
    DWORD got = 0;
    if (!ReadFile(handle_.Get(), bytes.data(), static_cast<DWORD>(size), &got, &start) &&
        GetLastError() != ERROR_HANDLE_EOF) {
      return SystemError("read", path_);
    }
    bytes.resize(got);
    return bytes;
  }

  // The file goes when its last handle closes, which is this one's.
  Status DeleteAndRelease() override {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    Status status = SetFileInformationByHandle(handle_.Get(), FileDispositionInfo, &disposition,
                                               sizeof disposition)
                        ? Status::Ok()
                        : SystemError("delete", path_);
    handle_.Reset();
    return status;
  }

 private:
  Handle handle_;
  std::string path_;
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

std::string WithoutTrailingSeparator(std::string path) {
  while (!path.empty() && path.back() == '\\') {
    path.pop_back();
  }
  return path;
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

  Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                          DirectoryListing*, std::string_view,
                                                          LinkPolicy policy) override {
    std::wstring folder = SystemPath(path);
    if (folder.empty()) {
      return SystemError("list", path, ERROR_PATH_NOT_FOUND);
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
        return std::unique_ptr<DirectoryListing>(std::make_unique<WindowsListing>(
            INVALID_HANDLE_VALUE, nullptr, std::move(folder), policy, identity));
      }
      return SystemError("list", path, code);
    }
    return std::unique_ptr<DirectoryListing>(
        std::make_unique<WindowsListing>(find, &first, std::move(folder), policy, identity));
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

  std::string FoldLetterCase(std::string_view name) override {
    return Utf8FromWide(UpperCase(WideFromUtf8(std::string(name))));
  }

  // Folders ignore letter case unless one was made case-sensitive; a folder
  // that cannot say (an older system, a share) ignores it.
  Result<bool> IgnoresLetterCase(const std::string& path, bool mayWrite) override {
    (void)mayWrite;
    std::string folder = path;
    while (!IsDirectory(folder)) {
      const auto separator = folder.find_last_of('\\', folder.find_last_not_of('\\'));
      if (separator == std::string::npos) return true;
      folder.resize(separator);
    }
    Handle handle(OpenForAttributes(SystemPath(folder)));
    constexpr ULONG kCaseSensitiveDir = 0x1;  // FILE_CS_FLAG_CASE_SENSITIVE_DIR
    FILE_CASE_SENSITIVE_INFO info{};
    if (!handle.Valid() ||
        !GetFileInformationByHandleEx(handle.Get(), FileCaseSensitiveInfo, &info, sizeof info)) {
      return true;
    }
    return (info.Flags & kCaseSensitiveDir) == 0;
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

  // Programs installed for every user live below the folders these name;
  // each is compared by its real path, letter case ignored.
  bool IsSystemProgramFolder(const std::string& folder) override {
    const std::string real =
        FoldPathCase(WithoutTrailingSeparator(RealPath(folder).value_or(folder)));
    for (const wchar_t* variable :
         {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"SystemRoot"}) {
      wchar_t value[MAX_PATH + 1];
      const DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH + 1);
      if (length == 0 || length > MAX_PATH) {
        continue;
      }
      const std::string named = Utf8FromWide(std::wstring_view(value, length));
      const std::string place =
          FoldPathCase(WithoutTrailingSeparator(RealPath(named).value_or(named)));
      if (real == place ||
          (real.size() > place.size() && real.starts_with(place) && real[place.size()] == '\\')) {
        return true;
      }
    }
    return false;
  }

  CreateResult CreateNewFile(const std::string& path) override {
    CreateResult result;
    const std::wstring system = SystemPath(path);
    // Held from its first moment: the hold is a second handle on the same
    // open file, which stays open after the file is closed for writing.
    const HANDLE handle =
        CreateFileW(system.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      HANDLE hold = INVALID_HANDLE_VALUE;
      if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &hold, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        result.status = SystemError("hold", path);
        CloseHandle(handle);
        return result;
      }
      result.outcome = CreateOutcome::kCreated;
      result.file = std::make_unique<WindowsFile>(handle, system);
      result.hold = std::make_unique<WindowsFileHold>(Handle(hold), path);
      return result;
    }
    const DWORD error = GetLastError();
    result.status = SystemError("create", path, error);
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

  HoldResult HoldFile(const std::string& path) override {
    HoldResult result;
    // Opened alone: while another run holds the file, this fails.
    Handle handle(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.Valid()) {
      const DWORD error = GetLastError();
      result.status = SystemError("hold", path, error);
      if (error == ERROR_SHARING_VIOLATION) {
        result.outcome = HoldOutcome::kHeldElsewhere;
      }
      return result;
    }
    result.outcome = HoldOutcome::kHeld;
    result.hold = std::make_unique<WindowsFileHold>(std::move(handle), path);
    return result;
  }

  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override {
    const std::wstring system = SystemPath(path);
    const DWORD access = mode == OpenMode::kRead ? GENERIC_READ : GENERIC_WRITE;
    const HANDLE handle = CreateFileW(system.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return SystemError("open", path);
    }
    return std::unique_ptr<File>(std::make_unique<WindowsFile>(handle, system));
  }

  Status DeleteFile(const std::string& path) override {
    return DeleteFileW(SystemPath(path).c_str()) ? Status::Ok() : SystemError("delete", path);
  }

  std::optional<std::uint64_t> SizeOf(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data)) {
      return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  std::unique_ptr<BackgroundWork> ReadFoldersAhead(const std::string& root,
                                                   LinkPolicy policy) override {
    return std::make_unique<FolderReadAhead>(*this, root, policy, kReadAheadThreads);
  }
  bool StderrIsTerminal() override {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  }

  Status ReplaceFile(const std::string& path, std::string_view contents) override {
    const std::string temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId());
    const std::wstring system = SystemPath(temporary);
    const HANDLE handle = CreateFileW(system.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return SystemError("create", temporary);
    }
    WindowsFile file(handle, system);
    Status status = file.Append(contents.data(), contents.size());
    if (Status closed = file.Close(); status && !closed) {
      status = closed;
    }
    if (status && !MoveFileExW(system.c_str(), SystemPath(path).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      status = SystemError("replace", path);
    }
    if (!status) {
      DeleteFileW(system.c_str());  // the failure told is the one above
    }
    return status;
  }

  Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) override {
    return OpenWindowsDestination(root);
  }

  // The permission value that stands for the read-only attribute (see
  // ModeOfAttributes) and the last-write time. Owners, extended attributes
  // and ACLs are not carried on this system.
  Result<EntryAttributes> ReadAttributes(const std::string& path, LinkPolicy policy,
                                         const CarriedItems& items) override {
    if (items.Any()) {
      return Status::Error("read the attributes of", path, "not offered on this system");
    }
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS |
                        (policy == LinkPolicy::kDoNotFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    Handle entry(CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                             OPEN_EXISTING, flags, nullptr));
    FILE_BASIC_INFO basic{};
    if (!entry.Valid() ||
        !GetFileInformationByHandleEx(entry.Get(), FileBasicInfo, &basic, sizeof basic)) {
      return SystemError("read the attributes of", path);
    }
    EntryAttributes attributes;
    attributes.mode = ModeOfAttributes(basic.FileAttributes);
    FILETIME lastWrite;
    lastWrite.dwLowDateTime = basic.LastWriteTime.LowPart;
    lastWrite.dwHighDateTime = static_cast<DWORD>(basic.LastWriteTime.HighPart);
    attributes.lastWrite = FromFiletime(lastWrite);
    return attributes;
  }

  // Reads both files a large block at a time, and stops at the first block
  // that differs.
  Result<bool> SameContents(const std::string& first, const std::string& second) override {
    Handle one = OpenToCompare(first);
    if (!one.Valid()) {
      return SystemError("compare", first);
    }
    Handle other = OpenToCompare(second);
    if (!other.Valid()) {
      return SystemError("compare", second);
    }
    // A pipe or a device would block or never end: only files on disk compare.
    auto sizeOf = [](HANDLE handle, const std::string& path, LARGE_INTEGER& size) {
      if (GetFileType(handle) != FILE_TYPE_DISK) {
        return Status::Error("compare", path, "Not a regular file");
      }
      return GetFileSizeEx(handle, &size) ? Status::Ok() : SystemError("compare", path);
    };
    LARGE_INTEGER oneSize;
    LARGE_INTEGER otherSize;
    if (Status status = sizeOf(one.Get(), first, oneSize); !status) {
      return status;
    }
    if (Status status = sizeOf(other.Get(), second, otherSize); !status) {
      return status;
    }
    if (oneSize.QuadPart != otherSize.QuadPart) {
      return false;
    }
    constexpr std::size_t kBlock = 1 << 20;
    thread_local std::vector<char> oneBlock(kBlock);
    thread_local std::vector<char> otherBlock(kBlock);
    for (;;) {
      auto oneGot = ReadBlock(one.Get(), oneBlock, first);
      if (!oneGot) {
        return oneGot.status();
      }
      auto otherGot = ReadBlock(other.Get(), otherBlock, second);
      if (!otherGot) {
        return otherGot.status();
      }
      if (*oneGot != *otherGot || std::memcmp(oneBlock.data(), otherBlock.data(), *oneGot) != 0) {
        return false;
      }
      if (*oneGot < kBlock) {
        return true;
      }
    }
  }

  LocalDateTime Now() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  }

  std::optional<LocalDateTime> ToLocalTime(const FileTime& time) override {
    FILETIME utc;
    FILETIME localTime;
    SYSTEMTIME parts;
    if (!ToFiletime(time, utc) || !FileTimeToLocalFileTime(&utc, &localTime) ||
        !FileTimeToSystemTime(&localTime, &parts)) {
      return std::nullopt;
    }
    return LocalDateTime{parts.wYear, parts.wMonth,  parts.wDay,
                         parts.wHour, parts.wMinute, parts.wSecond};
  }

  void WriteStdout(std::string_view text) override { WriteAll(STD_OUTPUT_HANDLE, text); }
  void WriteStderr(std::string_view text) override { WriteAll(STD_ERROR_HANDLE, text); }

  const RegionalFormats& RegionalSettings() override { return regional_; }

  Result<std::unique_ptr<TreeWatch>> WatchTree(const std::string& root) override {
    return WatchTreeWithDirectoryChanges(root);
  }

 private:
  // Opens a file for reading while other programs read, write or delete it.
  static Handle OpenToCompare(const std::string& path) {
    return Handle(CreateFileW(SystemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  }

  // Fills `block` from where the file stands, short only at its end.
  static Result<std::size_t> ReadBlock(HANDLE file, std::vector<char>& block,
                                       const std::string& path) {
    std::size_t filled = 0;
    while (filled < block.size()) {
      DWORD got = 0;
      if (!ReadFile(file, block.data() + filled, static_cast<DWORD>(block.size() - filled), &got,
                    nullptr)) {
        return SystemError("read", path);
      }
      if (got == 0) {
        break;
      }
      filled += got;
    }
    return filled;
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
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform() {
  return std::make_unique<WindowsPlatform>();
}

// Windows hands a program its command line whole, and the program splits it.
// Taken as UTF-8, the line holds no lead byte of a double-byte character; its
// first argument is the program's own path.
std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> arguments =
      SplitCommandLine(Utf8FromWide(GetCommandLineW()), [](unsigned char) { return false; });
  if (!arguments.empty()) {
    arguments.erase(arguments.begin());
  }
  return arguments;
}

}  // namespace fts
