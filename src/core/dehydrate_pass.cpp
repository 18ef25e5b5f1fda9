// The one-shot dehydration's rule (where decay reaches +0) and its totals.
#include "dehydrate_pass.h"

namespace zelmo {

namespace {
// Whether message age `age` has decayed to +0: -a / H below -151, the test
// survives_decay makes, in the same single-precision steps.
bool fully_decayed(float half_life, uint64_t age) noexcept {
  const float a = static_cast<float>(age);
  return -a / half_life < -151.0f;
}
}  // namespace

DehydrateRule make_dehydrate_rule(float half_life, float safe_threshold) noexcept {
  DehydrateRule rule{clamp_half_life(half_life), safe_threshold, {}, UINT64_MAX, false};
  for (BlockClass cls : {BlockClass::durable, BlockClass::conversational, BlockClass::thinking,
                         BlockClass::tool, BlockClass::unclassified}) {
    rule.weights[static_cast<std::size_t>(cls)] = class_weight(cls);
  }
  // The test only grows truer with age (rounding to single precision and
  // dividing by a positive H are both monotonic), so the last age where it
  // fails is found by bisection.
  if (fully_decayed(rule.half_life, UINT64_MAX)) {
    uint64_t lo = 0, hi = UINT64_MAX;  // fully_decayed(lo) is false, fully_decayed(hi) true
    while (hi - lo > 1) {
      const uint64_t mid = lo + (hi - lo) / 2;
      (fully_decayed(rule.half_life, mid) ? hi : lo) = mid;
    }
    rule.last_decaying_age = lo;
  }
  // A weight times +0 is +0 for every class.
  rule.kept_when_decayed = 0.0f >= safe_threshold;
  return rule;
}

double DehydrateTotals::reduction() const noexcept {
  if (tokens_before == 0) return 0.0;
  return 1.0 - static_cast<double>(tokens_after) / static_cast<double>(tokens_before);
}

double elapsed_us(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point stop) noexcept {
  if (stop < start) return 0.0;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
  return static_cast<double>(ns) / 1000.0;
}

}  // namespace zelmo
