#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "inventory/portable_names.h"

namespace fts {
namespace {

TEST(PortableNamesTest, RefusedCharactersBecomeTheirLookAlikes) {
  EXPECT_EQ(PortableName("plain name.txt"), "plain name.txt");
  EXPECT_EQ(PortableName("what?.txt"), "what\uFF1F.txt");
  EXPECT_EQ(PortableName("a\"*:<>?\\|b"), "a\uFF02\uFF0A\uFF1A\uFF1C\uFF1E\uFF1F\uFF3C\uFF5Cb");
  EXPECT_EQ(PortableName("tab\there\x7f"), "tab\u2409here\u2421");
  // Only the final dot or blank: "a.b" and "a b" stay.
  EXPECT_EQ(PortableName("a.b."), "a.b\uFF0E");
  EXPECT_EQ(PortableName("a b "), "a b\u2420");
  EXPECT_EQ(PortableName("..."), "..\uFF0E");
  EXPECT_EQ(PortablePath("dir?/sub./f:1", '/'), "dir\uFF1F/sub\uFF0E/f\uFF1A1");
}

TEST(PortableNamesTest, NamesThatHoldLookAlikesStayOneToOne) {
  // A source may hold both "what?" and "what？": each gets a name of its own.
  const std::vector<std::string> names = {
      "what?",        "what\uFF1F",   "what\u201B\uFF1F", "\u201B",
      "\u201B\u201B", "end.",         "end\uFF0E",        "x\u2409",
      "x\t",          "\u201B\u2420", "caf\u00E9",        "\xff\xfe broken utf-8",
  };
  std::set<std::string> written;
  for (const std::string& name : names) {
    const std::string mapped = PortableName(name);
    EXPECT_TRUE(written.insert(mapped).second) << name;
    EXPECT_EQ(NameFromPortable(mapped), name);
  }
  EXPECT_EQ(PortableName("caf\u00E9"), "caf\u00E9");
}

TEST(PortableNamesTest, RandomNamesMapBackAndHoldNothingRefused) {
  std::mt19937 random(7);
  const std::string alphabet = std::string("ab.? :\"|\\\x01\x7f") + "\uFF1F\u201B\u2420\uFF0E";
  for (int round = 0; round < 2000; ++round) {
    std::string name;
    const int length = static_cast<int>(random() % 8);
    for (int i = 0; i < length; ++i)
      name += alphabet[random() % alphabet.size()];
    const std::string mapped = PortableName(name);
    ASSERT_EQ(NameFromPortable(mapped), name);
    EXPECT_EQ(mapped.find_first_of("\"*:<>?\\|\x01\x7f"), std::string::npos) << mapped;
    EXPECT_TRUE(mapped.empty() || (mapped.back() != '.' && mapped.back() != ' ')) << mapped;
  }
}

TEST(PortableNamesTest, OnlyPortableIsAValue) {
  NameMapping mapping = NameMapping::kAsIs;
  EXPECT_FALSE(ParseNameMapping("Portable", mapping));
  EXPECT_FALSE(ParseNameMapping("", mapping));
  EXPECT_EQ(mapping, NameMapping::kAsIs);
  EXPECT_TRUE(ParseNameMapping("portable", mapping));
  EXPECT_EQ(mapping, NameMapping::kPortable);
}

}  // namespace
}  // namespace fts
