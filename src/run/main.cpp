#include <memory>
#include <string>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"
#include "run/run_driver.h"

int main(int argc, char** argv) {
  fts::InstallInterruptHandlers();
  std::unique_ptr<fts::Platform> platform = fts::MakeSystemPlatform();
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return fts::RunFernwickTreeSyncer(arguments, *platform);
}
