// UTF-16 to UTF-8.
//
// The interpreter hands a non-ASCII str over as UTF-16 far faster than as
// UTF-8 (a widening copy against a character-by-character encoder), so text
// conversion takes UTF-16 and produces the UTF-8 here.
#pragma once

#include <cstddef>

namespace zelmo {

// Bytes past the end of its result that a conversion may overwrite.
constexpr size_t kUtf8Overrun = 64;

// Writes the UTF-8 form of the n units at `in` to `out` and returns its
// length: 1 to 3 bytes a unit, 4 for a surrogate pair (two units), so at most
// 3 n. It writes nothing beyond its result and kUtf8Overrun bytes more, which
// `out` must have room for. A surrogate outside a pair, which well-formed
// input never has, is written as its own 3-byte sequence, so no input reads
// or writes out of bounds.
size_t utf16_to_utf8(const char16_t* in, size_t n, unsigned char* out) noexcept;

// Whether utf16_to_utf8 runs its vector path here. Without it, the
// conversion is about as fast as the interpreter's own UTF-8 encoder, which
// callers may then prefer.
bool utf16_to_utf8_vectorised() noexcept;

// For tests: the same conversion without the vector path.
size_t utf16_to_utf8_portable(const char16_t* in, size_t n, unsigned char* out) noexcept;

}  // namespace zelmo
