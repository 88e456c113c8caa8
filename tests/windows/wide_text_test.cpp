#include "platform/wide_text.h"

#include <gtest/gtest.h>

namespace fts {
namespace {

TEST(WideTextTest, RoundTripsEveryKindOfCharacter) {
  const std::string texts[] = {
      "",
      "plain.txt",
      "caf\xC3\xA9",                           // é: two bytes
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",  // Japanese: three bytes each
      "\xF0\x9F\x98\x80 smile",                // an emoji: a surrogate pair
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(Utf8FromWide(WideFromUtf8(text)), text);
  }
  EXPECT_EQ(WideFromUtf8("\xF0\x9F\x98\x80"), std::wstring(L"\xD83D\xDE00"));
  EXPECT_EQ(WideFromUtf8("\xE6\x97\xA5"), std::wstring(L"\x65E5"));
}

TEST(WideTextTest, ALoneSurrogateOfAWindowsNameComesBack) {
  const std::wstring name = L"a\xD800z\xDC01";
  const std::string utf8 = Utf8FromWide(name);
  EXPECT_EQ(utf8, "a\xED\xA0\x80z\xED\xB0\x81");
  EXPECT_EQ(WideFromUtf8(utf8), name);
}

TEST(WideTextTest, MalformedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(WideFromUtf8("a\xFF"
                         "b"),
            std::wstring(L"a\xFFFD"
                         L"b"));
  EXPECT_EQ(WideFromUtf8("\xE6\x97"), std::wstring(L"\xFFFD\xFFFD"));
  EXPECT_EQ(WideFromUtf8("\xC0\x80"), std::wstring(L"\xFFFD\xFFFD"));  // overlong
}

}  // namespace
}  // namespace fts
