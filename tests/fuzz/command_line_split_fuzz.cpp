// The Windows command-line splitter with any line.
//
// Input: a selector byte for the lead bytes of double-byte characters ('0'
// none, as for UTF-8; '1' those of a 0x81-0x9F, 0xE0-0xFC code page; '2'
// every byte from 0x80), then the command line.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/command_line_split.h"

namespace {

using Args = std::vector<std::string>;

bool NoLeadByte(unsigned char) {
  return false;
}
bool CodePageLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool HighLeadByte(unsigned char c) {
  return c >= 0x80;
}

bool IsBlank(unsigned char c) {
  return c <= ' ';
}

Args SingleByte(std::string_view line) {
  return fts::SplitCommandLine(line, NoLeadByte);
}

// The maximal runs of bytes above the blank.
Args Words(std::string_view line) {
  Args words;
  std::string word;
  for (unsigned char c : line) {
    if (IsBlank(c)) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// The arguments as a command line: one blank between them, and those that
// hold a blank or a control byte in double quotes.
std::string Quoted(const Args& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (std::any_of(arg.begin(), arg.end(), [](char c) { return IsBlank(c); })) {
      line += '"' + arg + '"';
    } else {
      line += arg;
    }
  }
  return line;
}

void CheckSingleByte(std::string_view line) {
  const Args args = SingleByte(line);

  // The quotes are dropped; every argument stands for bytes of the line.
  std::size_t total = 0;
  for (const std::string& arg : args) {
    FUZZ_CHECK(arg.find('"') == std::string::npos);
    total += arg.size();
  }
  FUZZ_CHECK(total <= line.size());

  // Without double quotes, blanks and control bytes alone separate.
  const bool hasQuote = line.find('"') != std::string_view::npos;
  if (!hasQuote) FUZZ_CHECK(args == Words(line));

  // A pair of double quotes where an argument begins is not counted, in
  // front of the line as after it (when the line closes its quotes).
  FUZZ_CHECK(SingleByte("\"\" " + std::string(line)) == args);
  FUZZ_CHECK(SingleByte("\"\"" + std::string(line)) == args);
  if (std::count(line.begin(), line.end(), '"') % 2 == 0) {
    FUZZ_CHECK(SingleByte(std::string(line) + " \"\" \"\"") == args);
  }

  // The arguments that are not empty, quoted where they hold blanks and
  // joined, split into themselves again.
  Args nonEmpty;
  for (const std::string& arg : args) {
    if (!arg.empty()) nonEmpty.push_back(arg);
  }
  FUZZ_CHECK(SingleByte(Quoted(nonEmpty)) == nonEmpty);

  // Arguments of any bytes but double quotes, made from the line's pieces
  // between line breaks, the same.
  Args pieces;
  for (std::string_view piece : fts::fuzz::SplitAt(line, '\n')) {
    std::string arg;
    for (char c : piece) {
      if (c != '"') arg += c;
    }
    if (!arg.empty()) pieces.push_back(arg);
  }
  FUZZ_CHECK(SingleByte(Quoted(pieces)) == pieces);
}

void CheckDoubleByte(std::string_view line, bool (*isLeadByte)(unsigned char)) {
  const Args args = fts::SplitCommandLine(line, isLeadByte);
  std::size_t total = 0;
  for (const std::string& arg : args)
    total += arg.size();
  FUZZ_CHECK(total <= line.size());
  // A line without lead bytes splits as in a single-byte code page.
  if (std::none_of(line.begin(), line.end(),
                   [&](char c) { return isLeadByte(static_cast<unsigned char>(c)); })) {
    FUZZ_CHECK(args == SingleByte(line));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fts::fuzz::AsText(data, size);
  switch (fts::fuzz::TakeSelector(input, 3)) {
    case 0:
      CheckSingleByte(input);
      break;
    case 1:
      CheckDoubleByte(input, CodePageLeadByte);
      break;
    default:
      CheckDoubleByte(input, HighLeadByte);
      break;
  }
  return 0;
}
