// UTF-16 to UTF-8. See transcode.h.
//
// A portable loop, and on x86-64 processors that have AVX-512 (BW and VBMI2)
// a vector loop that converts 32 units at a time when none of them needs
// more than two bytes, which covers ASCII and every Latin, Greek and Cyrillic
// letter; other blocks go through the portable loop. Both write the same bytes.
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

bool has_avx512_transcode() noexcept {
  static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
  return yes;
}

// Each block of 32 units: all ASCII narrows to 32 bytes; all below U+0800
// becomes, per unit, its lead byte and (for non-ASCII) its trail byte, in a
// 16-bit lane, with the unused high bytes of ASCII lanes compressed away.
// The stores write up to 64 bytes, within the room's overrun.
ZELMO_AVX512_TRANSCODE size_t utf16_to_utf8_avx512(const char16_t* in, size_t n, unsigned char* out) noexcept {
  unsigned char* o = out;
  size_t i = 0;
  const __m512i x80 = _mm512_set1_epi16(0x80), x800 = _mm512_set1_epi16(0x800);
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
      i = encode_until(in, i, i + 32, n, o);
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
  return has_avx512_transcode();
#else
  return false;
#endif
}

size_t utf16_to_utf8(const char16_t* in, size_t n, unsigned char* out) noexcept {
#ifdef ZELMO_X86_DISPATCH
  if (has_avx512_transcode()) return utf16_to_utf8_avx512(in, n, out);
#endif
  return utf16_to_utf8_portable(in, n, out);
}

}  // namespace zelmo
