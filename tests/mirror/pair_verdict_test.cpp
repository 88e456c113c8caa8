// How pairs are judged from their facts: what a copy must mend, what can be
// set in place, and when two hard-link groups are the same.
#include "mirror/pair_verdict.h"

#include <gtest/gtest.h>

#include "inventory/entry_facts.h"

namespace fts {
namespace {

const std::unordered_map<std::string, std::string> kNoGroups;

TEST(PairVerdictTest, TheCopyPartNeedsACopyAndTheMendPartIsSetInPlace) {
  const LinkLeaders none{kNoGroups, kNoGroups};
  EXPECT_EQ(JudgeFacts("m644||fs3t2024/05/01", "m644||fs3t2024/05/01", "a", none),
            PairVerdict::kIdentical);
  EXPECT_EQ(JudgeFacts("m600||fs3t2024/05/01", "m644||fs3t2024/05/01", "a", none),
            PairVerdict::kMend);
  EXPECT_EQ(JudgeFacts("m600||fs4t2024/05/01", "m644||fs3t2024/05/01", "a", none),
            PairVerdict::kDiffer);
  // A kept link against a file of the same name, and a link's new text.
  EXPECT_EQ(JudgeFacts("||la.txt", "||fs3", "a", none), PairVerdict::kDiffer);
  EXPECT_EQ(JudgeFacts("||la.txt", "||lb.txt", "a", none), PairVerdict::kDiffer);
  // A link's text may hold the separator.
  EXPECT_EQ(SplitFacts("m1|g|la|b").copy, "la|b");
  EXPECT_TRUE(FactsOfRegularFile("||fs1"));
  EXPECT_FALSE(FactsOfRegularFile("||la"));
}

TEST(PairVerdictTest, HardLinkGroupsAgreeWhenTheirLeadersAgree) {
  // Source: a and b share an inode; destination: a and b are two files.
  const std::unordered_map<std::string, std::string> sourceGroups = {{"1:10", "a"}};
  const LinkLeaders separate{sourceGroups, kNoGroups};
  // The leader needs no other name: its copy stands.
  EXPECT_EQ(JudgeFacts("|1:10|f", "||f", "a", separate), PairVerdict::kIdentical);
  // The other name must become a link to it.
  EXPECT_EQ(JudgeFacts("|1:10|f", "||f", "b", separate), PairVerdict::kDiffer);

  // Destination linked the same way, with other identities.
  const std::unordered_map<std::string, std::string> destinationGroups = {{"2:77", "a"}};
  const LinkLeaders same{sourceGroups, destinationGroups};
  EXPECT_EQ(JudgeFacts("|1:10|f", "|2:77|f", "b", same), PairVerdict::kIdentical);
  // A destination file linked into a group the source does not have.
  EXPECT_EQ(JudgeFacts("||f", "|2:77|f", "b", same), PairVerdict::kDiffer);
}

}  // namespace
}  // namespace fts
