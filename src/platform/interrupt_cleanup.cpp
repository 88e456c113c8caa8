#include "platform/interrupt_cleanup.h"

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fts {
namespace {

constexpr int kSlotCount = static_cast<int>(CleanupSlot::kCount);
constexpr std::size_t kMaxPath = 4096;

// Written by the main flow with interrupts held off, read by the handler.
char gPaths[kSlotCount][kMaxPath];
volatile std::sig_atomic_t gPathSet[kSlotCount];

void DeleteRegisteredFiles() {
  for (int i = 0; i < kSlotCount; ++i) {
    if (gPathSet[i]) {
#ifdef _WIN32
      DeleteFileA(gPaths[i]);
#else
      unlink(gPaths[i]);
#endif
    }
  }
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD type) {
  DeleteRegisteredFiles();
  // Ctrl-C is signal 2, Ctrl-Break is reported like SIGTERM.
  ExitProcess(type == CTRL_C_EVENT ? 128 + 2 : 128 + 15);
  return TRUE;
}
#else
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signalNumber) {
  DeleteRegisteredFiles();
  _exit(128 + signalNumber);
}
#endif

}  // namespace

void SetInterruptCleanupPath(CleanupSlot slot, const std::string& path) {
  const int i = static_cast<int>(slot);
  gPathSet[i] = 0;
  if (path.empty() || path.size() >= kMaxPath) return;
  std::memcpy(gPaths[i], path.c_str(), path.size() + 1);
  gPathSet[i] = 1;
}

void InstallInterruptHandlers() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals)
    sigaddset(&action.sa_mask, s);
  for (int s : kSignals)
    sigaction(s, &action, nullptr);
  // A closed standard output must not kill the run before its clean-up.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

InterruptHoldOff::InterruptHoldOff() {
#ifndef _WIN32
  static_assert(sizeof(sigset_t) <= sizeof(savedMask_));
  sigset_t block;
  sigemptyset(&block);
  for (int s : kSignals)
    sigaddset(&block, s);
  sigprocmask(SIG_BLOCK, &block, reinterpret_cast<sigset_t*>(savedMask_));
#endif
}

InterruptHoldOff::~InterruptHoldOff() {
#ifndef _WIN32
  sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(savedMask_), nullptr);
#endif
}

}  // namespace fts
