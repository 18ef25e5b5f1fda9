// Block model: classes, weights, token estimate, SipHash-1-3 against
// CPython-generated vectors, streaming equivalence and the word split.
#include "check.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/block_model.h"
#include "siphash13_vectors.h"

using namespace zelmo;


static void test_classes_and_weights() {
  struct Case { uint32_t flags; BlockClass cls; float weight; };
  const Case cases[] = {
      {0, BlockClass::unclassified, 0.6f},   {64, BlockClass::unclassified, 0.6f},
      {0xFFFFFFC0u, BlockClass::unclassified, 0.6f},
      {1, BlockClass::durable, 4.0f},        {8, BlockClass::durable, 4.0f},
      {9, BlockClass::durable, 4.0f},        {10, BlockClass::durable, 4.0f},
      {17, BlockClass::durable, 4.0f},       {2, BlockClass::conversational, 1.0f},
      {4, BlockClass::conversational, 1.0f}, {18, BlockClass::conversational, 1.0f},
      {34, BlockClass::conversational, 1.0f}, {48, BlockClass::thinking, 0.15f},
      {32, BlockClass::thinking, 0.15f},     {16, BlockClass::tool, 0.25f},
      {16 | 64, BlockClass::tool, 0.25f},
  };
  for (const Case& c : cases) {
    CHECK(block_class(c.flags) == c.cls);
    CHECK(metabolic_weight(c.flags) == c.weight);
    CHECK(is_durable(c.flags) == (c.cls == BlockClass::durable));
  }
  CHECK(is_conversational(2) && is_conversational(4) && !is_conversational(48));
  CHECK(static_cast<double>(metabolic_weight(32)) == 0.15000000596046448);
  CHECK(static_cast<double>(metabolic_weight(0)) == 0.6000000238418579);
}

static void test_estimate_tokens() {
  const size_t lens[] = {0, 3, 4, 7, 8, 1000};
  const uint32_t want[] = {1, 1, 2, 2, 3, 251};
  for (size_t i = 0; i < 6; ++i) CHECK(estimate_tokens(std::string(lens[i], 'x')) == want[i]);
  CHECK(estimate_tokens("\xC3\xA9") == 1);  // counts bytes, not characters
  // Wrapping 32-bit arithmetic: the view is never read, only its length.
  if constexpr (sizeof(size_t) == 8) {
    const char* p = "";
    CHECK(estimate_tokens(std::string_view(p, size_t{4} << 32)) == 1u);            // 2^32 -> 0, +1
    CHECK(estimate_tokens(std::string_view(p, (size_t{4} << 32) - 4)) == 0u);      // 2^32-1, +1 wraps
  }
}

static void test_siphash_vectors() {
  for (const SipHash13Vector& v : kSipHash13Vectors) {
    const uint64_t h = v.count == 1 ? content_hash(v.texts[0]) : content_hash(v.texts, v.count);
    if (h != v.hash) std::printf("  vector mismatch: count %zu, first len %zu\n", v.count, v.texts[0].size());
    CHECK(h == v.hash);
    // A single text through the sequence overload is the same message.
    if (v.count == 1) CHECK(content_hash(v.texts, 1) == h);
  }
}

static void test_siphash_streaming() {
  // Feeding one message in any split gives the hash of the whole.
  std::string msg;
  for (int i = 0; i < 70; ++i) msg.push_back(static_cast<char>('a' + i % 26));
  const auto* bytes = reinterpret_cast<const unsigned char*>(msg.data());
  SipHash13 whole;
  whole.update(bytes, msg.size());
  const uint64_t want = whole.finish();
  bool all_equal = true;
  for (size_t a = 0; a <= msg.size(); a += 3) {
    for (size_t b = a; b <= msg.size(); b += 5) {
      SipHash13 h;
      h.update(bytes, a);
      h.update(bytes + a, b - a);
      h.update(bytes + b, msg.size() - b);
      all_equal = all_equal && h.finish() == want;
    }
  }
  CHECK(all_equal);
  // finish() does not disturb the state: feeding more afterwards still works.
  SipHash13 h;
  h.update(bytes, 10);
  (void)h.finish();
  h.update(bytes + 10, msg.size() - 10);
  CHECK(h.finish() == want);
  // update_text is the text then 0xFF.
  SipHash13 t1, t2;
  t1.update_text("abc");
  const unsigned char raw[] = {'a', 'b', 'c', 0xFF};
  t2.update(raw, 4);
  CHECK(t1.finish() == t2.finish());
  // Separator keeps sequences unambiguous; hashes see every byte.
  const std::string_view ab_c[] = {"ab", "c"}, a_bc[] = {"a", "bc"};
  CHECK(content_hash(ab_c, 2) != content_hash(a_bc, 2));
  CHECK(content_hash("a b") != content_hash("a  b"));
  CHECK(content_hash("a b") == content_hash(std::string("a b")));
}

// The words for_each_word yields; split_words must append the same ones.
static std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  for_each_word(text, [&](std::string_view w) { out.emplace_back(w); });
  std::vector<std::string_view> split = {"kept"};
  split_words(text, split);
  CHECK(split.size() == out.size() + 1 && split[0] == "kept" &&
        std::equal(out.begin(), out.end(), split.begin() + 1));
  return out;
}

static void test_white_space_set() {
  const char32_t spaces[] = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                             0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : spaces) CHECK(is_white_space(c));
  const char32_t others[] = {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x84, 0x86, 0x9F, 0xA1, 0x180E,
                             0x1FFF, 0x200B, 0x200C, 0x2027, 0x202A, 0x202E, 0x2060, 0x205E,
                             0x2FFF, 0x3001, 0xFEFF, 0x10FFFF, 'a'};
  for (char32_t c : others) CHECK(!is_white_space(c));
  size_t count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) count += is_white_space(c);
  CHECK(count == 25);
}

static std::string utf8(char32_t c) {
  std::string s;
  if (c < 0x80) s += static_cast<char>(c);
  else if (c < 0x800) { s += static_cast<char>(0xC0 | (c >> 6)); s += static_cast<char>(0x80 | (c & 0x3F)); }
  else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12)); s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18)); s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F)); s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

static void test_split() {
  using V = std::vector<std::string>;
  CHECK(words("  a\xC2\xA0" "b\xE3\x80\x80 c\n") == (V{"a", "b", "c"}));
  CHECK(words("\t \n").empty());
  CHECK(words("").empty());
  CHECK(words("one") == V{"one"});
  CHECK(words("  lead and trail  ") == (V{"lead", "and", "trail"}));
  // Near misses of multi-byte white space stay inside words; a lone lead
  // byte at the end must not be read past.
  CHECK(words("x\xC2\xA1y \xE2\x80\x8B z") == (V{"x\xC2\xA1y", "\xE2\x80\x8B", "z"}));
  CHECK(words("\xC3\xA9t\xC3\xA9") == V{"\xC3\xA9t\xC3\xA9"});
  CHECK(words(std::string_view("ab\xC2", 3)) == V{"ab\xC2"});
  CHECK(words(std::string_view("ab\xE2\x80", 4)) == V{"ab\xE2\x80"});
  // Every white-space character separates; every neighbour code point does not.
  bool sep_ok = true, join_ok = true;
  for (char32_t c = 0; c < 0x3100; ++c) {
    if (c == 0 || (c >= 0xD800 && c < 0xE000)) continue;
    std::string text = "a";
    text += utf8(c);
    text += 'b';
    const V got = words(text);
    if (is_white_space(c)) sep_ok = sep_ok && got == (V{"a", "b"});
    else join_ok = join_ok && got == V{text};
  }
  CHECK(sep_ok);
  CHECK(join_ok);
  std::string emoji = "a";
  emoji += utf8(0x1F600);
  CHECK(words(emoji + " b") == (V{emoji, "b"}));
  // Views point into the text.
  const std::string text = "xx yy";
  WordSplitter s(text);
  std::string_view w;
  CHECK(s.next(w) && w.data() == text.data() && w.size() == 2);
  CHECK(s.next(w) && w.data() == text.data() + 3);
  CHECK(!s.next(w) && !s.next(w));
}

// split_words against the portable split (and so against WordSplitter) on
// texts long enough for its 64-byte step: each white-space character, near
// miss and multi-byte word character placed at every offset around the
// first two block ends and the step's last readable byte, then random texts
// of those pieces, some ending in a lone lead byte. A word open at a
// block's end, a space whose bytes spill into the next block, and a word
// continued or ended by the bytes after the last block all occur.
static void test_split_long_texts() {
  const char* pieces[] = {" ", "\n", "\t", "\r\n", "\xC2\xA0", "\xC2\x85", "\xE1\x9A\x80", "\xE2\x80\x80",
                          "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                          "\xE3\x80\x80", "\xC2\xA1", "\xE2\x80\x8B", "\xE3\x80\x81", "\xE1\x9A\x81",
                          "\xE2\x81\x9E", "\xC3\xA9", "\xF0\x9F\x98\x80", "a", "bc", "  "};
  constexpr size_t kPieces = sizeof(pieces) / sizeof(pieces[0]);
  const auto same = [](std::string_view text) {
    std::vector<std::string_view> fast = {"kept"}, portable = {"kept"};
    split_words(text, fast);
    split_words_portable(text, portable);
    return fast == portable && words(text).size() + 1 == fast.size();
  };
  bool all_same = true;
  for (const char* piece : pieces) {
    for (size_t at = 50; at < 140; ++at) {
      for (size_t tail : {0, 1, 2, 3, 5, 40}) {
        std::string text(at, 'x');
        for (size_t k = 7; k < at; k += 9) text[k] = ' ';
        text += piece;
        text += std::string(tail, 'y');
        all_same = all_same && same(text);
        text.insert(at, " ");  // the piece after white space, not inside a word
        all_same = all_same && same(text);
      }
    }
  }
  std::mt19937 rng(11);
  for (int n = 0; n < 3000; ++n) {
    std::string text;
    const size_t target = 60 + rng() % 300;
    while (text.size() < target) text += pieces[rng() % kPieces];
    if (n % 5 == 0) text += n % 10 == 0 ? "\xC2" : "\xE2\x80";
    all_same = all_same && same(text);
  }
  CHECK(all_same);
}

// join_words_prefix against the words joined in full and cut, for every cap
// from 0 to past the end, on texts built from white space, near misses and
// multi-byte characters (the split's own edge cases included). The long
// texts are mostly words and single spaces, as prose is, so the sixteen-byte
// step meets every one of those pieces at every offset of its chunk.
static void test_join_words_prefix() {
  const char* pieces[] = {"a", "bc", " ", "  ", "\n", "\t", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                          "\xC2\xA0", "\xC2\xA1", "\xE3\x80\x80", "\xE2\x80\xA8", "\xE2\x80\x8B", "\xE1\x9A\x80"};
  const char* prose[] = {"word", "of", "lengthier", " ", " ", " ", "\n", "x"};
  std::mt19937 rng(7);
  bool all_equal = true;
  std::vector<std::string> texts = {"", " ", "a", " a ", "ab\xC2", "ab \xE2\x80", "x\xC2\xA1y \xE2\x80\x8B z "};
  for (int n = 0; n < 400; ++n) {
    std::string text;
    const size_t target = rng() % 40;
    while (text.size() < target) text += pieces[rng() % 15];
    texts.push_back(text);
  }
  for (int n = 0; n < 400; ++n) {
    std::string text;
    const size_t target = rng() % 200;
    while (text.size() < target) text += rng() % 8 == 0 ? pieces[rng() % 15] : prose[rng() % 8];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    std::string full;
    for_each_word(text, [&](std::string_view w) {
      if (!full.empty()) full += ' ';
      full.append(w);
    });
    for (size_t cap = 0; cap <= full.size() + 2; ++cap) {
      std::string out(cap, '\0');
      const size_t got = join_words_prefix(text, out.data(), cap);
      all_equal = all_equal && out.substr(0, got) == full.substr(0, cap);
    }
  }
  CHECK(all_equal);
}

int main() {
  test_classes_and_weights();
  test_estimate_tokens();
  test_siphash_vectors();
  test_siphash_streaming();
  test_white_space_set();
  test_split();
  test_split_long_texts();
  test_join_words_prefix();
  return zelmo_test::check_summary();
}
