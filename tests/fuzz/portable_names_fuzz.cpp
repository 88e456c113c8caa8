// Names written for a destination that refuses some characters: the name
// written holds none of them, and it maps back to exactly the name it came
// from, so two source names never meet in one destination name.
//
// Input: a name, any bytes but the separator; a second name after the first
// separator, compared with the first.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "inventory/portable_names.h"

namespace {

using fts::fuzz::AsText;

void CheckWritable(std::string_view written) {
  FUZZ_CHECK(written.find_first_of("\"*:<>?\\|") == std::string_view::npos);
  for (char c : written) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
  }
  FUZZ_CHECK(written.empty() || (written.back() != '.' && written.back() != ' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = AsText(data, size);
  const auto separator = input.find('/');
  const std::string_view first = input.substr(0, separator);
  const std::string written = fts::PortableName(first);
  CheckWritable(written);
  FUZZ_CHECK(fts::NameFromPortable(written) == first);
  // Mapped twice, it still comes back.
  FUZZ_CHECK(fts::NameFromPortable(fts::NameFromPortable(fts::PortableName(written))) == first);
  if (separator != std::string_view::npos) {
    const std::string_view second = input.substr(separator + 1);
    FUZZ_CHECK((fts::PortableName(second) == written) == (second == first));
    // A whole path maps name by name.
    FUZZ_CHECK(fts::PathFromPortable(fts::PortablePath(input, '/'), '/') == input);
  }
  return 0;
}
