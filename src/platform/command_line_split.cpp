#include "platform/command_line_split.h"

namespace fts {

std::vector<std::string> SplitCommandLine(std::string_view line,
                                          const std::function<bool(unsigned char)>& isLeadByte) {
  std::vector<std::string> arguments;
  std::size_t p = 0;
  auto at = [&](std::size_t i) -> unsigned char {
    return i < line.size() ? static_cast<unsigned char>(line[i]) : 0;
  };
  auto copyCharacter = [&](std::string& out) {
    if (isLeadByte(at(p)) && at(p + 1) != 0) {
      out.push_back(static_cast<char>(at(p++)));
    }
    out.push_back(static_cast<char>(at(p++)));
  };

  for (;;) {
    for (;;) {
      while (at(p) != 0 && at(p) <= ' ')
        ++p;
      if (at(p) == '"' && at(p + 1) == '"') {
        p += 2;
      } else {
        break;
      }
    }
    if (at(p) == 0) break;

    std::string argument;
    while (at(p) > ' ') {
      if (at(p) == '"') {
        ++p;
        while (at(p) != 0 && at(p) != '"')
          copyCharacter(argument);
        if (at(p) != 0) ++p;
      } else {
        copyCharacter(argument);
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace fts
