#include "support/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fts::test {
namespace fs = std::filesystem;

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "fts-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Undo permission changes made by tests so that everything can go.
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void MakeDirs(const std::string& path) {
  fs::create_directories(path);
}

void SetMtime(const std::string& path, long long seconds, long nanoseconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                    {static_cast<time_t>(seconds), nanoseconds}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("cannot set time of " + path);
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

namespace {

// The folder of `relPath` below `root`, opened one name at a time (made
// when `make`), and the last name.
int OpenDeepFolder(const std::string& root, const std::string& relPath, bool make,
                   std::string& name) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t begin = 0;
  for (std::size_t slash; (slash = relPath.find('/', begin)) != std::string::npos;
       begin = slash + 1) {
    const std::string folder = relPath.substr(begin, slash - begin);
    if (make) mkdirat(fd, folder.c_str(), 0755);
    const int next = openat(fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    if (next < 0) throw std::runtime_error("cannot open " + folder + " below " + root);
    fd = next;
  }
  name = relPath.substr(begin);
  return fd;
}

}  // namespace

void WriteDeepFile(const std::string& root, const std::string& relPath,
                   const std::string& contents) {
  std::string name;
  const int folder = OpenDeepFolder(root, relPath, true, name);
  const int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(folder);
  if (fd < 0 ||
      write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {
    throw std::runtime_error("cannot write " + relPath);
  }
  close(fd);
}

std::string ReadDeepFile(const std::string& root, const std::string& relPath) {
  std::string name;
  const int folder = OpenDeepFolder(root, relPath, false, name);
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
  close(folder);
  if (fd < 0) throw std::runtime_error("cannot read " + relPath);
  std::string text = ReadAll(fd);
  close(fd);
  return text;
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string relative = fs::relative(it->path(), root).string();
    if (it->is_directory() && !it->is_symlink()) relative += "/";
    entries.push_back(relative);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string BinaryPath() {
  return FTS_BINARY;
}

ProcessResult RunBinary(const std::vector<std::string>& arguments, const std::string& inFolder) {
  std::string binary = BinaryPath();
  if (!inFolder.empty()) {
    const std::string copy = inFolder + "/FernwickTreeSyncer";
    if (!Exists(copy)) fs::copy_file(binary, copy);
    binary = copy;
  }
  std::vector<char*> argv;
  argv.push_back(binary.data());
  std::vector<std::string> args = arguments;
  for (auto& argument : args)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  pid_t pid;
  const int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " + binary);

  ProcessResult result;
  // Logs in the tests are small, well within a pipe's buffer for stderr.
  result.out = ReadAll(outPipe[0]);
  result.err = ReadAll(errPipe[0]);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

bool StartsWithLogStamp(std::string_view line) {
  // "YYYY/MM/DD HH:MM:SS " with its month, day and time in range.
  constexpr std::string_view kShape = "9999/19/39 29:59:59 ";
  if (line.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char want = kShape[i];
    const char got = line[i];
    if (want >= '0' && want <= '9' ? got < '0' || got > want : got != want) return false;
  }
  auto number = [&](std::size_t at) { return (line[at] - '0') * 10 + (line[at + 1] - '0'); };
  return number(5) >= 1 && number(5) <= 12 && number(8) >= 1 && number(8) <= 31 && number(11) <= 23;
}

std::vector<std::string> WithoutStamps(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(StartsWithLogStamp(line) ? line.substr(20) : line);
  return lines;
}

std::vector<std::string> InWalkOrder(const std::vector<std::string>& relPaths,
                                     std::mt19937& random) {
  std::map<std::string, std::vector<std::string>> children;  // by folder, "" for the root
  for (const auto& relPath : relPaths) {
    const auto slash = relPath.rfind('/');
    children[slash == std::string::npos ? "" : relPath.substr(0, slash)].push_back(relPath);
  }
  std::vector<std::string> ordered;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    if (!folder.empty()) ordered.push_back(folder);
    auto& inside = children[folder];
    std::shuffle(inside.begin(), inside.end(), random);
    pending.insert(pending.end(), inside.rbegin(), inside.rend());
  }
  return ordered;
}

}  // namespace fts::test
