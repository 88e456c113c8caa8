// On Windows a program receives its command line whole and splits it
// itself; POSIX hands the arguments over already split.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fts {

// Splits a Windows command line: blanks and control characters separate
// arguments; a double quote opens a stretch, running to the next double
// quote or the end, in which blanks belong to the argument; the quotes are
// dropped; a backslash is an ordinary character; where an argument would
// begin, a pair of double quotes is skipped. Only the end of the text ends
// the line: a NUL byte in it is a control character like the others.
// `isLeadByte` tells the first byte of a double-byte character, which is
// stepped over with its second byte (unless that is a NUL or missing). The
// first argument is the program's own path.
std::vector<std::string> SplitCommandLine(std::string_view commandLine,
                                          const std::function<bool(unsigned char)>& isLeadByte);

}  // namespace fts
