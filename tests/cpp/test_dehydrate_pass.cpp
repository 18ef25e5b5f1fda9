// Decision pass of the one-shot dehydration: clamps, age thresholds,
// protected prefix, durable blocks, totals and the latency figure.
#include "check.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "core/dehydrate_pass.h"

using namespace zelmo;

// The pass over a history given by flags: one byte per message, 1 = kept.
static std::vector<unsigned char> mask(const std::vector<uint32_t>& flags, float h, float t,
                                       uint64_t prefix = 0) {
  const DehydrateRule rule = make_dehydrate_rule(h, t);
  std::vector<unsigned char> keep(flags.size());
  for (size_t i = 0; i < flags.size(); ++i) {
    keep[i] = keep_message(rule, prefix, flags.size(), i, block_class(flags[i]));
  }
  return keep;
}

// Oldest age that survives among `n` identical messages (-1: none).
static long oldest_surviving_age(uint32_t flags, size_t n) {
  const auto keep = mask(std::vector<uint32_t>(n, flags), 6.0f, 0.35f);
  long oldest = -1;
  for (size_t i = 0; i < n; ++i)
    if (keep[i]) oldest = std::max(oldest, static_cast<long>(n - 1 - i));
  return oldest;
}

// The survival test spelled out step by step, for comparison.
static bool survives_directly(float h, float t, BlockClass cls, uint64_t age) {
  const float x = -static_cast<float>(age) / clamp_half_life(h);
  const float d = x < -151.0f ? 0.0f : std::exp2(x);
  return d * class_weight(cls) >= t;
}

// Ages around the point where the decay reaches +0 decide as the spelled-out
// rule does, for half-lives small, odd, huge and infinite.
static void decayed_ages_decide_alike() {
  const float inf = std::numeric_limits<float>::infinity();
  for (float h : {0.1f, 0.7f, 2.0f, 6.0f, 1000.5f, 3e30f, inf}) {
    for (float t : {0.35f, 0.0f, -1.0f, 1e-45f}) {
      const DehydrateRule rule = make_dehydrate_rule(h, t);
      std::vector<uint64_t> ages = {0, 1, 2, 100, UINT64_MAX - 1, UINT64_MAX};
      if (rule.last_decaying_age != UINT64_MAX) {
        for (uint64_t d = 0; d < 3; ++d) {
          ages.push_back(rule.last_decaying_age - d);
          ages.push_back(rule.last_decaying_age + 1 + d);
        }
      }
      for (uint64_t age : ages) {
        for (BlockClass cls : {BlockClass::conversational, BlockClass::thinking, BlockClass::unclassified}) {
          CHECK(survives_decay(rule, cls, age) == survives_directly(h, t, cls, age));
        }
      }
    }
  }
  // 151 * 6 = 906: the last age whose decay is not yet +0.
  CHECK(make_dehydrate_rule(6.0f, 0.35f).last_decaying_age == 906);
  CHECK(make_dehydrate_rule(inf, 0.35f).last_decaying_age == UINT64_MAX);
}

int main() {
  decayed_ages_decide_alike();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float below = std::nextafter(0.1f, 0.0f);
  for (float h : {0.0f, -5.0f, nan, 0.05f, below, -inf}) {
    CHECK(clamp_half_life(h) == 0.1f);
    CHECK(make_dehydrate_rule(h, 0.35f).half_life == 0.1f);
  }
  for (float h : {0.1f, std::nextafter(0.1f, 1.0f), 6.0f, inf}) {
    CHECK(clamp_half_life(h) == h);
    CHECK(make_dehydrate_rule(h, 0.35f).half_life == h);
  }

  // Default rule: USER survives to age 9, unclassified to 4, ballast never.
  CHECK(oldest_surviving_age(USER, 15) == 9);
  CHECK(oldest_surviving_age(ASSISTANT | TOOL, 15) == 9);
  CHECK(oldest_surviving_age(0, 15) == 4);
  CHECK(oldest_surviving_age(64, 15) == 4);
  CHECK(oldest_surviving_age(TOOL, 3) == -1);
  CHECK(oldest_surviving_age(THINKING, 1) == -1);
  CHECK(oldest_surviving_age(SYSTEM | TOOL, 40) == 39);

  // Durable survives any threshold, NaN included; NaN purges the rest.
  const auto k1 = mask({FACT, USER, SYSTEM, 0}, 6.0f, nan);
  CHECK((k1 == std::vector<unsigned char>{1, 0, 1, 0}));
  // Threshold 0 keeps everything, even an infinitely old-looking tail.
  CHECK((mask({TOOL, THINKING, 0}, 0.1f, 0.0f) == std::vector<unsigned char>{1, 1, 1}));
  // The protected prefix keeps the oldest messages whatever their class.
  CHECK((mask({TOOL, THINKING, TOOL, USER}, 6.0f, 0.35f, 2) == std::vector<unsigned char>{1, 1, 0, 1}));
  CHECK((mask({TOOL, TOOL}, 6.0f, 0.35f, ~uint64_t{0}) == std::vector<unsigned char>{1, 1}));
  CHECK(mask({}, 6.0f, 0.35f).empty());

  // Tie at the threshold is kept: 2^(-1/1) * 1.0 == 0.5.
  const DehydrateRule tie = make_dehydrate_rule(1.0f, 0.5f);
  CHECK(survives_decay(tie, USER, 1));
  CHECK(!survives_decay(make_dehydrate_rule(1.0f, 0.50001f), USER, 1));

  DehydrateTotals t;
  CHECK(t.reduction() == 0.0);
  t.count(3, true, true);
  t.count(1, false, false);
  CHECK(t.blocks_kept == 1 && t.blocks_purged == 1 && t.tokens_before == 4 && t.tokens_after == 3 &&
        t.stable_prefix_tokens == 3 && t.reduction() == 0.25);

  const auto now = std::chrono::steady_clock::now();
  CHECK(elapsed_us(now, now + std::chrono::nanoseconds(2500)) == 2.5);
  CHECK(elapsed_us(now + std::chrono::nanoseconds(1), now) == 0.0);

  return zelmo_test::check_summary();
}
