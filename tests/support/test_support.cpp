// The parts of the test helpers that are the same on every system.
#include "support/test_support.h"

#include <algorithm>
#include <map>

namespace fts::test {

ProcessResult RunBinary(const std::vector<std::string>& arguments, const std::string& inFolder) {
  StartOptions options;
  options.inFolder = inFolder;
  return ChildProcess(arguments, options).Finish();
}

bool StartsWithLogStamp(std::string_view line, std::string_view timeSeparator) {
  // "YYYY/MM/DD HH:MM:SS " with its month, day and time in range.
  std::size_t at = 0;
  auto number = [&](std::size_t digits, int& value) {
    if (line.size() < at + digits) return false;
    value = 0;
    for (std::size_t i = 0; i < digits; ++i, ++at) {
      if (line[at] < '0' || line[at] > '9') return false;
      value = value * 10 + (line[at] - '0');
    }
    return true;
  };
  auto text = [&](std::string_view expected) {
    if (line.substr(at, expected.size()) != expected) return false;
    at += expected.size();
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  return number(4, year) && text("/") && number(2, month) && text("/") && number(2, day) &&
         text(" ") && number(2, hour) && text(timeSeparator) && number(2, minute) &&
         text(timeSeparator) && number(2, second) && text(" ") && month >= 1 && month <= 12 &&
         day >= 1 && day <= 31 && hour <= 23 && minute <= 59 && second <= 59;
}

std::vector<std::string> WithoutStamps(const std::string& out, std::string_view timeSeparator) {
  const std::size_t stampLength = 18 + 2 * timeSeparator.size();
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < out.size();) {
    std::size_t end = out.find(kConsoleLineEnd, start);
    if (end == std::string::npos) end = out.size();
    const std::string_view line(out.data() + start, end - start);
    lines.emplace_back(StartsWithLogStamp(line, timeSeparator) ? line.substr(stampLength) : line);
    start = end + kConsoleLineEnd.size();
  }
  return lines;
}

bool EveryLineEndsInCrLf(std::string_view out) {
  if (!out.ends_with("\r\n")) return false;
  for (std::size_t at = out.find('\n'); at != std::string_view::npos; at = out.find('\n', at + 1)) {
    if (at == 0 || out[at - 1] != '\r') return false;
  }
  return true;
}

std::vector<std::string> InWalkOrder(const std::vector<std::string>& relPaths,
                                     std::mt19937& random) {
  std::map<std::string, std::vector<std::string>> children;  // by folder, "" for the root
  for (const auto& relPath : relPaths) {
    const auto slash = relPath.rfind('/');
    children[slash == std::string::npos ? "" : relPath.substr(0, slash)].push_back(relPath);
  }
  std::vector<std::string> ordered;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    if (!folder.empty()) ordered.push_back(folder);
    auto& inside = children[folder];
    std::shuffle(inside.begin(), inside.end(), random);
    pending.insert(pending.end(), inside.rbegin(), inside.rend());
  }
  return ordered;
}

std::size_t Occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

}  // namespace fts::test
