// The SipHash-1-3 building blocks shared by the streaming hash (block_model)
// and the batched window hashes (shingles): the round counts, the all-zero-key
// initial state, one SipRound, one message word and the finalisation.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "load_le.h"

namespace zelmo::siphash {

// SipHash-c-d: c rounds per message word, d rounds to finish. The content
// hash is SipHash-1-3.
inline constexpr size_t kCompressionRounds = 1;
inline constexpr size_t kFinalizationRounds = 3;

// "somepseudorandomlygeneratedbytes" xor an all-zero key.
inline constexpr uint64_t kV0 = 0x736f6d6570736575ULL;
inline constexpr uint64_t kV1 = 0x646f72616e646f6dULL;
inline constexpr uint64_t kV2 = 0x6c7967656e657261ULL;
inline constexpr uint64_t kV3 = 0x7465646279746573ULL;

inline void round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) noexcept {
  v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
  v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}

// n rounds, written out at compile time (a loop would count against the
// callers' inlining, as a straight line of rounds does not).
template <size_t... I>
inline void rounds(std::index_sequence<I...>, uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) noexcept {
  ((static_cast<void>(I), round(v0, v1, v2, v3)), ...);
}

// One message word m (little-endian bytes).
inline void compress(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3, uint64_t m) noexcept {
  v3 ^= m;
  rounds(std::make_index_sequence<kCompressionRounds>{}, v0, v1, v2, v3);
  v0 ^= m;
}

// The last block `b` (the message length in its top byte over the pending
// tail bytes), then the finalisation rounds.
inline uint64_t finish(uint64_t v0, uint64_t v1, uint64_t v2, uint64_t v3, uint64_t b) noexcept {
  compress(v0, v1, v2, v3, b);
  v2 ^= 0xFF;
  rounds(std::make_index_sequence<kFinalizationRounds>{}, v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace zelmo::siphash
