// The pattern text parser on arbitrary bytes: it answers with a pattern or a message, never
// crashes, and every pattern it builds is valid and survives the JSON form unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "json/json.hpp"
#include "match/matcher.hpp"
#include "text/parser.hpp"
#include "text/utf8.hpp"

using namespace vashlet;
using vashlet::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view head = take_until_transition(text);
  require(head.data() == text.data() && head.size() <= text.size(), "take_until_transition leaves the text");
  (void)parse_atom(text);

  const Result<Pattern> parsed = parse_pattern(text);
  if (!parsed) {
    require(!parsed.error().empty(), "empty parse message");
    return 0;
  }
  require(validate_pattern(parsed.value()).ok(), "the parser built an invalid pattern");
  // Strings of a pattern read from UTF-8 text are UTF-8, and only they have a JSON form.
  if (!is_utf8(text) || !fuzz::literals_finite(parsed.value())) return 0;
  const std::string document = pattern_to_json(parsed.value());
  const Result<Pattern> again = pattern_from_json(document);
  require(again.ok(), "the JSON form of a parsed pattern does not read back");
  require(again.value() == parsed.value(), "the JSON form changes a parsed pattern");
  require(pattern_from_json(pattern_to_json_pretty(parsed.value())).ok(), "pretty form does not read back");
  return 0;
}
