#include "platform/status.h"

namespace fts {

std::string_view RunError::KindText() const {
  return kind_ == Kind::kConvert ? "Convert error" : "Inventory I/O error";
}

void ThrowRunError(const Status& failure, RunError::Kind kind) {
  throw RunError(kind, failure.Message());
}

}  // namespace fts
