// Whether rewriting a provider-cached prompt prefix pays off over the next
// calls, in input-token equivalents (an uncached input token costs 1.0).
#pragma once

#include <cstdint>

namespace zelmo {

struct ConsolidationGain {
  bool consolidate;
  double gain_token_equiv;
  double cost_keep;
  double cost_consolidate;
  double break_even_calls;
};

// Every operation is evaluated in the grouping written in the .cpp, so the
// figures agree bit for bit with the reference formulas.
ConsolidationGain consolidation_gain(std::uint64_t prefix_tokens, std::uint64_t purgeable_tokens,
                                     std::uint32_t calls_ahead, double cache_read_ratio,
                                     double cache_write_ratio) noexcept;

}  // namespace zelmo
