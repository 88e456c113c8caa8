// Faithful copies end to end, with the real program on real folders: links
// kept or skipped, the comparison's tests, and the attributes and hard links
// that copies carry. Where rsync is installed, it is the oracle for what
// the rsync-equivalent switches keep.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "support/json_check.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::SetMtime;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr long long kTime = 1700000000;
const Lines kNoDifference = {"No Difference In These Folders!"};
const Lines kRsyncEquivalent = {"--links=keep", "--preserve=owner,xattrs,acls,hardlinks",
                                "--compare=time,size,attributes"};

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

std::string LinkText(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error).string();
}

// A file system that takes user.* extended attributes.
bool TakesUserXattrs(const std::string& path) {
  return setxattr(path.c_str(), "user.probe", "1", 1, 0) == 0 &&
         removexattr(path.c_str(), "user.probe") == 0;
}

std::map<std::string, std::string> XattrsOf(const std::string& path) {
  std::map<std::string, std::string> values;
  char names[4096];
  const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    const ssize_t size = lgetxattr(path.c_str(), names + at, value, sizeof value);
    values[names + at] = size < 0 ? "?" : std::string(value, static_cast<std::size_t>(size));
  }
  return values;
}

// The exit status of a shell command.
int Shell(const std::string& command) {
  return std::system(command.c_str());
}

bool HaveCommand(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

class FaithfulCopiesTest : public ::testing::Test {
 protected:
  FaithfulCopiesTest() {
    for (const auto& folder : {src_, dst_, bin_})
      MakeDirs(folder);
  }

  test::ProcessResult Run(Lines arguments, const std::string& to = "") {
    arguments.push_back(src_);
    arguments.push_back(to.empty() ? dst_ : to);
    return test::RunBinary(arguments, bin_);
  }

  // The action lines, without the phase banners.
  static Lines ActionsOf(const std::string& out) {
    Lines lines;
    bool in = false;
    for (std::string line : WithoutStamps(out)) {
      if (line.starts_with("[--dry-run] ")) line.erase(0, 12);
      if (line.starts_with("******** ")) in = false;
      if (in && !line.starts_with("-------- ")) lines.push_back(line);
      if (line == "Detect The Difference In These Folders...") in = true;
    }
    return lines;
  }

  void File(const std::string& rel, const std::string& contents, long long time = kTime) {
    WriteFile(src_ + "/" + rel, contents);
    SetMtime(src_ + "/" + rel, time);
  }

  // Mirrors, expects success, and a second run that finds nothing to do.
  test::ProcessResult MirrorTwice(const Lines& arguments) {
    auto first = Run(arguments);
    EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
    auto second = Run(arguments);
    EXPECT_EQ(second.exitCode, 0) << second.out;
    EXPECT_EQ(ActionsOf(second.out), kNoDifference);
    return first;
  }

  std::string Copy(const std::string& rel) {
    return "Copy File      : " + src_ + "/" + rel + " -> " + dst_ + "/" + rel;
  }
  std::string Mend(const std::string& rel) { return "Set Attributes   : " + dst_ + "/" + rel; }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
};

// --- --links -----------------------------------------------------------------

TEST_F(FaithfulCopiesTest, KeptLinksAreMirroredAsLinksWhateverTheyPointTo) {
  File("a.txt", "a");
  MakeDirs(dir_ / "outside");
  WriteFile(dir_ / "outside/secret.txt", "s");
  ASSERT_EQ(symlink("a.txt", (src_ + "/relative").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (src_ + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((dir_ / "outside").c_str(), (src_ + "/folder").c_str()), 0);
  const auto first = MirrorTwice({"--links=keep"});
  EXPECT_NE(first.out.find(Copy("dangling")), std::string::npos) << first.out;
  EXPECT_EQ(LinkText(dst_ + "/relative"), "a.txt");
  EXPECT_EQ(LinkText(dst_ + "/dangling"), "/nonexistent/target");
  EXPECT_EQ(LinkText(dst_ + "/folder"), dir_ / "outside");
  EXPECT_FALSE(test::Exists(dst_ + "/folder/secret.txt") &&
               !S_ISLNK(StatOf(dst_ + "/folder").st_mode));

  // A changed target: the link is deleted and made again.
  ASSERT_EQ(unlink((src_ + "/relative").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", (src_ + "/relative").c_str()), 0);
  const auto changed = Run({"--links=keep"});
  EXPECT_EQ(changed.exitCode, 0);
  EXPECT_EQ(ActionsOf(changed.out),
            (Lines{"Delete File      : " + dst_ + "/relative", Copy("relative")}));
  EXPECT_EQ(LinkText(dst_ + "/relative"), "b.txt");
}

TEST_F(FaithfulCopiesTest, SkippedLinksAreLeftOutAndCountedAsExcluded) {
  File("a.txt", "a");
  ASSERT_EQ(symlink("/nonexistent", (src_ + "/dangling").c_str()), 0);
  WriteFile(dst_ + "/dangling", "old file under the link's name");
  const auto run = Run({"--links=skip", "--stats"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ActionsOf(run.out)[0], "Delete File      : " + dst_ + "/dangling");
  EXPECT_NE(run.out.find("Entries Excluded    : 1"), std::string::npos) << run.out;
  EXPECT_EQ(ListTree(dst_), Lines{"a.txt"});
}

// --- --compare ---------------------------------------------------------------

TEST_F(FaithfulCopiesTest, EachComparisonCatchesTheEditOnlyItSees) {
  File("size.txt", "one");
  File("content.txt", "abc");
  File("time.txt", "same");
  MirrorTwice({});
  // The same time text, another size: only size (and content) see it.
  File("size.txt", "three", kTime + 1);
  // The same size and time, other bytes: only content sees it.
  File("content.txt", "xyz");
  EXPECT_EQ(ActionsOf(Run({"--dry-run"}).out), kNoDifference);
  EXPECT_EQ(ActionsOf(Run({"--dry-run", "--compare=size"}).out),
            (Lines{"Delete File      : " + dst_ + "/size.txt", Copy("size.txt")}));
  const auto content = Run({"--compare=content"});
  Lines actions = ActionsOf(content.out);
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ(actions, (Lines{Copy("content.txt"), Copy("size.txt"),
                            "Delete File      : " + dst_ + "/content.txt",
                            "Delete File      : " + dst_ + "/size.txt"}));
  EXPECT_EQ(ReadFile(dst_ + "/content.txt"), "xyz");

  // Where the contents decide, a time alone is set in place.
  const ino_t inode = StatOf(dst_ + "/time.txt").st_ino;
  SetMtime(src_ + "/time.txt", kTime + 100);
  EXPECT_EQ(ActionsOf(Run({"--compare=content"}).out), Lines{Mend("time.txt")});
  EXPECT_EQ(StatOf(dst_ + "/time.txt").st_ino, inode);
  EXPECT_EQ(StatOf(dst_ + "/time.txt").st_mtime, kTime + 100);
  EXPECT_EQ(ActionsOf(Run({"--compare=content"}).out), kNoDifference);
}

TEST_F(FaithfulCopiesTest, ManyContentsAreComparedAndOnlyTheEditedFilesCopied) {
  // More pairs than one batch of comparisons, in folders and beside them.
  MakeDirs(src_ + "/d");
  for (int i = 0; i < 1500; ++i)
    File((i % 2 ? "d/" : "") + std::to_string(i), "contents " + std::to_string(i));
  MirrorTwice({"--compare=content"});
  Lines expected;
  for (int i : {7, 1024, 1499}) {
    const std::string rel = (i % 2 ? "d/" : "") + std::to_string(i);
    File(rel, "CONTENTS " + std::to_string(i));
    expected.push_back(Copy(rel));
  }
  Lines copies;
  for (const std::string& line : ActionsOf(Run({"--compare=content", "--jobs=3"}).out)) {
    if (line.starts_with("Copy File")) copies.push_back(line);
  }
  std::sort(copies.begin(), copies.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(copies, expected);
  EXPECT_EQ(ActionsOf(Run({"--compare=content"}).out), kNoDifference);
}

TEST_F(FaithfulCopiesTest, APermissionChangeAloneIsSetInPlace) {
  File("a.txt", "a");
  MakeDirs(src_ + "/d");
  MirrorTwice({"--compare=time,attributes"});
  const ino_t inode = StatOf(dst_ + "/a.txt").st_ino;
  ASSERT_EQ(chmod((src_ + "/a.txt").c_str(), 0600), 0);
  ASSERT_EQ(chmod((src_ + "/d").c_str(), 0750), 0);
  // The default does not weigh permissions.
  EXPECT_EQ(ActionsOf(Run({"--dry-run"}).out), kNoDifference);
  const auto run = Run({"--compare=time,attributes", "--stats"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  Lines actions = ActionsOf(run.out);
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ(actions, (Lines{Mend("a.txt"), Mend("d")}));
  EXPECT_NE(run.out.find("Attributes Set      : 2"), std::string::npos) << run.out;
  EXPECT_EQ(StatOf(dst_ + "/a.txt").st_ino, inode);
  EXPECT_EQ(StatOf(dst_ + "/a.txt").st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(dst_ + "/d").st_mode & 07777, 0750u);
  EXPECT_EQ(ActionsOf(Run({"--compare=time,attributes"}).out), kNoDifference);
}

TEST_F(FaithfulCopiesTest, TheLogIsTheSameWithOneJobAndWithEight) {
  for (int i = 0; i < 40; ++i) {
    File("f" + std::to_string(i), std::string(static_cast<std::size_t>(i) * 100, 'x'));
    if (i % 3 == 0) {
      ASSERT_EQ(link((src_ + "/f" + std::to_string(i)).c_str(),
                     (src_ + "/g" + std::to_string(i)).c_str()),
                0);
    }
    if (i % 5 == 0) {
      ASSERT_EQ(symlink("f0", (src_ + "/l" + std::to_string(i)).c_str()), 0);
    }
  }
  const Lines rules = {"--links=keep", "--preserve=hardlinks", "--compare=time,attributes"};
  std::vector<Lines> logs;
  for (const char* jobs : {"--jobs=1", "--jobs=8"}) {
    const std::string to = dir_ / jobs;
    MakeDirs(to);
    WriteFile(to + "/f1", "stale");
    Lines arguments = rules;
    arguments.push_back(jobs);
    const auto run = Run(arguments, to);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    Lines actions = ActionsOf(run.out);
    for (std::string& line : actions) {
      const auto at = line.find(to);
      if (at != std::string::npos) line.replace(at, to.size(), "DST");
    }
    logs.push_back(actions);
    EXPECT_EQ(StatOf(to + "/f3").st_ino, StatOf(to + "/g3").st_ino);
  }
  EXPECT_EQ(logs[0], logs[1]);
}

TEST_F(FaithfulCopiesTest, AFolderThatKeepsItsOwnerOutGetsItsPermissionsAfterItsCopies) {
  MakeDirs(src_ + "/locked/inner");
  File("locked/inner/a.txt", "a");
  ASSERT_EQ(chmod((src_ + "/locked/inner").c_str(), 0555), 0);
  ASSERT_EQ(chmod((src_ + "/locked").c_str(), 0500), 0);
  const auto dryRun = Run({"--dry-run", "--compare=time,attributes"});
  const auto run = Run({"--compare=time,attributes"});
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(
      ActionsOf(run.out),
      (Lines{"Make Directory : " + dst_ + "/locked", "Make Directory : " + dst_ + "/locked/inner",
             Copy("locked/inner/a.txt"), Mend("locked/inner"), Mend("locked")}));
  EXPECT_EQ(ActionsOf(dryRun.out), ActionsOf(run.out));
  EXPECT_EQ(StatOf(dst_ + "/locked").st_mode & 07777, 0500u);
  EXPECT_EQ(StatOf(dst_ + "/locked/inner").st_mode & 07777, 0555u);
  EXPECT_EQ(ActionsOf(Run({"--compare=time,attributes"}).out), kNoDifference);
  // Open again, so that the temporary folder can go.
  for (const std::string& root : {src_, dst_}) {
    for (const std::string& folder : {root + "/locked", root + "/locked/inner"})
      chmod(folder.c_str(), 0755);
  }
}

// --- --preserve --------------------------------------------------------------

TEST_F(FaithfulCopiesTest, HardLinkGroupsShareOneFileInTheDestination) {
  File("a", "shared");
  MakeDirs(src_ + "/sub");
  ASSERT_EQ(link((src_ + "/a").c_str(), (src_ + "/sub/b").c_str()), 0);
  File("single", "s");
  const auto first = MirrorTwice({"--preserve=hardlinks", "--jobs=4"});
  EXPECT_NE(first.out.find(Copy("sub/b")), std::string::npos) << first.out;
  EXPECT_EQ(StatOf(dst_ + "/a").st_ino, StatOf(dst_ + "/sub/b").st_ino);
  EXPECT_EQ(StatOf(dst_ + "/a").st_nlink, 2u);

  // A new name of the group is linked to the name that stays.
  ASSERT_EQ(link((src_ + "/a").c_str(), (src_ + "/c").c_str()), 0);
  const auto added = Run({"--preserve=hardlinks"});
  EXPECT_EQ(ActionsOf(added.out), Lines{Copy("c")});
  EXPECT_EQ(StatOf(dst_ + "/c").st_ino, StatOf(dst_ + "/a").st_ino);
}

// Workers prefer folders no other worker acts in; a name that waits for
// its group's first copy still never starts before that copy.
TEST_F(FaithfulCopiesTest, HardLinksAcrossFoldersWhateverTheWorkers) {
  MakeDirs(src_ + "/a");
  MakeDirs(src_ + "/b");
  for (int i = 0; i < 60; ++i) {
    const std::string name = "/" + std::to_string(i);
    File("a" + name, std::string(i * 1000, 'x'));
    ASSERT_EQ(link((src_ + "/a" + name).c_str(), (src_ + "/b" + name).c_str()), 0);
  }
  for (const char* jobs : {"--jobs=2", "--jobs=auto", "--jobs=16"}) {
    std::filesystem::remove_all(dst_);
    MakeDirs(dst_);
    EXPECT_EQ(Run({"--preserve=hardlinks", jobs}).exitCode, 0) << jobs;
    for (int i = 0; i < 60; ++i) {
      const std::string name = "/" + std::to_string(i);
      ASSERT_EQ(StatOf(dst_ + "/a" + name).st_ino, StatOf(dst_ + "/b" + name).st_ino)
          << jobs << name;
    }
  }
}

TEST_F(FaithfulCopiesTest, OwnersAndExtendedAttributesAreCarriedAndCompared) {
  File("a.txt", "a");
  MakeDirs(src_ + "/d");
  if (!TakesUserXattrs(src_ + "/a.txt")) GTEST_SKIP() << "no user.* attributes on " << src_;
  ASSERT_EQ(setxattr((src_ + "/a.txt").c_str(), "user.tag", "blue", 4, 0), 0);
  ASSERT_EQ(setxattr((src_ + "/d").c_str(), "user.tag", "dir", 3, 0), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(lchown((src_ + "/a.txt").c_str(), 1234, 5678), 0);
  }
  const Lines rules = {"--preserve=owner,xattrs", "--compare=time,attributes"};
  MirrorTwice(rules);
  EXPECT_EQ(XattrsOf(dst_ + "/a.txt"), XattrsOf(src_ + "/a.txt"));
  EXPECT_EQ(XattrsOf(dst_ + "/d"), XattrsOf(src_ + "/d"));
  if (root) {
    EXPECT_EQ(StatOf(dst_ + "/a.txt").st_uid, 1234u);
  }

  // An attribute changed, one added on the destination: both mended in place.
  ASSERT_EQ(setxattr((src_ + "/a.txt").c_str(), "user.tag", "red", 3, 0), 0);
  ASSERT_EQ(setxattr((dst_ + "/d").c_str(), "user.extra", "x", 1, 0), 0);
  Lines actions = ActionsOf(Run(rules).out);
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ(actions, (Lines{Mend("a.txt"), Mend("d")}));
  EXPECT_EQ(XattrsOf(dst_ + "/a.txt"), XattrsOf(src_ + "/a.txt"));
  EXPECT_EQ(XattrsOf(dst_ + "/d"), XattrsOf(src_ + "/d"));
}

TEST_F(FaithfulCopiesTest, AnOwnerThatCannotBeGivenFailsTheAction) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another owner";
  File("a.txt", "a");
  ASSERT_EQ(lchown((src_ + "/a.txt").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod(bin_.c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(dst_.c_str(), 0777), 0);
  // The program run as another user, who may not give files away.
  const std::string command = "setpriv --reuid=4321 --regid=4321 --clear-groups " +
                              test::BinaryPath() + " --preserve=owner " + src_ + " " + dst_ +
                              " > " + (dir_ / "out.txt") + " 2>&1";
  if (!HaveCommand("setpriv")) GTEST_SKIP() << "setpriv is not installed";
  // It fails: what it printed says how.
  Shell(command);
  const std::string out = ReadFile(dir_ / "out.txt");
  EXPECT_NE(out.find("Action Failed    : "), std::string::npos) << out;
  EXPECT_NE(out.find("Operation not permitted"), std::string::npos) << out;
  EXPECT_FALSE(test::Exists(dst_ + "/a.txt"));
}

TEST_F(FaithfulCopiesTest, TheJobSwitchesWorkWithThem) {
  File("a.txt", "a");
  File("skip.tmp", "t");
  ASSERT_EQ(symlink("a.txt", (src_ + "/link").c_str()), 0);
  const Lines rules = {
      "--links=keep",    "--compare=time,size,attributes",    "--max-delete=50%",
      "--exclude=*.tmp", "--backup-dir=" + (dir_ / "backup"), "--report=" + (dir_ / "report.json")};
  MakeDirs(dir_ / "backup");
  MirrorTwice(rules);
  // A link's new text: the old link goes to the backup folder, as a link.
  ASSERT_EQ(unlink((src_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", (src_ + "/link").c_str()), 0);
  ASSERT_EQ(chmod((src_ + "/a.txt").c_str(), 0600), 0);
  const auto run = Run(rules);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  const Lines actions = ActionsOf(run.out);
  ASSERT_EQ(actions.size(), 3u) << run.out;
  EXPECT_TRUE(actions[0].starts_with("Move To Backup   : " + dst_ + "/link -> ")) << actions[0];
  EXPECT_EQ(actions[1], Copy("link")) << actions[1];
  EXPECT_EQ(actions[2], Mend("a.txt"));
  EXPECT_EQ(LinkText(dst_ + "/link"), "b.txt");
  const std::string report = ReadFile(dir_ / "report.json");
  EXPECT_EQ(test::JsonValue(report, "attributesSet"), "1") << report;
  EXPECT_EQ(test::JsonValue(report, "filesCopied"), "1") << report;
  EXPECT_FALSE(test::Exists(dst_ + "/skip.tmp"));
}

// --- rsync as the oracle -----------------------------------------------------

TEST_F(FaithfulCopiesTest, TheRsyncEquivalentSwitchesKeepWhatRsyncKeeps) {
  if (!HaveCommand("rsync")) GTEST_SKIP() << "rsync is not installed";
  File("plain.txt", "plain");
  MakeDirs(src_ + "/sub/deeper");
  File("sub/deeper/note.txt", "note");
  ASSERT_EQ(chmod((src_ + "/sub/deeper").c_str(), 0750), 0);
  ASSERT_EQ(chmod((src_ + "/plain.txt").c_str(), 0640), 0);
  ASSERT_EQ(link((src_ + "/plain.txt").c_str(), (src_ + "/sub/hard").c_str()), 0);
  ASSERT_EQ(symlink("plain.txt", (src_ + "/relative").c_str()), 0);
  ASSERT_EQ(symlink("/absolute/nowhere", (src_ + "/sub/dangling").c_str()), 0);
  ASSERT_EQ(symlink("/etc", (src_ + "/outside").c_str()), 0);
  {
    const int fd = open((src_ + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "end", 3, 64 << 20), 3);
    close(fd);
  }
  if (TakesUserXattrs(src_ + "/plain.txt")) {
    ASSERT_EQ(setxattr((src_ + "/plain.txt").c_str(), "user.k", "v", 1, 0), 0);
  }
  if (geteuid() == 0) {
    ASSERT_EQ(lchown((src_ + "/sub/deeper/note.txt").c_str(), 1234, 5678), 0);
  }
  if (HaveCommand("setfacl")) {
    // A file system without ACLs refuses them; the rest is still compared.
    Shell("setfacl -m u:1234:r " + src_ + "/sub/deeper/note.txt 2>/dev/null");
    Shell("setfacl -d -m u:1234:rx " + src_ + "/sub 2>/dev/null");
  }
  // Something to delete on both sides.
  MakeDirs(dst_ + "/stale");
  WriteFile(dst_ + "/stale/old.txt", "old");
  const std::string oracle = dir_ / "oracle";
  MakeDirs(oracle);
  WriteFile(oracle + "/stale", "old");
  ASSERT_EQ(Shell("rsync -aHAXS --delete " + src_ + "/ " + oracle + "/"), 0);
  MirrorTwice(kRsyncEquivalent);

  EXPECT_EQ(ListTree(dst_), ListTree(oracle));
  std::map<ino_t, std::string> ourGroups;
  std::map<ino_t, std::string> oracleGroups;
  for (const std::string& rel : ListTree(oracle)) {
    const std::string ours = dst_ + "/" + rel;
    const std::string theirs = oracle + "/" + rel;
    const struct stat a = StatOf(ours);
    const struct stat b = StatOf(theirs);
    EXPECT_EQ(a.st_mode, b.st_mode) << rel;
    EXPECT_EQ(a.st_uid, b.st_uid) << rel;
    EXPECT_EQ(a.st_gid, b.st_gid) << rel;
    EXPECT_EQ(a.st_nlink, b.st_nlink) << rel;
    EXPECT_EQ(XattrsOf(ours), XattrsOf(theirs)) << rel;
    if (S_ISLNK(b.st_mode)) {
      EXPECT_EQ(LinkText(ours), LinkText(theirs)) << rel;
    }
    if (S_ISREG(b.st_mode)) {
      EXPECT_EQ(a.st_mtime, b.st_mtime) << rel;
      EXPECT_EQ(ReadFile(ours), ReadFile(theirs)) << rel;
      EXPECT_LE(a.st_blocks, b.st_blocks + 16) << rel;
      // Hard-link groups: the first name of each inode stands for the group.
      EXPECT_EQ(ourGroups.try_emplace(a.st_ino, rel).first->second,
                oracleGroups.try_emplace(b.st_ino, rel).first->second)
          << rel;
    }
  }
}

// --- Bad values ----------------------------------------------------------------

TEST_F(FaithfulCopiesTest, BadValuesAreABadCommandLine) {
  for (const Lines& arguments :
       {Lines{"--links=copy"}, Lines{"--links="}, Lines{"--preserve=owner,owner"},
        Lines{"--preserve=times"}, Lines{"--preserve="}, Lines{"--compare=time,"},
        Lines{"--compare=checksum"}}) {
    const auto run = Run(arguments);
    EXPECT_EQ(run.exitCode, 1) << arguments[0];
    EXPECT_EQ(run.out, "Invalid Command Line Argument.\n") << arguments[0];
    EXPECT_FALSE(run.err.empty()) << arguments[0];
  }
}

}  // namespace
}  // namespace fts
