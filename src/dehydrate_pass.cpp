// Clamps and the single-precision survival rule of the one-shot dehydration.
#include "dehydrate_pass.h"

#include <math.h>

namespace zelmo {

float clamp_half_life(float half_life) noexcept {
  return half_life >= 0.1f ? half_life : 0.1f;  // NaN fails the comparison
}

DehydrateRule make_dehydrate_rule(float half_life, float safe_threshold) noexcept {
  return DehydrateRule{clamp_half_life(half_life), safe_threshold};
}

bool survives_decay(const DehydrateRule& rule, BlockClass cls, uint64_t age) noexcept {
  // Each step rounds to single precision on its own (no contraction).
  const float a = static_cast<float>(age);
  const float x = -a / rule.half_life;
  // Below -151 the exact power lies under a quarter of the smallest
  // subnormal, so exp2f returns +0; skipping the call spares its underflow
  // path (errno and exception flags), which old messages would take.
  const float d = x < -151.0f ? 0.0f : ::exp2f(x);
  const float p = d * class_weight(cls);
  return p >= rule.threshold;
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
