// UTF-16 and code points to UTF-8.
//
// The interpreter hands a non-ASCII str over as UTF-16 or as code points (a
// copy that widens each character) far faster than it encodes it as UTF-8
// (a character at a time), so text conversion takes one of those and
// produces the UTF-8 here. Which one is cheaper depends on the str: UTF-16
// for characters up to U+FFFF, code points beyond.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelmo {

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
