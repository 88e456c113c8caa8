#include "platform/windows_system.h"

#include "platform/wide_text.h"

namespace fts {

std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string raw;
  if (length > 0 && buffer != nullptr) {
    raw = Utf8FromWide(std::wstring_view(buffer, length));
  }
  if (buffer != nullptr) {
    LocalFree(buffer);
  }
  // The text ends in CR LF, and a long one may hold more line breaks: each
  // run of them becomes one blank, and none is left at the end.
  std::string text;
  for (char c : raw) {
    if (c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ') {
        text += ' ';
      }
    } else {
      text += c;
    }
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) {
    // The system's own text, for a code that some systems have none for.
    text = error == 681 ? "The create operation stopped after reaching a symbolic link."
                        : "System error " + std::to_string(error) + ".";
  }
  return text;
}

std::wstring FolderPart(const std::wstring& systemPath) {
  const auto separator = systemPath.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring(L".\\")
                                         : systemPath.substr(0, separator + 1);
}

}  // namespace fts
