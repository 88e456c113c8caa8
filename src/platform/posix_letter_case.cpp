#include "platform/posix_letter_case.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/posix_fd.h"
#include "platform/posix_system_error.h"

namespace fts {
namespace {

// The system's Unicode case tables, whatever the user's locale.
locale_t UnicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

// The code point that starts at `at`, and its length; 0 for a byte that
// does not start valid UTF-8.
std::uint32_t DecodeAt(std::string_view text, std::size_t at, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[at]);
  length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || at + length > text.size() || lead > 0xF4) {
    length = 1;
    return 0;
  }
  if (length == 1) return lead;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) {
      length = 1;
      return 0;
    }
    code = (code << 6) | (next & 0x3F);
  }
  return code;
}

void Encode(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The name with its ASCII letters in the other case; empty when it has none.
std::string SwappedCase(std::string_view name) {
  std::string swapped(name);
  bool changed = false;
  for (char& c : swapped) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      c = static_cast<char>(c ^ 0x20);
      changed = true;
    }
  }
  return changed ? swapped : std::string();
}

std::string ParentOf(const std::string& path) {
  const auto last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";
  const auto slash = path.rfind('/', last);
  if (slash == std::string::npos) return ".";
  const auto end = path.find_last_not_of('/', slash);
  return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

// The answer the names of the open folder give: a name whose letters in
// the other case name no entry of the folder is looked up that way.
std::optional<bool> AnswerFromNames(int folder) {
  const int listed = dup(folder);
  if (listed < 0) return std::nullopt;
  DIR* dir = fdopendir(listed);
  if (dir == nullptr) {
    close(listed);
    return std::nullopt;
  }
  std::unordered_set<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string swapped = SwappedCase(name);
    if (swapped.empty() || names.count(swapped) != 0) continue;
    struct stat st;
    if (fstatat(folder, swapped.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    if (errno == ENOENT) return false;
  }
  return std::nullopt;
}

// The answer a file made for the purpose gives; `removal` tells when the
// file could not be deleted again.
std::optional<bool> AnswerFromProbe(int folder, const std::string& path, Status& removal) {
  static std::atomic<unsigned> counter{0};
  const std::string probe =
      ".fts-case-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
  Fd made(
      openat(folder, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!made.Valid()) return std::nullopt;
  made.Reset();
  struct stat st;
  const bool found = fstatat(folder, SwappedCase(probe).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (unlinkat(folder, probe.c_str(), 0) != 0) removal = SystemError("delete", path + "/" + probe);
  return found;
}

}  // namespace

std::string FoldLetterCaseUtf8(std::string_view name) {
  const locale_t locale = UnicodeLocale();
  std::string folded;
  folded.reserve(name.size());
  for (std::size_t at = 0; at < name.size();) {
    std::size_t length;
    const std::uint32_t code = DecodeAt(name, at, length);
    if (code == 0 || locale == static_cast<locale_t>(0)) {
      const char c = name[at];
      folded += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    } else {
      Encode(static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(code), locale)), folded);
    }
    at += length;
  }
  return folded;
}

Result<bool> FolderIgnoresLetterCase(const std::string& folder, bool mayWrite) {
  std::string path = folder.empty() ? "." : folder;
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT || path == "/" || path == ".") return SystemError("read", path);
    path = ParentOf(path);
  }
  // Upwards within the file system: a folder's own name stands in its
  // parent, which lies on the same file system unless the folder is where
  // another one is mounted.
  for (bool first = true;; first = false) {
    Fd open(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!open.Valid()) return SystemError("open", path);
    if (auto answer = AnswerFromNames(open.Get())) return *answer;
    if (first && mayWrite) {
      Status removal;
      const auto answer = AnswerFromProbe(open.Get(), path, removal);
      if (!removal) return removal;
      if (answer) return *answer;
    }
    struct stat here;
    struct stat above;
    const std::string parent = ParentOf(path);
    if (parent == path || fstat(open.Get(), &here) != 0 || stat(parent.c_str(), &above) != 0 ||
        above.st_dev != here.st_dev) {
      // Nothing tells: most POSIX file systems tell case apart.
      return false;
    }
    path = parent;
  }
}

}  // namespace fts
