// Effort gauge. See effort_gauge.h.
//
// Passes over the text: one lower-casing copy, one byte scan (digits and code
// symbols), one split into the word list, then one pass over the words for the
// distinct count and one for the cores. Words and cores are views into the
// lowered copy; nothing is copied per word.
#include "effort_gauge.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "block_model.h"
#include "load_le.h"
#include "process_key.h"
#include "unicode_data.h"
#include "utf8.h"

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

// The lists above are the vocabulary; lookups go through an index built from
// them at compile time. Whole-word entries are merged into one table (an
// entry in several lists carries one bit per list), stems into another, and
// both are grouped by their first two bytes, so a core is compared only with
// the entries that share them: none for about half the words of ordinary
// text. A list counts a word once however many of its entries match, which
// the bit masks give for free.
enum ListBit : uint8_t { kCode = 1, kConstraint = 2, kTrivial = 4, kHard = 8 };

// An entry's first min(8, size) bytes as a little-endian word, the rest
// zero: most entries are compared with a core in one step.
constexpr uint64_t head_of(std::string_view text) {
  uint64_t head = 0;
  for (size_t i = 0; i < text.size() && i < 8; ++i) head |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
  return head;
}

// The low min(8, size) bytes of a word.
constexpr uint64_t head_mask(size_t size) { return size >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * size)) - 1; }

struct Entry {
  std::string_view text;
  uint8_t lists;
  uint64_t head;
};

// The group of a text of n >= 1 bytes starting with a..z: its first letter,
// then its second byte as a..z, another byte, or none.
inline constexpr size_t kGroups = 26 * 28;
constexpr size_t group_of(const char* text, size_t n) {
  const auto first = static_cast<size_t>(text[0] - 'a');
  if (n < 2) return first * 28 + 27;
  const auto second = static_cast<unsigned char>(text[1]);
  return first * 28 + (second >= 'a' && second <= 'z' ? second - 'a' : 26);
}

template <size_t Max>
struct PrefixIndex {
  std::array<Entry, Max> entries{};        // in group order
  std::array<uint8_t, kGroups + 1> start{};  // entries of group g: [start[g], start[g + 1])
  size_t count = 0;

  constexpr void add(std::string_view text, uint8_t bit) {
    for (size_t i = 0; i < count; ++i) {
      if (entries[i].text == text) {
        entries[i].lists = static_cast<uint8_t>(entries[i].lists | bit);
        return;
      }
    }
    entries[count++] = {text, bit, head_of(text)};
  }

  // Stable grouping (every entry starts with a..z).
  constexpr void group() {
    std::array<Entry, Max> sorted{};
    size_t out = 0;
    for (size_t g = 0; g < kGroups; ++g) {
      start[g] = static_cast<uint8_t>(out);
      for (size_t i = 0; i < count; ++i) {
        if (group_of(entries[i].text.data(), entries[i].text.size()) == g) sorted[out++] = entries[i];
      }
    }
    start[kGroups] = static_cast<uint8_t>(out);
    entries = sorted;
  }
};

constexpr size_t kWordEntries =
    kCodeWords.size() + kConstraintWords.size() + kTrivialWords.size() + kHardWords.size();

constexpr auto kWordIndex = [] {
  PrefixIndex<kWordEntries> index;
  for (std::string_view text : kCodeWords) index.add(text, kCode);
  for (std::string_view text : kConstraintWords) index.add(text, kConstraint);
  for (std::string_view text : kTrivialWords) index.add(text, kTrivial);
  for (std::string_view text : kHardWords) index.add(text, kHard);
  index.group();
  return index;
}();

constexpr auto kStemIndex = [] {
  PrefixIndex<kHardStems.size()> index;
  for (std::string_view stem : kHardStems) index.add(stem, kHard);
  index.group();
  return index;
}();

// Grouping keeps every entry: all of them start with a..z.
static_assert(kWordIndex.start[kGroups] == kWordIndex.count && kWordIndex.count == 70);
static_assert(kStemIndex.start[kGroups] == kStemIndex.count && kStemIndex.count == 33);

// Byte-for-byte equality of short strings, lengths already known equal.
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// head_of() of a core of n >= 1 bytes, reading those bytes only: overlapping
// loads, whose shared bytes are the same on both sides of the or.
inline uint64_t head_of_core(const unsigned char* p, size_t n) noexcept {
  if (n >= 8) return load_le64(p);
  if (n >= 4) return load_le32(p) | uint64_t{load_le32(p + n - 4)} << (8 * (n - 4));
  return p[0] | uint64_t{p[n / 2]} << (8 * (n / 2)) | uint64_t{p[n - 1]} << (8 * (n - 1));
}

// The lists a core belongs to, as ListBit bits. The core's first byte must
// be a..z (no entry starts otherwise). A stem's group is that of every core
// it starts (stems have two bytes or more). An entry matches on its head first;
// only entries longer than eight bytes compare the rest byte by byte.
uint8_t lists_of(std::string_view core) noexcept {
  const size_t n = core.size();
  const size_t group = group_of(core.data(), n);
  const uint64_t head = head_of_core(reinterpret_cast<const unsigned char*>(core.data()), n);
  uint8_t lists = 0;
  for (size_t i = kWordIndex.start[group]; i < kWordIndex.start[group + 1]; ++i) {
    const Entry& entry = kWordIndex.entries[i];
    if (entry.head == head && entry.text.size() == n &&
        (n <= 8 || same_bytes(entry.text.data() + 8, core.data() + 8, n - 8))) {
      lists = entry.lists;
      break;  // merged entries are unique
    }
  }
  if (lists & kHard) return lists;
  for (size_t i = kStemIndex.start[group]; i < kStemIndex.start[group + 1]; ++i) {
    const Entry& stem = kStemIndex.entries[i];
    const size_t size = stem.text.size();
    if ((head & head_mask(size)) == stem.head && size <= n &&
        (size <= 8 || same_bytes(stem.text.data() + 8, core.data() + 8, size - 8))) {
      return static_cast<uint8_t>(lists | kHard);
    }
  }
  return lists;
}

// One of ( ) ; < = > ` { }.
inline bool is_code_symbol(unsigned char b) noexcept {
  return (b == '(') | (b == ')') | (b == ';') | (b == '<') | (b == '=') | (b == '>') | (b == '`') |
         (b == '{') | (b == '}');
}

struct ByteCounts {
  uint64_t digits = 0;        // ASCII digits
  uint64_t code_symbols = 0;  // is_code_symbol bytes
};

#if defined(__SSE2__)
// Sum of the sixteen byte lanes.
inline uint64_t lane_sum(__m128i counts) noexcept {
  const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());  // two 64-bit sums
  return static_cast<uint64_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// 0xFF in each lane where v - lo <= span (unsigned), that is lo..lo + span.
inline __m128i in_range(__m128i v, char lo, char span) noexcept {
  const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
  return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
}
#endif

ByteCounts count_bytes(std::string_view text) noexcept {
  ByteCounts c;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
#if defined(__SSE2__)
  // Sixteen bytes a step. A hit is -1 in its lane and is subtracted from the
  // lane's count, which so gains at most one a step: the lanes are summed
  // every 255 steps, before a count can wrap.
  while (n >= 16) {
    __m128i digits = _mm_setzero_si128(), symbols = _mm_setzero_si128();
    const size_t steps = std::min<size_t>(n / 16, 255);
    for (size_t k = 0; k < steps; ++k, p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      digits = _mm_sub_epi8(digits, in_range(v, '0', 9));
      // ( ) differ in the last bit, ; < = > are a range, { } are 0x7B and 0x7D.
      const __m128i parens = _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(~1)), _mm_set1_epi8('('));
      const __m128i braces = _mm_cmpeq_epi8(
          _mm_and_si128(_mm_sub_epi8(v, _mm_set1_epi8('{')), _mm_set1_epi8(~2)), _mm_setzero_si128());
      const __m128i hit = _mm_or_si128(_mm_or_si128(parens, braces),
                                       _mm_or_si128(in_range(v, ';', 3), _mm_cmpeq_epi8(v, _mm_set1_epi8('`'))));
      symbols = _mm_sub_epi8(symbols, hit);
    }
    n -= 16 * steps;
    c.digits += lane_sum(digits);
    c.code_symbols += lane_sum(symbols);
  }
#endif
  for (; n != 0; --n, ++p) {
    c.digits += static_cast<unsigned char>(*p - '0') < 10;
    c.code_symbols += is_code_symbol(*p);
  }
  return c;
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
  while (p > begin && is_utf8_continuation(static_cast<unsigned char>(*p))) --p;
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
    if (is_alphanumeric(decode_utf8(next))) break;
    begin = next;
  }
  while (end > begin) {
    const char* last = previous_char(begin, end);
    const char* probe = last;
    if (is_alphanumeric(decode_utf8(probe))) break;
    end = last;
  }
  return {begin, static_cast<size_t>(end - begin)};
}

// ---------------------------------------------------------------------------
// Distinct words. The hash is keyed per process from a random source, so
// words crafted to collide can't be known in advance, and a flood of them
// can't turn probing quadratic.

// Keyed hash of a non-empty word. Every byte is read through whole loads
// (overlapping at the end) or, below four bytes, the first, middle and last
// byte; with the length mixed in, that covers the whole word.
uint64_t hash_word(std::string_view word, const ProcessKey& key) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  const size_t n = word.size();
  uint64_t h = key.k1 ^ n;
  uint64_t a;
  uint64_t b;
  if (n >= 8) {
    size_t rest = n;
    for (; rest > 8; p += 8, rest -= 8) h = fold_multiply(load_le64(p) ^ key.k0, h ^ key.k1);
    a = load_le64(p + rest - 8);
    b = 0;
  } else if (n >= 4) {
    a = load_le32(p);
    b = load_le32(p + n - 4);
  } else {
    a = (uint64_t{p[0]} << 16) | (uint64_t{p[n / 2]} << 8) | p[n - 1];
    b = 0;
  }
  h = fold_multiply(a ^ key.k0, (b << 32 | b >> 32) ^ h);
  return fold_multiply(h, key.k1);
}

// Open addressing over word numbers, sized once for the word count and never
// grown. A slot holds a word's number plus one (0 marks a free slot), so the
// table stays small: 32-bit slots unless the text has 2^32 words or more. A
// short text's table lives in the object itself, so a prompt of a few dozen
// words allocates nothing here.
template <class Slot>
class DistinctWords {
 public:
  explicit DistinctWords(const std::vector<std::string_view>& words) : words_(words) {
    // A load of at most two thirds; a vector's size is far from overflowing it.
    const uint64_t capacity = std::bit_ceil(words.size() + words.size() / 2 + 1);
    if (capacity <= kInlineSlots) {
      slots_ = inline_;
      std::fill_n(inline_, capacity, Slot{0});
    } else {
      heap_ = std::make_unique<Slot[]>(capacity);  // zeroed; throws std::bad_alloc
      slots_ = heap_.get();
    }
    mask_ = capacity - 1;
  }
  DistinctWords(const DistinctWords&) = delete;
  DistinctWords& operator=(const DistinctWords&) = delete;

  uint64_t count() noexcept {
    const ProcessKey key = process_key();
    uint64_t distinct = 0;
    for (size_t n = 0; n < words_.size(); ++n) {
      const std::string_view word = words_[n];
      for (uint64_t i = hash_word(word, key) & mask_;; i = (i + 1) & mask_) {
        const Slot slot = slots_[i];
        if (slot == 0) {
          slots_[i] = static_cast<Slot>(n + 1);
          ++distinct;
          break;
        }
        const std::string_view other = words_[slot - 1];
        if (other == word) break;
      }
    }
    return distinct;
  }

 private:
  static constexpr uint64_t kInlineSlots = 128;  // up to 85 words

  const std::vector<std::string_view>& words_;
  Slot inline_[kInlineSlots];  // only the first capacity slots are set, and used
  std::unique_ptr<Slot[]> heap_;
  Slot* slots_ = nullptr;
  uint64_t mask_ = 0;
};

uint64_t count_distinct(const std::vector<std::string_view>& words) {
  if (words.empty()) return 0;
  if (words.size() < UINT32_MAX) return DistinctWords<uint32_t>(words).count();
  return DistinctWords<uint64_t>(words).count();
}

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
  const ByteCounts bytes = count_bytes(lowered);
  c.digits = bytes.digits;
  c.code_symbols = bytes.code_symbols;

  // A word and the white space after it take two bytes at least: a short
  // text's words fit in one reservation; a long one's grow from it.
  std::vector<std::string_view> words;
  words.reserve(std::min<size_t>(lowered.size() / 2 + 1, 256));
  split_words(lowered, words);
  c.words = words.size();

  c.distinct = count_distinct(words);
  for (const std::string_view word : words) {
    const std::string_view core = core_of(word);
    if (core.empty() || core[0] < 'a' || core[0] > 'z') continue;
    const uint8_t lists = lists_of(core);
    c.code_words += (lists & kCode) != 0;
    c.hard += (lists & kHard) != 0;
    c.constraint += (lists & kConstraint) != 0;
    c.trivial += (lists & kTrivial) != 0;
  }
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
