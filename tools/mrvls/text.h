// Text as the server holds it: documents arrive in UTF-8 over the protocol,
// positions count UTF-16 code units, and the compiler reads code page 932.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mrvls {

// A document's text with the byte offsets of its lines. Lines end at "\n"
// (a "\r" before it belongs to the line ending), as the compiler counts them.
class Text {
 public:
  Text() : Text(std::string()) {}
  explicit Text(std::string utf8);
  const std::string& str() const { return text_; }
  int lines() const { return static_cast<int>(starts_.size()); }
  // The line without its ending; empty past the end.
  std::string_view line(int n) const;
  // Byte offset of an LSP position (UTF-16 column), clamped into the text.
  std::size_t offset(int line, int utf16) const;
  // UTF-16 column of byte `column` of line `line`.
  int utf16_column(int line, std::size_t column) const;
  // The line that holds byte `offset`.
  int line_of(std::size_t offset) const;

 private:
  std::string text_;
  std::vector<std::size_t> starts_;
};

// UTF-16 code units in the UTF-8 text s (a broken sequence counts one unit
// per byte, as the replacement character it becomes).
int utf16_length(std::string_view s);

// UTF-8 to code page 932. Characters that code page 932 has no code for
// become "?"; `bad` receives their byte offsets in the UTF-8 text.
std::string to_cp932(std::string_view utf8, std::vector<std::size_t>* bad);
// Code page 932 to UTF-8; bytes that do not convert become U+FFFD.
std::string from_cp932(std::string_view cp932);
// The offset of the first byte sequence that is not code page 932, or
// npos when the whole text is.
std::size_t invalid_cp932(std::string_view bytes);

}  // namespace mrvls
