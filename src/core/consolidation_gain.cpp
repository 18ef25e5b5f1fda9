#include "consolidation_gain.h"

#include <algorithm>
#include <limits>

namespace zelmo {

ConsolidationGain consolidation_gain(std::uint64_t prefix_tokens, std::uint64_t purgeable_tokens,
                                     std::uint32_t calls_ahead, double cache_read_ratio,
                                     double cache_write_ratio) noexcept {
  // Ballast beyond the prefix is ignored; a horizon of 0 counts as 1.
  const std::uint64_t purged = std::min(purgeable_tokens, prefix_tokens);
  const double rest = static_cast<double>(prefix_tokens - purged);
  const double prefix = static_cast<double>(prefix_tokens);
  const double calls = static_cast<double>(std::max<std::uint32_t>(calls_ahead, 1));
  const double r = cache_read_ratio;
  const double w = cache_write_ratio;

  ConsolidationGain g;
  // The horizon N at which keeping (N * prefix * r) and consolidating
  // (rest * w + (N - 1) * rest * r) cost the same.
  g.break_even_calls = purged == 0 ? std::numeric_limits<double>::infinity()
                                   : ((w - r) * rest) / (r * (prefix - rest));
  g.cost_keep = r * (calls * prefix);
  g.cost_consolidate = (w * rest) + r * ((calls - 1.0) * rest);
  g.gain_token_equiv = g.cost_keep - g.cost_consolidate;
  g.consolidate = g.gain_token_equiv > 0.0;
  return g;
}

}  // namespace zelmo
