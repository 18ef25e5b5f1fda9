// Default full lower-casing over the generated character tables.
#include "unicode_data.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "utf8.h"

namespace zelmo::unicode {
namespace {

using detail::char_info;
using detail::kCased;
using detail::kCaseIgnorable;

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

// Length of the sequence at p if it is complete and its continuation bytes are
// continuation bytes; 0 otherwise. Keeps every read inside [p, end).
std::size_t complete_length(const char* p, const char* end) noexcept {
  const std::size_t n = utf8_sequence_length(static_cast<unsigned char>(*p));
  if (n == 0 || static_cast<std::size_t>(end - p) < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if (!is_utf8_continuation(static_cast<unsigned char>(p[i]))) return 0;
  }
  return n;
}

// True when the first character at or after p that is not case-ignorable
// exists and is cased. A malformed byte counts as uncased.
bool cased_follows(const char* p, const char* end) noexcept {
  while (p < end) {
    if (complete_length(p, end) == 0) return false;
    const std::uint16_t info = char_info(decode_utf8(p));
    if (!(info & kCaseIgnorable)) return info & kCased;
  }
  return false;
}

// The end of the ASCII run starting at p: sixteen bytes a step while as
// many are left.
const char* ascii_run_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (high != 0) return p + std::countr_zero(static_cast<unsigned>(high));
  }
#endif
  while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return p;
}

// Lowers the ASCII run starting at p into out; returns the end of the run.
// The run is appended as it is, then lowered in place.
const char* lower_ascii_run(const char* p, const char* end, std::string& out) {
  const char* q = ascii_run_end(p, end);
  const std::size_t old = out.size();
  out.append(p, q);
  char* const last = out.data() + out.size();
  for (char* b = out.data() + old; b != last; ++b) {
    *b = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + ('a' - 'A')) : *b;
  }
  return q;
}

}  // namespace

void to_lower_full(std::string_view text, std::string& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  out.reserve(out.size() + text.size());

  // Final_Sigma, looking backwards, needs only this: whether the last
  // character so far that is not case-ignorable is cased. Keeping it going
  // forward makes the backward look free. The forward look from a sigma stops
  // at the first character that is not case-ignorable; the next sigma is such
  // a character, so the forward scans of successive sigmas never overlap and
  // all of them together read each byte at most once more.
  bool after_cased = false;

  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      const char* const run = p;
      p = lower_ascii_run(p, end, out);
      // The run's last character that is not case-ignorable (ASCII has a few
      // ignorable ones such as ' . : ^ `) decides the state.
      for (const char* r = p; r != run;) {
        const std::uint16_t info = char_info(static_cast<unsigned char>(*--r));
        if (!(info & kCaseIgnorable)) {
          after_cased = info & kCased;
          break;
        }
      }
      continue;
    }

    const std::size_t n = complete_length(p, end);
    if (n == 0) {  // stray or truncated byte: copied as is, counts as uncased
      out.push_back(*p++);
      after_cased = false;
      continue;
    }
    const char* next = p;
    const char32_t c = decode_utf8(next);
    const std::uint16_t info = char_info(c);
    const std::size_t index = info >> detail::kFlagBits;
    if (c == kCapitalSigma) {
      append_utf8(out, after_cased && !cased_follows(next, end) ? kFinalSigma : kSmallSigma);
    } else if (index == 0) {
      out.append(p, n);
    } else if (index <= detail::kLowerDeltaCount) {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + detail::kLowerDelta[index - 1]));
    } else {
      const detail::LowerMulti& m = detail::kLowerMulti[index - detail::kLowerDeltaCount - 1];
      for (std::size_t i = 0; i < m.len; ++i) append_utf8(out, m.cps[i]);
    }
    if (!(info & kCaseIgnorable)) after_cased = info & kCased;
    p = next;
  }
}

}  // namespace zelmo::unicode
