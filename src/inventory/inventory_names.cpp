#include "inventory/inventory_names.h"

#include "inventory/inventory_files.h"
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

// Claims the first free of the 99 names in `folder`; `claimed` stays empty
// when every name is taken. Returns false when the folder cannot be written
// and `mayFallBack` allows another folder to be tried.
bool ClaimIn(Platform& platform, const std::string& folder, std::string_view base, bool mayFallBack,
             std::optional<ClaimedInventory>& claimed) {
  for (int number = 1; number <= kMaxParallelRuns; ++number) {
    const std::string name = InventoryName(folder, base, number);
    CreateResult result = platform.CreateNewFile(name);
    switch (result.outcome) {
      case CreateOutcome::kCreated:
        claimed = ClaimedInventory{name, std::move(result.file)};
        return true;
      case CreateOutcome::kNameTaken:
        continue;
      case CreateOutcome::kNotWritable:
        if (mayFallBack) return false;
        [[fallthrough]];
      case CreateOutcome::kFailed:
        ThrowRunError(result.status);
    }
  }
  return true;
}

}  // namespace

std::optional<ClaimedInventory> ChooseInventoryName(Platform& platform, std::string_view base) {
  std::optional<ClaimedInventory> claimed;
  if (!ClaimIn(platform, platform.ExecutableFolder(), base, true, claimed)) {
    ClaimIn(platform, platform.TemporaryFolder(), base, false, claimed);
  }
  return claimed;
}

}  // namespace fts
