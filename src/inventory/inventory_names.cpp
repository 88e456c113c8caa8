#include "inventory/inventory_names.h"

#include "inventory/inventory_files.h"
#include "inventory/record_format.h"
#include "platform/status.h"

namespace fts {
namespace {

std::string InventoryName(std::string_view folder, std::string_view base, int number) {
  std::string name(folder);
  name += base;
  if (number > 1) name += std::to_string(number);
  name += ".txt";
  return name;
}

// Deletes the file under `name` when it is a leftover inventory that no run
// holds; true when it went.
bool RemoveLeftover(Platform& platform, const std::string& name) {
  HoldResult held = platform.HoldFile(name);
  if (held.outcome != HoldOutcome::kHeld) return false;
  const auto start = held.hold->ReadStart(16);
  if (!start || !LooksLikeInventory(*start)) return false;
  return held.hold->DeleteAndRelease().ok();
}

// Claims the first free of the 99 names in `folder`; `claimed` stays empty
// when every name is taken. Returns false when the folder cannot be written
// and `mayFallBack` allows another folder to be tried.
bool ClaimIn(Platform& platform, const std::string& folder, std::string_view base, bool mayFallBack,
             std::optional<ClaimedInventory>& claimed) {
  for (int number = 1; number <= kMaxParallelRuns; ++number) {
    const std::string name = InventoryName(folder, base, number);
    for (bool leftoverRemoved = false;;) {
      CreateResult result = platform.CreateNewFile(name);
      switch (result.outcome) {
        case CreateOutcome::kCreated:
          claimed = ClaimedInventory{name, std::move(result.file), std::move(result.hold)};
          return true;
        case CreateOutcome::kNameTaken:
          break;
        case CreateOutcome::kNotWritable:
          if (mayFallBack) return false;
          [[fallthrough]];
        case CreateOutcome::kFailed:
          ThrowRunError(result.status);
      }
      // Once: a name that another run claims in between is that run's.
      if (leftoverRemoved || !RemoveLeftover(platform, name)) break;
      leftoverRemoved = true;
    }
  }
  return true;
}

}  // namespace

bool LooksLikeInventory(std::string_view start) {
  auto beginsRecord = [&](std::string_view kind) {
    return start.starts_with(kind) && start.substr(kind.size()).starts_with(kFieldDelimiter);
  };
  return start.empty() || beginsRecord("File") || beginsRecord("Directory");
}

std::optional<ClaimedInventory> ChooseInventoryName(Platform& platform, std::string_view base) {
  std::optional<ClaimedInventory> claimed;
  // An installed program leaves its folder as the package made it, also when
  // it could write there (run as root): the temporary folder takes the
  // inventories, as it does for a folder that cannot be written.
  const std::string exeFolder = platform.ExecutableFolder();
  if (platform.IsSystemProgramFolder(exeFolder) ||
      !ClaimIn(platform, exeFolder, base, true, claimed)) {
    ClaimIn(platform, platform.TemporaryFolder(), base, false, claimed);
  }
  return claimed;
}

}  // namespace fts
