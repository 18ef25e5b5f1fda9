// The access guard of a class instance: an atomic counter that lets many
// readers or one writer at a time into the instance's native value, and
// refuses (rather than waits for) a conflicting access.
//
// Invariant: the counter is 0 (free), a positive number of shared holders,
// or kExclusive (one exclusive holder).
#pragma once

#include <atomic>
#include <cstdint>

namespace zelmo::py {

class AccessGuard {
 public:
  bool try_shared() noexcept;
  // release: a later exclusive holder sees this holder's reads done.
  void end_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept;
  // release: publish the exclusive holder's writes to the next holder.
  void end_exclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::atomic<std::intptr_t> count_{0};
};

// RAII shared access; raises RuntimeError "Already mutably borrowed".
class SharedAccess {
 public:
  explicit SharedAccess(AccessGuard& g);
  ~SharedAccess() { g_.end_shared(); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessGuard& g_;
};

// RAII exclusive access; raises RuntimeError "Already borrowed".
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessGuard& g);
  ~ExclusiveAccess() { g_.end_exclusive(); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessGuard& g_;
};

}  // namespace zelmo::py
