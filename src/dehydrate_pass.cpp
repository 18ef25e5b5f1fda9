// Clamps and the single-precision survival rule of the one-shot dehydration.
#include "dehydrate_pass.h"

namespace zelmo {

float clamp_half_life(float half_life) noexcept {
  return half_life >= 0.1f ? half_life : 0.1f;  // NaN fails the comparison
}

DehydrateRule make_dehydrate_rule(float half_life, float safe_threshold) noexcept {
  DehydrateRule rule{clamp_half_life(half_life), safe_threshold, {}};
  for (BlockClass cls : {BlockClass::durable, BlockClass::conversational, BlockClass::thinking,
                         BlockClass::tool, BlockClass::unclassified}) {
    rule.weights[static_cast<std::size_t>(cls)] = class_weight(cls);
  }
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
