// UTF-16 and code points to UTF-8. See utf8.h.
//
// Portable loops, and on x86-64 processors that have AVX-512 (BW and VBMI2)
// vector loops. Runs of ASCII narrow many units at once. Otherwise units go
// one per lane holding their UTF-8 bytes in order, and the bytes a lane
// doesn't use are compressed away: 32 UTF-16 units in 16-bit lanes while all
// are below U+0800, else 16 in 32-bit lanes. A UTF-16 block holding a
// surrogate goes through the portable loop; a block of code points holding
// one ends the conversion (kNotScalar). Both paths write the same bytes.
#include "utf8.h"

#include <algorithm>
#include <bit>

#include "x86_simd.h"

namespace zelmo {
namespace {

inline bool is_surrogate(uint32_t c) noexcept { return (c & 0xFFFFF800u) == 0xD800u; }

// Copies the four units at in[i] as bytes, when there are four before
// `stop` and all are ASCII.
template <class Unit>
inline bool copy_ascii4(const Unit* in, size_t& i, size_t stop, unsigned char*& o) noexcept {
  if (stop - i < 4 || (in[i] | in[i + 1] | in[i + 2] | in[i + 3]) >= 0x80) return false;
  for (size_t k = 0; k < 4; ++k) o[k] = static_cast<unsigned char>(in[i + k]);
  o += 4;
  i += 4;
  return true;
}

// Converts UTF-16 from in[i] until at least `stop` (a pair straddling `stop`
// is finished); returns where it ended. Four ASCII units go at once; a unit
// below U+0800 takes no branch on its length: both candidate bytes are
// stored (the second is overwritten next, or lands in the overrun) and the
// output advances by 1 or 2.
size_t encode16_until(const char16_t* in, size_t i, size_t stop, size_t n, unsigned char*& o) noexcept {
  while (i < stop) {
    if (copy_ascii4(in, i, stop, o)) continue;
    const uint32_t c = in[i];
    if (c < 0x800) {
      const bool two = c >= 0x80;
      o[0] = static_cast<unsigned char>(two ? 0xC0 | (c >> 6) : c);
      o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      o += 1 + two;
      ++i;
    } else if ((c & 0xFC00) == 0xD800 && i + 1 < n && (in[i + 1] & 0xFC00) == 0xDC00) {
      o += encode_utf8(0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u), o);
      i += 2;
    } else {
      o += encode_utf8(c, o);
      ++i;
    }
  }
  return i;
}

// Converts code points in[i..n), four ASCII ones at a time where it can,
// setting `beyond` at any beyond U+FFFF. False, part-way, at a surrogate.
bool encode32_rest(const uint32_t* in, size_t i, size_t n, unsigned char*& o, bool& beyond) noexcept {
  while (i < n) {
    if (copy_ascii4(in, i, n, o)) continue;
    const uint32_t c = in[i++];
    if (is_surrogate(c)) return false;
    beyond |= c >= 0x10000;
    o += encode_utf8(c, o);
  }
  return true;
}

// The UTF-8 length of n code points, or kNotScalar at a surrogate: bytes
// beyond the first of each counted in 32-bit lanes so that the loop
// vectorises without widening, summed a block at a time so that no lane can
// wrap. Inline: compiled once plainly and once for AVX-512.
inline __attribute__((always_inline)) size_t count_utf8_length(const uint32_t* in, size_t n) noexcept {
  size_t total = n;
  uint32_t surrogates = 0;
  for (size_t at = 0; at < n;) {
    const size_t end = at + std::min<size_t>(n - at, size_t{1} << 20);
    uint32_t extra = 0;
    for (size_t i = at; i < end; ++i) {
      const uint32_t c = in[i];
      extra += static_cast<uint32_t>(c >= 0x80) + static_cast<uint32_t>(c >= 0x800) +
               static_cast<uint32_t>(c >= 0x10000);
      surrogates |= static_cast<uint32_t>((c & 0xFFFFF800u) == 0xD800u);
    }
    total += extra;
    at = end;
  }
  return surrogates ? kNotScalar : total;
}

#ifdef ZELMO_X86_DISPATCH
// Four vectors of UTF-16 units or code points at `in`, narrowed to their
// bytes at `o` when all of them are ASCII (o advances); false otherwise,
// with nothing written.
template <class Unit>
ZELMO_TARGET_AVX512_BYTES [[gnu::always_inline]] inline bool narrow_ascii_x4(const Unit* in,
                                                                             unsigned char*& o) noexcept {
  constexpr size_t kLanes = 64 / sizeof(Unit);
  const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + kLanes),
                c = _mm512_loadu_si512(in + 2 * kLanes), d = _mm512_loadu_si512(in + 3 * kLanes);
  const __m512i any = _mm512_or_si512(_mm512_or_si512(a, b), _mm512_or_si512(c, d));
  if constexpr (sizeof(Unit) == 2) {
    if (_mm512_cmpge_epu16_mask(any, _mm512_set1_epi16(0x80)) != 0) return false;
    for (const __m512i v : {a, b, c, d}) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm512_cvtepi16_epi8(v));
      o += kLanes;
    }
  } else {
    static_assert(sizeof(Unit) == 4);
    if (_mm512_cmpge_epu32_mask(any, _mm512_set1_epi32(0x80)) != 0) return false;
    for (const __m512i v : {a, b, c, d}) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm512_cvtepi32_epi8(v));
      o += kLanes;
    }
  }
  return true;
}

// Sixteen code points, none a surrogate, one per 32-bit lane holding its
// UTF-8 bytes in order; the bytes a lane doesn't use are compressed away.
// Writes 64 bytes at o and returns how many of them count; `four` marks the
// lanes beyond U+FFFF.
ZELMO_TARGET_AVX512_BYTES inline unsigned encode_16_points(__m512i c, unsigned char* o, __mmask16& four) noexcept {
  const __m512i low6 = _mm512_set1_epi32(0x3F), cont = _mm512_set1_epi32(0x80);
  const __mmask16 two_up = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x80));
  const __mmask16 three_up = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x800));
  four = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x10000));
  // The continuation bytes, 10xxxxxx, from the lowest six bits up.
  const __m512i t0 = _mm512_or_si512(_mm512_and_si512(c, low6), cont);
  const __m512i t1 = _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(c, 6), low6), cont);
  const __m512i t2 = _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(c, 12), low6), cont);
  const __m512i two = _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(c, 6), _mm512_set1_epi32(0xC0)),
                                      _mm512_slli_epi32(t0, 8));
  const __m512i three = _mm512_or_si512(
      _mm512_or_si512(_mm512_srli_epi32(c, 12), _mm512_set1_epi32(0xE0)),
      _mm512_or_si512(_mm512_slli_epi32(t1, 8), _mm512_slli_epi32(t0, 16)));
  const __m512i four_bytes = _mm512_or_si512(
      _mm512_or_si512(_mm512_srli_epi32(c, 18), _mm512_set1_epi32(0xF0)),
      _mm512_or_si512(_mm512_slli_epi32(t2, 8),
                      _mm512_or_si512(_mm512_slli_epi32(t1, 16), _mm512_slli_epi32(t0, 24))));
  __m512i lanes = _mm512_mask_blend_epi32(two_up, c, two);
  lanes = _mm512_mask_blend_epi32(three_up, lanes, three);
  lanes = _mm512_mask_blend_epi32(four, lanes, four_bytes);
  // Byte 0 of every lane; byte 1 from U+0080, byte 2 from U+0800, byte 3 from U+10000.
  const uint64_t keep = 0x1111111111111111ULL | _pdep_u64(two_up, 0x2222222222222222ULL) |
                        _pdep_u64(three_up, 0x4444444444444444ULL) | _pdep_u64(four, 0x8888888888888888ULL);
  _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, lanes));
  return static_cast<unsigned>(std::popcount(keep));
}

// UTF-16, 32 units a step (128 through ASCII runs, tried again after each
// ASCII block): all below U+0800 becomes, per unit, its lead byte and (for
// non-ASCII) its trail byte in a 16-bit lane; with no surrogate, two steps
// of sixteen in 32-bit lanes; a block holding a surrogate goes through the
// portable loop. Every store writes at most 64 bytes past the output's
// current end.
ZELMO_TARGET_AVX512_BYTES size_t utf16_to_utf8_avx512(const char16_t* in, size_t n, unsigned char* out) noexcept {
  unsigned char* o = out;
  size_t i = 0;
  const __m512i x80 = _mm512_set1_epi16(0x80), x800 = _mm512_set1_epi16(0x800);
  const __m512i surrogate_bits = _mm512_set1_epi16(static_cast<short>(0xF800)),
                surrogate = _mm512_set1_epi16(static_cast<short>(0xD800));
  const __m512i lead_bits = _mm512_set1_epi16(0xC0), trail_bits = _mm512_set1_epi16(0x80),
                low6 = _mm512_set1_epi16(0x3F);
  bool ascii = true;  // the last block was ASCII
  while (n - i >= 32) {
    // Four ASCII blocks at once, while the text has such runs. Otherwise a
    // block goes by what it holds, with no branch on ASCII (in mixed text,
    // whether a block is all ASCII is a coin toss).
    if (ascii && n - i >= 128 && narrow_ascii_x4(in + i, o)) {
      i += 128;
      continue;
    }
    const __m512i v = _mm512_loadu_si512(in + i);
    const uint32_t wide = _mm512_cmpge_epu16_mask(v, x80);
    ascii = wide == 0;
    if (_mm512_cmpge_epu16_mask(v, x800) != 0) {
      if (_mm512_cmpeq_epi16_mask(_mm512_and_si512(v, surrogate_bits), surrogate) != 0) {
        i = encode16_until(in, i, i + 32, n, o);
      } else {
        __mmask16 four;  // always empty: a UTF-16 unit is below U+10000
        o += encode_16_points(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(v)), o, four);
        o += encode_16_points(_mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(v, 1)), o, four);
        i += 32;
      }
      continue;
    }
    const __m512i lead = _mm512_or_si512(_mm512_srli_epi16(v, 6), lead_bits);
    const __m512i trail = _mm512_or_si512(_mm512_and_si512(v, low6), trail_bits);
    const __m512i two = _mm512_or_si512(lead, _mm512_slli_epi16(trail, 8));
    const __m512i lanes = _mm512_mask_blend_epi16(wide, v, two);
    // Every lane's low byte, and the high byte of the two-byte lanes.
    const uint64_t keep = 0x5555555555555555ULL | _pdep_u64(wide, 0xAAAAAAAAAAAAAAAAULL);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, lanes));
    o += std::popcount(keep);
    i += 32;
  }
  encode16_until(in, i, n, n, o);
  return static_cast<size_t>(o - out);
}

// 64 code points a step through ASCII (tried again after each ASCII block of
// 16), else 16 a step. Every store writes at most 64 bytes at the output's
// current end.
ZELMO_TARGET_AVX512_BYTES size_t utf32_to_utf8_avx512(const uint32_t* in, size_t n, unsigned char* out,
                                                    bool& beyond) noexcept {
  unsigned char* o = out;
  size_t i = 0;
  const __m512i x80 = _mm512_set1_epi32(0x80);
  const __m512i surrogate_bits = _mm512_set1_epi32(static_cast<int>(0xFFFFF800u)),
                surrogate = _mm512_set1_epi32(0xD800);
  bool ascii = true;
  while (n - i >= 16) {
    if (ascii && n - i >= 64 && narrow_ascii_x4(in + i, o)) {
      i += 64;
      continue;
    }
    const __m512i c = _mm512_loadu_si512(in + i);
    ascii = _mm512_cmpge_epu32_mask(c, x80) == 0;
    if (ascii) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm512_cvtepi32_epi8(c));
      o += 16;
    } else {
      if (_mm512_cmpeq_epi32_mask(_mm512_and_si512(c, surrogate_bits), surrogate) != 0) return kNotScalar;
      __mmask16 four;
      o += encode_16_points(c, o, four);
      beyond |= four != 0;
    }
    i += 16;
  }
  if (!encode32_rest(in, i, n, o, beyond)) return kNotScalar;
  return static_cast<size_t>(o - out);
}

// The portable count, compiled for AVX-512: sixteen 32-bit lanes a step.
ZELMO_TARGET_AVX512_BYTES size_t utf8_length_of_points_avx512(const uint32_t* in, size_t n) noexcept {
  return count_utf8_length(in, n);
}
#endif

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  unsigned char buf[4];
  out.append(reinterpret_cast<const char*>(buf), encode_utf8(static_cast<uint32_t>(c), buf));
}

size_t utf16_to_utf8_portable(const char16_t* in, size_t n, unsigned char* out) noexcept {
  unsigned char* o = out;
  encode16_until(in, 0, n, n, o);
  return static_cast<size_t>(o - out);
}

size_t utf16_to_utf8(const char16_t* in, size_t n, unsigned char* out) noexcept {
#ifdef ZELMO_X86_DISPATCH
  if (cpu_has_avx512_bytes()) return utf16_to_utf8_avx512(in, n, out);
#endif
  return utf16_to_utf8_portable(in, n, out);
}

size_t utf32_to_utf8_portable(const uint32_t* in, size_t n, unsigned char* out, bool& beyond) noexcept {
  unsigned char* o = out;
  beyond = false;
  if (!encode32_rest(in, 0, n, o, beyond)) return kNotScalar;
  return static_cast<size_t>(o - out);
}

size_t utf8_length_of_points_portable(const uint32_t* in, size_t n) noexcept {
  return count_utf8_length(in, n);
}

size_t utf8_length_of_points(const uint32_t* in, size_t n) noexcept {
#ifdef ZELMO_X86_DISPATCH
  if (cpu_has_avx512_bytes()) return utf8_length_of_points_avx512(in, n);
#endif
  return utf8_length_of_points_portable(in, n);
}

bool utf8_conversion_vectorised() noexcept {
#ifdef ZELMO_X86_DISPATCH
  return cpu_has_avx512_bytes();
#else
  return false;
#endif
}

size_t utf32_to_utf8(const uint32_t* in, size_t n, unsigned char* out, bool& beyond) noexcept {
#ifdef ZELMO_X86_DISPATCH
  beyond = false;
  if (cpu_has_avx512_bytes()) return utf32_to_utf8_avx512(in, n, out, beyond);
#endif
  return utf32_to_utf8_portable(in, n, out, beyond);
}

}  // namespace zelmo
