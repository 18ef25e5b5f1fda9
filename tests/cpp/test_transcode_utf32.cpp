// Code points to UTF-8 against a plain encoder, on the vector and the
// portable paths: every length class and its edges, every position in a
// vector block, long runs of each class, surrogates refused wherever they
// stand, every length around the vector widths, and no write past the
// promised overrun.
#include "check.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "transcode.h"

using namespace zelmo;

namespace {

using Points = std::vector<uint32_t>;

// The UTF-8 of scalar values; empty with `ok` false at a surrogate.
std::string expected(const Points& s, bool& ok) {
  std::string out;
  ok = true;
  for (uint32_t cp : s) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        ok = false;
        return {};
      }
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

constexpr unsigned char kGuard = 0xA5;

// Converts with `fn` into a buffer of exactly the result's length plus the
// overrun (4 bytes a code point where the result is refused), followed by
// guard bytes that must stay untouched.
// The input is copied to a buffer of its exact size, so that a read past its
// end is one past an allocation (which ASan reports).
bool converts_exactly(size_t (*fn)(const uint32_t*, size_t, unsigned char*, bool&), const Points& s) {
  bool ok = true;
  const std::string want = expected(s, ok);
  const size_t room = (ok ? want.size() : 4 * s.size()) + kUtf8Overrun;
  std::vector<unsigned char> out(room + 64, kGuard);
  const std::unique_ptr<uint32_t[]> in(new uint32_t[s.size() + (s.empty() ? 1 : 0)]);
  std::copy(s.begin(), s.end(), in.get());
  bool beyond = false;
  const size_t n = fn(in.get(), s.size(), out.data(), beyond);
  for (size_t i = room; i < out.size(); ++i) {
    if (out[i] != kGuard) return false;
  }
  if (!ok) return n == kNotScalar;
  const bool any_beyond = std::any_of(s.begin(), s.end(), [](uint32_t c) { return c >= 0x10000; });
  return n == want.size() && std::memcmp(out.data(), want.data(), n) == 0 && beyond == any_beyond;
}

bool both_paths(const Points& s) {
  return converts_exactly(utf32_to_utf8, s) && converts_exactly(utf32_to_utf8_portable, s);
}

// A code point of the given class: ASCII, two-byte, three-byte (not a
// surrogate), four-byte, surrogate.
uint32_t point(std::mt19937_64& rng, int kind) {
  switch (kind) {
    case 0: return static_cast<uint32_t>(rng() % 0x80);
    case 1: return static_cast<uint32_t>(0x80 + rng() % (0x800 - 0x80));
    case 2: {
      uint32_t c;
      do c = static_cast<uint32_t>(0x800 + rng() % (0x10000 - 0x800)); while (c >= 0xD800 && c <= 0xDFFF);
      return c;
    }
    case 3: return static_cast<uint32_t>(0x10000 + rng() % (0x110000 - 0x10000));
    default: return static_cast<uint32_t>(0xD800 + rng() % 0x800);
  }
}

Points random_points(std::mt19937_64& rng, size_t n, int top) {
  Points s(n);
  for (uint32_t& c : s) c = point(rng, static_cast<int>(rng() % static_cast<unsigned>(top + 1)));
  return s;
}

void boundary_values() {
  const uint32_t edges[] = {0x0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00,
                            0xDFFF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
  for (uint32_t c : edges) {
    // Alone, and at every position of an otherwise ASCII stretch that spans
    // the 64- and 16-wide blocks.
    CHECK(both_paths(Points{c}));
    for (size_t at = 0; at < 80; ++at) {
      Points s(80, 'a');
      s[at] = c;
      CHECK(both_paths(s));
    }
  }
  bool ok = true;
  CHECK(expected({0x1F680}, ok) == "\xF0\x9F\x9A\x80" && ok);
}

void every_length() {
  std::mt19937_64 rng(7);
  for (int top = 0; top <= 4; ++top) {
    for (size_t n = 0; n <= 150; ++n) CHECK(both_paths(random_points(rng, n, top)));
  }
}

void random_texts() {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    CHECK(both_paths(random_points(rng, 1 + rng() % 3000, static_cast<int>(rng() % 4))));
  }
  // Long runs of one class each, then ASCII runs broken by one code point of
  // another class, so every vector step is taken from every state.
  for (int kind = 0; kind <= 3; ++kind) {
    Points s;
    for (int i = 0; i < 1000; ++i) s.push_back(point(rng, kind));
    CHECK(both_paths(s));
    for (int round = 0; round < 50; ++round) {
      Points t(200, 'x');
      t[rng() % t.size()] = point(rng, kind);
      CHECK(both_paths(t));
    }
  }
  // A surrogate anywhere in a long text is refused.
  for (int round = 0; round < 50; ++round) {
    Points s = random_points(rng, 500, 3);
    s[rng() % s.size()] = point(rng, 4);
    CHECK(both_paths(s));
  }
}

}  // namespace

int main() {
  std::printf("vector path: %s\n", utf8_conversion_vectorised() ? "yes" : "no");
  boundary_values();
  every_length();
  random_texts();
  return zelmo_test::check_summary();
}
