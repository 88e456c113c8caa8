// How a call to the system reports failure: a Status names the operation,
// the path it was made on, and the system's own text for the cause. Each
// platform file makes its errors in one place, from the system's error code.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace fts {

class Status {
 public:
  // kNoSpace: a full disk or an exhausted quota, a cause that other writes
  // under way may have brought about and that may be gone once they end.
  enum class Kind { kOther, kNoSpace };

  static Status Ok() { return {}; }
  // `operation` is a verb ("open", "delete"...), `cause` the system's text
  // (for example "Permission denied").
  static Status Error(std::string_view operation, std::string path, std::string cause,
                      Kind kind = Kind::kOther) {
    Status status;
    status.ok_ = false;
    status.noSpace_ = kind == Kind::kNoSpace;
    status.operation_ = operation;
    status.path_ = std::move(path);
    status.cause_ = std::move(cause);
    return status;
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }

  const std::string& Operation() const { return operation_; }
  const std::string& Path() const { return path_; }
  // The system's text alone: what an action's failure line shows.
  const std::string& Cause() const { return cause_; }
  bool IsNoSpace() const { return noSpace_; }
  // "cannot <operation> <path>: <cause>".
  std::string Message() const { return "cannot " + operation_ + " " + path_ + ": " + cause_; }

 private:
  bool ok_ = true;
  bool noSpace_ = false;
  std::string operation_;
  std::string path_;
  std::string cause_;
};

// A value, or the Status that says why there is none.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}            // NOLINT: a value converts
  Result(Status failure) : status_(std::move(failure)) {}  // NOLINT: so does a failure

  bool ok() const { return status_.ok(); }
  explicit operator bool() const { return status_.ok(); }
  const Status& status() const { return status_; }

  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }
  T& value() { return value_; }

 private:
  T value_{};
  Status status_;
};

// The error that ends a run: no phase handles it; the run driver cleans up,
// reports it on standard output and exits with code 1.
class RunError : public std::runtime_error {
 public:
  enum class Kind { kInventoryIo, kConvert };
  RunError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }
  // "Inventory I/O error" or "Convert error".
  std::string_view KindText() const;

 private:
  Kind kind_;
};

// Ends the run with `failure` (an inventory that cannot be read, written,
// opened or closed, or whose contents make no sense).
[[noreturn]] void ThrowRunError(const Status& failure,
                                RunError::Kind kind = RunError::Kind::kInventoryIo);

}  // namespace fts
