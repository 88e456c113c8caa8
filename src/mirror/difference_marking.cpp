#include "mirror/difference_marking.h"

#include <string>

#include "mirror/line_index.h"
#include "run/run_errors.h"
#include "text/record_escape.h"

namespace fts {
namespace {

std::int64_t Mid(std::int64_t lo, std::int64_t hi) { return (lo + hi) / 2; }

void FindIdenticalPairs(RunContext& run) {
  RunState& state = run.state;
  const std::vector<std::int64_t>& index = state.toLineIndex;
  auto offsetAt = [&](std::int64_t entry) { return index[static_cast<std::size_t>(entry)]; };

  TStrArrayClass sourceSplitter;
  TStrArrayClass sharedSplitter;
  SetUpRecordSplitter(sourceSplitter);
  SetUpRecordSplitter(sharedSplitter);
  InventoryTextFile source(run.platform, state.source.fileName);
  InventoryTextFile destination(run.platform, state.destination.fileName);
  source.Open();
  destination.Open();

  std::string sourceLine;
  std::string destinationLine;
  while (!source.Eof()) {
    source.ReadLine(sourceLine);
    sourceSplitter.Split(sourceLine);
    const std::string_view sourceRelPath = sourceSplitter.GetItem(kRelPathField);
    const std::string_view sourceTimeStamp = sourceSplitter.GetItem(kTimeStampField);

    std::int64_t lo = 0;
    std::int64_t hi = static_cast<std::int64_t>(index.size()) - 1;
    std::int64_t lastLo = -1;
    if (!index.empty()) destination.Seek(offsetAt(Mid(lo, hi)));

    while (!destination.Eof()) {
      destination.ReadLine(destinationLine);
      sharedSplitter.Split(destinationLine);
      const std::string_view relPath = sharedSplitter.GetItem(kRelPathField);
      const int order = CompareOrdinal(sourceRelPath, relPath);
      std::int64_t probeOffset;
      if (order == 0) {
        if (sourceTimeStamp == sharedSplitter.GetItem(kTimeStampField)) {
          state.fromMatches.push_back(source.Pos() - 2);
          state.toMatches.push_back(destination.Pos() - 2);
        }
        break;
      } else if (order > 0) {
        lo = Mid(lo, hi);
        probeOffset = offsetAt(Mid(lo, hi));
        if (lo == hi) break;
        // A move of lo that made no progress: the next probe is hi.
        if (lo == lastLo) {
          lo = hi;
          probeOffset = offsetAt(hi);
        }
        lastLo = lo;
      } else {
        hi = Mid(lo, hi);
        probeOffset = offsetAt(Mid(lo, hi));
        if (lo == hi) break;
      }
      destination.Seek(probeOffset);
    }
  }
  source.Close();
  destination.Close();
}

// Overwrites the ActionFlag before each listed line end with "0".
void WriteMarks(Platform& platform, const std::string& fileName,
                const std::vector<std::int64_t>& lineEnds) {
  std::string error;
  auto stream = platform.OpenFile(fileName, OpenMode::kWriteExisting, error);
  if (!stream) throw MarkOpenError("cannot open " + fileName + " to mark it: " + error);
  for (std::int64_t lineEnd : lineEnds) {
    Status status = stream->WriteAt(lineEnd - 1, "0", 1);
    if (!status) throw InventoryIoError("cannot mark " + fileName + ": " + status.message);
  }
  Status status = stream->Close();
  if (!status) throw InventoryIoError("cannot close " + fileName + ": " + status.message);
}

bool AtOrBelow(const std::string& relPath, const std::string& folder) {
  if (folder.empty()) return true;
  return relPath.starts_with(folder) &&
         (relPath.size() == folder.size() || relPath[folder.size()] == kPathSeparator);
}

// The line ends of destination records at or below an unlisted source folder.
std::vector<std::int64_t> FindProtectedRecords(RunContext& run) {
  std::vector<std::int64_t> lineEnds;
  const auto& folders = run.state.unlistedSourceFolders;
  if (folders.empty()) return lineEnds;

  TStrArrayClass sharedSplitter;
  SetUpRecordSplitter(sharedSplitter);
  InventoryTextFile destination(run.platform, run.state.destination.fileName);
  std::string line;
  destination.Open();
  while (!destination.Eof()) {
    destination.ReadLine(line);
    sharedSplitter.Split(line);
    const std::string relPath = UnescapeRecordPath(sharedSplitter.GetItem(kRelPathField));
    for (const std::string& folder : folders) {
      if (AtOrBelow(relPath, folder)) {
        lineEnds.push_back(destination.Pos() - 2);
        break;
      }
    }
  }
  destination.Close();
  return lineEnds;
}

}  // namespace

void MarkIdenticalRecords(RunContext& run) {
  FindIdenticalPairs(run);
  WriteMarks(run.platform, run.state.source.fileName, run.state.fromMatches);
  WriteMarks(run.platform, run.state.destination.fileName, run.state.toMatches);

  const std::vector<std::int64_t> protectedRecords = FindProtectedRecords(run);
  if (!protectedRecords.empty()) {
    WriteMarks(run.platform, run.state.destination.fileName, protectedRecords);
  }
}

}  // namespace fts
