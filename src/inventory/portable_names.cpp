#include "inventory/portable_names.h"

#include <array>
#include <cstdint>

namespace fts {
namespace {

constexpr std::string_view kQuote = "\xE2\x80\x9B";  // U+201B

// The characters refused anywhere in a name, with their look-alikes.
struct LookAlike {
  char refused;
  std::string_view written;
};
constexpr std::array<LookAlike, 8> kRefused = {{
    {'"', "\xEF\xBC\x82"},
    {'*', "\xEF\xBC\x8A"},
    {':', "\xEF\xBC\x9A"},
    {'<', "\xEF\xBC\x9C"},
    {'>', "\xEF\xBC\x9E"},
    {'?', "\xEF\xBC\x9F"},
    {'\\', "\xEF\xBC\xBC"},
    {'|', "\xEF\xBD\x9C"},
}};
constexpr std::string_view kFinalDot = "\xEF\xBC\x8E";    // U+FF0E
constexpr std::string_view kFinalBlank = "\xE2\x90\xA0";  // U+2420
constexpr std::string_view kDelete = "\xE2\x90\xA1";      // U+2421

bool IsControl(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

// U+2400 + byte for a control byte (U+2421 for 0x7F), as UTF-8.
std::string ControlPicture(unsigned char byte) {
  if (byte == 0x7F) return std::string(kDelete);
  std::string text = "\xE2\x90";
  text += static_cast<char>(0x80 + byte);
  return text;
}

// The length of the look-alike or quote that `name` begins with; 0 when it
// begins with neither.
std::size_t LookAlikeAt(std::string_view name) {
  if (name.size() < 3) return 0;
  const auto lead = static_cast<unsigned char>(name[0]);
  if (lead != 0xE2 && lead != 0xEF) return 0;
  const std::string_view three = name.substr(0, 3);
  if (three == kQuote || three == kFinalDot || three == kFinalBlank || three == kDelete) return 3;
  for (const LookAlike& pair : kRefused) {
    if (three == pair.written) return 3;
  }
  // U+2400..U+241F, the control pictures.
  const auto second = static_cast<unsigned char>(name[1]);
  const auto third = static_cast<unsigned char>(name[2]);
  return lead == 0xE2 && second == 0x90 && third >= 0x80 && third < 0xA0 ? 3 : 0;
}

// The character a look-alike stands for.
char Original(std::string_view lookAlike) {
  if (lookAlike == kFinalDot) return '.';
  if (lookAlike == kFinalBlank) return ' ';
  if (lookAlike == kDelete) return '\x7F';
  for (const LookAlike& pair : kRefused) {
    if (lookAlike == pair.written) return pair.refused;
  }
  return static_cast<char>(static_cast<unsigned char>(lookAlike[2]) - 0x80);
}

bool NeedsMapping(std::string_view name) {
  if (name.empty()) return false;
  if (name.back() == '.' || name.back() == ' ') return true;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsControl(byte) || byte == 0xE2 || byte == 0xEF) return true;
    for (const LookAlike& pair : kRefused) {
      if (c == pair.refused) return true;
    }
  }
  return false;
}

template <typename MapName>
std::string EachName(std::string_view relPath, char separator, MapName mapName) {
  std::string mapped;
  mapped.reserve(relPath.size());
  for (std::size_t begin = 0;;) {
    const std::size_t end = relPath.find(separator, begin);
    mapped += mapName(relPath.substr(begin, end - begin));
    if (end == std::string_view::npos) return mapped;
    mapped += separator;
    begin = end + 1;
  }
}

}  // namespace

std::string PortableName(std::string_view name) {
  if (!NeedsMapping(name)) return std::string(name);
  std::string written;
  written.reserve(name.size() + 8);
  for (std::size_t at = 0; at < name.size();) {
    if (const std::size_t length = LookAlikeAt(name.substr(at)); length != 0) {
      written += kQuote;
      written += name.substr(at, length);
      at += length;
      continue;
    }
    const char c = name[at++];
    const bool last = at == name.size();
    if (IsControl(static_cast<unsigned char>(c))) {
      written += ControlPicture(static_cast<unsigned char>(c));
    } else if (last && c == '.') {
      written += kFinalDot;
    } else if (last && c == ' ') {
      written += kFinalBlank;
    } else {
      bool refused = false;
      for (const LookAlike& pair : kRefused) {
        if (c == pair.refused) {
          written += pair.written;
          refused = true;
        }
      }
      if (!refused) written += c;
    }
  }
  return written;
}

std::string NameFromPortable(std::string_view name) {
  std::string original;
  original.reserve(name.size());
  for (std::size_t at = 0; at < name.size();) {
    const std::string_view rest = name.substr(at);
    if (rest.starts_with(kQuote) && LookAlikeAt(rest.substr(kQuote.size())) != 0) {
      original += rest.substr(kQuote.size(), 3);
      at += kQuote.size() + 3;
    } else if (LookAlikeAt(rest) != 0 && !rest.starts_with(kQuote)) {
      original += Original(rest.substr(0, 3));
      at += 3;
    } else {
      original += name[at++];
    }
  }
  return original;
}

std::string PortablePath(std::string_view relPath, char separator) {
  return EachName(relPath, separator, PortableName);
}

std::string PathFromPortable(std::string_view relPath, char separator) {
  return EachName(relPath, separator, NameFromPortable);
}

bool ParseNameMapping(std::string_view text, NameMapping& mapping) {
  if (text != "portable") return false;
  mapping = NameMapping::kPortable;
  return true;
}

}  // namespace fts
