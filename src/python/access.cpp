// Taking the access guard, and the RuntimeError a conflicting access raises.
#include "access.h"

#include "errors.h"

namespace zelmo::py {

bool AccessGuard::try_shared() noexcept {
  std::intptr_t c = count_.load(std::memory_order_relaxed);
  do {
    if (c == kExclusive) return false;
    // acquire: see everything the last exclusive holder wrote.
  } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  return true;
}

bool AccessGuard::try_exclusive() noexcept {
  std::intptr_t expected = 0;
  // acquire: see everything earlier shared holders published.
  return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

SharedAccess::SharedAccess(AccessGuard& g) : g_(g) {
  if (!g_.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
}

ExclusiveAccess::ExclusiveAccess(AccessGuard& g) : g_(g) {
  if (!g_.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
}

}  // namespace zelmo::py
