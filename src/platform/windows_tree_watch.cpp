#include "platform/windows_tree_watch.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/wide_text.h"
#include "platform/windows_paths.h"
#include "platform/windows_system.h"

namespace fts {
namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                          FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_CREATION;
// The most a share passes on in one answer; a local folder takes as much.
constexpr std::size_t kBufferSize = 64 << 10;

std::wstring Join(const std::wstring& folder, std::wstring_view name) {
  return folder.empty() ? std::wstring(name) : folder + L'\\' + std::wstring(name);
}

std::wstring ParentOf(const std::wstring& relPath) {
  const auto separator = relPath.rfind(L'\\');
  return separator == std::wstring::npos ? std::wstring() : relPath.substr(0, separator);
}

class DirectoryChangesWatch : public TreeWatch {
 public:
  DirectoryChangesWatch(Handle folder, Handle event, std::string root)
      : folder_(std::move(folder)), event_(std::move(event)), root_(std::move(root)) {
    systemRoot_ = SystemPath(root_);
    if (systemRoot_.back() != L'\\') systemRoot_ += L'\\';
  }

  // The system must no longer write into the buffer once it is gone.
  ~DirectoryChangesWatch() override {
    if (reading_) {
      CancelIoEx(folder_.Get(), &overlapped_);
      DWORD length = 0;
      GetOverlappedResult(folder_.Get(), &overlapped_, &length, TRUE);
    }
  }

  // Asks for the next changes. Between two reads the system keeps what
  // changes in a buffer of its own, as large as the first read's.
  bool StartRead() {
    ResetEvent(event_.Get());
    overlapped_ = {};
    overlapped_.hEvent = event_.Get();
    reading_ = ReadDirectoryChangesW(folder_.Get(), buffer_, sizeof buffer_, TRUE, kFilter, nullptr,
                                     &overlapped_, nullptr) != 0;
    return reading_;
  }

  Status Wait(std::chrono::milliseconds timeout, TreeChanges& changes) override {
    const auto milliseconds =
        static_cast<DWORD>(std::clamp<std::int64_t>(timeout.count(), 0, INFINITE - 1));
    if (!reading_) {
      // The source went: nothing more will come, as on Linux.
      Sleep(milliseconds);
      return Status::Ok();
    }
    const DWORD waited = WaitForSingleObject(event_.Get(), milliseconds);
    if (waited == WAIT_TIMEOUT) return Status::Ok();
    if (waited != WAIT_OBJECT_0) return SystemError("watch", root_);
    DWORD length = 0;
    reading_ = false;
    if (!GetOverlappedResult(folder_.Get(), &overlapped_, &length, FALSE)) {
      const DWORD error = GetLastError();
      if (error != ERROR_NOTIFY_ENUM_DIR) return Ended(error, changes);
      Lose("the queue of changes overflowed", changes);
    } else if (length == 0) {
      // The system's buffer overflowed, unless the source itself went.
      if (!RootStands()) return Ended(ERROR_SUCCESS, changes);
      Lose("the queue of changes overflowed", changes);
    } else {
      Take(length, changes);
    }
    if (!StartRead()) return Ended(GetLastError(), changes);
    return Status::Ok();
  }

 private:
  bool RootStands() const {
    const DWORD attributes = GetFileAttributesW(systemRoot_.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  // A read failed: the end of the watch, unless the source went, which the
  // watch outlives as the Linux one does. Its handle goes: a folder deleted
  // while a handle is open stays until the handle closes, and its name
  // cannot be used again until then.
  Status Ended(DWORD error, TreeChanges& changes) {
    if (RootStands()) return SystemError("watch", root_, error);
    folder_.Reset();
    Lose("the source folder was moved or deleted", changes);
    return Status::Ok();
  }

  // The records of one read: names relative to the root, each record
  // DWORD-aligned and pointing to the next.
  void Take(DWORD length, TreeChanges& changes) {
    std::unordered_set<std::wstring> folders;
    std::unordered_set<std::wstring> subtrees;
    constexpr std::size_t kHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    for (std::size_t at = 0; at + kHead <= length;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
      if (at + kHead + record->FileNameLength > length) break;
      std::wstring relPath(record->FileName, record->FileNameLength / sizeof(wchar_t));
      Note(record->Action, relPath, folders, subtrees);
      if (record->NextEntryOffset == 0) break;
      at += record->NextEntryOffset;
    }
    stored_.clear();
    for (const std::wstring& folder : folders)
      changes.folders.push_back(Utf8FromWide(Stored(folder)));
    for (const std::wstring& subtree : subtrees)
      changes.subtrees.push_back(Utf8FromWide(Stored(subtree)));
  }

  // One name's change, as the Linux watch tells it. The record does not
  // say whether the name is a folder, so the entry under it is looked at:
  // a removed name that is not a file standing there may have been a
  // folder, whose contents went with it.
  void Note(DWORD action, const std::wstring& relPath, std::unordered_set<std::wstring>& folders,
            std::unordered_set<std::wstring>& subtrees) {
    const DWORD attributes = GetFileAttributesW((systemRoot_ + relPath).c_str());
    const bool seen = attributes != INVALID_FILE_ATTRIBUTES;
    const bool folder = seen && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    switch (action) {
      case FILE_ACTION_ADDED:
      case FILE_ACTION_RENAMED_NEW_NAME:
        if (folder) {
          subtrees.insert(relPath);
        } else {
          folders.insert(ParentOf(relPath));
        }
        break;
      case FILE_ACTION_REMOVED:
      case FILE_ACTION_RENAMED_OLD_NAME:
        if (!seen || folder) subtrees.insert(relPath);
        folders.insert(ParentOf(relPath));
        break;
      default:  // modified: its contents, times or attributes
        folders.insert(ParentOf(relPath));
        break;
    }
  }

  // `relPath` with each name as its folder holds it. A record spells a
  // name as the program that changed it did, in another letter case or as
  // its short 8.3 name, while a pass compares names byte for byte. A name
  // that is gone stays as the record spelled it.
  std::wstring Stored(const std::wstring& relPath) {
    if (relPath.empty()) return relPath;
    if (auto known = stored_.find(relPath); known != stored_.end()) return known->second;
    const auto separator = relPath.rfind(L'\\');
    const std::wstring parent =
        separator == std::wstring::npos ? std::wstring() : Stored(relPath.substr(0, separator));
    std::wstring name = relPath.substr(separator == std::wstring::npos ? 0 : separator + 1);
    WIN32_FIND_DATAW found;
    const HANDLE find =
        FindFirstFileExW((systemRoot_ + Join(parent, name)).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
      name = found.cFileName;
      FindClose(find);
    }
    return stored_[relPath] = Join(parent, name);
  }

  // Each reason is told once; told again, it is an empty text.
  void Lose(const std::string& reason, TreeChanges& changes) {
    changes.lost.push_back(told_.emplace(reason).second ? reason : std::string());
  }

  Handle folder_;
  Handle event_;
  const std::string root_;
  std::wstring systemRoot_;  // ends in '\'
  OVERLAPPED overlapped_{};
  bool reading_ = false;
  alignas(DWORD) unsigned char buffer_[kBufferSize];
  std::unordered_map<std::wstring, std::wstring> stored_;  // of one read's names
  std::unordered_set<std::string> told_;
};

}  // namespace

Result<std::unique_ptr<TreeWatch>> WatchTreeWithDirectoryChanges(const std::string& root) {
  const std::wstring system = SystemPath(root);
  // Every kind of sharing: the watch keeps no one from renaming or
  // deleting what it watches, the root included.
  Handle folder(CreateFileW(system.c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  if (!folder.Valid()) return SystemError("watch", root);
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.Valid()) return SystemError("watch", root);
  auto watch = std::make_unique<DirectoryChangesWatch>(std::move(folder), std::move(event), root);
  if (!watch->StartRead()) return SystemError("watch", root);
  return std::unique_ptr<TreeWatch>(std::move(watch));
}

}  // namespace fts
