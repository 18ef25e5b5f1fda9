// Block model: the rules shared by the context window, the one-pass
// dehydration and the text kernels.
//
// A block is a text plus a 32-bit word of signal flags. The low six bits give
// its class (durable, conversational, thinking, tool); bits 6..31 carry no
// meaning here. Everything in this header is pure: no state, and no
// allocation but split_words' appends to the caller's list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "siphash.h"

namespace zelmo {

inline constexpr uint32_t SYSTEM = 1, USER = 2, ASSISTANT = 4, FACT = 8, TOOL = 16, THINKING = 32;
inline constexpr uint32_t DURABLE_MASK = 9, CONVERSATIONAL_MASK = 6;

enum class BlockClass : uint8_t { durable, conversational, thinking, tool, unclassified };

// Class by precedence: durable, conversational, thinking, tool, unclassified.
BlockClass block_class(uint32_t flags) noexcept;
bool is_durable(uint32_t flags) noexcept;
bool is_conversational(uint32_t flags) noexcept;
// Single-precision oxygen weight of the class: 4.0, 1.0, 0.15f, 0.25f, 0.6f.
float class_weight(BlockClass cls) noexcept;
inline float metabolic_weight(uint32_t flags) noexcept { return class_weight(block_class(flags)); }
// floor(bytes / 4) + 1 in wrapping 32-bit arithmetic; only the length counts.
inline uint32_t estimate_tokens_for_bytes(size_t bytes) noexcept {
  return static_cast<uint32_t>(bytes / 4) + 1u;
}
inline uint32_t estimate_tokens(std::string_view text) noexcept {
  return estimate_tokens_for_bytes(text.size());
}

// Streaming SipHash-1-3 with the all-zero 128-bit key. Feeding never
// allocates; finish() may be called at any point and leaves the state intact.
class SipHash13 {
 public:
  void update(const unsigned char* p, size_t n) noexcept;
  // The text's bytes, then one 0xFF separator (a byte that UTF-8 never uses).
  void update_text(std::string_view text) noexcept;
  uint64_t finish() const noexcept;

 private:
  void push_byte(unsigned char b) noexcept;
  void compress(uint64_t m) noexcept;

  uint64_t v0_ = siphash::kV0;
  uint64_t v1_ = siphash::kV1;
  uint64_t v2_ = siphash::kV2;
  uint64_t v3_ = siphash::kV3;
  uint64_t tail_ = 0;   // pending bytes of an incomplete word, little endian
  unsigned ntail_ = 0;  // number of pending bytes, 0..7
  uint64_t length_ = 0; // total bytes fed; its low byte enters the last block
};

uint64_t content_hash(std::string_view text) noexcept;
uint64_t content_hash(const std::string_view* texts, size_t n) noexcept;

// Exactly the Unicode White_Space property.
bool is_white_space(char32_t c) noexcept;

// Yields the maximal runs of non-white-space characters of a valid UTF-8
// text, in order, as views into it. Never yields an empty word.
class WordSplitter {
 public:
  explicit WordSplitter(std::string_view text) noexcept
      : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}
  bool next(std::string_view& word) noexcept;

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

// The first min(cap, size) bytes of the words of a valid UTF-8 text joined
// by single spaces (the words WordSplitter yields), written to `out`; returns
// how many. Reads the text only as far as the prefix needs, and decides
// white space without a branch per ASCII byte.
size_t join_words_prefix(std::string_view text, char* out, size_t cap) noexcept;

// split_words: the words WordSplitter yields, appended to `out`, in one call
// for the whole text: 64 bytes a step where the processor has AVX-512, else
// WordSplitter's loop inlined.
void split_words(std::string_view text, std::vector<std::string_view>& out);
// The same with WordSplitter alone, where split_words may take a vector path
// (for tests: both must give the same words).
void split_words_portable(std::string_view text, std::vector<std::string_view>& out);

template <class F>
void for_each_word(std::string_view text, F&& f) {
  WordSplitter split(text);
  std::string_view word;
  while (split.next(word)) f(word);
}

}  // namespace zelmo
