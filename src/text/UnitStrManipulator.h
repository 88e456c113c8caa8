#pragma once

#include <string>
#include <string_view>

namespace fts {

class TStrManipulatorClass {
 public:
  // The text that follows the first occurrence of `pattern` in `text`: the
  // whole text when the pattern is absent, empty when it ends the text.
  std::string TextAfter(std::string_view pattern, std::string_view text) const;
};

}  // namespace fts
