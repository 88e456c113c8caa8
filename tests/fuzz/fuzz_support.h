// What the fuzz targets share: a check that stops the run on a broken
// property (libFuzzer then keeps the input as a crash), and readers that take
// the parts of an input apart. The inputs are kept readable where that is
// cheap, so that the seeds in tests/fuzz/corpus/ can be written by hand.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fts::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
  std::abort();
}

}  // namespace fts::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fts::fuzz::Fail(__FILE__, __LINE__, #condition))

namespace fts::fuzz {

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The first byte modulo `limit`, taken off the input; 0 for an empty input.
// For the limits used (2, 3, 4, 8: they divide 48, the byte of '0') a digit
// below the limit stands for itself, so seeds can be written as text.
inline unsigned TakeSelector(std::string_view& input, unsigned limit) {
  if (input.empty()) return 0;
  const auto value = static_cast<unsigned char>(input.front()) % limit;
  input.remove_prefix(1);
  return value;
}

// Up to `count` bytes, taken off the front of the input.
inline std::string_view TakeBytes(std::string_view& input, std::size_t count) {
  const std::string_view taken = input.substr(0, count);
  input.remove_prefix(taken.size());
  return taken;
}

// The text up to the first `end` byte (or all of it), taken off the input
// with that byte.
inline std::string_view TakeUntil(std::string_view& input, char end) {
  const std::size_t at = input.find(end);
  const std::string_view taken = input.substr(0, at);
  input.remove_prefix(at == std::string_view::npos ? input.size() : at + 1);
  return taken;
}

inline std::vector<std::string_view> SplitAt(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// Decimal numbers separated by blanks, each cut to an int by keeping its low
// 32 bits, so that every int can be written and the text stays short; what
// is not a number reads as 0.
inline std::vector<int> ParseNumbers(std::string_view text) {
  std::vector<int> numbers;
  for (std::string_view word : SplitAt(text, ' ')) {
    if (word.empty()) continue;
    long long value = 0;
    std::from_chars(word.data(), word.data() + word.size(), value);
    numbers.push_back(static_cast<int>(static_cast<std::uint32_t>(value)));
  }
  return numbers;
}

}  // namespace fts::fuzz
