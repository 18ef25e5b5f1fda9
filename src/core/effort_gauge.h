// Effort gauge: how much reasoning a request text deserves.
//
// A pure function of one UTF-8 text. It lowers the text (full Unicode
// lower-case mapping), splits it into words, trims each word to its
// alphanumeric core and counts hits against fixed English and Portuguese word
// lists, then folds the counts into a single-precision score, a tier and the
// tier's reasoning-token budget. Nothing is kept between calls.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelmo {

enum class EffortTier : uint8_t { off, low, medium, high };

// The raw signals the score is made from.
struct EffortSignals {
  uint64_t words = 0;
  float len_score = 0.0f;     // min(words / 400, 1)
  uint64_t hard_hits = 0;     // cores that are a hard word or start with a hard stem
  uint64_t constraint_hits = 0;
  uint64_t code_hits = 0;     // code-word cores + code-symbol bytes / 6
  float digit_ratio = 0.0f;   // ASCII digit bytes / bytes of the lowered text
  float novelty = 0.0f;       // distinct whole words / words
  uint64_t trivial_hits = 0;
};

// Python: the EffortGauge dict that effort_gauge returns; the core names the result, not the call.
struct EffortResult {
  float score = 0.0f;  // in [0, 1], after the small-talk cap
  EffortTier tier = EffortTier::off;
  uint32_t budget_tokens = 0;
  EffortSignals signals;
};

// "off", "low", "medium" or "high".
const char* effort_tier_name(EffortTier tier) noexcept;

// Gauges a valid UTF-8 text. Throws std::bad_alloc when the lowered copy or
// the distinct-word set cannot be allocated.
EffortResult effort_gauge(std::string_view text);

}  // namespace zelmo
