// Word packing and batched SipHash-1-3 of word windows. See shingles.h.
//
// Both have a portable path and, on x86-64 processors that have them, an
// AVX-512 path chosen once at run time. The two give identical results: the
// vector paths only do the same byte and word arithmetic on several bytes or
// several messages at once.
#include "shingles.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "block_model.h"
#include "siphash.h"
#include "white_space_mask.h"

#include "x86_simd.h"

namespace zelmo {
namespace {

// Set by tests to run the portable code where the vector code would run.
// relaxed: a switch flipped between calls, ordering nothing else.
std::atomic<bool> g_portable{false};

using siphash::kV0;
using siphash::kV1;
using siphash::kV2;
using siphash::kV3;

// Appends to `out` as the packed form grows: bytes at `len`, word starts.
struct PackWriter {
  PackedWords& out;
  size_t len = 0;
  bool open = false;  // a word has been started and not yet closed by 0xFF

  // Room for `more` bytes past `len`, then the slack (kept zero).
  void reserve_bytes(size_t more) {
    const size_t need = len + more + PackedWords::kSlack;
    if (out.bytes.size() < need) out.bytes.resize(need);
  }
  void word_start() { out.starts.push_back(len); }
  void close_word() {
    out.bytes[len++] = 0xFF;
    open = false;
  }
};

// Words of split_words in [p, end) when a word may be open at p: those that
// start at p continue it and are not counted again.
uint64_t count_rest(const unsigned char* p, const unsigned char* end, bool open) noexcept {
  WordSplitter split(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)));
  std::string_view word;
  uint64_t n = 0;
  while (split.next(word)) {
    if (!(n == 0 && open && reinterpret_cast<const unsigned char*>(word.data()) == p)) ++n;
    open = false;
  }
  return n;
}

// The portable packer from `p` on, continuing the writer's state: the words
// of split_words, each closed by 0xFF. A word that was open when this part
// began and continues right at `p` is extended, not restarted.
void pack_rest(const unsigned char* p, const unsigned char* end, PackWriter& w) {
  w.reserve_bytes(static_cast<size_t>(end - p) + 1);
  WordSplitter split(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)));
  std::string_view word;
  while (split.next(word)) {
    const bool continues = w.open && reinterpret_cast<const unsigned char*>(word.data()) == p;
    if (!continues) {
      if (w.open) w.close_word();
      w.word_start();
    }
    std::memcpy(w.out.bytes.data() + w.len, word.data(), word.size());
    w.len += word.size();
    w.open = true;
  }
  if (w.open) w.close_word();
}

#ifdef ZELMO_X86_DISPATCH

// 64 bytes at a time while 66 are readable. In each block: the white space,
// then the bytes kept (every non-space byte, and the first byte of each
// white-space run, as 0xFF, unless it opens the piece), compressed into place.
ZELMO_TARGET_AVX512_BYTES void pack_avx512(const unsigned char* p, const unsigned char* end, PackWriter& w) {
  w.reserve_bytes(static_cast<size_t>(end - p) + 1);
  unsigned char* const out = w.out.bytes.data();
  // Word starts are written 8 at a time through a pointer: room for every
  // possible start (one per two bytes) and one store's overrun.
  Scratch<uint64_t>& starts = w.out.starts;
  size_t nstarts = starts.size();
  starts.resize(nstarts + static_cast<size_t>(end - p) / 2 + 8);
  const __m512i iota = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                       44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                       25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                       5, 4, 3, 2, 1, 0);
  uint64_t prev_space = 1;  // bit 0: the byte before the block is white space (or none)
  uint64_t spill = 0;
  while (end - p >= 66) {
    const __m512i b0 = _mm512_loadu_si512(p);
    const uint64_t space = space_mask(p, b0, spill);
    const uint64_t prev = (space << 1) | prev_space;
    const uint64_t keep = ~(space & prev);
    const __m512i marked = _mm512_mask_blend_epi8(space, b0, splat8(0xFF));
    _mm512_storeu_si512(out + w.len, _mm512_maskz_compress_epi8(keep, marked));
    // Word starts among the kept bytes, as offsets into the packed block.
    const uint64_t first_bytes = _pext_u64(~space & prev, keep);
    if (first_bytes != 0) {
      const __m512i offsets = _mm512_maskz_compress_epi8(first_bytes, iota);
      const __m512i base = _mm512_set1_epi64(static_cast<long long>(w.len));
      const size_t found = static_cast<size_t>(std::popcount(first_bytes));
      uint64_t* dst = starts.data() + nstarts;
      alignas(64) unsigned char offs[64];
      _mm512_store_si512(offs, offsets);
      for (size_t k = 0; k < found; k += 8) {
        const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(offs + k));
        _mm512_storeu_si512(dst + k, _mm512_add_epi64(base, _mm512_cvtepu8_epi64(eight)));
      }
      nstarts += found;
    }
    w.len += static_cast<size_t>(std::popcount(keep));
    prev_space = space >> 63;
    p += 64;
  }
  starts.resize(nstarts);
  w.open = prev_space == 0 && spill == 0;
  pack_rest(after_spill(p, spill), end, w);
}

ZELMO_TARGET_AVX512_BYTES uint64_t count_avx512(const unsigned char* p, const unsigned char* end) noexcept {
  uint64_t prev_space = 1, spill = 0, n = 0;
  while (end - p >= 66) {
    const uint64_t space = space_mask(p, _mm512_loadu_si512(p), spill);
    n += static_cast<uint64_t>(std::popcount(~space & ((space << 1) | prev_space)));
    prev_space = space >> 63;
    p += 64;
  }
  return n + count_rest(after_spill(p, spill), end, prev_space == 0 && spill == 0);
}

ZELMO_TARGET_AVX512 inline void sip_round8(__m512i& v0, __m512i& v1, __m512i& v2, __m512i& v3) noexcept {
  v0 = _mm512_add_epi64(v0, v1); v1 = _mm512_rol_epi64(v1, 13); v1 = _mm512_xor_si512(v1, v0);
  v0 = _mm512_rol_epi64(v0, 32);
  v2 = _mm512_add_epi64(v2, v3); v3 = _mm512_rol_epi64(v3, 16); v3 = _mm512_xor_si512(v3, v2);
  v0 = _mm512_add_epi64(v0, v3); v3 = _mm512_rol_epi64(v3, 21); v3 = _mm512_xor_si512(v3, v0);
  v2 = _mm512_add_epi64(v2, v1); v1 = _mm512_rol_epi64(v1, 17); v1 = _mm512_xor_si512(v1, v2);
  v2 = _mm512_rol_epi64(v2, 32);
}

// One message word per lane (siphash::compress, eight lanes at once).
ZELMO_TARGET_AVX512 inline void sip_compress8(__m512i& v0, __m512i& v1, __m512i& v2, __m512i& v3,
                                              __m512i m) noexcept {
  v3 = _mm512_xor_si512(v3, m);
  for (size_t r = 0; r < siphash::kCompressionRounds; ++r) sip_round8(v0, v1, v2, v3);
  v0 = _mm512_xor_si512(v0, m);
}

// Lane j of out[k] = word k of rows[j]: an 8 x 8 transpose of 64-bit words.
ZELMO_TARGET_AVX512 inline void transpose8(const __m512i (&rows)[8], __m512i (&out)[8]) noexcept {
  __m512i t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm512_unpacklo_epi64(rows[2 * i], rows[2 * i + 1]);      // words 0 2 4 6 of a pair
    t[2 * i + 1] = _mm512_unpackhi_epi64(rows[2 * i], rows[2 * i + 1]);  // words 1 3 5 7
  }
  const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  for (int i = 0; i < 2; ++i) {  // rows 0..3, then rows 4..7
    u[4 * i + 0] = _mm512_permutex2var_epi64(t[4 * i], lo, t[4 * i + 2]);      // words 0, 4
    u[4 * i + 1] = _mm512_permutex2var_epi64(t[4 * i], hi, t[4 * i + 2]);      // words 2, 6
    u[4 * i + 2] = _mm512_permutex2var_epi64(t[4 * i + 1], lo, t[4 * i + 3]);  // words 1, 5
    u[4 * i + 3] = _mm512_permutex2var_epi64(t[4 * i + 1], hi, t[4 * i + 3]);  // words 3, 7
  }
  const __m512i first = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
  const __m512i second = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
  out[0] = _mm512_permutex2var_epi64(u[0], first, u[4]);
  out[4] = _mm512_permutex2var_epi64(u[0], second, u[4]);
  out[2] = _mm512_permutex2var_epi64(u[1], first, u[5]);
  out[6] = _mm512_permutex2var_epi64(u[1], second, u[5]);
  out[1] = _mm512_permutex2var_epi64(u[2], first, u[6]);
  out[5] = _mm512_permutex2var_epi64(u[2], second, u[6]);
  out[3] = _mm512_permutex2var_epi64(u[3], first, u[7]);
  out[7] = _mm512_permutex2var_epi64(u[3], second, u[7]);
}

// Sixteen windows per step, one per 64-bit lane of two groups of eight,
// hashed side by side (one group alone would wait on the latency of each
// round). A group's words are read 64 bytes per window at a time and
// transposed into lanes. Lanes whose message has run out of whole words keep
// their state through the remaining words (masked moves) and pick up their
// last word (the 0..7 remaining bytes) on the way; then every lane takes its
// last word with the length byte, and the finalisation, together.
constexpr size_t kGroups = 2;

ZELMO_TARGET_AVX512 void hash16_avx512(const unsigned char* buf, const uint64_t* starts, uint64_t w,
                                     uint64_t* out) noexcept {
  const __m512i all = _mm512_set1_epi64(-1);
  __m512i v0[kGroups], v1[kGroups], v2[kGroups], v3[kGroups], len[kGroups], words[kGroups], last[kGroups];
  alignas(64) uint64_t lane_words[kGroups][8];
  uint64_t least = ~uint64_t{0}, most = 0;
  for (size_t g = 0; g < kGroups; ++g) {
    const __m512i s = _mm512_loadu_si512(starts + 8 * g);
    len[g] = _mm512_sub_epi64(_mm512_loadu_si512(starts + 8 * g + w), s);
    words[g] = _mm512_srli_epi64(len[g], 3);
    _mm512_store_si512(lane_words[g], words[g]);
    v0[g] = _mm512_set1_epi64(static_cast<long long>(kV0));
    v1[g] = _mm512_set1_epi64(static_cast<long long>(kV1));
    v2[g] = _mm512_set1_epi64(static_cast<long long>(kV2));
    v3[g] = _mm512_set1_epi64(static_cast<long long>(kV3));
    last[g] = _mm512_setzero_si512();
    least = std::min<uint64_t>(least, _mm512_reduce_min_epu64(words[g]));
    most = std::max<uint64_t>(most, _mm512_reduce_max_epu64(words[g]));
  }
  for (uint64_t chunk = 0; chunk <= most; chunk += 8) {
    // A lane is read only up to its last word (and the slack past the
    // packed bytes covers that word's 64-byte read).
    __m512i cols[kGroups][8];
    for (size_t g = 0; g < kGroups; ++g) {
      __m512i rows[8];
      for (size_t r = 0; r < 8; ++r) {
        rows[r] = lane_words[g][r] >= chunk ? _mm512_loadu_si512(buf + starts[8 * g + r] + 8 * chunk)
                                            : _mm512_setzero_si512();
      }
      transpose8(rows, cols[g]);
    }
    const uint64_t stop = most - chunk < 8 ? most - chunk + 1 : 8;
    for (uint64_t k = 0; k < stop; ++k) {
      const __m512i index = _mm512_set1_epi64(static_cast<long long>(chunk + k));
      if (chunk + k < least) {  // a whole word in every lane of every group
        for (size_t g = 0; g < kGroups; ++g) sip_compress8(v0[g], v1[g], v2[g], v3[g], cols[g][k]);
        continue;
      }
      for (size_t g = 0; g < kGroups; ++g) {
        const __m512i m = cols[g][k];
        last[g] = _mm512_mask_mov_epi64(last[g], _mm512_cmpeq_epu64_mask(words[g], index), m);
        const __mmask8 live = _mm512_cmpgt_epu64_mask(words[g], index);
        if (live == 0) continue;
        __m512i n0 = v0[g], n1 = v1[g], n2 = v2[g], n3 = v3[g];
        sip_compress8(n0, n1, n2, n3, m);
        v0[g] = _mm512_mask_mov_epi64(v0[g], live, n0);
        v1[g] = _mm512_mask_mov_epi64(v1[g], live, n1);
        v2[g] = _mm512_mask_mov_epi64(v2[g], live, n2);
        v3[g] = _mm512_mask_mov_epi64(v3[g], live, n3);
      }
    }
  }
  // The last word: its 0..7 bytes (the rest masked off), the length's low
  // byte on top.
  for (size_t g = 0; g < kGroups; ++g) {
    const __m512i rest_bits = _mm512_slli_epi64(_mm512_and_si512(len[g], _mm512_set1_epi64(7)), 3);
    const __m512i keep_bytes = _mm512_andnot_si512(_mm512_sllv_epi64(all, rest_bits), all);
    const __m512i b = _mm512_or_si512(_mm512_and_si512(last[g], keep_bytes), _mm512_slli_epi64(len[g], 56));
    sip_compress8(v0[g], v1[g], v2[g], v3[g], b);
    v2[g] = _mm512_xor_si512(v2[g], _mm512_set1_epi64(0xFF));
  }
  for (size_t r = 0; r < siphash::kFinalizationRounds; ++r) {
    for (size_t g = 0; g < kGroups; ++g) sip_round8(v0[g], v1[g], v2[g], v3[g]);
  }
  for (size_t g = 0; g < kGroups; ++g) {
    _mm512_storeu_si512(out + 8 * g, _mm512_xor_si512(_mm512_xor_si512(v0[g], v1[g]), _mm512_xor_si512(v2[g], v3[g])));
  }
}

ZELMO_TARGET_AVX512 void hash_windows_avx512(const unsigned char* buf, const uint64_t* starts, uint64_t w,
                                           size_t count, uint64_t* out) noexcept {
  size_t j = 0;
  for (; j + 8 * kGroups <= count; j += 8 * kGroups) hash16_avx512(buf, starts + j, w, out + j);
  for (; j < count; ++j) out[j] = siphash13_slice(buf + starts[j], starts[j + w] - starts[j]);
}

bool has_avx512_pack() noexcept { return cpu_has_avx512_bytes() && !g_portable.load(std::memory_order_relaxed); }

bool has_avx512_hash() noexcept { return cpu_has_avx512() && !g_portable.load(std::memory_order_relaxed); }

#endif  // ZELMO_X86_DISPATCH

}  // namespace

void use_portable_shingles(bool portable) noexcept { g_portable.store(portable, std::memory_order_relaxed); }

bool avx512_shingles() noexcept {
#ifdef ZELMO_X86_DISPATCH
  return has_avx512_hash();
#else
  return false;
#endif
}

uint64_t siphash13_slice(const unsigned char* p, uint64_t len) noexcept {
  uint64_t v0 = kV0, v1 = kV1, v2 = kV2, v3 = kV3;
  const uint64_t words = len >> 3;
  for (uint64_t k = 0; k < words; ++k, p += 8) {
    siphash::compress(v0, v1, v2, v3, load_le64(p));
  }
  const unsigned rest = static_cast<unsigned>(len & 7);
  const uint64_t tail = rest == 0 ? 0 : load_le64(p) & (~uint64_t{0} >> (64 - 8 * rest));
  return siphash::finish(v0, v1, v2, v3, (len << 56) | tail);
}

void append_words(PackedWords& words, std::string_view piece) {
  size_t len = 0;
  if (!words.starts.empty()) {
    len = static_cast<size_t>(words.starts.back());
    words.starts.pop_back();
  }
  PackWriter w{words, len};
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = p + piece.size();
#ifdef ZELMO_X86_DISPATCH
  if (has_avx512_pack()) {
    pack_avx512(p, end, w);
  } else {
    pack_rest(p, end, w);
  }
#else
  pack_rest(p, end, w);
#endif
  words.starts.push_back(w.len);
  // Whatever lies past the packed bytes is read only to be masked off, but
  // it is kept defined.
  std::memset(words.bytes.data() + w.len, 0, PackedWords::kSlack);
}

PackedWords pack_words(std::string_view text) {
  PackedWords words;
  words.starts.reserve(text.size() / 6 + 16);
  append_words(words, text);
  return words;
}

void drop_words(PackedWords& words, size_t k) noexcept {
  if (k == 0) return;
  const uint64_t from = words.starts[k];
  const uint64_t len = words.starts.back();
  std::memmove(words.bytes.data(), words.bytes.data() + from, static_cast<size_t>(len - from));
  words.starts.erase_front(k);
  for (size_t i = 0; i < words.starts.size(); ++i) words.starts[i] -= from;
}

uint64_t count_words(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
#ifdef ZELMO_X86_DISPATCH
  if (has_avx512_pack()) return count_avx512(p, end);
#endif
  return count_rest(p, end, false);
}

void hash_windows(const PackedWords& words, uint64_t w, size_t first, size_t count, uint64_t* out) noexcept {
  const unsigned char* buf = words.bytes.data();
  const uint64_t* starts = words.starts.data() + first;
#ifdef ZELMO_X86_DISPATCH
  if (has_avx512_hash()) {
    hash_windows_avx512(buf, starts, w, count, out);
    return;
  }
#endif
  for (size_t j = 0; j < count; ++j) out[j] = siphash13_slice(buf + starts[j], starts[j + w] - starts[j]);
}

}  // namespace zelmo
