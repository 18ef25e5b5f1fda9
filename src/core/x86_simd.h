// The x86-64 vector intrinsics, for code that picks an AVX-512 path at run
// time. ZELMO_X86_DISPATCH is defined where they are available.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZELMO_X86_DISPATCH 1
// GCC 12's AVX-512 headers start some intrinsics from a self-initialised
// "undefined" vector, which its own uninitialised-use warnings then flag
// wherever they are inlined; the pragma covers those header lines only.
#if defined(__clang__)
#include <immintrin.h>
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace zelmo {

// Whether the processor has the AVX-512 subsets the byte-shuffling kernels
// use (F, BW, VBMI2 for byte compress, BMI2 for pdep/pext); asked once.
inline bool cpu_has_avx512_bytes() noexcept {
  static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
  return yes;
}

}  // namespace zelmo
#endif
