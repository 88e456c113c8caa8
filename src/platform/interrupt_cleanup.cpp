#include "platform/interrupt_cleanup.h"

#include <csignal>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include <windows.h>

#include "platform/windows_paths.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace fts {
namespace {

constexpr int kSlotCount = static_cast<int>(CleanupSlot::kCopyTemporary) + kMostActionWorkers;

thread_local int tWorker = 0;

// The report an interrupt writes: a buffer that only the registering thread
// replaces, with interrupts held off.
struct InterruptReport {
  std::string path;
  std::string temporary;
  std::string text;
  std::size_t exitCodeAt = 0;
};
InterruptReport* gReport = nullptr;

// Writes the three digits of the exit code into the report's text, in place
// (safe in a signal handler), and gives the text.
const std::string& WithExitCode(InterruptReport& report, int exitCode) {
  std::string& text = report.text;
  if (report.exitCodeAt + 3 <= text.size()) {
    text[report.exitCodeAt] = static_cast<char>('0' + exitCode / 100);
    text[report.exitCodeAt + 1] = static_cast<char>('0' + exitCode / 10 % 10);
    text[report.exitCodeAt + 2] = static_cast<char>('0' + exitCode % 10);
  }
  return text;
}

int SlotIndex(CleanupSlot slot) {
  const int i = static_cast<int>(slot);
  return slot == CleanupSlot::kCopyTemporary ? i + tWorker : i;
}

#ifdef _WIN32
// The paths in the \\?\ form, as long as the system takes them.
constexpr std::size_t kMaxPath = 32768;

// Written by the main flow and read by the control handler, each holding
// the lock below.
wchar_t gPaths[kSlotCount][kMaxPath];
bool gPathSet[kSlotCount];

// A hold-off takes this lock shared, the control handler takes it
// exclusively: the handler waits until every hold-off in force has ended,
// which it will, since nothing inside a hold-off waits for the handler.
// While the handler waits, a hold-off about to start waits behind it. Each
// thread counts its own hold-offs and takes the lock for the outermost one
// only: a nested shared take behind a waiting handler would wait for ever.
SRWLOCK gHoldOffLock = SRWLOCK_INIT;
thread_local int tHoldOffDepth = 0;

void DeleteRegisteredFiles() {
  for (int i = 0; i < kSlotCount; ++i) {
    if (gPathSet[i]) {
      // A copy's temporary file may already carry the source's read-only
      // attribute; the file is this run's own.
      SetFileAttributesW(gPaths[i], FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(gPaths[i]);
    }
  }
}

void WriteReport(int exitCode) {
  if (gReport == nullptr) return;
  const std::string& text = WithExitCode(*gReport, exitCode);
  const std::wstring temporary = SystemPath(gReport->temporary);
  const HANDLE out = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(out);
  if (!wrote || written != text.size() ||
      !MoveFileExW(temporary.c_str(), SystemPath(gReport->path).c_str(),
                   MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temporary.c_str());
  }
}

// Runs on a thread of its own while the main flow goes on. It ends the
// process at once, running none of the program's or the libraries' exit
// code, which could wait for a lock that a stopped thread holds.
BOOL WINAPI OnConsoleControl(DWORD type) {
  // Ctrl-C is signal 2, Ctrl-Break and the closing of the console are
  // reported like SIGTERM.
  const int exitCode = type == CTRL_C_EVENT ? 128 + 2 : 128 + 15;
  InterruptCleanup cleanup;
  WriteReport(exitCode);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  return TRUE;
}
#else
constexpr std::size_t kMaxPath = 4096;

// Written by the main flow with interrupts held off, read by the handler.
char gPaths[kSlotCount][kMaxPath];
volatile std::sig_atomic_t gPathSet[kSlotCount];

void DeleteRegisteredFiles() {
  for (int i = 0; i < kSlotCount; ++i) {
    if (gPathSet[i]) unlink(gPaths[i]);
  }
}

// Only calls that are safe in a signal handler.
void WriteReport(int exitCode) {
  if (gReport == nullptr) return;
  const std::string& text = WithExitCode(*gReport, exitCode);
  const char* temporary = gReport->temporary.c_str();
  const int out = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) return;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(out, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (close(out) != 0 || done != text.size() || rename(temporary, gReport->path.c_str()) != 0) {
    unlink(temporary);
  }
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signalNumber) {
  InterruptCleanup cleanup;
  WriteReport(128 + signalNumber);
  _exit(128 + signalNumber);
}
#endif

}  // namespace

void SetInterruptCleanupWorker(int worker) {
  if (worker >= 0 && worker < kMostActionWorkers) tWorker = worker;
}

void SetInterruptReport(const std::string& path, const std::string& text, std::size_t exitCodeAt) {
  InterruptReport* report = path.empty() ? nullptr : new InterruptReport;
  if (report != nullptr) {
    report->path = path;
    report->temporary = path + ".tmp-interrupted";
    report->text = text;
    report->exitCodeAt = exitCodeAt;
  }
  InterruptReport* old = nullptr;
  {
    InterruptHoldOff holdOff;
    old = gReport;
    gReport = report;
  }
  delete old;
}

#ifdef _WIN32
void SetInterruptCleanupPath(CleanupSlot slot, const std::string& path) {
  const int i = SlotIndex(slot);
  const std::wstring system = path.empty() ? std::wstring() : SystemPath(path);
  InterruptHoldOff holdOff;
  gPathSet[i] = false;
  if (system.empty() || system.size() >= kMaxPath) return;
  std::wmemcpy(gPaths[i], system.c_str(), system.size() + 1);
  gPathSet[i] = true;
}

void InstallInterruptHandlers() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void KeepInterruptsAway() {}

InterruptHoldOff::InterruptHoldOff() {
  if (tHoldOffDepth++ == 0) AcquireSRWLockShared(&gHoldOffLock);
}

InterruptHoldOff::~InterruptHoldOff() {
  if (--tHoldOffDepth == 0) ReleaseSRWLockShared(&gHoldOffLock);
}

InterruptCleanup::InterruptCleanup() {
  AcquireSRWLockExclusive(&gHoldOffLock);
  DeleteRegisteredFiles();
}

InterruptCleanup::~InterruptCleanup() {
  ReleaseSRWLockExclusive(&gHoldOffLock);
}
#else
void SetInterruptCleanupPath(CleanupSlot slot, const std::string& path) {
  // The handler sees no path or a whole one.
  const int i = SlotIndex(slot);
  gPathSet[i] = 0;
  if (path.empty() || path.size() >= kMaxPath) return;
  std::memcpy(gPaths[i], path.c_str(), path.size() + 1);
  gPathSet[i] = 1;
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals)
    sigaddset(&action.sa_mask, s);
  for (int s : kSignals)
    sigaction(s, &action, nullptr);
  // A closed standard output must not kill the run before its clean-up.
  std::signal(SIGPIPE, SIG_IGN);
}

void KeepInterruptsAway() {
  sigset_t block;
  sigemptyset(&block);
  for (int s : kSignals)
    sigaddset(&block, s);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
}

InterruptHoldOff::InterruptHoldOff() {
  static_assert(sizeof(sigset_t) <= sizeof(savedMask_));
  sigset_t block;
  sigemptyset(&block);
  for (int s : kSignals)
    sigaddset(&block, s);
  sigprocmask(SIG_BLOCK, &block, reinterpret_cast<sigset_t*>(savedMask_));
}

InterruptHoldOff::~InterruptHoldOff() {
  sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(savedMask_), nullptr);
}

// The signal handler runs on a thread that is in no hold-off, since a
// hold-off blocks the signals there: there is nothing to wait for.
InterruptCleanup::InterruptCleanup() {
  DeleteRegisteredFiles();
}

InterruptCleanup::~InterruptCleanup() = default;
#endif

}  // namespace fts
