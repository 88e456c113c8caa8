#include "platform/refused_name.h"

#include <vector>

namespace fts {

std::optional<std::string> RefusedNameCause(std::string_view name, std::string_view systemText,
                                            std::string_view folder) {
  const std::string where =
      folder.empty() ? "a name" : "the name of the folder " + std::string(folder);
  constexpr std::string_view kPrefix = "The destination file system does not accept ";
  std::vector<std::string> refused;
  bool control = false;
  bool beyondAscii = false;
  for (char c : std::string_view("\"*:<>?\\|")) {
    if (name.find(c) != std::string_view::npos) refused.push_back(std::string(1, c));
  }
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    control = control || byte < 0x20 || byte == 0x7F;
    beyondAscii = beyondAscii || byte >= 0x80;
  }
  if (control) refused.push_back("control characters");
  if (!name.empty() && name.back() == '.') refused.push_back("a dot at the end");
  if (!name.empty() && name.back() == ' ') refused.push_back("a blank at the end");
  if (refused.empty()) {
    if (!beyondAscii) return std::nullopt;
    return std::string(kPrefix) + "the characters beyond ASCII in " + where + " (" +
           std::string(systemText) + ")";
  }
  std::string list;
  for (std::size_t i = 0; i < refused.size(); ++i) {
    if (i != 0) list += i + 1 == refused.size() ? " and " : ", ";
    list += refused[i];
  }
  return std::string(kPrefix) + list + " in " + where + "; --names=portable writes look-alikes";
}

}  // namespace fts
