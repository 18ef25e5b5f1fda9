// Block classes, weights, token estimate, content hash and word split.
#include "block_model.h"

#include "siphash.h"

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

bool WordSplitter::next(std::string_view& word) noexcept {
  const unsigned char* p = p_;
  const unsigned char* const end = end_;
  // Skip white space.
  for (;;) {
    if (p == end) {
      p_ = p;
      return false;
    }
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
  p_ = p;
  return true;
}

void split_words(std::string_view text, std::vector<std::string_view>& out) {
  WordSplitter split(text);
  std::string_view word;
  while (split.next(word)) out.push_back(word);
}

}  // namespace zelmo
