// The UTF-8 unit. One character: the sequence lengths, decoding, and the
// encoder against a plain one at every class edge, round-tripped. Whole
// strings, UTF-16 and code points to UTF-8, against a plain encoder, on the
// vector and the portable paths: every unit class and its edges at every position
// of a vector block, surrogate pairs across block edges, lone surrogates
// (written on their own from UTF-16, refused among code points), long runs
// of each class, every length around the vector widths, and no read past the
// input or write past the promised overrun.
#include "check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/utf8.h"

using namespace zelmo;

namespace {

using Points = std::vector<uint32_t>;

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

std::string expected16(const std::u16string& s) {
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

// The UTF-8 of code points; empty with `ok` false at a surrogate.
std::string expected32(const Points& s, bool& ok) {
  std::string out;
  ok = true;
  for (uint32_t cp : s) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      ok = false;
      return {};
    }
    put(out, cp);
  }
  return out;
}

constexpr unsigned char kGuard = 0xA5;

// Runs `convert(in, n, out)` with the input copied to a buffer of its exact
// size (a read past its end is one past an allocation, which ASan reports)
// and the output going into `room` bytes followed by guard bytes. Returns
// what it returned, with `got` holding the bytes written, or nothing when a
// guard byte changed.
template <class Unit, class Convert>
std::optional<size_t> run_guarded(const Unit* data, size_t size, size_t room, Convert&& convert,
                                  std::string& got) {
  std::vector<unsigned char> out(room + 64, kGuard);
  const std::unique_ptr<Unit[]> in(new Unit[size + (size == 0 ? 1 : 0)]);
  std::copy(data, data + size, in.get());
  const size_t n = convert(in.get(), size, out.data());
  if (!std::all_of(out.begin() + static_cast<std::ptrdiff_t>(room), out.end(),
                   [](unsigned char b) { return b == kGuard; })) {
    return std::nullopt;
  }
  if (n != kNotScalar) got.assign(reinterpret_cast<const char*>(out.data()), n);
  return n;
}

// UTF-16: exactly the reference bytes, within the result plus the overrun.
bool converts16(size_t (*fn)(const char16_t*, size_t, unsigned char*), const std::u16string& s) {
  const std::string want = expected16(s);
  std::string got;
  return run_guarded(s.data(), s.size(), want.size() + kUtf8Overrun, fn, got) == want.size() && got == want;
}

bool both_paths16(const std::u16string& s) {
  return converts16(utf16_to_utf8, s) && converts16(utf16_to_utf8_portable, s);
}

// Code points: the reference bytes and whether any is beyond U+FFFF, or
// kNotScalar at a surrogate (with up to 4 bytes a code point written).
bool converts32(size_t (*fn)(const uint32_t*, size_t, unsigned char*, bool&), const Points& s) {
  bool ok = true;
  const std::string want = expected32(s, ok);
  bool beyond = false;
  std::string got;
  const auto convert = [&](const uint32_t* in, size_t n, unsigned char* out) { return fn(in, n, out, beyond); };
  const std::optional<size_t> n =
      run_guarded(s.data(), s.size(), (ok ? want.size() : 4 * s.size()) + kUtf8Overrun, convert, got);
  if (!ok) return n == kNotScalar;
  const bool any_beyond = std::any_of(s.begin(), s.end(), [](uint32_t c) { return c >= 0x10000; });
  return n == want.size() && got == want && beyond == any_beyond;
}

// The length alone, on both paths: the converted size, or kNotScalar.
bool measures32(const Points& s) {
  bool ok = true;
  const size_t size = expected32(s, ok).size();
  const size_t expect = ok ? size : kNotScalar;
  return utf8_length_of_points(s.data(), s.size()) == expect &&
         utf8_length_of_points_portable(s.data(), s.size()) == expect;
}

bool both_paths32(const Points& s) {
  return converts32(utf32_to_utf8, s) && converts32(utf32_to_utf8_portable, s) && measures32(s);
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

void utf16_boundary_values() {
  const char16_t edges[] = {0x0000, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xD800, 0xDBFF,
                            0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
  for (char16_t c : edges) {
    // Alone, and inside an otherwise ASCII vector block at every position.
    CHECK(both_paths16(std::u16string(1, c)));
    for (size_t at = 0; at < 40; ++at) {
      std::u16string s(40, u'a');
      s[at] = c;
      CHECK(both_paths16(s));
    }
  }
  // One non-ASCII unit anywhere in a long ASCII run: the run is read four
  // blocks at a time until the block that holds it.
  for (char16_t c : {char16_t{0x00E9}, char16_t{0x4E2D}}) {
    for (size_t at = 0; at < 300; ++at) {
      std::u16string s(300, u'x');
      s[at] = c;
      CHECK(both_paths16(s));
    }
  }
  // Pairs: the smallest and largest supplementary characters, and a pair
  // split across every block edge.
  CHECK(both_paths16(u"\xD800\xDC00"));
  CHECK(both_paths16(u"\xDBFF\xDFFF"));
  for (size_t at = 0; at < 70; ++at) {
    std::u16string s(72, u'\x00E9');
    s[at] = 0xD83D;
    s[at + 1] = 0xDE80;
    CHECK(both_paths16(s));
  }
  // Lone surrogates: high at the end, low first, reversed pair.
  CHECK(both_paths16(u"abc\xD800"));
  CHECK(both_paths16(u"\xDC00xyz"));
  CHECK(both_paths16(u"\xDC00\xD800"));
  CHECK(expected16(u"\xD83D\xDE80") == "\xF0\x9F\x9A\x80");
}

void utf16_every_length() {
  std::mt19937_64 rng(7);
  for (int top = 0; top <= 4; ++top) {
    for (size_t n = 0; n <= 130; ++n) CHECK(both_paths16(random_units(rng, n, top)));
  }
}

void utf16_random_texts() {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    const int top = static_cast<int>(rng() % 5);
    CHECK(both_paths16(random_units(rng, 1 + rng() % 3000, top)));
  }
  // Long runs of one class each, so whole vector blocks take each way, and
  // runs of three-byte units with one surrogate pair or other class dropped in.
  for (int kind = 0; kind <= 2; ++kind) {
    std::u16string s;
    for (int i = 0; i < 1000; ++i) s += unit(rng, kind);
    CHECK(both_paths16(s));
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
      CHECK(both_paths16(t));
    }
  }
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

void utf32_boundary_values() {
  const uint32_t edges[] = {0x0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF, 0xDC00,
                            0xDFFF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x10FFFF};
  for (uint32_t c : edges) {
    // Alone, and at every position of an otherwise ASCII stretch that spans
    // the 64- and 16-wide blocks.
    CHECK(both_paths32(Points{c}));
    for (size_t at = 0; at < 80; ++at) {
      Points s(80, 'a');
      s[at] = c;
      CHECK(both_paths32(s));
    }
  }
  bool ok = true;
  CHECK(expected32({0x1F680}, ok) == "\xF0\x9F\x9A\x80" && ok);
}

void utf32_every_length() {
  std::mt19937_64 rng(7);
  for (int top = 0; top <= 4; ++top) {
    for (size_t n = 0; n <= 150; ++n) CHECK(both_paths32(random_points(rng, n, top)));
  }
}

void utf32_random_texts() {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    CHECK(both_paths32(random_points(rng, 1 + rng() % 3000, static_cast<int>(rng() % 4))));
  }
  // Long runs of one class each, then ASCII runs broken by one code point of
  // another class, so every vector step is taken from every state.
  for (int kind = 0; kind <= 3; ++kind) {
    Points s;
    for (int i = 0; i < 1000; ++i) s.push_back(point(rng, kind));
    CHECK(both_paths32(s));
    for (int round = 0; round < 50; ++round) {
      Points t(200, 'x');
      t[rng() % t.size()] = point(rng, kind);
      CHECK(both_paths32(t));
    }
  }
  // A surrogate anywhere in a long text is refused.
  for (int round = 0; round < 50; ++round) {
    Points s = random_points(rng, 500, 3);
    s[rng() % s.size()] = point(rng, 4);
    CHECK(both_paths32(s));
  }
}

void one_character() {
  const char* samples[] = {"A", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"};
  const char32_t values[] = {0x41, 0xE9, 0x20AC, 0x1F600, 0x10FFFF};
  for (int i = 0; i < 5; ++i) {
    const char* p = samples[i];
    CHECK(utf8_sequence_length(static_cast<unsigned char>(*p)) == std::strlen(samples[i]));
    CHECK(decode_utf8(p) == values[i]);
    CHECK(p == samples[i] + std::strlen(samples[i]));
  }
  for (unsigned b : {0x80u, 0xBFu, 0xF8u, 0xFFu}) {
    CHECK(utf8_sequence_length(static_cast<unsigned char>(b)) == 0);
  }
  CHECK(is_utf8_continuation(0x80) && is_utf8_continuation(0xBF));
  CHECK(!is_utf8_continuation(0x7F) && !is_utf8_continuation(0xC0) && !is_utf8_continuation(0xFF));
  const char stray[] = "\x80x";
  const char* p = stray;
  decode_utf8(p);
  CHECK(p == stray + 1);  // a stray byte is stepped over, never stalls

  // Every class edge (a surrogate as its own three bytes): the plain
  // encoder's bytes, appended after what the string held, and decoded back.
  const uint32_t edges[] = {0x0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDFFF,
                            0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  for (uint32_t c : edges) {
    std::string want = "x";
    put(want, c);
    std::string got = "x";
    append_utf8(got, c);
    CHECK(got == want);
    unsigned char raw[4];
    const size_t n = encode_utf8(c, raw);
    CHECK(std::string(reinterpret_cast<const char*>(raw), n) == want.substr(1));
    const char* q = got.data() + 1;
    CHECK(decode_utf8(q) == c && q == got.data() + got.size());
  }
}

}  // namespace

int main() {
  std::printf("vector path: %s\n", utf8_conversion_vectorised() ? "yes" : "no");
  one_character();
  utf16_boundary_values();
  utf16_every_length();
  utf16_random_texts();
  utf32_boundary_values();
  utf32_every_length();
  utf32_random_texts();
  return zelmo_test::check_summary();
}
