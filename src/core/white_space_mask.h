// White space found 64 bytes at a time with AVX-512: the word packer of the
// saturation scan and the word split of block_model read a text through it,
// so both see exactly the white space WordSplitter sees.
#pragma once

#include <cstdint>

#include "x86_simd.h"

#ifdef ZELMO_X86_DISPATCH
namespace zelmo {

ZELMO_TARGET_AVX512_BYTES inline __m512i splat8(int b) noexcept { return _mm512_set1_epi8(static_cast<char>(b)); }

// White space of the 64 bytes at p (66 readable): a bit per byte, including
// every byte of a multi-byte white-space character that starts here, plus
// `spill` (trailing bytes of one begun in the previous block). Sets `spill`
// to the bits such a character carries into the next block.
ZELMO_TARGET_AVX512_BYTES inline uint64_t space_mask(const unsigned char* p, __m512i b0, uint64_t& spill) noexcept {
  uint64_t space = _mm512_cmpeq_epi8_mask(b0, splat8(0x20)) |
                   _mm512_cmple_epu8_mask(_mm512_sub_epi8(b0, splat8(0x09)), splat8(0x04)) | spill;
  spill = 0;
  // Beyond ASCII, white space starts with C2, E1, E2 or E3.
  const uint64_t lead = _mm512_cmpeq_epi8_mask(b0, splat8(0xC2)) |
                        _mm512_cmple_epu8_mask(_mm512_sub_epi8(b0, splat8(0xE1)), splat8(2));
  if (lead == 0) return space;
  const uint64_t c2 = _mm512_cmpeq_epi8_mask(b0, splat8(0xC2));
  const uint64_t e1 = _mm512_cmpeq_epi8_mask(b0, splat8(0xE1));
  const uint64_t e2 = _mm512_cmpeq_epi8_mask(b0, splat8(0xE2));
  const uint64_t e3 = _mm512_cmpeq_epi8_mask(b0, splat8(0xE3));
  const __m512i b1 = _mm512_loadu_si512(p + 1);
  const __m512i b2 = _mm512_loadu_si512(p + 2);
  const uint64_t two = c2 & (_mm512_cmpeq_epi8_mask(b1, splat8(0x85)) | _mm512_cmpeq_epi8_mask(b1, splat8(0xA0)));
  const uint64_t x80 = _mm512_cmpeq_epi8_mask(b1, splat8(0x80));
  const uint64_t y80 = _mm512_cmpeq_epi8_mask(b2, splat8(0x80));
  const uint64_t u2000 =  // third bytes of U+2000..U+200A, U+2028, U+2029, U+202F
      _mm512_cmple_epu8_mask(_mm512_sub_epi8(b2, splat8(0x80)), splat8(0x0A)) |
      _mm512_cmpeq_epi8_mask(b2, splat8(0xA8)) | _mm512_cmpeq_epi8_mask(b2, splat8(0xA9)) |
      _mm512_cmpeq_epi8_mask(b2, splat8(0xAF));
  const uint64_t three =
      (e1 & _mm512_cmpeq_epi8_mask(b1, splat8(0x9A)) & y80) |  // U+1680
      (e2 & x80 & u2000) |
      (e2 & _mm512_cmpeq_epi8_mask(b1, splat8(0x81)) & _mm512_cmpeq_epi8_mask(b2, splat8(0x9F))) |  // U+205F
      (e3 & x80 & y80);  // U+3000
  spill = (two >> 63) | (three >> 63) | (three >> 62);
  return space | two | (two << 1) | three | (three << 1) | (three << 2);
}

// Bytes left to the portable code after the blocks: the spilled trailing
// bytes of a white-space character are skipped (its lead byte closed any word).
inline const unsigned char* after_spill(const unsigned char* p, uint64_t spill) noexcept {
  return spill == 0 ? p : p + ((spill & 2) ? 2 : 1);
}

}  // namespace zelmo
#endif
