// The SipHash building blocks shared by the streaming hash (block_model) and
// the batched window hashes (shingles): the all-zero-key initial state, the
// little-endian word load and one SipRound.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zelmo::siphash {

// "somepseudorandomlygeneratedbytes" xor an all-zero key.
inline constexpr uint64_t kV0 = 0x736f6d6570736575ULL;
inline constexpr uint64_t kV1 = 0x646f72616e646f6dULL;
inline constexpr uint64_t kV2 = 0x6c7967656e657261ULL;
inline constexpr uint64_t kV3 = 0x7465646279746573ULL;

inline uint64_t load_le64(const unsigned char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

inline void round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) noexcept {
  v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
  v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}

// SipHash-1-3's last block `b` (the message length in its top byte over the
// pending tail bytes), then the three finalisation rounds.
inline uint64_t finish13(uint64_t v0, uint64_t v1, uint64_t v2, uint64_t v3, uint64_t b) noexcept {
  v3 ^= b;
  round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xFF;
  round(v0, v1, v2, v3);
  round(v0, v1, v2, v3);
  round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace zelmo::siphash
