// Saturation scan. See saturation_scan.h.
//
// Each window of w consecutive tokens is fingerprinted with content_hash over
// the token views, so no shingle is ever built as a string. Two windows are
// duplicates exactly when their fingerprints are equal.
#include "saturation_scan.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <memory>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "block_model.h"

namespace zelmo {
namespace {

// Fingerprints use a fixed, public key, so anyone can craft texts whose
// fingerprints share low bits. The seen set therefore places them through a
// second mix keyed once per process from a random source.
struct MixKey {
  uint64_t k0;
  uint64_t k1;
};

MixKey draw_mix_key() noexcept {
  MixKey key{0xA4093822299F31D0ULL, 0x082EFA98EC4E6C89ULL};
  try {
    std::random_device source;
    key.k0 ^= (uint64_t{source()} << 32) | source();
    key.k1 ^= (uint64_t{source()} << 32) | source();
  } catch (...) {
    // No entropy device: fall back on values that still differ per process.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    key.k0 ^= static_cast<uint64_t>(now);
    key.k1 ^= reinterpret_cast<uintptr_t>(&key);
  }
  key.k1 |= 1;  // an odd multiplier keeps the product injective in its low half
  return key;
}

const MixKey& process_key() noexcept {
  static const MixKey key = draw_mix_key();  // drawn once, on first use
  return key;
}

inline uint64_t mix(uint64_t fingerprint, const MixKey& key) noexcept {
  __extension__ typedef unsigned __int128 u128;
  const u128 p = static_cast<u128>(fingerprint ^ key.k0) * key.k1;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

// Open-addressing set of 64-bit fingerprints, sized once, never grown. The
// value 0 marks a free slot; a zero fingerprint is tracked on the side.
class SeenSet {
 public:
  // Room for `entries` fingerprints at a load of at most two thirds. The
  // count never exceeds a vector's size, so the sum below can't overflow.
  explicit SeenSet(uint64_t entries) : key_(process_key()) {
    const uint64_t capacity = std::bit_ceil(entries + entries / 2 + 1);
    slots_ = std::make_unique<uint64_t[]>(capacity);  // zeroed; throws std::bad_alloc
    mask_ = capacity - 1;
  }

  // Starts loading the slot where `fingerprint` would be probed first.
  void prefetch(uint64_t fingerprint) const noexcept {
    __builtin_prefetch(&slots_[mix(fingerprint, key_) & mask_]);
  }

  // Adds the fingerprint; returns false when it was already present.
  bool insert(uint64_t fingerprint) noexcept {
    if (fingerprint == 0) return !std::exchange(has_zero_, true);
    for (uint64_t i = mix(fingerprint, key_) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i] == fingerprint) return false;
      if (slots_[i] == 0) {
        slots_[i] = fingerprint;
        return true;
      }
    }
  }

 private:
  MixKey key_;
  std::unique_ptr<uint64_t[]> slots_;
  uint64_t mask_ = 0;
  bool has_zero_ = false;
};

}  // namespace

float saturation_scan(std::string_view text, uint64_t window) {
  const uint64_t w = window == 0 ? 1 : window;

  std::vector<std::string_view> tokens;
  for_each_word(text, [&tokens](std::string_view token) { tokens.push_back(token); });
  const uint64_t n = tokens.size();
  // n < 2w, written so that a huge width can't overflow.
  if (n / 2 < w) return 0.0f;

  const uint64_t windows = n - w + 1;
  SeenSet seen(windows);
  uint64_t duplicates = 0;
  // Fingerprints go in batches: hashing a batch while its slots are fetched
  // hides the cache misses of a large set. Insertion stays in window order.
  constexpr uint64_t kBatch = 16;
  uint64_t batch[kBatch];
  for (uint64_t start = 0; start < windows; start += kBatch) {
    const uint64_t count = std::min(kBatch, windows - start);
    for (uint64_t j = 0; j < count; ++j) {
      batch[j] = content_hash(tokens.data() + start + j, w);
      seen.prefetch(batch[j]);
    }
    for (uint64_t j = 0; j < count; ++j) duplicates += !seen.insert(batch[j]);
  }
  return static_cast<float>(duplicates) / static_cast<float>(windows);
}

}  // namespace zelmo
