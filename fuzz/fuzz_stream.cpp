// A stream's snapshot reader on arbitrary bytes: a stream or a message, never a crash. A stream
// it restores writes the same bytes again, and can be flushed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "stream/stream.hpp"

using namespace vashlet;
using vashlet::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
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
  (void)stream.flush();
  return 0;
}
