// The check harness of the C++ tests: CHECK counts and reports a failing
// expression; check_summary() prints "N passed, M failed" (the line CTest
// logs show) and gives the process exit code.
#pragma once

#include <atomic>
#include <cstdio>

namespace zelmo_test {

inline std::atomic<int> g_passed{0};
inline std::atomic<int> g_failed{0};

inline bool check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    g_passed.fetch_add(1, std::memory_order_relaxed);
  } else {
    g_failed.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "FAIL %s:%d: %s\n", file, line, what);
  }
  return ok;
}

inline int check_summary() {
  const int failed = g_failed.load();
  std::printf("%d passed, %d failed\n", g_passed.load(), failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace zelmo_test

#define CHECK(cond) ::zelmo_test::check(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
