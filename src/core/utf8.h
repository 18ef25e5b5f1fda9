// The core's UTF-8 unit: one code point to and from UTF-8, and whole UTF-16
// or code-point strings to UTF-8.
//
// The single-character helpers serve the text kernels (lower-casing, word
// cores). The string conversions serve the binding: the interpreter hands a
// non-ASCII str over as UTF-16 or as code points (a copy that widens each
// character) far faster than it encodes it as UTF-8 (a character at a time),
// so text conversion takes one of those and produces the UTF-8 here. Which
// one is cheaper depends on the str: UTF-16 for characters up to U+FFFF, code
// points beyond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelmo {

// ----------------------------------------------------------- one character

// Number of bytes of the UTF-8 sequence that starts with `lead`; 0 for a byte
// that cannot start one (a continuation byte or 0xF8..0xFF).
inline constexpr size_t utf8_sequence_length(unsigned char lead) noexcept {
  return lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 0;
}

// Whether `b` continues a sequence (10xxxxxx) rather than starting one.
inline constexpr bool is_utf8_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the code point at `p` and advances `p` past it. The input must be
// valid UTF-8 with a complete sequence at `p`; a byte that cannot start one
// is returned as is and stepped over (never stalls).
inline char32_t decode_utf8(const char*& p) noexcept {
  const auto b0 = static_cast<unsigned char>(p[0]);
  if (b0 < 0x80) {
    ++p;
    return b0;
  }
  const size_t n = utf8_sequence_length(b0);
  if (n == 0) {
    ++p;
    return b0;
  }
  char32_t c = b0 & (0x7Fu >> n);
  for (size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(p[i]) & 0x3Fu);
  p += n;
  return c;
}

// Writes the 1 to 4 UTF-8 bytes of code point c (at most U+10FFFF; a
// surrogate takes three) at `o` and returns how many.
inline size_t encode_utf8(uint32_t c, unsigned char* o) noexcept {
  if (c < 0x80) {
    o[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// Appends the UTF-8 of code point c to `out`. Out of line: it serves loops
// whose common case copies bytes, and inlined it would crowd them.
void append_utf8(std::string& out, char32_t c);

// ----------------------------------------------------------- whole strings

// Bytes past the end of its result that a conversion may overwrite.
constexpr size_t kUtf8Overrun = 64;

// Returned when the input holds a surrogate code point (U+D800..U+DFFF),
// which UTF-8 can't carry.
constexpr size_t kNotScalar = static_cast<size_t>(-1);

// Writes the UTF-8 form of the n UTF-16 units at `in` to `out` and returns
// its length: 1 to 3 bytes a unit, 4 for a surrogate pair (two units). It
// writes nothing beyond its result and kUtf8Overrun bytes more, which `out`
// must have room for. A surrogate outside a pair, which the interpreter's
// UTF-16 never holds, is written as its own 3-byte sequence.
size_t utf16_to_utf8(const char16_t* in, size_t n, unsigned char* out) noexcept;

// Writes the UTF-8 form of the n code points at `in` (each at most U+10FFFF)
// to `out` and returns its length, 1 to 4 bytes a code point; `beyond` tells
// whether any is beyond U+FFFF. It writes nothing beyond its result and
// kUtf8Overrun bytes more, which `out` must have room for. Returns
// kNotScalar, with `out` holding no meaningful bytes, when a surrogate is
// among the code points.
size_t utf32_to_utf8(const uint32_t* in, size_t n, unsigned char* out, bool& beyond) noexcept;

// The UTF-8 length of the n code points at `in` (each at most U+10FFFF),
// without writing it; kNotScalar when a surrogate is among them.
size_t utf8_length_of_points(const uint32_t* in, size_t n) noexcept;

// Whether both conversions run their vector paths here. Without them, a
// conversion is about as fast as the interpreter's own UTF-8 encoder, which
// callers may then prefer.
bool utf8_conversion_vectorised() noexcept;

// For tests: the same conversions without the vector paths.
size_t utf16_to_utf8_portable(const char16_t* in, size_t n, unsigned char* out) noexcept;
size_t utf32_to_utf8_portable(const uint32_t* in, size_t n, unsigned char* out, bool& beyond) noexcept;
size_t utf8_length_of_points_portable(const uint32_t* in, size_t n) noexcept;

}  // namespace zelmo
