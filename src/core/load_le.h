// Little-endian word loads from byte buffers: the one way the core reads a
// multi-byte word out of text. SipHash defines its message words as
// little-endian, and the keyed table hashes read the same way so that they
// behave alike on every machine. Unaligned reads, through memcpy.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelmo {

inline uint64_t load_le64(const unsigned char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

inline uint32_t load_le32(const unsigned char* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
  return w;
}

// The n <= 8 bytes at p as the low bytes of a word, the rest zero. Reads
// those n bytes only.
inline uint64_t load_le64_prefix(const unsigned char* p, size_t n) noexcept {
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

}  // namespace zelmo
