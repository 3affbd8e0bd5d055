// A stream's snapshot reader on arbitrary bytes, given with the checksum a snapshot ends with so
// that the fuzzing reaches past it: a stream or a message, never a crash. A stream it restores
// writes the same bytes again, and can be flushed (or says why not).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "match/exhaustive_budget.hpp"
#include "stream/stream.hpp"
#include "stream/stream_state.hpp"

using namespace vashlet;
using vashlet::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::uint64_t sum = stream::snapshot_checksum(bytes);
  bytes.append(reinterpret_cast<const char*>(&sum), sizeof sum);
  std::variant<Stream, arrow::InputFailure> restored = Stream::restore(bytes);
  if (auto* failure = std::get_if<arrow::InputFailure>(&restored)) {
    require(!failure->message.empty(), "empty snapshot message");
    return 0;
  }
  Stream& stream = std::get<Stream>(restored);
  const std::string written = stream.snapshot();
  std::variant<Stream, arrow::InputFailure> again = Stream::restore(written);
  require(std::holds_alternative<Stream>(again), "a written snapshot does not read back");
  require(std::get<Stream>(again).snapshot() == written, "writing is not a fixed point");
  (void)stream.stats();
  try {
    (void)stream.flush();
  } catch (const MatchLimitError&) {
    // A restored `max_matches` (or the memory budget) may stop an exhaustive flush, as it would
    // stop a one-shot call: a message, not a crash.
  }
  return 0;
}
