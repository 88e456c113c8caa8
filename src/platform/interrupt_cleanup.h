// When the user interrupts a run (Ctrl-C, SIGTERM), the files this run made
// for itself must still go. The handler can only do what is safe inside a
// signal handler, so the paths are kept ready for it here.
#pragma once

#include <cstddef>
#include <string>

namespace fts {

// The files an interrupt deletes: the two inventories, and the temporary
// file of the copy each action worker may have under way.
enum class CleanupSlot { kSourceInventory, kDestinationInventory, kCopyTemporary };

// The most action workers a run has at once.
inline constexpr int kMostActionWorkers = 64;

// Registers the file that an interrupt must delete; an empty path clears it.
// kCopyTemporary is the slot of the calling thread's worker. No interrupt
// falls into the change.
void SetInterruptCleanupPath(CleanupSlot slot, const std::string& path);

// The calling thread is action worker `worker` (0 to kMostActionWorkers - 1;
// a thread that never calls this is worker 0).
void SetInterruptCleanupWorker(int worker);

// The report an interrupt writes before the process ends: `text` goes to
// `path` through a temporary name beside it, with the three characters at
// `exitCodeAt` replaced by 128 + the signal number. An empty path clears it.
void SetInterruptReport(const std::string& path, const std::string& text, std::size_t exitCodeAt);

// From here on an interrupt deletes the registered files, writes the
// report, and ends the process with 128 + the signal number.
void InstallInterruptHandlers();

// Keeps interrupts off the calling thread, so that they reach the thread
// that registers the files and the report (on POSIX systems; the control
// handler of Windows has a thread of its own).
void KeepInterruptsAway();

// Holds interrupts back while a file is created and registered, so that no
// interrupt falls between the two. Hold-offs nest. On POSIX systems the
// signals are blocked on the calling thread. On Windows the console control
// handler runs on a thread of its own: it waits until every hold-off in force,
// on any thread, has ended, and no new one starts once it waits.
class InterruptHoldOff {
 public:
  InterruptHoldOff();
  ~InterruptHoldOff();
  InterruptHoldOff(const InterruptHoldOff&) = delete;
  InterruptHoldOff& operator=(const InterruptHoldOff&) = delete;

 private:
  alignas(16) unsigned char savedMask_[128];
};

// What an interrupt does before the process ends, in the handler and in
// tests: on Windows it first waits until no hold-off is in force and keeps
// new ones from starting while it lasts; then it deletes the registered
// files. The handler ends the process inside it.
class InterruptCleanup {
 public:
  InterruptCleanup();
  ~InterruptCleanup();
  InterruptCleanup(const InterruptCleanup&) = delete;
  InterruptCleanup& operator=(const InterruptCleanup&) = delete;
};

}  // namespace fts
