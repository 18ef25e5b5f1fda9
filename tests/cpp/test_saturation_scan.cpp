// The saturation scan's two ways of counting repeated windows, held against
// each other and against a direct model on random texts with many repeats,
// for narrow and wide windows; floods of easily confused words on the
// vector and the portable paths; and the caller's poll during a long scan.
#include "check.h"
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/saturation_scan.h"
#include "core/shingles.h"

using namespace zelmo;

// Repeats among the windows of w words, counted on the words themselves.
static float model(const std::vector<std::string>& words, uint64_t window) {
  const uint64_t w = window == 0 ? 1 : window;
  const uint64_t n = words.size();
  if (n / 2 < w) return 0.0f;
  std::map<std::vector<std::string>, int> seen;
  uint64_t repeats = 0;
  for (uint64_t i = 0; i + w <= n; ++i) {
    repeats += seen[std::vector<std::string>(words.begin() + static_cast<long>(i),
                                             words.begin() + static_cast<long>(i + w))]++ > 0;
  }
  return static_cast<float>(repeats) / static_cast<float>(n - w + 1);
}

// Random words from a small vocabulary, with copied runs (as floods have),
// separated by assorted white space.
static std::string random_text(std::mt19937_64& rng, std::vector<std::string>& words) {
  static const char* const kVocab[] = {"a", "b", "ab", "ba", "\xC3\xA9t\xC3\xA9", "z", "lorem", "a,", "A"};
  static const char* const kSpace[] = {" ", "\n", "\t ", "\xE2\x80\x83", "  "};
  words.clear();
  const size_t n = rng() % 400;
  while (words.size() < n) {
    if (words.size() > 4 && rng() % 3 == 0) {  // copy an earlier run
      const size_t from = rng() % words.size();
      const size_t len = 1 + rng() % (words.size() - from);
      for (size_t k = 0; k < len && words.size() < n; ++k) words.push_back(words[from + k]);
    } else {
      words.push_back(kVocab[rng() % (rng() % 2 ? 2 : 9)]);
    }
  }
  std::string text = rng() % 2 ? " " : "";
  for (const std::string& w : words) text.append(w).append(kSpace[rng() % 5]);
  return text;
}

static void test_agreement() {
  std::mt19937_64 rng(2024);
  std::vector<std::string> words;
  bool ok = true;
  for (int round = 0; round < 600; ++round) {
    const std::string text = random_text(rng, words);
    const uint64_t half = words.size() / 2;
    for (uint64_t w : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{8}, uint64_t{31},
                       uint64_t{32}, half > 1 ? half - 1 : 1, half, half + 1, 1 + rng() % (half + 1)}) {
      const float want = model(words, w);
      const float hashing = saturation_scan_hashing(text, w), rolling = saturation_scan_rolling(text, w);
      const float chosen = saturation_scan(text, w);
      if (hashing != want || rolling != want || chosen != want) {
        std::fprintf(stderr, "round %d, %zu words, w=%llu: model %g hashing %g rolling %g\n", round,
                     words.size(), static_cast<unsigned long long>(w), static_cast<double>(want),
                     static_cast<double>(hashing), static_cast<double>(rolling));
        ok = false;
      }
    }
  }
  CHECK(ok);
  // Known values: a b a with width 0 or 1, and a one-word flood.
  CHECK(saturation_scan_rolling("a b a", 0) == 1.0f / 3.0f && saturation_scan_rolling("a b a", 1) == 1.0f / 3.0f);
  std::string flood;
  for (int i = 0; i < 16; ++i) flood += "x ";
  CHECK(saturation_scan_rolling(flood, 8) == 8.0f / 9.0f);
}

// Floods of lines made of words that share their first 8 or 16 bytes, or
// differ only in length or in a multi-byte character; each line goes on in
// more ways than a window tracks, and runs of fresh words, and of words in
// random order, interrupt the flood. Long enough to be scanned in several
// pieces.
static std::string confusable_flood(std::mt19937_64& rng, bool multibyte, std::vector<std::string>& words) {
  static const char* const kWords[] = {
      "a", "ab", "abc", "a,", "abcdefg", "abcdefgh", "abcdefgh1", "abcdefghX", "abcdefghi", "abcdefghijklmnop",
      "abcdefghijklmnoq", "abcdefghijklmnopq", "abcdefghijklmnopqrstuvwxyz0", "abcdefghijklmnopqrstuvwxyz1",
      // multi-byte: é, éé, 日本語, 日本語x, 日本誠, abcdefgé, abcdefgè
      "\xC3\xA9", "\xC3\xA9\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9Ex", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\xA0", "abcdefg\xC3\xA9",
      "abcdefg\xC3\xA8"};
  static const char* const kSpace[] = {" ", "\n", "  ", "\xE3\x80\x80", "\xC2\xA0"};
  const size_t vocab = multibyte ? sizeof kWords / sizeof kWords[0] : 14;
  std::vector<std::vector<std::string>> lines(2 + rng() % 12);
  for (auto& line : lines) {
    for (size_t k = 1 + rng() % 13; k > 0; --k) line.push_back(kWords[rng() % vocab]);
  }
  words.clear();
  std::string text;
  size_t fresh = 0;
  while (text.size() < 150000) {
    std::vector<std::string> next;
    const uint64_t pick = rng() % 64;
    if (pick < 2) {
      for (size_t k = 1 + rng() % 40; k > 0; --k) next.push_back("fresh" + std::to_string(fresh++));
    } else if (pick == 2) {  // words in random order: their repeats seldom continue a run
      for (size_t k = 500 + rng() % 3000; k > 0; --k) next.push_back(kWords[rng() % 8]);
    } else {
      next = lines[rng() % lines.size()];
    }
    for (const std::string& w : next) {
      words.push_back(w);
      text.append(w).append(kSpace[rng() % (multibyte ? 5 : 3)]);
    }
  }
  return text;
}

static void test_floods(const char* path) {
  std::printf("floods, %s paths\n", path);
  std::mt19937_64 rng(77);
  std::vector<std::string> words;
  bool ok = true;
  for (int round = 0; round < 12; ++round) {
    const std::string text = confusable_flood(rng, round % 2 == 1, words);
    for (uint64_t w : {uint64_t{1}, uint64_t{2}, uint64_t{8}, uint64_t{15}}) {
      const float want = model(words, w);
      if (saturation_scan_hashing(text, w) != want || saturation_scan(text, w) != want) {
        std::fprintf(stderr, "flood round %d, w=%llu: model %g\n", round, static_cast<unsigned long long>(w),
                     static_cast<double>(want));
        ok = false;
      }
    }
  }
  CHECK(ok);
}

// A wide window over a long text: the poll runs every few megabytes of work,
// and whatever it throws ends the scan.
static void test_poll() {
  std::string text;
  for (int i = 0; i < 400000; ++i) text.append("w").append(std::to_string(i % 5000)).push_back(' ');
  int calls = 0;
  ScanPoll count{[](void* c) { ++*static_cast<int*>(c); }, &calls};
  for (uint64_t w : {uint64_t{8}, uint64_t{100000}}) {
    calls = 0;
    const float result = saturation_scan(text, w, count);
    CHECK(calls >= 1 && result > 0.9f);
  }
  ScanPoll stop{[](void*) { throw std::runtime_error("stop"); }, nullptr};
  for (uint64_t w : {uint64_t{8}, uint64_t{100000}}) {
    bool stopped = false;
    try {
      (void)saturation_scan(text, w, stop);
    } catch (const std::runtime_error&) {
      stopped = true;
    }
    CHECK(stopped);
  }
}

int main() {
  test_agreement();
  test_floods(avx512_shingles() ? "vector" : "portable");
  if (avx512_shingles()) {
    use_portable_shingles(true);
    test_floods("portable");
    use_portable_shingles(false);
  }
  test_poll();
  return zelmo_test::check_summary();
}
