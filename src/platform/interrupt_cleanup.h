// When the user interrupts a run (Ctrl-C, SIGTERM), the files this run made
// for itself must still go. The handler can only do what is safe inside a
// signal handler, so the paths are kept ready for it here.
#pragma once

#include <string>

namespace fts {

enum class CleanupSlot { kSourceInventory, kDestinationInventory, kCopyTemporary, kCount };

// Registers the file that an interrupt must delete; an empty path clears it.
void SetInterruptCleanupPath(CleanupSlot slot, const std::string& path);

// From here on an interrupt deletes the registered files and ends the
// process with 128 + the signal number.
void InstallInterruptHandlers();

// Holds interrupts back while a file is created and registered, so that no
// interrupt falls between the two.
class InterruptHoldOff {
 public:
  InterruptHoldOff();
  ~InterruptHoldOff();
  InterruptHoldOff(const InterruptHoldOff&) = delete;
  InterruptHoldOff& operator=(const InterruptHoldOff&) = delete;

 private:
  alignas(16) unsigned char savedMask_[128];
};

}  // namespace fts
