// Packed words and batched window fingerprints against the word split and
// content_hash they stand for, on both the vector and the portable paths,
// and the saturation scan against a plain set of fingerprints.
#include "check.h"

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/block_model.h"
#include "core/saturation_scan.h"
#include "core/shingles.h"

using namespace zelmo;

namespace {

// Pieces a random text is made of: words, every kind of white space, and
// characters that share a white-space character's leading bytes.
const char* const kPieces[] = {
    "a", "bc", "word", "longerword", "x1", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
    "\xF0\x9F\x9A\x80", " ", "  ", "\t", "\n", "\x0B", "\x0C", "\r", "\x1C", "\x1F",
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    "\xC2\xA9", "\xE2\x80\x94", "\xE2\x80\x8B", "\xE2\x80\xB0", "\xE2\x81\x9E", "\xE3\x80\x81",
    "\xE1\x9A\x81", "\xC2\x84",
};

std::string random_text(std::mt19937_64& rng, size_t pieces) {
  std::string s;
  std::uniform_int_distribution<size_t> pick(0, sizeof kPieces / sizeof kPieces[0] - 1);
  for (size_t i = 0; i < pieces; ++i) s += kPieces[pick(rng)];
  return s;
}

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> out;
  for_each_word(text, [&](std::string_view w) { out.push_back(w); });
  return out;
}

// The packed words, read back.
std::vector<std::string> unpack(const PackedWords& p) {
  std::vector<std::string> out;
  for (size_t i = 0; i < p.count(); ++i) {
    const auto* b = p.bytes.data() + p.starts[i];
    const size_t len = static_cast<size_t>(p.starts[i + 1] - p.starts[i]);
    if (len == 0 || b[len - 1] != 0xFF) return {};  // every word is closed by 0xFF
    out.emplace_back(reinterpret_cast<const char*>(b), len - 1);
  }
  return out;
}

bool same_words(const std::vector<std::string>& a, const std::vector<std::string_view>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

void check_packing(const std::string& text) {
  const std::vector<std::string_view> want = split(text);
  const PackedWords p = pack_words(text);
  CHECK(same_words(unpack(p), want));
  CHECK(count_words(text) == want.size());
  // Pieces cut right after ASCII white space pack to the same words.
  PackedWords pieces;
  size_t pos = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] == ' ' || text[i] == '\n') && i % 7 == 0) {
      append_words(pieces, std::string_view(text).substr(pos, i + 1 - pos));
      pos = i + 1;
    }
  }
  append_words(pieces, std::string_view(text).substr(pos));
  CHECK(same_words(unpack(pieces), want));
}

void check_fingerprints(const std::string& text, uint64_t w) {
  const std::vector<std::string_view> words = split(text);
  if (words.size() < w) return;
  PackedWords p = pack_words(text);
  const size_t windows = words.size() - w + 1;
  std::vector<uint64_t> got(windows);
  // Odd batch boundaries, as the scan's batches and pieces make them.
  for (size_t first = 0; first < windows; first += 19) {
    hash_windows(p, w, first, std::min<size_t>(19, windows - first), got.data() + first);
  }
  bool all = true;
  for (size_t i = 0; i < windows; ++i) all = all && got[i] == content_hash(words.data() + i, w);
  CHECK(all);
  // After dropping words the remaining windows hash the same.
  if (windows > 3) {
    drop_words(p, 3);
    std::vector<uint64_t> rest(windows - 3);
    hash_windows(p, w, 0, windows - 3, rest.data());
    bool same = true;
    for (size_t i = 3; i < windows; ++i) same = same && rest[i - 3] == got[i];
    CHECK(same);
  }
}

float reference_scan(std::string_view text, uint64_t window) {
  const uint64_t w = window == 0 ? 1 : window;
  const std::vector<std::string_view> words = split(text);
  if (words.size() / 2 < w) return 0.0f;
  std::set<uint64_t> seen;
  uint64_t duplicates = 0;
  const size_t windows = words.size() - w + 1;
  for (size_t i = 0; i < windows; ++i) duplicates += !seen.insert(content_hash(words.data() + i, w)).second;
  return static_cast<float>(duplicates) / static_cast<float>(windows);
}

void test_slice_hash_matches_streaming() {
  std::mt19937_64 rng(7);
  std::vector<unsigned char> buf(300 + 8);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  for (uint64_t len = 0; len <= 300; ++len) {
    SipHash13 h;
    h.update(buf.data(), len);
    CHECK(siphash13_slice(buf.data(), len) == h.finish());
  }
}

void run_all(const char* path) {
  std::printf("%s paths\n", path);
  std::mt19937_64 rng(20240611);
  for (size_t round = 0; round < 300; ++round) {
    const std::string text = random_text(rng, round % 97 + round / 3);
    check_packing(text);
    for (uint64_t w : {1u, 2u, 3u, 8u, 13u}) check_fingerprints(text, w);
  }
  // Long words: windows of several hundred bytes, and words past 64 bytes.
  std::string longer;
  for (size_t i = 0; i < 200; ++i) longer += std::string(1 + (i * 37) % 150, static_cast<char>('a' + i % 26)) + " ";
  check_packing(longer);
  check_fingerprints(longer, 8);
  check_fingerprints(longer, 31);

  // The scan itself, against a plain set, on mixed texts and on floods.
  for (size_t round = 0; round < 60; ++round) {
    std::string text = random_text(rng, 50 + round * 40);
    if (round % 3 == 0) {
      const std::string line = random_text(rng, 12) + "\n";
      for (size_t k = 0; k < 40; ++k) text += line;
    }
    for (uint64_t w : {0u, 1u, 4u, 8u}) CHECK(saturation_scan(text, w) == reference_scan(text, w));
  }
  // A flood of near-repeats: lines differing in one number, each said three
  // times over, so that most windows repeat and many distinct ones of one
  // length compete for the repeat filter's slots (only exact repeats may
  // count without their fingerprint).
  std::string near;
  std::mt19937_64 lines(99);
  while (near.size() < 300000) {
    const std::string line = "alpha beta gamma delta " + std::to_string(10000 + lines() % 90000) +
                             " epsilon zeta eta theta\n";
    near += line + line + line;
  }
  for (uint64_t w : {1u, 3u, 8u}) CHECK(saturation_scan(near, w) == reference_scan(near, w));
  // Pieces: a text long enough to be scanned in several of them.
  std::string big;
  while (big.size() < 100000) big += random_text(rng, 25) + (big.size() % 5 == 0 ? "\n" : " ");
  for (size_t k = 0; k < 200; ++k) big += "the same line again and again\n";
  CHECK(saturation_scan(big, 8) == reference_scan(big, 8));
}

}  // namespace

int main() {
  test_slice_hash_matches_streaming();
  run_all(avx512_shingles() ? "vector" : "portable");
  if (avx512_shingles()) {
    use_portable_shingles(true);
    run_all("portable");
    use_portable_shingles(false);
  }
  return zelmo_test::check_summary();
}
