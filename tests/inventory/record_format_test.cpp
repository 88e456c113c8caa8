#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "inventory/record_format.h"
#include "text/UnitStrArray.h"

namespace fts {
namespace {

using namespace std::string_literals;

// Names that the record format could not carry as they are.
const std::vector<std::string> kAwkwardPaths = {
    "/s/a\",\"b",           "/s/ends\",",   "/s/line\nbreak",
    "/s/cr\rname",          "/s/tab\tname", "/s/\x01\x1f",
    "%%starts-with-marker", "%%",           "/s/\",\"/../../x",
    "/s/a\",\"%41\r\n",     "\",\"",        "/s/nul\0x"s,
};

// Names that need nothing: the record keeps them byte for byte.
const std::vector<std::string> kPlainPaths = {
    "",       "/s/a b/c.txt", "/s/quote\"only", "/s/comma,only",
    "/s/%41", "/s/100%",      "%x%%",           "\xe6\x97\xa5",
};

TEST(RecordEscapeTest, PlainPathsStandAsTheyAre) {
  for (const std::string& path : kPlainPaths) {
    EXPECT_FALSE(PathNeedsEscape(path)) << path;
    EXPECT_EQ(EscapeRecordPath(path), path);
    EXPECT_EQ(UnescapeRecordPath(path), path);
  }
}

TEST(RecordEscapeTest, AwkwardPathsRoundTripThroughARecord) {
  TStrArrayClass splitter;
  splitter.SetDelimiter(kFieldDelimiter);
  splitter.SetQuote("");
  for (const std::string& path : kAwkwardPaths) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(PathNeedsEscape(path));
    const std::string field = EscapeRecordPath(path);
    EXPECT_TRUE(field.starts_with(kEscapeMarker));
    EXPECT_EQ(field.find_first_of("\r\n"s + '\0'), std::string::npos);
    EXPECT_EQ(field.find(kFieldDelimiter), std::string::npos);
    EXPECT_EQ(UnescapeRecordPath(field), path);

    // As FullPath and RelPath of a record, the fields split back exactly.
    std::string record = "File" + std::string(kFieldDelimiter);
    AppendEscapedRecordPath(record, path);
    record += kFieldDelimiter;
    AppendEscapedRecordPath(record, path);
    record += std::string(kFieldDelimiter) + "0" + std::string(kFieldDelimiter) +
              std::string(kFieldDelimiter) + "1";
    splitter.Split(record);
    ASSERT_EQ(splitter.Count(), 6);
    EXPECT_EQ(UnescapeRecordPath(splitter.GetItem(1)), path);
    EXPECT_EQ(UnescapeRecordPath(splitter.GetItem(2)), path);
    EXPECT_EQ(splitter.GetItem(5), "1");
  }
}

// A real name may hold text that looks like an escape; it must never be
// read back as another name.
TEST(RecordEscapeTest, NamesThatLookEscapedDoNotCollide) {
  std::vector<std::string> paths = kAwkwardPaths;
  paths.insert(paths.end(), kPlainPaths.begin(), kPlainPaths.end());
  for (const std::string& path : kAwkwardPaths)
    paths.push_back(EscapeRecordPath(path));
  paths.insert(paths.end(), {"%%a%0Ab", "a\nb", "%%%25", "%", "%%41", "A"});

  std::set<std::string> fields;
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const std::string field = EscapeRecordPath(path);
    EXPECT_EQ(UnescapeRecordPath(field), path);
    fields.insert(field);
  }
  const std::set<std::string> distinct(paths.begin(), paths.end());
  EXPECT_EQ(fields.size(), distinct.size());
}

}  // namespace
}  // namespace fts
