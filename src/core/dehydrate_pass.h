// The decision pass of the one-shot history dehydration.
//
// Messages are judged oldest first. The first `stable_prefix` messages are
// kept verbatim (a provider's prompt-cache prefix must stay byte-identical),
// durable messages are always kept, and every other message of recency age a
// (the newest has age 0) is kept when, in single precision,
//     exp2f(-a / H) * weight(class) >= T.
// The pass is pure: it reads classes, yields keep decisions and never touches
// an interpreter object, so the binding runs it without the interpreter lock.
#pragma once

#include <math.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "block_model.h"
#include "half_life.h"

namespace zelmo {

struct DehydrateRule {
  float half_life;   // H, at least kMinHalfLife
  float threshold;   // T, unclamped (NaN purges everything judged)
  float weights[5];  // class_weight of each BlockClass, by its value
  // Beyond this age -a / H lies below -151, where the decay is +0 (see
  // survives_decay); every older message then decides alike: 0 >= T.
  // UINT64_MAX when no age gets there (an infinite H).
  uint64_t last_decaying_age;
  bool kept_when_decayed;
};

// H = clamp_half_life(half_life).
DehydrateRule make_dehydrate_rule(float half_life, float safe_threshold) noexcept;

// Survival of a message that is neither protected nor durable. Inline: the
// pass runs it once per message.
inline bool survives_decay(const DehydrateRule& rule, BlockClass cls, uint64_t age) noexcept {
  // Most of a long history is that old: one comparison decides it.
  if (age > rule.last_decaying_age) return rule.kept_when_decayed;
  // Each step rounds to single precision on its own (no contraction).
  const float a = static_cast<float>(age);
  const float x = -a / rule.half_life;
  // Below -151 the exact power lies under a quarter of the smallest
  // subnormal, so exp2f returns +0; skipping the call spares its underflow
  // path (errno and exception flags), which old messages would take.
  const float d = x < -151.0f ? 0.0f : ::exp2f(x);
  const float p = d * rule.weights[static_cast<std::size_t>(cls)];
  return p >= rule.threshold;
}
inline bool survives_decay(const DehydrateRule& rule, uint32_t flags, uint64_t age) noexcept {
  return survives_decay(rule, block_class(flags), age);
}

// Keep decision of message i among n, protected prefix length p = min(prefix, n).
// Inline: the pass runs it once per message, over the caller's own store.
inline bool keep_message(const DehydrateRule& rule, uint64_t stable_prefix, size_t n, size_t i,
                         BlockClass cls) noexcept {
  if (i < stable_prefix || cls == BlockClass::durable) return true;
  return survives_decay(rule, cls, static_cast<uint64_t>(n - 1 - i));
}

// Audited savings of one pass, counted message by message.
// Python: the counting keys of the DehydrateResult dict; kept, blocks_in and the latency come from the binding.
struct DehydrateTotals {
  uint64_t blocks_kept = 0;
  uint64_t blocks_purged = 0;
  uint64_t tokens_before = 0;
  uint64_t tokens_after = 0;
  uint64_t stable_prefix_tokens = 0;

  void count(uint32_t tokens, bool in_prefix, bool kept) noexcept {
    tokens_before += tokens;
    if (in_prefix) stable_prefix_tokens += tokens;
    if (kept) {
      ++blocks_kept;
      tokens_after += tokens;
    } else {
      ++blocks_purged;
    }
  }
  // 1 - after / before in double precision; 0.0 for an empty history.
  double reduction() const noexcept;
};

// Elapsed monotonic time in microseconds; 0.0 when stop precedes start.
double elapsed_us(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point stop) noexcept;

}  // namespace zelmo
