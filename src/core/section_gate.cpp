// The lock-free sections' fork gate. See section_gate.h.
#include "section_gate.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zelmo {
namespace {

constexpr std::uint64_t kSection = 1;
constexpr std::uint64_t kFork = std::uint64_t{1} << 32;
constexpr std::uint64_t kSectionMask = kFork - 1;

// Invariant: the low half counts the sections between their enter and leave
// (plus, for a moment, an enter that is backing out); the high half counts
// the forks between before_fork and their after hook. A section runs only
// while the high half is 0, and fork() proceeds only once the low half is 0.
std::atomic<std::uint64_t> g_state{0};

// Waiting, in either direction, is for work measured in microseconds to
// milliseconds: spin briefly, then yield, then sleep in short steps.
class Pause {
 public:
  void operator()() noexcept {
    if (rounds_ < 16) {
      std::this_thread::yield();
    } else {
      const timespec step{0, 50'000};  // 50 us
      nanosleep(&step, nullptr);
    }
    ++rounds_;
  }

 private:
  unsigned rounds_ = 0;
};

}  // namespace

void enter_section() noexcept {
  // acq_rel: the count and the check are one step, so either this section is
  // counted before a fork looks (and the fork waits for it) or it sees the
  // fork and backs out.
  std::uint64_t state = g_state.fetch_add(kSection, std::memory_order_acq_rel);
  if ((state & ~kSectionMask) == 0) return;
  Pause pause;
  for (;;) {
    g_state.fetch_sub(kSection, std::memory_order_relaxed);  // back out; the fork may go ahead
    do {
      pause();
      state = g_state.load(std::memory_order_relaxed);
    } while ((state & ~kSectionMask) != 0);
    state = g_state.fetch_add(kSection, std::memory_order_acq_rel);
    if ((state & ~kSectionMask) == 0) return;
  }
}

void leave_section() noexcept {
  // release: the section's writes happen-before a fork that sees it gone.
  g_state.fetch_sub(kSection, std::memory_order_release);
}

void before_fork() noexcept {
  // acquire (on the loads below): pairs with leave_section's release.
  std::uint64_t state = g_state.fetch_add(kFork, std::memory_order_acq_rel) + kFork;
  Pause pause;
  while ((state & kSectionMask) != 0) {
    pause();
    state = g_state.load(std::memory_order_acquire);
  }
}

void after_fork_parent() noexcept { g_state.fetch_sub(kFork, std::memory_order_release); }

void after_fork_child() noexcept {
  // Only the forking thread lives on, and it ran no section: nothing is
  // running and no other fork is being prepared here.
  g_state.store(0, std::memory_order_relaxed);
}

bool install_fork_hooks() noexcept {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] { installed = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0; });
  return installed;
}

}  // namespace zelmo
