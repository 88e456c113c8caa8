#include "text/UnitStrManipulator.h"

namespace fts {

std::string TStrManipulatorClass::TextAfter(std::string_view pattern, std::string_view text) const {
  // An empty pattern is never found.
  const auto found = pattern.empty() ? std::string_view::npos : text.find(pattern);
  if (found == std::string_view::npos) return std::string(text);
  return std::string(text.substr(found + pattern.size()));
}

}  // namespace fts
