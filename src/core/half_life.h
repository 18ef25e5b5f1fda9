// The half-life floor shared by the context window's cycles and the one-shot
// dehydration: a shorter half-life (or NaN) would make the decay exponent
// unbounded, so every half-life a caller gives is raised to at least 0.1.
#pragma once

namespace zelmo {

inline constexpr float kMinHalfLife = 0.1f;

inline constexpr float clamp_half_life(float half_life) noexcept {
  return half_life >= kMinHalfLife ? half_life : kMinHalfLife;  // NaN fails the comparison
}

}  // namespace zelmo
