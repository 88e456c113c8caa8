// The errors that end a run: nothing in the phases handles them; the run
// driver cleans up, reports them on standard output and exits with code 1.
#pragma once

#include <stdexcept>
#include <string>

namespace fts {

class RunError : public std::runtime_error {
 public:
  RunError(std::string kind, const std::string& message)
      : std::runtime_error(message), kind_(std::move(kind)) {}
  const std::string& Kind() const { return kind_; }

 private:
  std::string kind_;
};

// Reading or writing an inventory file failed.
class InventoryIoError : public RunError {
 public:
  explicit InventoryIoError(const std::string& message)
      : RunError("Inventory I/O error", message) {}
};

// A Depth field is not a decimal number.
class ConvertError : public RunError {
 public:
  explicit ConvertError(const std::string& message) : RunError("Convert error", message) {}
};

// An inventory could not be opened to write its marks in place.
class MarkOpenError : public RunError {
 public:
  explicit MarkOpenError(const std::string& message) : RunError("File open error", message) {}
};

}  // namespace fts
