#include "mirror/content_checks.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace fts {

std::vector<bool> ContentChecks::CompareAll() {
  // One byte a pair: each thread writes its own.
  std::vector<char> same(pairs_.size(), 0);
  std::atomic<std::size_t> next{0};
  auto compare = [&] {
    for (std::size_t i = next++; i < pairs_.size(); i = next++) {
      const auto answer = platform_.SameContents(pairs_[i].first, pairs_[i].second);
      same[i] = answer && *answer;
    }
  };
  const std::size_t threads =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(readers_, 1)), pairs_.size());
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < threads; ++i)
    helpers.emplace_back(compare);
  compare();
  for (std::thread& helper : helpers)
    helper.join();
  pairs_.clear();
  return std::vector<bool>(same.begin(), same.end());
}

}  // namespace fts
