#include "platform/command_line_split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fts {
namespace {

using Args = std::vector<std::string>;

Args SingleByte(std::string_view line) {
  return SplitCommandLine(line, [](unsigned char) { return false; });
}

// Lead bytes as in a double-byte code page of the 0x81-0x9F, 0xE0-0xFC kind.
Args DoubleByte(std::string_view line) {
  return SplitCommandLine(
      line, [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); });
}

TEST(SplitCommandLineTest, BlanksAndControlCharactersSeparate) {
  EXPECT_EQ(SingleByte("prog -n  src\tdst"), (Args{"prog", "-n", "src", "dst"}));
  EXPECT_EQ(SingleByte("  prog\x01"
                       "a\x1f"
                       "b\r\n"),
            (Args{"prog", "a", "b"}));
  EXPECT_EQ(SingleByte(""), Args{});
  EXPECT_EQ(SingleByte(" \t "), Args{});
}

// A NUL byte used to end the whole line, so a quoted argument holding one
// lost its rest and every argument after it.
TEST(SplitCommandLineTest, NulByteSeparatesLikeOtherControlCharacters) {
  using namespace std::string_literals;
  EXPECT_EQ(SingleByte("prog a\0b c"s), (Args{"prog", "a", "b", "c"}));
  EXPECT_EQ(SingleByte("prog \"a\0b\" c"s), (Args{"prog", "a\0b"s, "c"}));
  EXPECT_EQ(SingleByte("\0\0prog\0"s), Args{"prog"});
  EXPECT_EQ(SingleByte("prog \"\"\0x"s), (Args{"prog", "x"}));
  // A lead byte before a NUL stands alone.
  EXPECT_EQ(DoubleByte("prog \"a\x83\0b\" c"s), (Args{"prog", "a\x83\0b"s, "c"}));
  EXPECT_EQ(DoubleByte("prog a\x83\0b"s), (Args{"prog", "a\x83", "b"}));
}

TEST(SplitCommandLineTest, QuotedStretchKeepsBlanksAndDropsTheQuotes) {
  EXPECT_EQ(SingleByte("prog \"a b\" c\"d e\"f"), (Args{"prog", "a b", "cd ef"}));
  EXPECT_EQ(SingleByte("prog \"runs to the end"), (Args{"prog", "runs to the end"}));
  EXPECT_EQ(SingleByte("prog a\"\"b"), (Args{"prog", "ab"}));
}

TEST(SplitCommandLineTest, BackslashIsAnOrdinaryCharacter) {
  EXPECT_EQ(SingleByte(R"(prog "C:\My Dir\" D:\dst\)"),
            (Args{"prog", R"(C:\My Dir\)", R"(D:\dst\)"}));
  EXPECT_EQ(SingleByte(R"(prog a\"b c\")"), (Args{"prog", R"(a\b c\)"}));
}

TEST(SplitCommandLineTest, EmptyPairOfQuotesIsNotAnArgument) {
  EXPECT_EQ(SingleByte("prog \"\" src \"\" dst \"\""), (Args{"prog", "src", "dst"}));
  EXPECT_EQ(SingleByte("prog \"\"\"\"src"), (Args{"prog", "src"}));
}

TEST(SplitCommandLineTest, SecondByteOfADoubleByteCharacterBelongsToIt) {
  // 0x5C (backslash) and 0x22 (double quote) as second bytes.
  EXPECT_EQ(DoubleByte("prog \"C:\\\x95\x5C\" x"), (Args{"prog", "C:\\\x95\x5C", "x"}));
  EXPECT_EQ(DoubleByte("prog \"a\x83\x22 b\" c"), (Args{"prog", "a\x83\x22 b", "c"}));
  EXPECT_EQ(DoubleByte("prog a\x83\x20"
                       "b c"),
            (Args{"prog",
                  "a\x83\x20"
                  "b",
                  "c"}));
  // The same bytes read one by one.
  EXPECT_EQ(SingleByte("prog a\x83\x20"
                       "b c"),
            (Args{"prog", "a\x83", "b", "c"}));
  // A lead byte that ends the line stands alone.
  EXPECT_EQ(DoubleByte("prog a\x83"), (Args{"prog", "a\x83"}));
}

}  // namespace
}  // namespace fts
