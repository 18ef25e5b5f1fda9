#include "process_key.h"

#include <chrono>
#include <random>

namespace zelmo {
namespace {

ProcessKey draw_key() noexcept {
  ProcessKey key{0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL};
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
  key.k1 |= 1;
  return key;
}

}  // namespace

const ProcessKey& process_key() noexcept {
  static const ProcessKey key = draw_key();  // thread-safe, once per process
  return key;
}

}  // namespace zelmo
