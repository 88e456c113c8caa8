#include "inventory/inventory_writer.h"

#include <algorithm>
#include <utility>

#include "inventory/time_stamp.h"
#include "platform/interrupt_cleanup.h"
#include "run/run_errors.h"
#include "text/record_escape.h"

namespace fts {
namespace {

constexpr std::size_t kWriteBufferSize = 1 << 20;

// Collects records and hands them to the system a large block at a time.
class BufferedInventoryFile {
 public:
  BufferedInventoryFile(File& file, std::string name) : file_(file), name_(std::move(name)) {
    buffer_.reserve(kWriteBufferSize + 4096);
  }

  std::string& Buffer() { return buffer_; }

  void FlushIfFull() {
    if (buffer_.size() >= kWriteBufferSize) Flush();
  }

  void Flush() {
    if (buffer_.empty()) return;
    Status status = file_.Append(buffer_.data(), buffer_.size());
    if (!status) throw InventoryIoError("cannot write " + name_ + ": " + status.message);
    buffer_.clear();
  }

  void Close() {
    Flush();
    Status status = file_.Close();
    if (!status) throw InventoryIoError("cannot close " + name_ + ": " + status.message);
  }

 private:
  File& file_;
  std::string name_;
  std::string buffer_;
};

std::string InventoryName(std::string_view folder, std::string_view base, int number) {
  std::string name(folder);
  name += base;
  if (number > 1) name += std::to_string(number);
  name += ".txt";
  return name;
}

CleanupSlot SlotOf(Side side) {
  return side == Side::kSource ? CleanupSlot::kSourceInventory : CleanupSlot::kDestinationInventory;
}

}  // namespace

namespace {

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
        throw InventoryIoError("cannot create " + name + ": " + result.message);
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

std::string StripTrailingBackslash(std::string_view text) {
  if (!text.empty() && text.back() == kPathSeparator) text.remove_suffix(1);
  return std::string(text);
}

void FormatInventoryRecord(std::string& out, std::string_view fullPath, bool isFile,
                           std::string_view root, std::string_view timeStamp) {
  const std::string_view relPath = fullPath.substr(std::min(root.size(), fullPath.size()));
  out += isFile ? "File" : "Directory";
  out += kFieldDelimiter;
  AppendEscapedRecordPath(out, fullPath);
  out += kFieldDelimiter;
  AppendEscapedRecordPath(out, relPath);
  out += kFieldDelimiter;
  out += std::to_string(std::count(relPath.begin(), relPath.end(), kPathSeparator));
  out += kFieldDelimiter;
  out += timeStamp;
  out += kFieldDelimiter;
  out += '1';
}

namespace {

// Claims the side's inventory name and registers the file for the
// interrupt clean-up in one step that no interrupt can split.
std::optional<ClaimedInventory> ClaimInventory(RunContext& run, Side side) {
  const std::string_view base =
      side == Side::kSource ? kSourceInventoryBase : kDestinationInventoryBase;
  InterruptHoldOff holdOff;
  std::optional<ClaimedInventory> claimed = ChooseInventoryName(run.platform, base);
  if (claimed) {
    SetInterruptCleanupPath(SlotOf(side), claimed->fileName);
    Inventory& inventory = run.state.InventoryOf(side);
    inventory.fileName = claimed->fileName;
    inventory.identity = claimed->file->Identity();
  }
  return claimed;
}

void LogLimitReached(RunContext& run) {
  run.log.WriteLog("Parallel Process Limit Over!(MAX:" + std::to_string(kMaxParallelRuns) + ")");
}

}  // namespace

void ListSide(RunContext& run, Side side, File& file, ListingReport& report,
              const std::atomic<bool>* stop) {
  const RunState& state = run.state;
  const std::string& fileName = state.InventoryOf(side).fileName;
  BufferedInventoryFile out(file, fileName);
  for (const std::string& root : side == Side::kSource ? state.fromRoots : state.toRoots) {
    WalkOptions options;
    options.links = side == Side::kSource ? LinkPolicy::kFollow : LinkPolicy::kDoNotFollow;
    // The run's own inventories may lie inside either tree; they are not
    // part of it.
    for (const Inventory* own : {&state.source, &state.destination}) {
      if (!own->fileName.empty()) options.excluded.push_back(own->identity);
    }
    options.onListFailure = [&](const std::string& folder, std::int32_t level,
                                const std::string& error) {
      const std::string relPath = level == 0 ? std::string() : folder.substr(root.size());
      report.messages.push_back("Cannot List Folder : " + root + relPath + " : " + error);
      report.unlistedFolders.push_back(relPath);
    };

    // WriteFromRecord and WriteToRecord: one record per entry, every
    // directory entered, no listing ended early.
    const WalkCallback writeRecord = [&](const WalkEntry& entry, bool& descend) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) throw ListingStopped();
      FormatInventoryRecord(out.Buffer(), entry.fullPath, entry.isFile, root,
                            entry.isFile ? TimeStampOf(run.platform, entry.info, side) : "");
      out.Buffer() += "\r\n";
      out.FlushIfFull();
      if (!entry.isFile) descend = true;
      return false;
    };
    WalkFolder(run.platform, StripTrailingBackslash(root), 0, writeRecord, options);
  }
  out.Close();
}

InventoryListing::InventoryListing(RunContext& run) : run_(run) {}

InventoryListing::~InventoryListing() {
  stop_ = true;
  if (destinationWalk_.joinable()) destinationWalk_.join();
}

bool InventoryListing::WriteSource() {
  auto source = ClaimInventory(run_, Side::kSource);
  if (!source) {
    LogLimitReached(run_);
    return false;
  }
  destination_ = ClaimInventory(run_, Side::kDestination);
  if (destination_) {
    destinationWalk_ = std::thread([this] {
      try {
        ListSide(run_, Side::kDestination, *destination_->file, destinationReport_, &stop_);
      } catch (const ListingStopped&) {
      } catch (...) {
        destinationError_ = std::current_exception();
      }
    });
  }
  ListingReport report;
  ListSide(run_, Side::kSource, *source->file, report, nullptr);
  Publish(report, Side::kSource);
  return true;
}

bool InventoryListing::WriteDestination() {
  if (!destination_) {
    LogLimitReached(run_);
    return false;
  }
  destinationWalk_.join();
  if (destinationError_) std::rethrow_exception(destinationError_);
  Publish(destinationReport_, Side::kDestination);
  return true;
}

void InventoryListing::Publish(const ListingReport& report, Side side) {
  for (const std::string& message : report.messages)
    run_.log.WriteLog(message);
  if (!report.unlistedFolders.empty()) run_.state.listingFailed = true;
  if (side == Side::kSource) {
    auto& unlisted = run_.state.unlistedSourceFolders;
    unlisted.insert(unlisted.end(), report.unlistedFolders.begin(), report.unlistedFolders.end());
  }
}

}  // namespace fts
