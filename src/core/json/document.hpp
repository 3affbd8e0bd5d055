// The document being read: its bytes, positions worded as "at line L column C", and the iterator
// through which the JSON library reads it while recording how far it has read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

namespace vashlet::json_reader {

inline bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

class Document {
 public:
  explicit Document(std::string_view text) : text_(text) {}

  std::size_t size() const { return text_.size(); }
  bool at_end(std::size_t p) const { return p >= text_.size(); }
  char operator[](std::size_t p) const { return text_[p]; }
  std::string_view text() const { return text_; }

  std::size_t skip_space(std::size_t p) const {
    while (p < text_.size() && is_json_space(text_[p])) ++p;
    return p;
  }

  // " at line L column C" for the point just after the first `consumed` bytes: the column is
  // the number of bytes of the current line consumed so far.
  std::string after(std::size_t consumed) const {
    consumed = std::min(consumed, text_.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < consumed; ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
  }
  // The position of the byte at `p` itself (the last byte when `p` is the end).
  std::string at(std::size_t p) const { return after(p + 1); }

 private:
  std::string_view text_;
};

// Hands the document to the library and records how far the library has read.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** read_up_to) : at_(at), read_up_to_(read_up_to) {}

  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    *read_up_to_ = ++at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) { return a.at_ == b.at_; }

 private:
  const char* at_;
  const char** read_up_to_;
};

}  // namespace vashlet::json_reader
