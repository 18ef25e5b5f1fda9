// Threads inserting, dehydrating (with absorption), rendering, noting facts,
// setting the purpose and reading the counters on one window at once. Built
// with ThreadSanitizer: any data race fails the run; a deadlock would hang it
// (CTest's timeout catches that). Afterwards the token accounting must add up.
#include "check.h"
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/block_model.h"
#include "core/context_apoptosis.h"

using namespace zelmo;

static int run_round() {
  ContextWindow w(2.0f, 0.35f, 16, 8);
  constexpr int kInserters = 2, kPerInserter = 2000;
  std::atomic<bool> go{false}, done{false};
  // Every thread starts at the signal and the background ones run a minimum
  // number of rounds, so the operations genuinely overlap.
  constexpr int kMinRounds = 300;
  auto wait_go = [&] { while (!go.load(std::memory_order_acquire)) std::this_thread::yield(); };
  auto keep_going = [&](int round) { return round < kMinRounds || !done.load(std::memory_order_acquire); };
  std::atomic<uint64_t> expected_tokens{0};
  std::atomic<int> ratio_violations{0};
  std::atomic<uint64_t> purged_total{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kInserters; ++t) {
    threads.emplace_back([&, t] {
      const uint32_t flags[] = {USER, ASSISTANT, TOOL, THINKING, 0, FACT};
      wait_go();
      for (int i = 0; i < kPerInserter; ++i) {
        std::string text = "msg " + std::to_string(t) + ":" + std::to_string(i) + "   line\nnext";
        expected_tokens.fetch_add(estimate_tokens(text), std::memory_order_relaxed);
        // Durable blocks never leave; keep them rare so the store stays small.
        const uint32_t f = (i % 97 == 0) ? flags[5] : flags[i % 5];
        w.insert(std::move(text), f, std::nullopt);
      }
    });
  }
  threads.emplace_back([&] {
    wait_go();
    for (int i = 0; keep_going(i); ++i)
      purged_total.fetch_add(w.dehydrate(0.5f, true), std::memory_order_relaxed);
  });
  threads.emplace_back([&] {
    wait_go();
    for (int i = 0; keep_going(i); ++i) {
      const std::string r = w.render();
      (void)w.active_tokens();
      (void)w.active_context();
      (void)w.state_entries();
      if (r.size() == static_cast<size_t>(-1)) std::puts("unreachable");
    }
  });
  threads.emplace_back([&] {
    wait_go();
    for (int i = 0; keep_going(i); ++i) {
      w.note_state("fact " + std::to_string(i % 20));
      w.set_purpose(i % 3 ? std::optional<std::string>("purpose " + std::to_string(i)) : std::nullopt);
      const float ratio = w.reduction_ratio();
      if (!(ratio >= 0.0f && ratio <= 1.0f)) ratio_violations.fetch_add(1);
      if (w.reclaimed_tokens() > w.inserted_tokens()) ratio_violations.fetch_add(1);
    }
  });

  go.store(true, std::memory_order_release);
  for (int t = 0; t < kInserters; ++t) threads[static_cast<size_t>(t)].join();
  done.store(true, std::memory_order_release);
  for (size_t t = kInserters; t < threads.size(); ++t) threads[t].join();

  CHECK(w.inserted_tokens() == expected_tokens.load());          // every insertion counted
  CHECK(w.reclaimed_tokens() + w.active_tokens() == w.inserted_tokens());
  CHECK(purged_total.load() + w.size() == kInserters * kPerInserter);  // blocks all accounted for
  CHECK(ratio_violations.load() == 0);  // ratio in 0..1 and reclaimed <= inserted at every read
  CHECK(w.state_entries().size() <= 8);  // ledger bounded by state_capacity
  return zelmo_test::check_summary();
}

// ZELMO_STRESS_ITERS=N repeats the whole stress N times (`make tsan`).
int main() {
  const char* env = std::getenv("ZELMO_STRESS_ITERS");
  const int rounds = env && std::atoi(env) > 1 ? std::atoi(env) : 1;
  for (int round = 0; round < rounds; ++round) {
    if (run_round() != 0) return 1;
  }
  return 0;
}
