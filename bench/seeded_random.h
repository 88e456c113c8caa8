// The seeded randomness of the benchmark's generators: the tree generator
// and the comparison benchmark draw the same names, sizes and times from it,
// so one seed gives the same tree in both.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace fts::bench {

// splitmix64: small, fast and good enough for names, sizes and contents.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // Uniform in [low, high], both included.
  std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
    if (high <= low) return low;
    return low + Next() % (high - low + 1);
  }

 private:
  std::uint64_t state_;
};

inline std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
  Random random(a * 0x100000001B3ULL ^ b);
  random.Next();
  return random.Next();
}

inline std::uint64_t HashText(std::uint64_t seed, std::string_view text) {
  std::uint64_t hash = 0xCBF29CE484222325ULL ^ seed;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001B3ULL;
  }
  return Mix(hash, seed);
}

// What generated file names are made of: a stem, sometimes something that
// real trees have too (a blank, a comma, an accent), and an extension.
inline constexpr std::array<std::string_view, 12> kFileStems = {
    "report",  "data",  "image",   "notes", "backup", "log",
    "invoice", "draft", "summary", "scan",  "page",   "track"};
inline constexpr std::array<std::string_view, 8> kFileExtensions = {".txt", ".dat", ".jpg", ".pdf",
                                                                    ".csv", ".bin", ".md",  ""};

}  // namespace fts::bench
