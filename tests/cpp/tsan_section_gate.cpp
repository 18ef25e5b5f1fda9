// The fork gate under ThreadSanitizer: threads run sections that write plain
// (non-atomic) data; a "fork" thread runs the hooks and, between before_fork
// and after_fork_parent, finds no section running and reads that data. The
// sanitizer checks that leaving a section happens-before the fork's reads.
#include "check.h"
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/section_gate.h"

static void gate_hammer(unsigned workers, unsigned forks) {
  std::atomic<unsigned> inside{0};
  std::atomic<bool> done{false};
  std::vector<unsigned long> written(workers, 0);  // each worker's, written only inside sections
  std::vector<std::thread> threads;
  for (unsigned k = 0; k < workers; ++k) {
    threads.emplace_back([&, k] {
      while (!done.load(std::memory_order_relaxed)) {
        zelmo::enter_section();
        inside.fetch_add(1, std::memory_order_relaxed);
        ++written[k];
        inside.fetch_sub(1, std::memory_order_relaxed);
        zelmo::leave_section();
      }
    });
  }
  bool quiet = true;
  unsigned long seen = 0, last = 0;
  bool grew = true;
  for (unsigned f = 0; f < forks; ++f) {
    zelmo::before_fork();
    quiet = quiet && inside.load(std::memory_order_relaxed) == 0;
    seen = 0;
    for (unsigned long w : written) seen += w;  // no section may write now
    grew = grew && seen >= last;
    last = seen;
    zelmo::after_fork_parent();
    std::this_thread::yield();
  }
  done.store(true, std::memory_order_relaxed);
  for (auto& t : threads) t.join();
  CHECK(quiet && grew && last > 0);
}

static int stress_rounds() {
  const char* env = std::getenv("ZELMO_STRESS_ITERS");
  const int n = env ? std::atoi(env) : 1;
  return n > 0 ? n : 1;
}

int main() {
  for (int round = stress_rounds(); round > 0; --round) gate_hammer(3, 2000);
  return zelmo_test::check_summary();
}
