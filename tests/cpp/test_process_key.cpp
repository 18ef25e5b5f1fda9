// The per-process table key and the portable 64x64 -> 128 fold.
#include <cstdint>
#include <random>

#include "check.h"
#include "core/process_key.h"

using namespace zelmo;

// The fold through 32-bit halves against one built on the compiler's 128-bit
// type where there is one, and against products known by hand everywhere.
static void test_fold_multiply() {
  CHECK(fold_multiply_portable(0, ~uint64_t{0}) == 0);
  CHECK(fold_multiply_portable(1, 5) == 5);
  CHECK(fold_multiply_portable(uint64_t{1} << 32, uint64_t{1} << 32) == 1);  // 2^64: hi 1, lo 0
  // (2^64 - 1)^2 = 2^128 - 2^65 + 1: hi = 2^64 - 2, lo = 1.
  CHECK(fold_multiply_portable(~uint64_t{0}, ~uint64_t{0}) == ((~uint64_t{0} - 1) ^ 1));
  std::mt19937_64 rng(12345);
  bool all_equal = true;
  for (int i = 0; i < 100000; ++i) {
    const uint64_t a = rng(), b = rng() >> (i % 64);
    all_equal &= fold_multiply_portable(a, b) == fold_multiply(a, b);
  }
  CHECK(all_equal);
}

static void test_key() {
  const ProcessKey& k = process_key();
  CHECK(&k == &process_key());  // drawn once
  CHECK((k.k1 & 1) == 1);
}

int main() {
  test_fold_multiply();
  test_key();
  return zelmo_test::check_summary();
}
