#include <memory>
#include <string>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"
#include "run/run_driver.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/wide_text.h"
#include "run/command_line_split.h"

namespace {

// Windows hands a program its command line whole, and the program splits
// it. Taken as UTF-8, the line holds no lead byte of a double-byte
// character; its first argument is the program's own path.
std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> arguments = fts::SplitCommandLine(fts::Utf8FromWide(GetCommandLineW()),
                                                             [](unsigned char) { return false; });
  if (!arguments.empty()) {
    arguments.erase(arguments.begin());
  }
  return arguments;
}

}  // namespace

int main() {
  fts::InstallInterruptHandlers();
  std::unique_ptr<fts::Platform> platform = fts::MakeSystemPlatform();
  const std::vector<std::string> arguments = CommandLineArguments();
  return fts::RunFernwickTreeSyncer(arguments, *platform);
}
#else
int main(int argc, char** argv) {
  fts::InstallInterruptHandlers();
  std::unique_ptr<fts::Platform> platform = fts::MakeSystemPlatform();
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return fts::RunFernwickTreeSyncer(arguments, *platform);
}
#endif
