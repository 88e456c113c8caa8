// The one door to the operating system. Everything the run does to disks, the
// console and the clock goes through a Platform, so that tests can stand a
// fault-injecting version in front of the real one.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace fts {

// The separator of path names and the end of a console line on this system.
// Whether the system's names ignore letter case (FoldPathCase folds them).
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr std::string_view kConsoleLineEnd = "\r\n";
inline constexpr bool kNamesIgnoreCase = true;
// Whether links kept as links, owners, extended attributes, ACLs and hard
// links can be mirrored.
inline constexpr bool kOffersPosixAttributes = false;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr std::string_view kConsoleLineEnd = "\n";
inline constexpr bool kNamesIgnoreCase = false;
inline constexpr bool kOffersPosixAttributes = true;
#endif

// Last-write time in UTC.
struct FileTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
};

struct LocalDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// How the user's regional settings write dates and times, read once when the
// platform is made. The patterns use the letters of the Windows regional
// settings (see text/date_time_pattern.h). The defaults are the fixed
// formats of a system without such settings: the log stamp's time
// "HH:MM:SS", and TimeStamp's "YYYY/MM/DD" with the time "H:MM:SS" after it.
struct RegionalFormats {
  // Joins the hours, minutes and seconds of the log stamp.
  std::string timeSeparator = ":";
  // TimeStamp: the date, and the time of day that follows it after a blank.
  std::string shortDate = "yyyy/MM/dd";
  std::string longTime = "H:mm:ss";
  // The texts of a 12-hour time ("t" and "tt").
  std::string amText = "AM";
  std::string pmText = "PM";
  // Names for "MMM", "MMMM", "ddd", "dddd" and "g"; the days from Sunday.
  std::array<std::string, 12> monthNames = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};
  std::array<std::string, 12> abbreviatedMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 7> dayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
  std::array<std::string, 7> abbreviatedDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                    "Thu", "Fri", "Sat"};
  std::string eraText = "A.D.";
};

// Which file an entry is, independent of the name it was reached by.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Whether a listing reports a link by what it points to (source side) or as
// the link itself (destination side).
enum class LinkPolicy { kFollow, kDoNotFollow };

struct DirEntryInfo {
  bool isDirectory = false;  // entered by the walk (a followed link to a folder counts)
  bool isSymlink = false;    // a link reported as itself (only with kDoNotFollow)
  bool timeValid = false;    // lastWrite could be read
  FileTime lastWrite;
  FileIdentity identity;  // valid when timeValid or isDirectory
  // What the system told of the entry besides its time, valid with
  // timeValid or isSymlink (a folder's must be read with ReadAttributes).
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // permission, set-id and sticky bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint64_t linkCount = 1;  // names the file has, on any folder
  // After DirectoryListing::ReadAttributesToo: the mode, owner and group
  // above are valid for every entry, folders included, and `extended`
  // holds the extended attributes asked for, sorted by name.
  bool attributesRead = false;
  std::vector<std::pair<std::string, std::string>> extended;
};

// What a copy carries besides the contents, the permission bits and the
// last-write time, which every copy carries.
struct CarriedItems {
  bool owner = false;   // user and group, by number
  bool xattrs = false;  // extended attributes of the namespaces the process may read and write
  bool acls = false;    // access and default ACLs
  bool Any() const { return owner || xattrs || acls; }
  bool operator==(const CarriedItems&) const = default;
};

// One entry's attributes, as a faithful copy carries them.
struct EntryAttributes {
  std::uint32_t mode = 0;  // permission, set-id and sticky bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  FileTime lastWrite;
  // The extended attributes asked for, ACLs among them under their system
  // names, sorted by name.
  std::vector<std::pair<std::string, std::string>> extended;
};

// One open enumeration of a directory.
class DirectoryListing {
 public:
  virtual ~DirectoryListing() = default;
  // Delivers the next entry, "." and ".." included, in the system's order.
  // Returns false at the end or when the next entry cannot be fetched.
  virtual bool Next(std::string& name, DirEntryInfo& info) = 0;
  // The directory this listing enumerates.
  virtual FileIdentity Identity() const = 0;
  // After Next returned false: the failure when the listing broke off
  // before its end, ok at a normal end.
  virtual Status status() const { return Status::Ok(); }
  // Asks Next to read each entry's attributes too, with its extended
  // attributes of the kinds `extended` names, where the listing can do so
  // more cheaply than a look-up by path; one that cannot ignores it.
  virtual void ReadAttributesToo(const CarriedItems& extended) { (void)extended; }
};

// An open file. Reads and one-byte writes are positioned; Append writes at
// the end of what was written so far.
class File {
 public:
  virtual ~File() = default;
  // The number of bytes read: `size`, or fewer at the end of the file.
  virtual Result<std::size_t> ReadAt(std::int64_t offset, char* buffer, std::size_t size) = 0;
  virtual Status Append(const char* data, std::size_t size) = 0;
  virtual Status WriteAt(std::int64_t offset, const char* data, std::size_t size) = 0;
  virtual Status Close() = 0;
  virtual FileIdentity Identity() const = 0;
};

// A file this run holds for as long as it exists: while the hold lasts no
// other run can take the file, and a run that has ended holds nothing.
class FileHold {
 public:
  virtual ~FileHold() = default;
  // Up to `size` bytes from the start of the file.
  virtual Result<std::string> ReadStart(std::size_t size) = 0;
  // Deletes the held file (only while it still stands under its name), then
  // lets the hold go.
  virtual Status DeleteAndRelease() = 0;
};

enum class HoldOutcome {
  kHeld,           // the file is held by this run now
  kHeldElsewhere,  // another run holds it
  kFailed,         // no file that can be held stands under the name
};

struct HoldResult {
  HoldOutcome outcome = HoldOutcome::kFailed;
  std::unique_ptr<FileHold> hold;  // set when kHeld
  Status status;
};

enum class CreateOutcome {
  kCreated,      // the file is new and ours
  kNameTaken,    // an entry of any kind already stands under the name, or another
                 // run took the new file for a leftover before it was held
  kNotWritable,  // the folder does not let us create files
  kFailed,       // any other failure
};

struct CreateResult {
  CreateOutcome outcome = CreateOutcome::kFailed;
  std::unique_ptr<File> file;      // set when kCreated: for writing
  std::unique_ptr<FileHold> hold;  // set when kCreated: lasts after the file is closed
  Status status;                   // the failure otherwise
};

enum class OpenMode { kRead, kWriteExisting };

// The mirror's actions on the destination. Each reaches its target from a
// handle on the destination root, one name at a time, and never follows a
// link below the root: a link where a folder must be makes the action fail,
// so nothing is ever written or deleted outside the tree. `relPath` names
// an entry below the root, its names joined by the separator. Safe to call
// from several threads at once.
class DestinationTree {
 public:
  virtual ~DestinationTree() = default;
  // Deletes a file, or a link as itself.
  virtual Status DeleteFile(std::string_view relPath) = 0;
  // Removes an empty folder.
  virtual Status RemoveDirectory(std::string_view relPath) = 0;
  // Makes a folder whose parent exists.
  virtual Status MakeDirectory(std::string_view relPath) = 0;
  // Copies the source file `from` (links followed) with its contents,
  // permission bits and last-write time, without ever leaving a partial file
  // under `relPath`; gives the number of bytes copied. With Replace::kYes it
  // replaces what stands there; with kNo it fails when something does.
  enum class Replace { kYes, kNo };
  virtual Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                         Replace replace) = 0;
  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath) {
    return CopyFile(from, relPath, Replace::kYes);
  }
  // Moves the file (or link) `relPath` to `targetRelPath` below the root of
  // `target`, another tree of this platform, making the folders it needs
  // there: a rename where both are on one file system, else a copy as
  // CopyFile makes it and then the deletion. It never replaces what stands
  // at the target, and on failure the file stays where it was.
  virtual Status MoveFileTo(std::string_view relPath, DestinationTree& target,
                            std::string_view targetRelPath) = 0;

  // --- Faithful copies (a system that offers none fails each call) ---------
  // What every later CopyFile carries besides contents, permission bits
  // and time; nothing more until it is called.
  virtual void Carry(const CarriedItems& items) { (void)items; }
  // Makes a folder whose parent exists, with the attributes' permission
  // bits and the carried items.
  virtual Status MakeDirectoryWith(std::string_view relPath, const EntryAttributes& attributes) {
    (void)attributes;
    return NotOffered("make", relPath);
  }
  // Makes a symbolic link holding `target` as its text, never resolved,
  // with the attributes' time and, where carried, owner and extended
  // attributes; with kYes over what stands under the name.
  virtual Status MakeLink(std::string_view relPath, const std::string& target,
                          const EntryAttributes& attributes, Replace replace) {
    (void)target, (void)attributes, (void)replace;
    return NotOffered("make the link", relPath);
  }
  // Gives the file `existingRelPath` of this tree the second name
  // `relPath`; with kYes over what stands under it.
  virtual Status LinkFile(std::string_view existingRelPath, std::string_view relPath,
                          Replace replace) {
    (void)existingRelPath, (void)replace;
    return NotOffered("link", relPath);
  }
  // Gives the entry `relPath` (a link as itself) the attributes' permission
  // bits (not on a link), the carried items, and the time (not on a folder).
  // Extended attributes it has beyond the carried ones' list go, within the
  // carried kinds.
  virtual Status SetAttributes(std::string_view relPath, const EntryAttributes& attributes) {
    (void)attributes;
    return NotOffered("set the attributes of", relPath);
  }

 protected:
  static Status NotOffered(std::string_view operation, std::string_view relPath) {
    return Status::Error(operation, std::string(relPath), "not offered on this system");
  }
};

// Work the platform does in the background until this object goes.
class BackgroundWork {
 public:
  virtual ~BackgroundWork() = default;
};

// --- Change notifications ---------------------------------------------------

// What a watch of a tree learned: RelPaths below its root ("" for the root).
struct TreeChanges {
  std::vector<std::string> folders;   // folders whose own entries changed
  std::vector<std::string> subtrees;  // folders made, moved or deleted: all below them
  // Notifications may have been lost (a full queue, a folder that could not
  // be watched): only a look at the whole tree is sure. Each reason is told
  // once; a reason told before comes again as an empty text.
  std::vector<std::string> lost;

  bool Empty() const { return folders.empty() && subtrees.empty() && lost.empty(); }
};

class TreeWatch {
 public:
  virtual ~TreeWatch() = default;
  // Waits until something changed or `timeout` has passed, and adds what
  // changed to `changes`. A failure ends the watch.
  virtual Status Wait(std::chrono::milliseconds timeout, TreeChanges& changes) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Directory enumeration. `parent` (with `nameInParent`) lets an
  // implementation open a subfolder relative to its open parent; `path` is
  // always the full name.
  virtual Result<std::unique_ptr<DirectoryListing>> OpenDirectory(const std::string& path,
                                                                  DirectoryListing* parent,
                                                                  std::string_view nameInParent,
                                                                  LinkPolicy policy) = 0;

  // Starts reading the folders below `root` (ending in the separator) into
  // the system's cache, for a walk that finds them slow to come; null where
  // there is nothing to gain. Injected platforms see the walk's own calls only.
  virtual std::unique_ptr<BackgroundWork> ReadFoldersAhead(const std::string& root,
                                                           LinkPolicy policy) {
    (void)root;
    (void)policy;
    return nullptr;
  }

  // True for an existing directory; a link to a directory counts.
  virtual bool IsDirectory(const std::string& path) = 0;
  // True when an entry that is not a directory stands under the name.
  virtual bool FileExists(const std::string& path) = 0;
  // The real location of a folder, links resolved; nullopt when unknown.
  virtual std::optional<std::string> RealPath(const std::string& path) = 0;
  // The folder of the running executable and the user's temporary folder,
  // each ending in the separator.
  virtual std::string ExecutableFolder() = 0;
  virtual std::string TemporaryFolder() = 0;
  // Whether `folder` (links resolved) is one where the system's packages and
  // installers put programs: one shared by every user, which a program must
  // not write into even where it may (as root or administrator).
  virtual bool IsSystemProgramFolder(const std::string& folder) {
    (void)folder;
    return false;
  }

  // Creates a file only if no entry stands under the name, and holds it.
  virtual CreateResult CreateNewFile(const std::string& path) = 0;
  // Takes the hold of an existing file, where no other run has it.
  virtual HoldResult HoldFile(const std::string& path) = 0;
  virtual Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) = 0;

  // Deletes one of the run's own files.
  virtual Status DeleteFile(const std::string& path) = 0;

  // The size of a file (links followed); nullopt when it cannot be read.
  virtual std::optional<std::uint64_t> SizeOf(const std::string& path) = 0;
  // True when standard error is a terminal.
  virtual bool StderrIsTerminal() = 0;
  // Writes `contents` to `path`, replacing what stands there in one step: the
  // text goes to a temporary name beside it first.
  virtual Status ReplaceFile(const std::string& path, std::string_view contents) = 0;

  // The destination tree below `root`, which is followed once, as typed.
  virtual Result<std::unique_ptr<DestinationTree>> OpenDestination(const std::string& root) = 0;

  // --- Faithful copies (a system that offers none fails each call) ---------
  // The attributes of the entry at `path` (a link as itself with
  // kDoNotFollow), its extended attributes of the kinds `items` names.
  virtual Result<EntryAttributes> ReadAttributes(const std::string& path, LinkPolicy policy,
                                                 const CarriedItems& items) {
    (void)policy, (void)items;
    return Status::Error("read the attributes of", path, "not offered on this system");
  }
  // Only the extended attributes of the kinds `items` names, sorted by name.
  virtual Result<std::vector<std::pair<std::string, std::string>>> ReadExtendedAttributes(
      const std::string& path, LinkPolicy policy, const CarriedItems& items) {
    (void)policy, (void)items;
    return Status::Error("read the attributes of", path, "not offered on this system");
  }
  // The text of the symbolic link at `path`.
  virtual Result<std::string> ReadLinkTarget(const std::string& path) {
    return Status::Error("read the link", path, "not offered on this system");
  }
  // Whether two regular files hold the same bytes (links followed).
  virtual Result<bool> SameContents(const std::string& first, const std::string& second) {
    (void)second;
    return Status::Error("compare", first, "not offered on this system");
  }

  virtual LocalDateTime Now() = 0;
  // nullopt for a time the system cannot convert.
  virtual std::optional<LocalDateTime> ToLocalTime(const FileTime& time) = 0;

  virtual void WriteStdout(std::string_view text) = 0;
  virtual void WriteStderr(std::string_view text) = 0;

  // The formats of the log stamp and of TimeStamp, as read at start.
  virtual const RegionalFormats& RegionalSettings() {
    static const RegionalFormats fixedFormats;
    return fixedFormats;
  }
  // A path in a form in which two names of one folder are equal byte for
  // byte where the system ignores letter case in names; unchanged where it
  // does not.
  virtual std::string FoldPathCase(const std::string& path) { return path; }

  // Watches the tree below `root` (ending in the separator) for changes,
  // from now on; links are not followed into other folders.
  virtual Result<std::unique_ptr<TreeWatch>> WatchTree(const std::string& root) {
    return Status::Error("watch", root, "not offered on this system");
  }

  // --- Letter case on the destination ----------------------------------------
  // A name in the form in which two names are equal where a folder that
  // ignores letter case takes them as one (each letter in upper case).
  virtual std::string FoldLetterCase(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
  }
  // Whether the folder at `path` ignores letter case in names; a folder not
  // made yet answers as the nearest folder above it does. With `mayWrite`,
  // a file may be made and deleted there to find out.
  virtual Result<bool> IgnoresLetterCase(const std::string& path, bool mayWrite) {
    (void)path, (void)mayWrite;
    return false;
  }
};

// The implementation for the system the program was built for.
std::unique_ptr<Platform> MakeSystemPlatform();

// The arguments after the program's name, as the system hands them over.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace fts
