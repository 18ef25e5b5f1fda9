"""A short tour of zelmo_micro (the full agent-session demo replaces it)."""
import zelmo_micro as z

print(z.__doc__, z.__version__)
print("exports:", ", ".join(z.__all__))
gain = z.consolidation_gain(prefix_tokens=10_000, purgeable_tokens=9_000)
print("rewrite a 10k-token cached prefix holding 9k of ballast?", gain["consolidate"],
      f"(gain {gain['gain_token_equiv']:.0f} token-equivalents, break-even after {gain['break_even_calls']:.2f} calls)")
