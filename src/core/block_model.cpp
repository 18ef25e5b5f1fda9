// Block classes, weights, token estimate, content hash and word split.
#include "block_model.h"

#include "siphash.h"
#include "white_space_mask.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelmo {

BlockClass block_class(uint32_t flags) noexcept {
  if (flags & DURABLE_MASK) return BlockClass::durable;
  if (flags & CONVERSATIONAL_MASK) return BlockClass::conversational;
  if (flags & THINKING) return BlockClass::thinking;
  if (flags & TOOL) return BlockClass::tool;
  return BlockClass::unclassified;
}

bool is_durable(uint32_t flags) noexcept { return (flags & DURABLE_MASK) != 0; }

bool is_conversational(uint32_t flags) noexcept { return (flags & CONVERSATIONAL_MASK) != 0; }

float class_weight(BlockClass cls) noexcept {
  switch (cls) {
    case BlockClass::durable: return 4.0f;
    case BlockClass::conversational: return 1.0f;
    case BlockClass::thinking: return 0.15f;
    case BlockClass::tool: return 0.25f;
    case BlockClass::unclassified: break;
  }
  return 0.6f;
}

// ---------------------------------------------------------------- SipHash-1-3

void SipHash13::compress(uint64_t m) noexcept { siphash::compress(v0_, v1_, v2_, v3_, m); }

void SipHash13::push_byte(unsigned char b) noexcept {
  tail_ |= uint64_t{b} << (8 * ntail_);
  if (++ntail_ == 8) {
    compress(tail_);
    tail_ = 0;
    ntail_ = 0;
  }
}

void SipHash13::update(const unsigned char* p, size_t n) noexcept {
  length_ += n;
  // Top up a pending partial word first, then run whole words straight from
  // the input, and keep the remainder pending.
  while (ntail_ != 0 && n != 0) {
    tail_ |= uint64_t{*p++} << (8 * ntail_);
    --n;
    if (++ntail_ == 8) {
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  for (; n >= 8; p += 8, n -= 8) compress(load_le64(p));
  for (; n != 0; --n) tail_ |= uint64_t{*p++} << (8 * ntail_++);
}

void SipHash13::update_text(std::string_view text) noexcept {
  update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  ++length_;
  push_byte(0xFF);
}

uint64_t SipHash13::finish() const noexcept {
  return siphash::finish(v0_, v1_, v2_, v3_, (length_ << 56) | tail_);
}

uint64_t content_hash(std::string_view text) noexcept {
  SipHash13 h;
  h.update_text(text);
  return h.finish();
}

uint64_t content_hash(const std::string_view* texts, size_t n) noexcept {
  SipHash13 h;
  for (size_t i = 0; i < n; ++i) h.update_text(texts[i]);
  return h.finish();
}

// ----------------------------------------------------------------- word split

bool is_white_space(char32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  if (c <= 0xA0) return c == 0x85 || c == 0xA0;
  if (c < 0x1680) return false;
  if (c < 0x2000) return c == 0x1680;
  if (c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

// Per leading byte: 0 never starts white space, 1 is an ASCII white-space
// byte, 2 may start a multi-byte white-space character (C2, E1, E2, E3).
constexpr auto kByteClass = [] {
  struct Table { unsigned char v[256]{}; } t;
  for (unsigned c : {0x09u, 0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x20u}) t.v[c] = 1;
  for (unsigned c : {0xC2u, 0xE1u, 0xE2u, 0xE3u}) t.v[c] = 2;
  return t;
}();

// Byte length of the white-space character at p, or 0 when p starts anything
// else. Never reads at or past end.
inline size_t space_len(const unsigned char* p, const unsigned char* end) noexcept {
  switch (kByteClass.v[*p]) {
    case 0: return 0;
    case 1: return 1;
    default: break;
  }
  const size_t avail = static_cast<size_t>(end - p);
  if (p[0] == 0xC2) return avail >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (avail < 3) return 0;
  const char32_t c = (char32_t{p[0] & 0x0Fu} << 12) | (char32_t{p[1] & 0x3Fu} << 6) | char32_t{p[2] & 0x3Fu};
  return is_white_space(c) ? 3 : 0;
}

#if defined(__SSE2__)
// Joins 16 bytes at p into out in one step when they can be copied as they
// are: none may start a multi-byte white-space character and no white-space
// byte follows another one or the start of a space (after_word == 0), so each
// white-space byte becomes one ' ' and nothing collapses. Returns the 16-bit
// mask of white-space bytes, or -1 (nothing written) when the bytes need the
// step by step walk.
inline int join_sixteen(const unsigned char* p, char* out, size_t after_word) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // 0x09..0x0D: v - 0x09 <= 4 unsigned, i.e. min(v - 0x09, 4) == v - 0x09.
  const __m128i low = _mm_sub_epi8(v, _mm_set1_epi8(0x09));
  const __m128i ws = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)),
                                  _mm_cmpeq_epi8(_mm_min_epu8(low, _mm_set1_epi8(4)), low));
  const __m128i lead = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xC2))),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE1)))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE2))),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE3)))));
  const int spaces = _mm_movemask_epi8(ws);
  const int after_space = (spaces << 1) | static_cast<int>(after_word ^ 1);
  if (_mm_movemask_epi8(lead) != 0 || (spaces & after_space) != 0) return -1;
  const __m128i joined = _mm_or_si128(_mm_andnot_si128(ws, v), _mm_and_si128(ws, _mm_set1_epi8(' ')));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), joined);
  return spaces;
}
#endif

}  // namespace

size_t join_words_prefix(std::string_view text, char* out, size_t cap) noexcept {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  // Every byte is written at out[n]: a word byte as it is, a white-space
  // character as one ' '. n moves past a word byte always and past a space
  // only right after a word byte, so runs of white space collapse and none
  // leads; at most one trailing space is left to drop at the end.
  size_t n = 0;
  size_t after_word = 0;  // 1 when out[n - 1] is a word byte
  // Ordinary prose joins sixteen bytes at a time; a stretch that needs more
  // care (a run of white space, a character that may be white space) is
  // walked one character at a time up to `walk_to`, then the fast step is
  // tried again.
  const unsigned char* walk_to = p;
  while (p != end && n < cap) {
#if defined(__SSE2__)
    if (p >= walk_to && end - p >= 16 && cap - n >= 16) {
      const int spaces = join_sixteen(p, out + n, after_word);
      if (spaces >= 0) {
        p += 16;
        n += 16;
        after_word = ((spaces >> 15) & 1) ^ 1;
        continue;
      }
      walk_to = p + 16;
    }
#endif
    const unsigned char c = *p;
    size_t len = 1, word = 1;
    switch (kByteClass.v[c]) {
      case 0: break;
      case 1: word = 0; break;
      default:
        if (const size_t s = space_len(p, end)) {
          len = s;
          word = 0;
        }
    }
    out[n] = word ? static_cast<char>(c) : ' ';
    n += word | after_word;
    after_word = word;
    p += len;
  }
  // A trailing space stays only when a word follows it.
  if (n != 0 && after_word == 0) {
    size_t s;
    while (p != end && (s = space_len(p, end)) != 0) p += s;
    if (p == end) --n;
  }
  return n;
}

// The next word from p on (moving p past it), or false at the end. Always
// inlined: split_words' loops run it once per word.
[[gnu::always_inline]] inline bool next_word(const unsigned char*& p, const unsigned char* const end,
                                             std::string_view& word) noexcept {
  // Skip white space.
  for (;;) {
    if (p == end) return false;
    const size_t n = space_len(p, end);
    if (n == 0) break;
    p += n;
  }
  // Extend the word up to the next white space. Bytes that cannot start
  // white space (letters, digits, most punctuation, continuation bytes) take
  // the single table lookup.
  const unsigned char* const start = p;
  ++p;
  while (p != end && (kByteClass.v[*p] == 0 || space_len(p, end) == 0)) ++p;
  word = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
  return true;
}

bool WordSplitter::next(std::string_view& word) noexcept { return next_word(p_, end_, word); }

namespace {
// The words of [p, end), appended to `out`.
void split_rest(const unsigned char* p, const unsigned char* end, std::vector<std::string_view>& out) {
  std::string_view word;
  while (next_word(p, end, word)) out.push_back(word);
}
}  // namespace

void split_words_portable(std::string_view text, std::vector<std::string_view>& out) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(text.data());
  split_rest(p, p + text.size(), out);
}

#ifdef ZELMO_X86_DISPATCH
namespace {
// 64 bytes at a time while 66 are readable, with no branch on each byte: a
// bit wherever a byte is white space and the byte before is not, or the
// other way round, marks a word's start or its end, in turn. The bytes
// after the blocks go word by word, as WordSplitter reads them; a word
// still open at the last block's end goes on into them if they start with
// a word byte.
ZELMO_TARGET_AVX512_BYTES void split_words_avx512(std::string_view text, std::vector<std::string_view>& out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  const unsigned char* open = nullptr;  // the start of a word whose end is not yet seen
  const auto add = [&out](const unsigned char* from, const unsigned char* to) {
    out.emplace_back(reinterpret_cast<const char*>(from), static_cast<size_t>(to - from));
  };
  uint64_t prev_space = 1;  // bit 0: the byte before the block is white space (or none)
  uint64_t spill = 0;
  while (end - p >= 66) {
    const uint64_t space = space_mask(p, _mm512_loadu_si512(p), spill);
    for (uint64_t edges = space ^ ((space << 1) | prev_space); edges != 0; edges &= edges - 1) {
      const unsigned char* const at = p + std::countr_zero(edges);
      if (open != nullptr) {
        add(open, at);
        open = nullptr;
      } else {
        open = at;
      }
    }
    prev_space = space >> 63;
    p += 64;
  }
  // Past a white-space character's spilled bytes (then no word is open).
  p = after_spill(p, spill);
  if (open != nullptr) {
    const unsigned char* const rest = p;
    std::string_view word;
    const bool more = next_word(p, end, word);
    if (more && reinterpret_cast<const unsigned char*>(word.data()) == rest) {
      add(open, p);
    } else {
      add(open, rest);
      if (more) out.push_back(word);
    }
  }
  split_rest(p, end, out);
}
}  // namespace
#endif

void split_words(std::string_view text, std::vector<std::string_view>& out) {
#ifdef ZELMO_X86_DISPATCH
  if (text.size() >= 66 && cpu_has_avx512_bytes()) return split_words_avx512(text, out);
#endif
  split_words_portable(text, out);
}

}  // namespace zelmo
