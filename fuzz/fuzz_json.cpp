// The JSON reader on arbitrary bytes: a pattern or a message, never a crash; a pattern it reads
// is valid, and writing it and reading it again is a fixed point in both layouts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "json/json.hpp"
#include "match/matcher.hpp"

using namespace vashlet;
using vashlet::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Result<Pattern> read = pattern_from_json(text);
  if (!read) {
    require(!read.error().empty(), "empty JSON message");
    return 0;
  }
  require(validate_pattern(read.value()).ok(), "the reader returned an invalid pattern");
  const std::string compact = pattern_to_json(read.value());
  const Result<Pattern> again = pattern_from_json(compact);
  require(again.ok(), "a written document does not read back");
  require(pattern_to_json(again.value()) == compact, "writing is not a fixed point");
  const Result<Pattern> pretty = pattern_from_json(pattern_to_json_pretty(read.value()));
  require(pretty.ok() && pattern_to_json(pretty.value()) == compact, "the pretty form differs");
  return 0;
}
