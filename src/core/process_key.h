// Keys for the module's internal hash tables, and the mixing they use.
//
// The words and fingerprints that reach those tables come from callers, who
// could craft them to collide if the tables' hashing were known in advance.
// Each table therefore mixes with a key drawn once per process from the
// system's random source. No result depends on the key; only the layout of a
// table (and so its probing cost) does.
#pragma once

#include <cstdint>

namespace zelmo {

struct ProcessKey {
  uint64_t k0;
  uint64_t k1;  // odd, so that multiplying by it is a bijection
};

// Drawn once, on first use; the same for every caller in the process.
const ProcessKey& process_key() noexcept;

// The high and low halves of the 128-bit product a * b, xor-folded.
inline uint64_t fold_multiply_portable(uint64_t a, uint64_t b) noexcept {
  const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
  const uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo;
  const uint64_t lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
  const uint64_t cross = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;  // < 2^64 + 2^33: no wrap
  const uint64_t hi = hi_hi + (hi_lo >> 32) + (cross >> 32);
  const uint64_t lo = (cross << 32) | (lo_lo & 0xFFFFFFFFu);
  return hi ^ lo;
}

inline uint64_t fold_multiply(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 u128;
  const u128 p = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
#else
  return fold_multiply_portable(a, b);
#endif
}

}  // namespace zelmo
