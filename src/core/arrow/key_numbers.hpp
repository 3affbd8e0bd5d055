// Short byte strings (partitions and types, mostly) as two machine words, and the numbering of
// distinct keys by first appearance that the table reader gives partitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vashlet {

// A byte string of up to 16 bytes read into two words (with overlapping loads, so without a
// call), so that short keys, which partitions and types mostly are, hash and compare in a few
// instructions. Two keys of the same size are equal exactly when their words are.
struct ShortKey {
  std::uint64_t words[2] = {0, 0};
  std::size_t size = 0;
  bool fits = false;  // at most 16 bytes

  static std::uint64_t load(const char* at, std::size_t bytes) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, bytes);  // a fixed size: one load
    return word;
  }

  explicit ShortKey(std::string_view key) : size(key.size()), fits(key.size() <= 16) {
    const char* p = key.data();
    const std::size_t n = key.size();
    if (n >= 8) {
      words[0] = load(p, 8);
      if (n > 8 && fits) words[1] = load(p + n - 8, 8);
    } else if (n >= 4) {
      std::uint32_t head, tail;
      std::memcpy(&head, p, 4);
      std::memcpy(&tail, p + n - 4, 4);
      words[0] = head | (std::uint64_t{tail} << 32);
    } else if (n > 0) {
      words[0] = static_cast<unsigned char>(p[0]) |
                 (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
                 (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
    }
  }

  // For keys that fit: equal words and sizes mean equal bytes.
  bool same_as(const ShortKey& other) const {
    return size == other.size && words[0] == other.words[0] && words[1] == other.words[1];
  }
};

// Numbers distinct keys (byte strings) in order of first appearance: an open-addressing table
// of (hash, number), with the keys' bytes in one arena. Partitions are looked up once per event,
// so this is cheaper than a node-based map of strings.
class KeyNumbers {
 public:
  // The number of `key`, where it has one.
  std::optional<std::uint32_t> find(std::string_view key) const {
    if (slots_.empty()) return std::nullopt;
    const ShortKey short_key(key);
    const std::uint64_t hash = hash_of(key, short_key);
    const std::uint64_t check = check_of(short_key, hash);
    for (std::size_t at = static_cast<std::size_t>(hash) & (slots_.size() - 1);;
         at = (at + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[at];
      if (slot.number == kEmpty) return std::nullopt;
      if (holds(slot, check, key, short_key)) return slot.number;
    }
  }
  std::size_t size() const { return count_; }
  // The bytes its table and keys take.
  std::size_t bytes() const {
    return slots_.capacity() * sizeof(Slot) + keys_.capacity() * sizeof(Key) + arena_.capacity();
  }

  // The number of `key`; a new key gets the next number, and `on_new` runs for it.
  template <class OnNew>
  std::uint32_t number(std::string_view key, OnNew&& on_new) {
    if (slots_.empty() || 2 * (count_ + 1) > slots_.size()) grow();
    const ShortKey short_key(key);
    const std::uint64_t hash = hash_of(key, short_key);
    const std::uint64_t check = check_of(short_key, hash);
    std::size_t at = static_cast<std::size_t>(hash) & (slots_.size() - 1);
    while (true) {
      Slot& slot = slots_[at];
      if (slot.number == kEmpty) {
        on_new();
        slot = {check, static_cast<std::uint32_t>(count_), size_tag(key.size())};
        keys_.push_back({arena_.size(), hash, short_key});
        arena_.append(key);
        return static_cast<std::uint32_t>(count_++);
      }
      if (holds(slot, check, key, short_key)) return slot.number;
      at = (at + 1) & (slots_.size() - 1);
    }
  }

 private:
  // A key of at most 8 bytes is told apart by its slot alone (its first word and its size),
  // without a visit to its Key: partitions are mostly that short, and arrive in no order.
  struct Slot {
    std::uint64_t check;  // a key of at most 8 bytes: its first word; a longer one: its hash
    std::uint32_t number;
    std::uint32_t size;  // the key's size, or kLong when above 8 bytes
  };
  struct Key {
    std::size_t offset;  // in the arena
    std::uint64_t hash;
    ShortKey short_key;
  };
  static constexpr std::uint32_t kEmpty = static_cast<std::uint32_t>(-1);
  static constexpr std::uint32_t kLong = static_cast<std::uint32_t>(-1);

  static std::uint32_t size_tag(std::size_t size) {
    return size <= 8 ? static_cast<std::uint32_t>(size) : kLong;
  }
  // Up to 8 bytes, the first word holds the whole key (ShortKey's words[1] is then zero).
  static std::uint64_t check_of(const ShortKey& short_key, std::uint64_t hash) {
    return short_key.size <= 8 ? short_key.words[0] : hash;
  }
  bool holds(const Slot& slot, std::uint64_t check, std::string_view key,
             const ShortKey& short_key) const {
    if (slot.check != check || slot.size != size_tag(key.size())) return false;
    return key.size() <= 8 || same_key(slot.number, key, short_key);
  }

  static std::uint64_t hash_of(std::string_view key, const ShortKey& short_key) {
    if (!short_key.fits) return std::hash<std::string_view>{}(key) * 0x9E3779B97F4A7C15ull;
    std::uint64_t h = (short_key.words[0] ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h ^= (short_key.words[1] + key.size()) * 0x94D049BB133111EBull;
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
  }

  bool same_key(std::uint32_t number, std::string_view key, const ShortKey& short_key) const {
    const Key& known = keys_[number];
    if (short_key.fits) return known.short_key.same_as(short_key);
    return known.short_key.size == key.size() &&
           std::memcmp(arena_.data() + known.offset, key.data(), key.size()) == 0;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, kEmpty, 0});
    for (const Slot& slot : old) {
      if (slot.number == kEmpty) continue;
      const std::uint64_t hash = keys_[slot.number].hash;
      std::size_t at = static_cast<std::size_t>(hash) & (slots_.size() - 1);
      while (slots_[at].number != kEmpty) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::vector<Key> keys_;
  std::string arena_;
  std::size_t count_ = 0;
};

}  // namespace vashlet
