// The x86-64 vector intrinsics and the processor checks, for code that picks
// an AVX-512 path at run time. ZELMO_X86_DISPATCH is defined where they are
// available.
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

// The vector paths' instruction sets, in two tiers: every AVX-512 kernel
// compiles for ZELMO_TARGET_AVX512 (64-bit lanes, byte and word masks) and
// runs where cpu_has_avx512() holds; the byte-shuffling kernels (UTF-8
// conversion, word packing) add VBMI2's byte compress and BMI2's pdep/pext
// and run where cpu_has_avx512_bytes() holds. Each target and its check are
// kept together here, so no kernel can use an instruction that its check did
// not ask the processor about.
#define ZELMO_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,bmi,popcnt")))
#define ZELMO_TARGET_AVX512_BYTES \
  __attribute__((target("avx512f,avx512bw,avx512dq,bmi,popcnt,avx512vbmi2,bmi2")))

namespace zelmo {

namespace detail {
// The questions, asked once per process. Out of line, so that the callers'
// fast path (one flag load) keeps its registers.
[[gnu::cold, gnu::noinline]] inline bool ask_avx512() noexcept {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
}
[[gnu::cold, gnu::noinline]] inline bool ask_avx512_bytes() noexcept {
  return ask_avx512() && __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
}
}  // namespace detail

inline bool cpu_has_avx512() noexcept {
  static const bool yes = detail::ask_avx512();
  return yes;
}

inline bool cpu_has_avx512_bytes() noexcept {
  static const bool yes = detail::ask_avx512_bytes();
  return yes;
}

}  // namespace zelmo
#endif
