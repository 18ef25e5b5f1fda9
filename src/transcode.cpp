// UTF-16 to UTF-8. See transcode.h.
//
// A portable loop, and on x86-64 processors that have AVX-512 (BW and VBMI2)
// a vector loop that converts 32 units at a time when none of them is a
// surrogate: every character of the Basic Multilingual Plane. Blocks with a
// surrogate (characters beyond U+FFFF) go through the portable loop. Both
// write the same bytes.
#include "transcode.h"

#include <bit>
#include <cstdint>

#include "x86_simd.h"

namespace zelmo {
namespace {

// Converts the unit (or surrogate pair) at in[i]; returns the index after it.
inline size_t encode_one(const char16_t* in, size_t i, size_t n, unsigned char*& o) noexcept {
  const uint32_t c = in[i];
  if (c < 0x80) {
    *o++ = static_cast<unsigned char>(c);
    return i + 1;
  }
  if (c < 0x800) {
    *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
    *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return i + 1;
  }
  if ((c & 0xFC00) == 0xD800 && i + 1 < n && (in[i + 1] & 0xFC00) == 0xDC00) {
    const uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
    *o++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
    *o++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return i + 2;
  }
  *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
  *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return i + 1;
}

// Converts from in[i] until at least `stop` (a pair straddling `stop` is
// finished); returns where it ended. Four ASCII units go at once; a unit
// below U+0800 takes no branch on its length: both candidate bytes are
// stored (the second is overwritten next, or lands in the overrun) and the
// output advances by 1 or 2.
size_t encode_until(const char16_t* in, size_t i, size_t stop, size_t n, unsigned char*& o) noexcept {
  while (i < stop) {
    if (stop - i >= 4 && (in[i] | in[i + 1] | in[i + 2] | in[i + 3]) < 0x80) {
      for (size_t k = 0; k < 4; ++k) o[k] = static_cast<unsigned char>(in[i + k]);
      o += 4;
      i += 4;
      continue;
    }
    const uint32_t c = in[i];
    if (c >= 0x800) {
      i = encode_one(in, i, n, o);
      continue;
    }
    const bool two = c >= 0x80;
    o[0] = static_cast<unsigned char>(two ? 0xC0 | (c >> 6) : c);
    o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    o += 1 + two;
    ++i;
  }
  return i;
}

#ifdef ZELMO_X86_DISPATCH
#define ZELMO_AVX512_TRANSCODE __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")))

// Sixteen units below U+D800 or from U+E000 up (no surrogate), one per
// 32-bit lane holding its 1 to 3 UTF-8 bytes; the unused bytes of each lane
// are compressed away. Writes 64 bytes at o and returns how many count.
ZELMO_AVX512_TRANSCODE inline unsigned encode16_bmp(const char16_t* in, unsigned char* o) noexcept {
  const __m512i c = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
  const __m512i low6 = _mm512_set1_epi32(0x3F), cont = _mm512_set1_epi32(0x80);
  const __mmask16 two_up = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x80));
  const __mmask16 three = _mm512_cmpge_epu32_mask(c, _mm512_set1_epi32(0x800));
  const __m512i last = _mm512_or_si512(_mm512_and_si512(c, low6), cont);                             // 10xxxxxx
  const __m512i middle = _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(c, 6), low6), cont);     // 10xxxxxx
  const __m512i lead2 = _mm512_or_si512(_mm512_srli_epi32(c, 6), _mm512_set1_epi32(0xC0));          // 110xxxxx
  const __m512i lead3 = _mm512_or_si512(_mm512_srli_epi32(c, 12), _mm512_set1_epi32(0xE0));         // 1110xxxx
  const __m512i two = _mm512_or_si512(lead2, _mm512_slli_epi32(last, 8));
  const __m512i three_bytes =
      _mm512_or_si512(lead3, _mm512_or_si512(_mm512_slli_epi32(middle, 8), _mm512_slli_epi32(last, 16)));
  const __m512i lanes = _mm512_mask_blend_epi32(three, _mm512_mask_blend_epi32(two_up, c, two), three_bytes);
  // Byte 0 of every lane, byte 1 of the lanes from U+0080, byte 2 of those from U+0800.
  const uint64_t keep = 0x1111111111111111ULL | _pdep_u64(two_up, 0x2222222222222222ULL) |
                        _pdep_u64(three, 0x4444444444444444ULL);
  _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, lanes));
  return static_cast<unsigned>(std::popcount(keep));
}

// Each block of 32 units: all ASCII narrows to 32 bytes; all below U+0800
// becomes, per unit, its lead byte and (for non-ASCII) its trail byte, in a
// 16-bit lane, with the unused high bytes of ASCII lanes compressed away;
// with no surrogate, two steps of sixteen take up to three bytes a unit; a
// block with a surrogate goes through the portable loop. Every store writes
// at most 64 bytes at the output's current end.
ZELMO_AVX512_TRANSCODE size_t utf16_to_utf8_avx512(const char16_t* in, size_t n, unsigned char* out) noexcept {
  unsigned char* o = out;
  size_t i = 0;
  const __m512i x80 = _mm512_set1_epi16(0x80), x800 = _mm512_set1_epi16(0x800);
  const __m512i surrogate_bits = _mm512_set1_epi16(static_cast<short>(0xF800)),
                surrogate = _mm512_set1_epi16(static_cast<short>(0xD800));
  const __m512i lead_bits = _mm512_set1_epi16(0xC0), trail_bits = _mm512_set1_epi16(0x80),
                low6 = _mm512_set1_epi16(0x3F);
  while (n - i >= 32) {
    const __m512i v = _mm512_loadu_si512(in + i);
    const uint32_t wide = _mm512_cmpge_epu16_mask(v, x80);
    if (wide == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm512_cvtepi16_epi8(v));
      o += 32;
      i += 32;
      continue;
    }
    if (_mm512_cmpge_epu16_mask(v, x800) != 0) {
      if (_mm512_cmpeq_epi16_mask(_mm512_and_si512(v, surrogate_bits), surrogate) != 0) {
        i = encode_until(in, i, i + 32, n, o);
      } else {
        o += encode16_bmp(in + i, o);
        o += encode16_bmp(in + i + 16, o);
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
  encode_until(in, i, n, n, o);
  return static_cast<size_t>(o - out);
}
#endif

}  // namespace

size_t utf16_to_utf8_portable(const char16_t* in, size_t n, unsigned char* out) noexcept {
  unsigned char* o = out;
  encode_until(in, 0, n, n, o);
  return static_cast<size_t>(o - out);
}

bool utf16_to_utf8_vectorised() noexcept {
#ifdef ZELMO_X86_DISPATCH
  return cpu_has_avx512_bytes();
#else
  return false;
#endif
}

size_t utf16_to_utf8(const char16_t* in, size_t n, unsigned char* out) noexcept {
#ifdef ZELMO_X86_DISPATCH
  if (cpu_has_avx512_bytes()) return utf16_to_utf8_avx512(in, n, out);
#endif
  return utf16_to_utf8_portable(in, n, out);
}

}  // namespace zelmo
