// Throughput of the lock-free event ring against a mutex-guarded std::deque
// with the same bounded try_push / try_pop semantics, under two-thread
// contention. Prints operations per second and the ratio; asserts nothing.
//
//   bench_ring [events_per_run]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "core/hormonal_bus.h"

using zelmo::EventRing;
using zelmo::SignalEvent;

namespace {

constexpr uint64_t kCapacity = 1024;
constexpr int kRuns = 3;  // best of three, to damp noise on a shared machine

class MutexQueue {
 public:
  explicit MutexQueue(uint64_t capacity) : capacity_(capacity) {}
  bool try_push(SignalEvent e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= capacity_) return false;
    queue_.push_back(e);
    return true;
  }
  bool try_pop(SignalEvent& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return false;
    out = queue_.front();
    queue_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::deque<SignalEvent> queue_;
  uint64_t capacity_;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One producer pushes `n` events, one consumer pops them; returns ops/s
// counting each successful push and pop as one operation.
template <class Queue>
double producer_consumer(uint64_t n) {
  Queue q(kCapacity);
  uint64_t checksum = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread producer([&q, n] {
    for (uint64_t i = 0; i < n; ++i) {
      while (!q.try_push({static_cast<uint32_t>(i), 1.0f})) std::this_thread::yield();
    }
  });
  std::thread consumer([&q, &checksum, n] {
    SignalEvent e{};
    for (uint64_t i = 0; i < n; ++i) {
      while (!q.try_pop(e)) std::this_thread::yield();
      checksum += e.flags;
    }
  });
  producer.join();
  consumer.join();
  const double elapsed = seconds_since(start);
  if (n < (uint64_t{1} << 32) && checksum != n * (n - 1) / 2) std::abort();  // lost or duplicated
  return 2.0 * static_cast<double>(n) / elapsed;
}

// Two threads each alternate push and pop `n` times; returns ops/s.
template <class Queue>
double push_pop_pairs(uint64_t n) {
  Queue q(kCapacity);
  const auto start = std::chrono::steady_clock::now();
  auto worker = [&q, n] {
    SignalEvent e{};
    for (uint64_t i = 0; i < n; ++i) {
      (void)q.try_push({static_cast<uint32_t>(i), 1.0f});
      (void)q.try_pop(e);
    }
  };
  std::thread a(worker);
  std::thread b(worker);
  a.join();
  b.join();
  return 4.0 * static_cast<double>(n) / seconds_since(start);
}

template <class F>
double best_of(F run) {
  double best = 0.0;
  for (int i = 0; i < kRuns; ++i) {
    const double rate = run();
    if (rate > best) best = rate;
  }
  return best;
}

void report(const char* scenario, double ring, double mutex) {
  std::printf("%-28s ring %12.0f ops/s   mutex+deque %12.0f ops/s   ratio %.2fx\n", scenario, ring, mutex,
              ring / mutex);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::printf("capacity %llu, %llu events per run, best of %d, %u hardware threads\n",
              static_cast<unsigned long long>(kCapacity), static_cast<unsigned long long>(n), kRuns,
              std::thread::hardware_concurrency());
  report("1 producer / 1 consumer", best_of([n] { return producer_consumer<EventRing>(n); }),
         best_of([n] { return producer_consumer<MutexQueue>(n); }));
  report("2 threads push+pop", best_of([n] { return push_pop_pairs<EventRing>(n); }),
         best_of([n] { return push_pop_pairs<MutexQueue>(n); }));
  return 0;
}
