// The destination tree on Windows. Before each action every folder on the
// way from the root to the target's parent is opened as itself (never
// through a link or junction), refused when it is one, and held open without
// delete sharing until the action is done, so that none can be swapped for a
// link meanwhile. The action then reaches its target through those folders.
// windows.h first: it renames DeleteFile and the like for every header after.
#include <windows.h>
#include <winioctl.h>

#include "platform/windows_destination.h"

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/interrupt_cleanup.h"
#include "platform/wide_text.h"
#include "platform/windows_paths.h"
#include "platform/windows_system.h"

namespace fts {
namespace {

// "The create operation stopped after reaching a symbolic link."
constexpr DWORD kStoppedOnLink = 681;

// The attributes that a copy takes over from its source.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// The attributes that a change of attributes keeps as they are, besides
// the read-only one it sets or clears.
constexpr DWORD kKeptAttributes =
    (kCopiedAttributes | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE) &
    ~FILE_ATTRIBUTE_READONLY;

// Sets the attributes of the entry itself, also when it is a link.
void SetAttributesOf(const std::wstring& system, DWORD current, DWORD wanted) {
  wanted &= ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  if (!(current & FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetFileAttributesW(system.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
    return;
  }
  Handle link(CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                          nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!link.Valid()) {
    return;
  }
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted;
  SetFileInformationByHandle(link.Get(), FileBasicInfo, &basic, sizeof basic);
}

// Runs a delete or remove that a read-only attribute would refuse: the
// attribute is cleared first, and put back when the action still fails.
template <typename Action>
Status WithWriteAllowed(std::string_view operation, const std::string& path,
                        const std::wstring& system, DWORD attributes, Action action) {
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    SetAttributesOf(system, attributes, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (action()) {
    return Status::Ok();
  }
  const DWORD error = GetLastError();
  if (readOnly) {
    SetAttributesOf(system, attributes & ~FILE_ATTRIBUTE_READONLY, attributes);
  }
  return SystemError(operation, path, error);
}

// The file a copy reads or writes, and the name it is known by.
struct CopyEnd {
  HANDLE handle;
  const std::string& path;
};

class WindowsDestinationTree : public DestinationTree {
 public:
  WindowsDestinationTree(Handle root, std::wstring rootSystem, std::string rootPath)
      : root_(std::move(root)),
        rootSystem_(std::move(rootSystem)),
        rootPath_(std::move(rootPath)) {}

  Status DeleteFile(std::string_view relPath) override {
    const std::string path = rootPath_ + std::string(relPath);
    auto held = HoldParents(relPath, "delete", path);
    if (!held) {
      return held.status();
    }
    const std::wstring system = SystemOf(relPath);
    const DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return SystemError("delete", path);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      // A link or junction to a folder goes as itself, through a handle on
      // the link itself: what it leads to is never touched (removing it by
      // name removes an empty folder behind a link on some systems).
      return WithWriteAllowed("delete", path, system, attributes,
                              [&] { return DeleteLinkItself(system); });
    }
    return WithWriteAllowed("delete", path, system, attributes,
                            [&] { return DeleteFileW(system.c_str()) != 0; });
  }

  Status RemoveDirectory(std::string_view relPath) override {
    const std::string path = rootPath_ + std::string(relPath);
    auto held = HoldParents(relPath, "remove", path);
    if (!held) {
      return held.status();
    }
    const std::wstring system = SystemOf(relPath);
    const DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return SystemError("remove", path);
    }
    return WithWriteAllowed("remove", path, system, attributes,
                            [&] { return RemoveDirectoryW(system.c_str()) != 0; });
  }

  Status MakeDirectory(std::string_view relPath) override {
    const std::string path = rootPath_ + std::string(relPath);
    auto held = HoldParents(relPath, "make", path);
    if (!held) {
      return held.status();
    }
    return CreateDirectoryW(SystemOf(relPath).c_str(), nullptr) ? Status::Ok()
                                                                : SystemError("make", path);
  }

  Status MakeDirectoryWith(std::string_view relPath, const EntryAttributes& attributes) override {
    const std::string path = rootPath_ + std::string(relPath);
    auto held = HoldParents(relPath, "make", path);
    if (!held) {
      return held.status();
    }
    const std::wstring system = SystemOf(relPath);
    if (!CreateDirectoryW(system.c_str(), nullptr)) {
      return SystemError("make", path);
    }
    return ApplyAttributes(system, path, attributes);
  }

  // The read-only attribute as the permission value asks (see
  // ModeOfAttributes) and, on a file, the last-write time. The entry keeps
  // its identity: it is changed, never replaced.
  Status SetAttributes(std::string_view relPath, const EntryAttributes& attributes) override {
    const std::string path = rootPath_ + std::string(relPath);
    auto held = HoldParents(relPath, "set the attributes of", path);
    if (!held) {
      return held.status();
    }
    return ApplyAttributes(SystemOf(relPath), path, attributes);
  }

  Result<std::uint64_t> CopyFile(const std::string& from, std::string_view relPath,
                                 Replace replace) override {
    const std::string to = rootPath_ + std::string(relPath);
    // A file that another program holds open, even for writing, is copied
    // as it stands.
    Handle in(CreateFileW(SystemPath(from).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) {
      return SystemError("copy", from);
    }
    // A pipe or a device would block or never end: only files on disk copy.
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(in.Get()) != FILE_TYPE_DISK) {
      return Status::Error("copy", from, "Not a regular file");
    }
    if (!GetFileInformationByHandle(in.Get(), &information)) {
      return SystemError("copy", from);
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      return Status::Error("copy", from, "Not a regular file");
    }
    auto held = HoldParents(relPath, "copy to", to);
    if (!held) {
      return held.status();
    }
    if (Status copied = CopyOpenFile({in.Get(), from}, information, SystemOf(relPath), to, replace);
        !copied) {
      return copied;
    }
    return (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
  }

  Status MoveFileTo(std::string_view relPath, DestinationTree& other,
                    std::string_view targetRelPath) override {
    auto& target = dynamic_cast<WindowsDestinationTree&>(other);
    const std::string path = rootPath_ + std::string(relPath);
    const std::string targetPath = target.rootPath_ + std::string(targetRelPath);
    auto held = HoldParents(relPath, "move", path);
    if (!held) {
      return held.status();
    }
    if (Status made = target.MakeFolders(targetRelPath, targetPath); !made) {
      return made;
    }
    auto targetHeld = target.HoldParents(targetRelPath, "move to", targetPath);
    if (!targetHeld) {
      return targetHeld.status();
    }
    const std::wstring system = SystemOf(relPath);
    if (MoveFileExW(system.c_str(), target.SystemOf(targetRelPath).c_str(), 0)) {
      return Status::Ok();
    }
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SAME_DEVICE) {
      return SystemError("move", path, error);
    }
    // Another volume: a copy that is complete before the original goes.
    if (auto copied = target.CopyFile(DisplayPath(system), targetRelPath, Replace::kNo); !copied) {
      return copied.status();
    }
    return DeleteFile(relPath);
  }

 private:
  // True when the entry under `system` is a link as its folder lists it. Some
  // systems open what a link leads to even when asked for the link itself,
  // so the open handle alone cannot tell.
  static bool NamedLink(const std::wstring& system) {
    WIN32_FIND_DATAW data;
    const HANDLE find =
        FindFirstFileExW(system.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
      return false;
    }
    FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(data.dwReserved0);
  }

  // Changes the entry under `system` through a handle on the entry itself,
  // refused when it is a link or junction: the read-only attribute, and the
  // time unless it is a folder.
  static Status ApplyAttributes(const std::wstring& system, const std::string& path,
                                const EntryAttributes& attributes) {
    constexpr std::string_view kOperation = "set the attributes of";
    Handle entry(CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                             kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!entry.Valid() ||
        !GetFileInformationByHandleEx(entry.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return SystemError(kOperation, path);
    }
    if (((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag.ReparseTag)) ||
        NamedLink(system)) {
      return SystemError(kOperation, path, kStoppedOnLink);
    }
    const DWORD current = tag.FileAttributes;
    const DWORD kept = current & kKeptAttributes;
    const DWORD wanted = kept | (ReadOnlyForMode(attributes.mode) ? FILE_ATTRIBUTE_READONLY : 0);
    FILE_BASIC_INFO change{};  // times left 0 stay as they are
    if (!(current & FILE_ATTRIBUTE_DIRECTORY)) {
      FILETIME time;
      if (!ToFiletime(attributes.lastWrite, time)) {
        return SystemError("set the time of", path, ERROR_INVALID_PARAMETER);
      }
      change.LastWriteTime.LowPart = time.dwLowDateTime;
      change.LastWriteTime.HighPart = static_cast<LONG>(time.dwHighDateTime);
    }
    if (wanted != (current & (kKeptAttributes | FILE_ATTRIBUTE_READONLY))) {
      change.FileAttributes = wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted;
    }
    auto set = [&](FILE_BASIC_INFO basic) {
      return SetFileInformationByHandle(entry.Get(), FileBasicInfo, &basic, sizeof basic) != 0;
    };
    if (change.FileAttributes == 0 && change.LastWriteTime.QuadPart == 0) {
      return Status::Ok();
    }
    if (set(change)) {
      return Status::Ok();
    }
    DWORD error = GetLastError();
    if (!((current | wanted) & FILE_ATTRIBUTE_READONLY) || change.LastWriteTime.QuadPart == 0) {
      return SystemError(kOperation, path, error);
    }
    // Some systems keep the time of a read-only file: writable first, then
    // the time, then the attribute asked for.
    FILE_BASIC_INFO writable{};
    writable.FileAttributes = kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
    FILE_BASIC_INFO timeOnly{};
    timeOnly.LastWriteTime = change.LastWriteTime;
    FILE_BASIC_INFO asked{};
    asked.FileAttributes = wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted;
    if (!set(writable)) {
      return SystemError(kOperation, path);
    }
    if (!set(timeOnly)) {
      error = GetLastError();
      FILE_BASIC_INFO before{};
      before.FileAttributes = current & (kKeptAttributes | FILE_ATTRIBUTE_READONLY);
      if (before.FileAttributes == 0) {
        before.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      }
      set(before);
      return SystemError("set the time of", path, error);
    }
    return set(asked) ? Status::Ok() : SystemError(kOperation, path);
  }

  static bool DeleteLinkItself(const std::wstring& system) {
    Handle link(CreateFileW(system.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!link.Valid() ||
        !GetFileInformationByHandleEx(link.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return false;
    }
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      // The handle reached what the link leads to, not the link.
      SetLastError(kStoppedOnLink);
      return false;
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(link.Get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
  }

  std::wstring SystemOf(std::string_view relPath) const {
    return rootSystem_ + WideFromUtf8(relPath);
  }

  // Opens every folder from the root down to the parent of `relPath` as
  // itself, refuses a link or junction among them, and returns them held.
  Result<std::vector<Handle>> HoldParents(std::string_view relPath, std::string_view operation,
                                          const std::string& path) const {
    std::vector<Handle> held;
    std::wstring folder = rootSystem_;
    for (std::size_t end; (end = relPath.find('\\')) != std::string_view::npos;
         relPath.remove_prefix(end + 1)) {
      folder += WideFromUtf8(relPath.substr(0, end));
      Handle handle(CreateFileW(
          folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!handle.Valid()) {
        return SystemError(operation, path);
      }
      FILE_ATTRIBUTE_TAG_INFO tag{};
      if (!GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return SystemError(operation, path);
      }
      if (((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag.ReparseTag)) ||
          NamedLink(folder)) {
        return SystemError(operation, path, kStoppedOnLink);
      }
      if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return SystemError(operation, path, ERROR_DIRECTORY);
      }
      held.push_back(std::move(handle));
      folder += L'\\';
    }
    return held;
  }

  // Makes the folders above `relPath` below the root that are missing.
  Status MakeFolders(std::string_view relPath, const std::string& path) const {
    std::wstring folder = rootSystem_;
    for (std::size_t end; (end = relPath.find('\\')) != std::string_view::npos;
         relPath.remove_prefix(end + 1)) {
      folder += WideFromUtf8(relPath.substr(0, end));
      if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return SystemError("move to", path);
      }
      folder += L'\\';
    }
    return Status::Ok();
  }

  // Writes the copy under a temporary name in the destination folder and
  // renames it over the final name: neither a link standing there nor a
  // half-written file can result, and a failed copy leaves nothing behind.
  Status CopyOpenFile(CopyEnd in, const BY_HANDLE_FILE_INFORMATION& information,
                      const std::wstring& target, const std::string& to, Replace replace) {
    const std::wstring folder = FolderPart(target);
    std::wstring temporary;
    Handle out;
    {
      InterruptHoldOff holdOff;
      for (int attempt = 0; attempt < 100 && !out.Valid(); ++attempt) {
        temporary = folder + L".fts-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(copyCounter_++) + L".tmp";
        // Open for deleting too: an interrupt deletes the file while the
        // copy writes it.
        out.Reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.Valid()) {
          const DWORD error = GetLastError();
          if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return SystemError("copy to", to, error);
          }
        }
      }
      if (!out.Valid()) {
        return SystemError("copy to", to);
      }
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, DisplayPath(temporary));
    }

    Status status = CopyData(in, information, {out.Get(), to});
    if (status && !SetFileTime(out.Get(), nullptr, nullptr, &information.ftLastWriteTime)) {
      status = SystemError("set the time of", to);
    }
    if (!CloseHandle(out.Release()) && status) {
      status = SystemError("copy to", to);
    }
    const DWORD attributes = information.dwFileAttributes & kCopiedAttributes;
    if (status && !SetFileAttributesW(temporary.c_str(),
                                      attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes)) {
      status = SystemError("set the attributes of", to);
    }
    if (status && !MoveFileExW(temporary.c_str(), target.c_str(),
                               replace == Replace::kYes ? MOVEFILE_REPLACE_EXISTING : 0)) {
      status = SystemError(replace == Replace::kYes ? "replace" : "copy to", to);
    }
    if (!status) {
      SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(temporary.c_str());
    }
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, "");
    return status;
  }

  // A sparse file keeps its holes where both file systems can tell and make
  // them: only the stretches that hold data go into a copy marked sparse.
  // Where either refuses, the whole contents are copied, holes as zeros.
  static Status CopyData(CopyEnd in, const BY_HANDLE_FILE_INFORMATION& information, CopyEnd out) {
    if (information.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) {
      const auto size = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
      DWORD unused = 0;
      if (auto ranges = AllocatedRanges(in.handle, size);
          ranges &&
          DeviceIoControl(out.handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr)) {
        return CopyRanges(in.handle, in.path, out.handle, out.path, *ranges, size);
      }
    }
    return CopyContents(in, out);
  }

  static Status CopyContents(CopyEnd in, CopyEnd out) {
    thread_local std::vector<char> buffer(1 << 20);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in.handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        return SystemError("read", in.path);
      }
      if (got == 0) {
        return Status::Ok();
      }
      for (DWORD done = 0; done < got;) {
        DWORD put = 0;
        if (!WriteFile(out.handle, buffer.data() + done, got - done, &put, nullptr)) {
          return SystemError("write", out.path);
        }
        if (put == 0) {
          return SystemError("write", out.path, ERROR_WRITE_FAULT);
        }
        done += put;
      }
    }
  }

  Handle root_;              // held for the run: the root cannot be swapped either
  std::wstring rootSystem_;  // \\?\ form, ending in a separator
  std::string rootPath_;     // as the log shows it, ending in a separator
  std::atomic<std::uint64_t> copyCounter_{0};
};

}  // namespace

Result<std::unique_ptr<DestinationTree>> OpenWindowsDestination(const std::string& root) {
  std::wstring system = SystemPath(root);
  // The root is followed once, as typed.
  Handle handle(CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) {
    return SystemError("open", root);
  }
  if (system.empty() || system.back() != L'\\') {
    system += L'\\';
  }
  std::string rootPath = root;
  if (rootPath.empty() || rootPath.back() != '\\') {
    rootPath += '\\';
  }
  return std::unique_ptr<DestinationTree>(std::make_unique<WindowsDestinationTree>(
      std::move(handle), std::move(system), std::move(rootPath)));
}

}  // namespace fts
