// The test helpers on POSIX systems: folders through std::filesystem, the
// binary started with posix_spawn.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_support.h"

extern char** environ;

namespace fts::test {
namespace fs = std::filesystem;

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

struct ChildProcess::Running {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::string outText;
  std::string errText;
  bool finished = false;
};

namespace {

// Appends what one read brings; false at the end of the output.
bool ReadSome(int fd, std::string& text) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  text.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const StartOptions& options)
    : running_(std::make_unique<Running>()) {
  std::string binary = BinaryPath();
  if (!options.inFolder.empty()) {
    const std::string copy = options.inFolder + "/FernwickTreeSyncer";
    if (!Exists(copy)) fs::copy_file(binary, copy);
    binary = copy;
  }
  std::vector<std::string> args = arguments;
  std::vector<char*> argv{binary.data()};
  for (auto& argument : args)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2] = {-1, -1};
  const bool errorPipe = !options.discardErrors && !options.errorsToTerminal;
  if (pipe(outPipe) != 0 || (errorPipe && pipe(errPipe) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  std::string terminal;
  if (options.errorsToTerminal) {
    errPipe[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (errPipe[0] < 0 || grantpt(errPipe[0]) != 0 || unlockpt(errPipe[0]) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    terminal = ptsname(errPipe[0]);
  }
  if (options.outputPipeSize > 0) fcntl(outPipe[0], F_SETPIPE_SZ, options.outputPipeSize);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.outputTo == "-") {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (!options.outputTo.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.outputTo.c_str(), O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  }
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  if (options.discardErrors) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else if (options.errorsToTerminal) {
    posix_spawn_file_actions_addopen(&actions, 2, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  }
  // The signals must reach the run whatever the test runner holds back.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int spawned =
      posix_spawn(&running_->pid, binary.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(outPipe[1]);
  if (errPipe[1] >= 0) close(errPipe[1]);
  running_->out = outPipe[0];
  running_->err = errPipe[0];
  if (spawned != 0) {
    CloseIfOpen(running_->out);
    CloseIfOpen(running_->err);
    throw std::runtime_error("cannot start " + binary);
  }
}

ChildProcess::~ChildProcess() {
  CloseIfOpen(running_->out);
  CloseIfOpen(running_->err);
  if (!running_->finished) {
    kill(running_->pid, SIGKILL);
    waitpid(running_->pid, nullptr, 0);
  }
}

bool ChildProcess::ReadOutputUntil(std::string_view text, std::size_t times) {
  while (Occurrences(running_->outText, text) < times) {
    if (running_->out < 0 || !ReadSome(running_->out, running_->outText)) {
      CloseIfOpen(running_->out);
      return false;
    }
  }
  return true;
}

const std::string& ChildProcess::Output() const {
  return running_->outText;
}

void ChildProcess::Signal(int signalNumber) {
  kill(running_->pid, signalNumber);
}

ProcessResult ChildProcess::Finish() {
  // Both pipes at once: neither fills up while the other is read.
  while (running_->out >= 0 || running_->err >= 0) {
    pollfd fds[2] = {{running_->out, POLLIN, 0}, {running_->err, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    if (fds[0].revents != 0 && !ReadSome(running_->out, running_->outText)) {
      CloseIfOpen(running_->out);
    }
    if (fds[1].revents != 0 && !ReadSome(running_->err, running_->errText)) {
      CloseIfOpen(running_->err);
    }
  }
  int status = 0;
  waitpid(running_->pid, &status, 0);
  running_->finished = true;
  ProcessResult result;
  result.endedBySignal = WIFSIGNALED(status);
  result.exitCode = result.endedBySignal ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  result.out = std::move(running_->outText);
  result.err = std::move(running_->errText);
  return result;
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
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

}  // namespace fts::test
