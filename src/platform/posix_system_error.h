// Every failure of the POSIX platform is made here, from the system's error
// number.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace fts {

inline std::string ErrorText(int error) {
  return std::strerror(error);
}

// A failure of `operation` on `path`, by default with the error number the
// failed call left.
inline Status SystemError(std::string_view operation, const std::string& path, int error = errno) {
  const bool noSpace = error == ENOSPC || error == EDQUOT;
  return Status::Error(operation, path, ErrorText(error),
                       noSpace ? Status::Kind::kNoSpace : Status::Kind::kOther);
}

}  // namespace fts
