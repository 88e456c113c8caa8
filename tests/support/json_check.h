// A strict reader of JSON documents for the tests: whether a text is one
// valid document, and the text of a value found by its name.
#pragma once

#include <string>
#include <string_view>

namespace fts::test {

// True when `text` is exactly one JSON value (and blanks); otherwise
// `error` says where it breaks off.
bool IsValidJson(std::string_view text, std::string* error = nullptr);

// The value text after the first `"name": ` in a document (a number, true,
// false, or a string without its quotes and escapes undone).
std::string JsonValue(std::string_view text, std::string_view name);

}  // namespace fts::test
