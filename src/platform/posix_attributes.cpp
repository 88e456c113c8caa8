// Extended attributes on POSIX systems: listed, read, written and removed
// through the f* calls on an open file, the l* calls on a name whose last part
// is not followed, and the plain calls on one that is.
#include "platform/posix_attributes.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix_system_error.h"

namespace fts {
namespace {

constexpr std::string_view kAclAccess = "system.posix_acl_access";
constexpr std::string_view kAclDefault = "system.posix_acl_default";

ssize_t List(const XattrPlace& place, char* buffer, std::size_t size) {
  if (place.fd >= 0) return flistxattr(place.fd, buffer, size);
  return place.follow ? listxattr(place.path, buffer, size) : llistxattr(place.path, buffer, size);
}

ssize_t Get(const XattrPlace& place, const char* name, void* buffer, std::size_t size) {
  if (place.fd >= 0) return fgetxattr(place.fd, name, buffer, size);
  return place.follow ? getxattr(place.path, name, buffer, size)
                      : lgetxattr(place.path, name, buffer, size);
}

int Set(const XattrPlace& place, const std::string& name, const std::string& value) {
  if (place.fd >= 0) return fsetxattr(place.fd, name.c_str(), value.data(), value.size(), 0);
  return place.follow ? setxattr(place.path, name.c_str(), value.data(), value.size(), 0)
                      : lsetxattr(place.path, name.c_str(), value.data(), value.size(), 0);
}

int Remove(const XattrPlace& place, const std::string& name) {
  if (place.fd >= 0) return fremovexattr(place.fd, name.c_str());
  return place.follow ? removexattr(place.path, name.c_str())
                      : lremovexattr(place.path, name.c_str());
}

bool NotSupported(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP;
}

// Fills `buffer` through `call(data, size)`, which fails with ERANGE when
// the buffer is too small and tells the size needed when asked with none.
// The size read, or -1 with errno set.
template <typename Call>
ssize_t ReadGrowing(std::vector<char>& buffer, Call call) {
  for (;;) {
    const ssize_t got = call(buffer.data(), buffer.size());
    if (got >= 0 || errno != ERANGE) return got;
    const ssize_t needed = call(nullptr, 0);
    if (needed < 0) return needed;
    buffer.resize(std::max(buffer.size() * 2, static_cast<std::size_t>(needed)));
  }
}

// The entry's names of the carried kinds, sorted; 0, or the error number
// of the listing.
int CarriedNames(const XattrPlace& place, const CarriedItems& items,
                 std::vector<std::string>& names) {
  thread_local std::vector<char> buffer(1024);
  const ssize_t size = ReadGrowing(
      buffer, [&](char* data, std::size_t length) { return List(place, data, length); });
  if (size < 0) return errno;
  const std::string_view all(buffer.data(), static_cast<std::size_t>(size));
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = std::min(all.find('\0', start), all.size());
    const std::string_view name = all.substr(start, end - start);
    if (IsCarriedXattr(name, items)) names.emplace_back(name);
    start = end + 1;
  }
  std::sort(names.begin(), names.end());
  return 0;
}

bool StartsWith(std::string_view name, std::string_view prefix) {
  return name.size() > prefix.size() && name.starts_with(prefix);
}

}  // namespace

bool IsCarriedXattr(std::string_view name, const CarriedItems& items) {
  if (name == kAclAccess || name == kAclDefault) return items.acls;
  if (!items.xattrs) return false;
  if (StartsWith(name, "user.")) return true;
  // Namespaces that only a privileged process may read and write.
  static const bool root = geteuid() == 0;
  return root && (StartsWith(name, "trusted.") || StartsWith(name, "security."));
}

Result<ExtendedAttributes> ReadXattrs(const XattrPlace& place, const CarriedItems& items,
                                      const std::string& path) {
  ExtendedAttributes attributes;
  if (!items.xattrs && !items.acls) return attributes;
  std::vector<std::string> names;
  if (const int error = CarriedNames(place, items, names); error != 0) {
    if (NotSupported(error)) return attributes;  // a file system that has none
    return SystemError("read the extended attributes of", path, error);
  }
  thread_local std::vector<char> value(4096);
  for (std::string& name : names) {
    const ssize_t size = ReadGrowing(value, [&](char* data, std::size_t length) {
      return Get(place, name.c_str(), data, length);
    });
    if (size < 0) {
      if (errno == ENODATA) continue;  // removed since it was listed
      return SystemError("read the extended attributes of", path);
    }
    attributes.emplace_back(std::move(name),
                            std::string(value.data(), static_cast<std::size_t>(size)));
  }
  return attributes;
}

Status WriteXattrs(const XattrPlace& place, const ExtendedAttributes& wanted,
                   const CarriedItems& items, const std::string& path) {
  if (!items.xattrs && !items.acls) return Status::Ok();
  const bool anyWanted = std::any_of(wanted.begin(), wanted.end(), [&](const auto& attribute) {
    return IsCarriedXattr(attribute.first, items);
  });
  std::vector<std::string> present;
  if (const int error = CarriedNames(place, items, present); error != 0) {
    // A file system without extended attributes holds none of them.
    if (NotSupported(error) && !anyWanted) return Status::Ok();
    return SystemError(
        NotSupported(error) ? "set the extended attributes of" : "read the extended attributes of",
        path, error);
  }
  for (const std::string& name : present) {
    const bool kept = std::any_of(wanted.begin(), wanted.end(),
                                  [&](const auto& attribute) { return attribute.first == name; });
    if (!kept && Remove(place, name) != 0 && errno != ENODATA) {
      return SystemError("set the extended attributes of", path);
    }
  }
  for (const auto& [name, value] : wanted) {
    if (IsCarriedXattr(name, items) && Set(place, name, value) != 0) {
      return SystemError("set the extended attributes of", path);
    }
  }
  return Status::Ok();
}

std::optional<bool> HasNoCarriedXattrsAt(int folder, const char* name, bool follow,
                                         const CarriedItems& items) {
#if defined(__x86_64__) || defined(__aarch64__)
  constexpr long kListXattrAt = 465;  // Linux 6.13 and later
  static std::atomic<bool> offered{true};
  if (!offered.load(std::memory_order_relaxed)) return std::nullopt;
  char names[1024];
  const long length =
      syscall(kListXattrAt, folder, name, follow ? 0 : AT_SYMLINK_NOFOLLOW, names, sizeof names);
  if (length < 0) {
    if (errno == ENOSYS) offered = false;
    // Too many names for the buffer, or a failure that a look-up by path
    // reports with its path.
    return std::nullopt;
  }
  for (long at = 0; at < length; at += static_cast<long>(std::strlen(names + at)) + 1) {
    if (IsCarriedXattr(names + at, items)) return false;
  }
  return true;
#else
  (void)folder, (void)name, (void)follow, (void)items;
  return std::nullopt;
#endif
}

}  // namespace fts
