#include <memory>

#include "platform/interrupt_cleanup.h"
#include "platform/platform.h"
#include "run/run_driver.h"

int main(int argc, char** argv) {
  fts::InstallInterruptHandlers();
  std::unique_ptr<fts::Platform> platform = fts::MakeSystemPlatform();
  return fts::RunFernwickTreeSyncer(fts::ProgramArguments(argc, argv), *platform);
}
