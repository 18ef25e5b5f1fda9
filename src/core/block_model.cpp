// Block classes, weights, token estimate, content hash and word split.
#include "block_model.h"

#include "siphash.h"

#include <bit>
#include <cstring>

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
  while (p != end && n < cap) {
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

}  // namespace zelmo
