// Effort gauge. See effort_gauge.h.
//
// Passes over the text: one lower-casing copy, one byte scan (digits and code
// symbols), one split to count the words and one split to score them. Words
// and cores are views into the lowered copy; nothing is copied per word.
#include "effort_gauge.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>

#include "block_model.h"
#include "unicode_data.h"

namespace zelmo {
namespace {

// ---------------------------------------------------------------------------
// Vocabulary. Lower case, compared byte for byte as UTF-8 (the accented
// entries are precomposed). Every entry starts with an ASCII letter a..z,
// which lets a core that starts otherwise skip all lists at once.

constexpr std::array<std::string_view, 14> kCodeWords = {
    "fn",  "def", "class", "import",   "return", "const", "let",
    "select", "async", "struct", "impl", "function", "var", "pub"};

constexpr std::array<std::string_view, 22> kConstraintWords = {
    "must",      "never",   "always",   "without",       "ensure",    "require",
    "requirement", "constraint", "invariant", "except",  "deve",      "nunca",
    "sempre",    "sem",     "garanta",  "requisito",
    "restri\xC3\xA7\xC3\xA3o",  // restrição
    "restricao", "invariante", "exceto",
    "obrigat\xC3\xB3rio",  // obrigatório
    "obrigatorio"};

// "continue" stands twice; a word counts at most once per list either way.
constexpr std::array<std::string_view, 21> kTrivialWords = {
    "ok",  "okay", "yes",
    "no",  "thanks", "continue", "sure", "great", "good", "sim",
    "n\xC3\xA3o",  // não
    "nao", "obrigado", "obrigada", "continue", "prossiga", "segue", "beleza", "certo",
    "show", "valeu"};

constexpr std::array<std::string_view, 14> kHardWords = {
    "why",  "how",   "bug",   "plan",   "erro",   "gere",  "prove",
    "error", "falha", "monte", "prova", "broken", "depure", "compare"};

// Matched as prefixes of the core. "implement" stands twice, harmlessly.
constexpr std::array<std::string_view, 34> kHardStems = {
    "design",  "architect", "optimi",   "refactor", "implement",  "analy",    "compar",
    "debug",   "deriv",     "evaluat",  "integrat", "migrat",     "audit",    "projet",
    "arquitet", "otimiz",   "refator",  "implement", "analis",    "planej",   "avali",
    "estud",   "viabilid",  "estrateg", "constru",  "desenvolv",  "valid",    "verific",
    "revis",   "integr",    "corrij",   "corrig",   "diagnostic", "investig"};

template <size_t N>
bool is_entry(const std::array<std::string_view, N>& list, std::string_view core) noexcept {
  return std::find(list.begin(), list.end(), core) != list.end();
}

bool has_hard_stem(std::string_view core) noexcept {
  return std::any_of(kHardStems.begin(), kHardStems.end(),
                     [core](std::string_view stem) { return core.starts_with(stem); });
}

bool is_code_symbol(unsigned char b) noexcept {
  switch (b) {
    case '(': case ')': case ';': case '<': case '=': case '>': case '`': case '{': case '}':
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Cores.

bool is_alphanumeric(char32_t c) noexcept {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  return unicode::is_alphabetic(c) || unicode::is_numeric(c);
}

// Start of the character that ends at `end` (valid UTF-8, end > begin).
const char* previous_char(const char* begin, const char* end) noexcept {
  const char* p = end - 1;
  while (p > begin && (static_cast<unsigned char>(*p) & 0xC0) == 0x80) --p;
  return p;
}

// The word without its leading and trailing non-alphanumeric characters.
// Each end stops at its first alphanumeric character, so the work is bounded
// by the characters actually cut off.
std::string_view core_of(std::string_view word) noexcept {
  const char* begin = word.data();
  const char* end = begin + word.size();
  while (begin < end) {
    const char* next = begin;
    if (is_alphanumeric(unicode::decode_utf8(next))) break;
    begin = next;
  }
  while (end > begin) {
    const char* last = previous_char(begin, end);
    const char* probe = last;
    if (is_alphanumeric(unicode::decode_utf8(probe))) break;
    end = last;
  }
  return {begin, static_cast<size_t>(end - begin)};
}

// ---------------------------------------------------------------------------
// Distinct-word set: open addressing over views, sized once, never grown.
// The hash is keyed per process, so texts crafted to collide in one process
// do not collide in another, and a flood of such words can't degrade probing.

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

HashKey draw_key() noexcept {
  HashKey key{0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL};
  try {
    std::random_device source;
    key.k0 ^= (uint64_t{source()} << 32) | source();
    key.k1 ^= (uint64_t{source()} << 32) | source();
  } catch (...) {
    // No entropy device: fall back on values that still differ per process.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    key.k0 ^= static_cast<uint64_t>(now);
    key.k1 ^= reinterpret_cast<uintptr_t>(&key);
  }
  key.k1 |= 1;  // an odd multiplier never annihilates the state
  return key;
}

const HashKey& process_key() noexcept {
  static const HashKey key = draw_key();  // drawn once, on first use
  return key;
}

__extension__ typedef unsigned __int128 u128;

// High and low halves of the 128-bit product, folded together.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) noexcept {
  const u128 p = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

uint64_t hash_word(std::string_view word, const HashKey& key) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  size_t n = word.size();
  uint64_t h = key.k1 ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    h = fold_multiply(m ^ key.k0, h ^ key.k1);
  }
  uint64_t m = 0;
  std::memcpy(&m, p, n);
  h = fold_multiply(m ^ key.k0 ^ (uint64_t{n} << 56), h ^ key.k1);
  return fold_multiply(h, key.k1);
}

class DistinctWords {
 public:
  // Room for `words` entries at a load of at most two thirds.
  explicit DistinctWords(uint64_t words) : key_(process_key()) {
    if (words == 0) return;
    const uint64_t capacity = std::bit_ceil(words + words / 2 + 1);
    slots_ = std::make_unique<std::string_view[]>(capacity);  // throws std::bad_alloc
    mask_ = capacity - 1;
  }

  // A word is never empty, so a slot with no data is free.
  void insert(std::string_view word) noexcept {
    for (uint64_t i = hash_word(word, key_) & mask_;; i = (i + 1) & mask_) {
      std::string_view& slot = slots_[i];
      if (slot.data() == nullptr) {
        slot = word;
        ++size_;
        return;
      }
      if (slot == word) return;
    }
  }

  uint64_t size() const noexcept { return size_; }

 private:
  HashKey key_;
  std::unique_ptr<std::string_view[]> slots_;
  uint64_t mask_ = 0;
  uint64_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Scoring.

struct Counts {
  uint64_t words = 0;
  uint64_t distinct = 0;
  uint64_t hard = 0;
  uint64_t constraint = 0;
  uint64_t code_words = 0;
  uint64_t trivial = 0;
  uint64_t code_symbols = 0;
  uint64_t digits = 0;
  uint64_t bytes = 0;
};

Counts count(std::string_view lowered) {
  Counts c;
  c.bytes = lowered.size();
  for (const char ch : lowered) {
    const auto b = static_cast<unsigned char>(ch);
    if (b >= '0' && b <= '9') ++c.digits;
    else if (is_code_symbol(b)) ++c.code_symbols;
  }
  for_each_word(lowered, [&c](std::string_view) { ++c.words; });

  DistinctWords distinct(c.words);
  for_each_word(lowered, [&](std::string_view word) {
    distinct.insert(word);
    const std::string_view core = core_of(word);
    if (core.empty() || core[0] < 'a' || core[0] > 'z') return;
    if (is_entry(kCodeWords, core)) ++c.code_words;
    if (is_entry(kHardWords, core) || has_hard_stem(core)) ++c.hard;
    if (is_entry(kConstraintWords, core)) ++c.constraint;
    if (is_entry(kTrivialWords, core)) ++c.trivial;
  });
  c.distinct = distinct.size();
  return c;
}

// Every float step below is its own rounded single-precision operation, in
// this order; the build forbids contraction into fused multiply-adds.
EffortResult score(const Counts& c) noexcept {
  EffortResult r;
  EffortSignals& s = r.signals;
  s.words = c.words;
  s.hard_hits = c.hard;
  s.constraint_hits = c.constraint;
  s.code_hits = c.code_words + c.code_symbols / 6;
  s.trivial_hits = c.trivial;

  const float words = static_cast<float>(c.words);
  s.digit_ratio = c.bytes == 0 ? 0.0f : static_cast<float>(c.digits) / static_cast<float>(c.bytes);
  s.novelty = c.words == 0 ? 0.0f : static_cast<float>(c.distinct) / words;

  s.len_score = std::min(words / 400.0f, 1.0f);
  const float hard_norm = std::min(static_cast<float>(s.hard_hits) / 3.0f, 1.0f);
  const float constraint_norm = std::min(static_cast<float>(s.constraint_hits) / 6.0f, 1.0f);
  const float code_norm = std::min(static_cast<float>(s.code_hits) / 12.0f, 1.0f);
  const float digit_norm = std::min(s.digit_ratio * 8.0f, 1.0f);

  float sum = s.len_score * 0.3f;
  sum = sum + hard_norm * 0.25f;
  sum = sum + constraint_norm * 0.2f;
  sum = code_norm * 0.15f + sum;
  sum = digit_norm * 0.1f + sum;

  const float factor = s.novelty * 0.5f + 0.5f;
  float value = std::clamp(sum * factor, 0.0f, 1.0f);

  // Small talk never earns reasoning: short texts without hard or code hits,
  // and very short texts with a trivial word.
  const bool small_talk = (s.words <= 7 && s.hard_hits == 0 && s.code_hits == 0) ||
                          (s.words <= 3 && s.trivial_hits > 0);
  if (small_talk) value = std::min(value, 0.05f);
  r.score = value;

  if (value < 0.15f) {
    const bool promote = s.words >= 4 && s.hard_hits > 0 && value > 0.05f;
    r.tier = promote ? EffortTier::low : EffortTier::off;
  } else if (value < 0.4f) {
    r.tier = EffortTier::low;
  } else if (value < 0.7f) {
    r.tier = EffortTier::medium;
  } else {
    r.tier = EffortTier::high;
  }
  static constexpr uint32_t kBudgets[] = {0, 1024, 4096, 16384};
  r.budget_tokens = kBudgets[static_cast<size_t>(r.tier)];
  return r;
}

}  // namespace

const char* effort_tier_name(EffortTier tier) noexcept {
  switch (tier) {
    case EffortTier::off: return "off";
    case EffortTier::low: return "low";
    case EffortTier::medium: return "medium";
    case EffortTier::high: return "high";
  }
  return "off";
}

EffortResult effort_gauge(std::string_view text) {
  std::string lowered;
  lowered.reserve(text.size());
  unicode::to_lower_full(text, lowered);
  return score(count(lowered));
}

}  // namespace zelmo
