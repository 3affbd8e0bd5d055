// The pattern language on arbitrary bytes: it answers with a pattern or a caret message, never
// crashes, builds only valid patterns, and to_text writes every pattern it or the one-line
// parser builds so that the language reads it back equal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "plan/validate.hpp"
#include "text/grammar.hpp"
#include "text/parser.hpp"
#include "text/pattern_text.hpp"

using namespace vashlet;
using vashlet::fuzz::require;

namespace {

void require_round_trip(const Pattern& pattern) {
  const Result<std::string> text = pattern_to_text(pattern);
  require(text.ok(), "to_text refuses a pattern read from text");
  const Result<Pattern> again = parse_language(text.value());
  require(again.ok(), "the language does not read what to_text wrote");
  require(again.value() == pattern, "to_text changes a pattern");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Result<Pattern> read = parse_language(text);
  if (read) {
    require(validate_pattern(read.value()).ok(), "the language built an invalid pattern");
    require_round_trip(read.value());
  } else {
    require(read.error().find(" column ") != std::string::npos, "a message without its column");
  }
  const Result<Pattern> one_line = parse_pattern(text);
  if (one_line) require_round_trip(one_line.value());
  return 0;
}
