#include "inventory/record_format.h"

#include <algorithm>
#include <charconv>

#include "platform/platform.h"
#include "platform/status.h"

namespace fts {
namespace {

bool MustEncode(unsigned char c) {
  return c < 0x20 || c == '%' || c == '"' || c == ',';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool PathNeedsEscape(std::string_view path) {
  for (unsigned char c : path) {
    if (c < 0x20) return true;
  }
  return path.find("\",\"") != std::string_view::npos || path.ends_with("\",") ||
         path.starts_with(kEscapeMarker);
}

void AppendEscapedRecordPath(std::string& out, std::string_view path) {
  if (!PathNeedsEscape(path)) {
    out.append(path);
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.append(kEscapeMarker);
  for (unsigned char c : path) {
    if (MustEncode(c)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
}

std::string EscapeRecordPath(std::string_view path) {
  std::string out;
  AppendEscapedRecordPath(out, path);
  return out;
}

std::string UnescapeRecordPath(std::string_view field) {
  if (!field.starts_with(kEscapeMarker)) return std::string(field);
  field.remove_prefix(kEscapeMarker.size());
  std::string path;
  path.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size() && HexValue(field[i + 1]) >= 0 &&
        HexValue(field[i + 2]) >= 0) {
      path.push_back(static_cast<char>(HexValue(field[i + 1]) * 16 + HexValue(field[i + 2])));
      i += 2;
    } else {
      path.push_back(field[i]);
    }
  }
  return path;
}

std::string_view RecordPathView(std::string_view field, std::string& scratch) {
  if (!field.starts_with(kEscapeMarker)) return field;
  scratch = UnescapeRecordPath(field);
  return scratch;
}

void FormatInventoryRecord(std::string& out, std::string_view fullPath, bool isFile,
                           std::string_view root, std::string_view timeStamp,
                           std::optional<std::string_view> facts) {
  FormatInventoryRecordNamed(out, fullPath, fullPath.substr(std::min(root.size(), fullPath.size())),
                             isFile, timeStamp, facts);
}

void FormatInventoryRecordNamed(std::string& out, std::string_view fullPath,
                                std::string_view relPath, bool isFile, std::string_view timeStamp,
                                std::optional<std::string_view> facts) {
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
  if (facts) {
    out += *facts;
    out += kFieldDelimiter;
  }
  out += kActionPending;
}

void SetUpRecordSplitter(TStrArrayClass& splitter) {
  splitter.SetDelimiter(kFieldDelimiter);
  splitter.SetQuote("");
}

std::int64_t DepthOf(const TStrArrayClass& record) {
  const std::string_view text = record.GetItem(kDepthField);
  std::int64_t depth = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), depth);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || depth < 0) {
    ThrowRunError(
        Status::Error("convert", "'" + std::string(text) + "'", "not a valid integer value"),
        RunError::Kind::kConvert);
  }
  return depth;
}

}  // namespace fts
