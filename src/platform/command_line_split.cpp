#include "platform/command_line_split.h"

namespace fts {

std::vector<std::string> SplitCommandLine(std::string_view line,
                                          const std::function<bool(unsigned char)>& isLeadByte) {
  std::vector<std::string> arguments;
  // Only the end of the text ends the line: a NUL byte in it is a control
  // character like the others.
  const std::size_t end = line.size();
  std::size_t p = 0;
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(line[i]); };
  auto isBlank = [&](std::size_t i) { return at(i) <= ' '; };
  auto copyCharacter = [&](std::string& out) {
    if (isLeadByte(at(p)) && p + 1 < end && at(p + 1) != 0) out.push_back(line[p++]);
    out.push_back(line[p++]);
  };

  for (;;) {
    for (;;) {
      while (p < end && isBlank(p))
        ++p;
      if (p + 1 < end && at(p) == '"' && at(p + 1) == '"') {
        p += 2;
      } else {
        break;
      }
    }
    if (p == end) break;

    std::string argument;
    while (p < end && !isBlank(p)) {
      if (at(p) == '"') {
        ++p;
        while (p < end && at(p) != '"')
          copyCharacter(argument);
        if (p < end) ++p;
      } else {
        copyCharacter(argument);
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace fts
