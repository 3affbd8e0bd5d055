#include "memory/packed_events.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace vashlet {

namespace {

// Reading and writing numbers and texts at any offset of the block (they are not aligned).
template <class Number>
void put(std::byte* bytes, std::size_t& at, Number number) {
  std::memcpy(bytes + at, &number, sizeof number);
  at += sizeof number;
}

template <class Number>
Number take(const std::byte* bytes, std::size_t& at) {
  Number number;
  std::memcpy(&number, bytes + at, sizeof number);
  at += sizeof number;
  return number;
}

void put_text(std::byte* bytes, std::size_t& at, std::string_view text) {
  put<std::uint64_t>(bytes, at, text.size());
  if (!text.empty()) std::memcpy(bytes + at, text.data(), text.size());
  at += text.size();
}

std::string_view take_text(const std::byte* bytes, std::size_t& at) {
  const std::size_t size = take<std::uint64_t>(bytes, at);
  const std::string_view text(reinterpret_cast<const char*>(bytes + at), size);
  at += size;
  return text;
}

std::size_t text_bytes(std::string_view text) { return sizeof(std::uint64_t) + text.size(); }

std::size_t value_bytes(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: return 1 + text_bytes(value.as_string());
    case ValueKind::Int: return 1 + sizeof(std::int64_t);
    case ValueKind::Float: return 1 + sizeof(double);
    case ValueKind::Bool: return 2;
    case ValueKind::Null: return 1;
  }
  invariant_failure("a value has one of five kinds");
}

void put_value(std::byte* bytes, std::size_t& at, const Value& value) {
  put<std::uint8_t>(bytes, at, static_cast<std::uint8_t>(value.kind()));
  switch (value.kind()) {
    case ValueKind::String: put_text(bytes, at, value.as_string()); return;
    case ValueKind::Int: put<std::int64_t>(bytes, at, value.as_int()); return;
    case ValueKind::Float: put<double>(bytes, at, value.as_float()); return;
    case ValueKind::Bool: put<std::uint8_t>(bytes, at, value.as_bool() ? 1 : 0); return;
    case ValueKind::Null: return;
  }
}

Value take_value(const std::byte* bytes, std::size_t& at) {
  switch (static_cast<ValueKind>(take<std::uint8_t>(bytes, at))) {
    case ValueKind::String: return Value::string(std::string(take_text(bytes, at)));
    case ValueKind::Int: return Value::integer(take<std::int64_t>(bytes, at));
    case ValueKind::Float: return Value::floating(take<double>(bytes, at));
    case ValueKind::Bool: return Value::boolean(take<std::uint8_t>(bytes, at) != 0);
    case ValueKind::Null: return Value::null();
  }
  invariant_failure("a packed value has one of five kinds");
}

// Where event i starts: its timestamp comes first.
std::size_t offset_of(const std::byte* bytes, std::size_t i) {
  std::size_t at = sizeof(std::uint64_t) * (1 + i);
  return take<std::uint64_t>(bytes, at);
}

std::int64_t ts_in(const std::byte* bytes, std::size_t i) {
  std::size_t at = offset_of(bytes, i);
  return take<std::int64_t>(bytes, at);
}

}  // namespace

std::size_t PackedEvents::write_count(std::byte* block, std::size_t count) {
  std::size_t at = 0;
  put<std::uint64_t>(block, at, count);
  return header_bytes(count);
}

std::size_t PackedEvents::header_bytes(std::size_t count) {
  return sizeof(std::uint64_t) * (1 + count);
}

std::size_t PackedEvents::packed_bytes(const Event& event) {
  std::size_t bytes = sizeof(std::int64_t) + text_bytes(event.partition) + text_bytes(event.typ) +
                      sizeof(std::uint64_t);
  for (const auto& [name, value] : event.attrs) bytes += text_bytes(name) + value_bytes(value);
  return bytes;
}

void PackedEvents::write_offset(std::byte* block, std::size_t i, std::size_t at) {
  std::size_t slot = sizeof(std::uint64_t) * (1 + i);
  put<std::uint64_t>(block, slot, at);
}

std::size_t PackedEvents::write(std::byte* bytes, std::size_t at, const Event& event) {
  put<std::int64_t>(bytes, at, event.ts);
  put_text(bytes, at, event.partition);
  put_text(bytes, at, event.typ);
  put<std::uint64_t>(bytes, at, event.attrs.size());
  for (const auto& [name, value] : event.attrs) {
    put_text(bytes, at, name);
    put_value(bytes, at, value);
  }
  return at;
}

std::size_t PackedEvents::size() const {
  if (!bytes_) return 0;
  std::size_t at = 0;
  return take<std::uint64_t>(bytes_.get(), at);
}

std::int64_t PackedEvents::ts(std::size_t i) const { return ts_in(bytes_.get(), i); }

std::string_view PackedEvents::partition(std::size_t i) const {
  std::size_t at = offset_of(bytes_.get(), i) + sizeof(std::int64_t);
  return take_text(bytes_.get(), at);
}

std::string_view PackedEvents::typ(std::size_t i) const {
  std::size_t at = offset_of(bytes_.get(), i) + sizeof(std::int64_t);
  take_text(bytes_.get(), at);  // the partition
  return take_text(bytes_.get(), at);
}

Event PackedEvents::event(std::size_t i) const {
  const std::byte* bytes = bytes_.get();
  std::size_t at = offset_of(bytes, i);
  Event event;
  event.ts = take<std::int64_t>(bytes, at);
  event.partition = std::string(take_text(bytes, at));
  event.typ = std::string(take_text(bytes, at));
  const std::size_t count = take<std::uint64_t>(bytes, at);
  event.attrs.reserve(count);
  for (std::size_t n = 0; n < count; ++n) {
    std::string name(take_text(bytes, at));
    event.attrs.set(std::move(name), take_value(bytes, at));  // in ascending order: appends
  }
  return event;
}

std::int64_t PackedEventSlabs::ts(Place place, std::size_t i) const {
  return ts_in(slabs_.at(place.slab).get() + place.offset, i);
}

void PackedEventSlabs::start_slab(std::size_t bytes) {
  if (slabs_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    invariant_failure("packed event slabs are numbered in 32 bits");
  }
  slabs_.reserve(slabs_.size() + 1);  // so that a slab once allocated is always held
  if (bytes <= kSlabBytes) {
    slabs_.emplace_back(static_cast<std::byte*>(allocate_slab()), release_slab);
    slab_bytes_ = kSlabBytes;
  } else {
    std::shared_ptr<std::byte[]> own = std::make_shared_for_overwrite<std::byte[]>(bytes);
    std::byte* start = own.get();
    slabs_.emplace_back(std::move(own), start);
    slab_bytes_ = bytes;
  }
  used_ = 0;
}

}  // namespace vashlet
