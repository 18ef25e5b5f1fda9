// UTF-16 to UTF-8 against a plain code-point encoder, on the vector and the
// portable paths: every unit class, surrogate pairs across block edges, lone
// surrogates, every length around the vector width, and no write past the
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

// The UTF-8 of a code point (a lone surrogate as its own 3-byte sequence).
void put(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
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

std::string expected(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint32_t c = s[i];
    const bool high = (c & 0xFC00) == 0xD800;
    if (high && i + 1 < s.size() && (s[i + 1] & 0xFC00) == 0xDC00) {
      put(out, 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u));
      ++i;
    } else {
      put(out, c);
    }
  }
  return out;
}

constexpr unsigned char kGuard = 0xA5;

// Converts with `fn` into a buffer of exactly the result's length plus the
// overrun, followed by guard bytes that must stay untouched. The input is
// copied to a buffer of its exact size, so that a read past its end is one
// past an allocation (which ASan reports).
bool converts_exactly(size_t (*fn)(const char16_t*, size_t, unsigned char*), const std::u16string& s) {
  const std::string want = expected(s);
  const size_t room = want.size() + kUtf8Overrun;
  std::vector<unsigned char> out(room + 64, kGuard);
  const std::unique_ptr<char16_t[]> in(new char16_t[s.size() + (s.empty() ? 1 : 0)]);
  std::copy(s.begin(), s.end(), in.get());
  const size_t n = fn(in.get(), s.size(), out.data());
  for (size_t i = room; i < out.size(); ++i) {
    if (out[i] != kGuard) return false;
  }
  return n <= 3 * s.size() && std::string(reinterpret_cast<const char*>(out.data()), n) == want;
}

bool both_paths(const std::u16string& s) {
  return converts_exactly(utf16_to_utf8, s) && converts_exactly(utf16_to_utf8_portable, s);
}

// A unit of the given class: ASCII, two-byte, three-byte, high or low surrogate.
char16_t unit(std::mt19937_64& rng, int kind) {
  switch (kind) {
    case 0: return static_cast<char16_t>(rng() % 0x80);
    case 1: return static_cast<char16_t>(0x80 + rng() % (0x800 - 0x80));
    case 2: {
      char16_t c;
      do c = static_cast<char16_t>(0x800 + rng() % (0x10000 - 0x800)); while ((c & 0xF800) == 0xD800);
      return c;
    }
    case 3: return static_cast<char16_t>(0xD800 + rng() % 0x400);
    default: return static_cast<char16_t>(0xDC00 + rng() % 0x400);
  }
}

// Random text whose units are drawn from the classes up to `top`, with
// surrogates mostly in pairs.
std::u16string random_units(std::mt19937_64& rng, size_t n, int top) {
  std::u16string s;
  while (s.size() < n) {
    const int kind = static_cast<int>(rng() % static_cast<unsigned>(top + 1));
    if (kind == 3 && rng() % 4 != 0) {
      s += unit(rng, 3);
      s += unit(rng, 4);
    } else {
      s += unit(rng, kind);
    }
  }
  s.resize(n);
  return s;
}

void boundary_values() {
  const char16_t edges[] = {0x0000, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xD800, 0xDBFF,
                            0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  for (char16_t c : edges) {
    // Alone, and inside an otherwise ASCII vector block at every position.
    CHECK(both_paths(std::u16string(1, c)));
    for (size_t at = 0; at < 40; ++at) {
      std::u16string s(40, u'a');
      s[at] = c;
      CHECK(both_paths(s));
    }
  }
  // Pairs: the smallest and largest supplementary characters, and a pair
  // split across every block edge.
  CHECK(both_paths(u"\xD800\xDC00"));
  CHECK(both_paths(u"\xDBFF\xDFFF"));
  for (size_t at = 0; at < 70; ++at) {
    std::u16string s(72, u'\x00E9');
    s[at] = 0xD83D;
    s[at + 1] = 0xDE80;
    CHECK(both_paths(s));
  }
  // Lone surrogates: high at the end, low first, reversed pair.
  CHECK(both_paths(u"abc\xD800"));
  CHECK(both_paths(u"\xDC00xyz"));
  CHECK(both_paths(u"\xDC00\xD800"));
  CHECK(expected(u"\xD83D\xDE80") == "\xF0\x9F\x9A\x80");
}

void every_length() {
  std::mt19937_64 rng(7);
  for (int top = 0; top <= 4; ++top) {
    for (size_t n = 0; n <= 130; ++n) CHECK(both_paths(random_units(rng, n, top)));
  }
}

void random_texts() {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    const int top = static_cast<int>(rng() % 5);
    CHECK(both_paths(random_units(rng, 1 + rng() % 3000, top)));
  }
  // Long runs of one class each, so whole vector blocks take each way, and
  // runs of three-byte units with one surrogate pair or other class dropped in.
  for (int kind = 0; kind <= 2; ++kind) {
    std::u16string s;
    for (int i = 0; i < 1000; ++i) s += unit(rng, kind);
    CHECK(both_paths(s));
    for (int round = 0; round < 50; ++round) {
      std::u16string t;
      for (int i = 0; i < 100; ++i) t += unit(rng, 2);
      const size_t at = rng() % 99;
      if (kind == 2) {
        t[at] = unit(rng, 3);
        t[at + 1] = unit(rng, 4);
      } else {
        t[at] = unit(rng, kind);
      }
      CHECK(both_paths(t));
    }
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
