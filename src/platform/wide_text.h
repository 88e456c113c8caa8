// Windows names are UTF-16; inside the program every name is UTF-8. These
// convert at the boundary so that every name the system can hold comes back
// unchanged: a lone surrogate, which a Windows name may hold though it is no
// character, travels in the three-byte form that UTF-8 would give it.
#pragma once

#include <string>
#include <string_view>

namespace fts {

std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);

}  // namespace fts
