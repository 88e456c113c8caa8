#include "mirror/record.h"

#include <charconv>
#include <string>

#include "run/run_errors.h"
#include "run/run_state.h"

namespace fts {

void SetUpRecordSplitter(TStrArrayClass& splitter) {
  splitter.SetDelimiter(kFieldDelimiter);
  splitter.SetQuote("");
}

std::int64_t DepthOf(const TStrArrayClass& record) {
  const std::string_view text = record.GetItem(kDepthField);
  std::int64_t depth = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), depth);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || depth < 0) {
    throw ConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return depth;
}

}  // namespace fts
