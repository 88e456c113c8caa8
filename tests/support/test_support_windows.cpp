// The test helpers on Windows: real folders handled through the wide
// interfaces in the \\?\ form, and the binary started with CreateProcessW.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/wide_text.h"
#include "platform/windows_paths.h"
#include "support/windows_test_support.h"

namespace fts::test {
namespace {

// 100-nanosecond ticks from 1601-01-01, where file times count from, to 1970-01-01.
constexpr long long kTicksFrom1601To1970 = 116444736000000000LL;

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

FILETIME FileTimeOf(long long ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
  return time;
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE Get() const { return handle_; }
  HANDLE* Out() {
    Reset();
    return &handle_;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Appends what one read brings; false at the end of the output.
bool ReadSome(HANDLE pipe, std::string& text) {
  char buffer[65536];
  DWORD got = 0;
  if (!::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
    return false;
  }
  text.append(buffer, got);
  return true;
}

}  // namespace

TempDir::TempDir() {
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

TempDir::~TempDir() {
  try {
    RemoveTree(path_);
  } catch (...) {
  }
}

void WriteFile(const std::string& path, const std::string& contents) {
  const Handle file(CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    Fail("cannot create", path);
  }
  DWORD written = 0;
  if (!::WriteFile(file.Get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                   nullptr) ||
      written != contents.size()) {
    Fail("cannot write", path);
  }
}

std::string ReadFile(const std::string& path) {
  const Handle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    Fail("cannot open", path);
  }
  std::string contents;
  while (ReadSome(file.Get(), contents)) {
  }
  return contents;
}

void MakeDirs(const std::string& path) {
  const std::wstring system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return;
  }
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos && separator > 0 && path[separator - 1] != ':') {
    MakeDirs(path.substr(0, separator));
  }
  if (!CreateDirectoryW(system.c_str(), nullptr)) {
    Fail("cannot make", path);
  }
}

void SetMtime(const std::string& path, long long seconds, long nanoseconds) {
  SetLastWriteTicks(path, kTicksFrom1601To1970 + seconds * 10000000 + nanoseconds / 100);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  ListInto(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
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
  const Handle file(CreateFileW(SystemPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    Fail("cannot open", path);
  }
  const FILETIME time = FileTimeOf(ticks);
  if (!SetFileTime(file.Get(), nullptr, nullptr, &time)) {
    Fail("cannot set the time of", path);
  }
}

long long TicksOfLocalTime(int year, int month, int day, int hour, int minute, int second) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(year);
  local.wMonth = static_cast<WORD>(month);
  local.wDay = static_cast<WORD>(day);
  local.wHour = static_cast<WORD>(hour);
  local.wMinute = static_cast<WORD>(minute);
  local.wSecond = static_cast<WORD>(second);
  SYSTEMTIME utc;
  FILETIME time;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !SystemTimeToFileTime(&utc, &time)) {
    Fail("cannot convert a local time", "");
  }
  return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
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

bool MakeFolderLink(const std::string& link, const std::string& target) {
  const std::wstring linkPath = SystemPath(link);
  const std::wstring targetPath = SystemPath(target);
  CreateSymbolicLinkW(linkPath.c_str(), targetPath.c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  DWORD attributes = GetFileAttributesW(linkPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return true;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(linkPath.c_str(), nullptr)) {
    return false;
  }
  const HANDLE handle =
      CreateFileW(linkPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    RemoveDirectoryW(linkPath.c_str());
    return false;
  }
  // A junction: the mount point reparse data with the target in NT form.
  std::wstring ntTarget = L"\\??\\" + WideFromUtf8(DisplayPath(targetPath));
  const auto nameBytes = static_cast<WORD>(ntTarget.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(8 + 8 + nameBytes + 2 * sizeof(wchar_t));
  auto put16 = [&](std::size_t at, WORD value) { std::memcpy(&buffer[at], &value, 2); };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(&buffer[0], &tag, 4);
  put16(4, static_cast<WORD>(buffer.size() - 8));
  put16(8, 0);                                                // substitute name offset
  put16(10, nameBytes);                                       // substitute name length
  put16(12, static_cast<WORD>(nameBytes + sizeof(wchar_t)));  // print name offset
  put16(14, 0);                                               // print name length
  std::memcpy(&buffer[16], ntTarget.c_str(), nameBytes);
  DWORD returned = 0;
  const BOOL made =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  attributes = GetFileAttributesW(linkPath.c_str());
  if (!made || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveDirectoryW(linkPath.c_str());
    return false;
  }
  return true;
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

// Wine's own calls between its Windows and Linux names. Each result is
// allocated on the process heap.
std::string LinuxName(const std::string& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = toUnix == nullptr ? nullptr : toUnix(WideFromUtf8(path).c_str());
  std::string result = name == nullptr ? "" : name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

std::wstring WindowsName(const char* linuxPath) {
  using ToWindows = wchar_t*(CDECL*)(const char*);
  const auto toWindows = reinterpret_cast<ToWindows>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  wchar_t* name = toWindows == nullptr ? nullptr : toWindows(linuxPath);
  std::wstring result = name == nullptr ? L"" : name;
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Under Wine: runs a Linux program on Linux paths and waits until `done`
// says it has done its work, ten seconds at most. Wine starts a Linux
// program as it is, and does not learn when it ends.
template <typename Done>
bool RunLinuxProgram(const char* program, const std::vector<std::string>& arguments, Done done) {
  if (!RunningUnderWine()) {
    return false;
  }
  const std::wstring path = WindowsName(program);
  for (const std::string& argument : arguments) {
    if (argument.empty()) {
      return false;
    }
  }
  std::wstring commandLine = L"\"" + path + L"\" " + CommandLineTail(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (path.empty() || !CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int wait = 0; wait < 1000 && !done(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

bool IsLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool MakeLinuxFolderLink(const std::string& link, const std::string& target) {
  return RunLinuxProgram("/bin/ln", {"-s", LinuxName(target), LinuxName(link)},
                         [&] { return IsLink(link); });
}

bool RemoveLinuxFolderLink(const std::string& link) {
  return RunLinuxProgram("/bin/rm", {"-f", LinuxName(link)}, [&] { return !Exists(link); });
}

std::wstring CommandLineTail(const std::vector<std::string>& arguments) {
  std::wstring line;
  for (const std::string& argument : arguments) {
    if (argument.find('"') != std::string::npos) {
      throw std::invalid_argument("a double quote cannot stand in an argument: " + argument);
    }
    if (!line.empty()) {
      line += L' ';
    }
    const bool quoted = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
    line += quoted ? L"\"" + WideFromUtf8(argument) + L"\"" : WideFromUtf8(argument);
  }
  return line;
}

std::string BinaryPath() {
  // The program's place in the build tree, seen from the tests' executable.
  std::wstring self(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()))) ==
         self.size()) {
    self.resize(self.size() * 2);
  }
  self.resize(length);
  std::wstring relative = WideFromUtf8(FTS_BINARY_FROM_TESTS);
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  const std::wstring joined = self.substr(0, self.find_last_of(L'\\') + 1) + relative;
  std::wstring full(32768, L'\0');
  length = GetFullPathNameW(joined.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  full.resize(length);
  return DisplayPath(full);
}

struct ChildProcess::Running {
  Handle process;
  Handle out;
  Handle err;
  std::string outText;
  std::string errText;
  std::thread errReader;
  bool finished = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const StartOptions& options)
    : running_(std::make_unique<Running>()) {
  std::string binary = BinaryPath();
  if (!options.inFolder.empty()) {
    const std::string copy = options.inFolder + "\\FernwickTreeSyncer.exe";
    if (!Exists(copy) && !CopyFileW(SystemPath(binary).c_str(), SystemPath(copy).c_str(), TRUE)) {
      Fail("cannot copy the program to", copy);
    }
    binary = copy;
  }
  std::wstring commandLine = L"\"" + WideFromUtf8(binary) + L"\"";
  if (!arguments.empty()) {
    commandLine += L" " + CommandLineTail(arguments);
  }

  // The child's ends are inherited, the test's own ends are not.
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle childOut;
  Handle childErr;
  if (!CreatePipe(running_->out.Out(), childOut.Out(), &inherited,
                  static_cast<DWORD>(std::max(options.outputPipeSize, 0)))) {
    Fail("cannot make a pipe", "");
  }
  SetHandleInformation(running_->out.Get(), HANDLE_FLAG_INHERIT, 0);
  if (options.discardErrors) {
    childErr.Reset(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherited, OPEN_EXISTING, 0, nullptr));
  } else {
    if (!CreatePipe(running_->err.Out(), childErr.Out(), &inherited, 0)) {
      Fail("cannot make a pipe", "");
    }
    SetHandleInformation(running_->err.Get(), HANDLE_FLAG_INHERIT, 0);
  }
  const Handle childIn(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherited, OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn.Get();
  startup.hStdOutput = childOut.Get();
  startup.hStdError = childErr.Get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(SystemPath(binary).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    Fail("cannot start", binary);
  }
  CloseHandle(process.hThread);
  running_->process.Reset(process.hProcess);
  // Standard error is read all along, so that it never fills up while the
  // test reads standard output.
  if (running_->err.Get() != nullptr) {
    running_->errReader = std::thread([running = running_.get()] {
      while (ReadSome(running->err.Get(), running->errText)) {
      }
    });
  }
}

ChildProcess::~ChildProcess() {
  if (!running_->finished) {
    TerminateProcess(running_->process.Get(), 1);
    WaitForSingleObject(running_->process.Get(), INFINITE);
  }
  running_->out.Reset();
  if (running_->errReader.joinable()) {
    running_->errReader.join();
  }
}

bool ChildProcess::ReadOutputUntil(std::string_view text, std::size_t times) {
  while (Occurrences(running_->outText, text) < times) {
    if (running_->out.Get() == nullptr || !ReadSome(running_->out.Get(), running_->outText)) {
      running_->out.Reset();
      return false;
    }
  }
  return true;
}

const std::string& ChildProcess::Output() const {
  return running_->outText;
}

ProcessResult ChildProcess::Finish() {
  while (running_->out.Get() != nullptr && ReadSome(running_->out.Get(), running_->outText)) {
  }
  running_->out.Reset();
  if (running_->errReader.joinable()) {
    running_->errReader.join();
  }
  WaitForSingleObject(running_->process.Get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(running_->process.Get(), &code);
  running_->finished = true;
  ProcessResult result;
  result.exitCode = static_cast<int>(code);
  result.out = std::move(running_->outText);
  result.err = std::move(running_->errText);
  return result;
}

}  // namespace fts::test
