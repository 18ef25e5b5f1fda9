// Checks of the Unicode character data and the full lower-casing.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "check.h"
#include "core/unicode_data.h"

namespace u = zelmo::unicode;

namespace {

std::string lower(std::string_view s) {
  std::string out;
  u::to_lower_full(s, out);
  return out;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string r;
  r.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) r.append(s);
  return r;
}

void test_ascii_properties() {
  for (char32_t c = 0; c < 0x80; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    const bool ignorable = c == '\'' || c == '.' || c == ':' || c == '^' || c == '`';
    CHECK(u::is_alphabetic(c) == letter);
    CHECK(u::is_numeric(c) == digit);
    CHECK(u::is_cased(c) == letter);
    CHECK(u::is_case_ignorable(c) == ignorable);
  }
}

void test_properties() {
  struct Case {
    char32_t c;
    bool alpha, numeric, cased, ignorable;
  };
  const Case cases[] = {
      {0x00E9, true, false, true, false},    // e with acute
      {0x00AA, true, false, true, false},    // feminine ordinal: Lo yet Lowercase
      {0x01C5, true, false, true, false},    // Dz with caron: titlecase
      {0x02B0, true, false, true, true},     // modifier small h: cased and ignorable
      {0x0301, false, false, false, true},   // combining acute
      {0x0345, true, false, true, true},     // combining ypogegrammeni: Mn, Alphabetic, cased
      {0x00AD, false, false, false, true},   // soft hyphen
      {0x200D, false, false, false, true},   // zero width joiner
      {0x0660, false, true, false, false},   // Arabic-Indic digit zero (Nd)
      {0x2160, true, true, true, false},     // Roman numeral one (Nl, Other_Uppercase)
      {0x00BD, false, true, false, false},   // vulgar fraction one half (No)
      {0x4E00, true, false, false, false},   // CJK ideograph (range entry)
      {0xAC00, true, false, false, false},   // Hangul syllable (range entry)
      {0x3400, true, false, false, false},   // CJK extension A, first of its range
      {0x1F600, false, false, false, false}, // emoji
      {0x1E030, true, false, true, true},    // modifier Cyrillic small a, new in 15.0
      {0x31350, true, false, false, false},  // CJK extension H, new in 15.0
      {0x11F50, false, true, false, false},  // Kawi digit zero, new in 15.0
      {0xE0100, false, false, false, true},  // variation selector 17
      {0x10FFFF, false, false, false, false},
      {0x110000, false, false, false, false},  // beyond Unicode
      {0xFFFFFFFF, false, false, false, false},
  };
  for (const Case& k : cases) {
    const bool ok = u::is_alphabetic(k.c) == k.alpha && u::is_numeric(k.c) == k.numeric &&
                    u::is_cased(k.c) == k.cased && u::is_case_ignorable(k.c) == k.ignorable;
    if (!ok) std::printf("  properties of U+%04X\n", static_cast<unsigned>(k.c));
    CHECK(ok);
  }
  CHECK(std::strcmp(u::kUnicodeVersion, "15.0.0") == 0);
}

void test_mappings() {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"", ""},
      {"Hello, World! 123 ~{}", "hello, world! 123 ~{}"},
      {"\xC4\xB0", "i\xCC\x87"},                            // U+0130 -> i + combining dot above
      {"\xC4\xB0STANBUL", "i\xCC\x87stanbul"},
      {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},           // ETE with acutes
      {"\xC3\x9F", "\xC3\x9F"},                             // sharp s stays
      {"\xE1\xBA\x9E", "\xC3\x9F"},                         // capital sharp s -> sharp s
      {"\xC8\xBA", "\xE2\xB1\xA5"},                         // U+023A -> U+2C65: two bytes become three
      {"\xE2\x84\xAA", "k"},                                // Kelvin sign -> k: three bytes become one
      {"\xE2\x84\xA6", "\xCF\x89"},                         // Ohm sign -> omega
      {"\xC7\x85", "\xC7\x86"},                             // titlecase Dz with caron
      {"\xE1\xBE\x88", "\xE1\xBE\x80"},                     // U+1F88 -> U+1F80
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},             // Deseret U+10400 -> U+10428
      {"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"\xE2\x85\xA0", "\xE2\x85\xB0"},                     // Roman numeral one
      {"\xE4\xB8\x80\xF0\x9F\x98\x80", "\xE4\xB8\x80\xF0\x9F\x98\x80"},  // no case: unchanged
  };
  for (const Case& k : cases) {
    const bool ok = lower(k.in) == k.out;
    if (!ok) std::printf("  lower(\"%s\")\n", k.in);
    CHECK(ok);
  }
  std::string out = "keep:";
  u::to_lower_full("AB", out);
  CHECK(out == "keep:ab");  // appends, keeps what was there
  u::to_lower_full("", out);
  CHECK(out == "keep:ab");
}

// Capital sigma U+03A3 (CE A3) -> final U+03C2 (CF 82) or U+03C3 (CF 83).
void test_final_sigma() {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"\xCE\xA3", "\xCF\x83"},                               // alone: nothing cased before
      {"A\xCE\xA3", "a\xCF\x82"},                             // word end
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},
      {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},               // word start
      {"A\xCE\xA3" "B", "a\xCF\x83" "b"},                     // inside a word
      {"A\xCE\xA3 B", "a\xCF\x82 b"},                         // space is neither: ends the word
      {"A\xCE\xA3.", "a\xCF\x82."},                           // ignorable after, then the end
      {"A.\xCE\xA3", "a.\xCF\x82"},                           // ignorable between cased and sigma
      {"A'\xCE\xA3'B", "a'\xCF\x83'b"},                       // cased beyond ignorables on both sides
      {"A\xCC\x81\xCE\xA3", "a\xCC\x81\xCF\x82"},             // combining mark skipped backwards
      {"A\xCE\xA3\xCC\x81", "a\xCF\x82\xCC\x81"},             // and forwards
      {"1\xCE\xA3", "1\xCF\x83"},                             // digit: not cased
      {"A1\xCE\xA3", "a1\xCF\x83"},
      {"\xCE\xA3\xCE\xA3", "\xCF\x83\xCF\x82"},
      {"\xCE\xA3\xCE\xA3\xCE\xA3", "\xCF\x83\xCF\x83\xCF\x82"},
      // U+02B0 is both cased and case-ignorable: it is skipped like any
      // ignorable character in both directions.
      {"\xCA\xB0\xCE\xA3", "\xCA\xB0\xCF\x83"},
      {"A\xCE\xA3\xCA\xB0", "a\xCF\x82\xCA\xB0"},
      {"\xC3\x89\xCE\xA3", "\xC3\xA9\xCF\x82"},               // non-ASCII cased predecessor
      {"\xE4\xB8\x80\xCE\xA3", "\xE4\xB8\x80\xCF\x83"},       // CJK: not cased
      {"A\xCE\xA3\xE4\xB8\x80", "a\xCF\x82\xE4\xB8\x80"},
      {"A\xCE\xA3\xC4\xB0", "a\xCF\x83i\xCC\x87"},            // cased U+0130 follows
  };
  for (const Case& k : cases) {
    const bool ok = lower(k.in) == k.out;
    if (!ok) std::printf("  lower(\"%s\")\n", k.in);
    CHECK(ok);
  }
}

void test_malformed_bytes_are_copied() {
  CHECK(lower("A\xCE") == "a\xCE");        // truncated at the end
  CHECK(lower("\xE2\x84") == "\xE2\x84");
  CHECK(lower("\x80" "B") == "\x80" "b");  // stray continuation byte
  CHECK(lower("\xCE" "A") == "\xCE" "a");  // lead without continuation
  CHECK(lower("A\xCE\xA3\xFF") == "a\xCF\x82\xFF");
}

// Runs of a few MB: a quadratic look-behind or look-ahead would not finish.
void test_long_runs() {
  constexpr std::size_t n = 1 << 20;
  const std::string sigma = "\xCE\xA3";
  const std::string acute = "\xCC\x81";

  const std::string sigmas = lower(repeat(sigma, n));
  CHECK(sigmas.size() == 2 * n);
  CHECK(sigmas.compare(0, 2, "\xCF\x83") == 0);
  CHECK(sigmas.compare(2 * n - 2, 2, "\xCF\x82") == 0);
  CHECK(sigmas.find("\xCF\x82") == 2 * n - 2);

  const std::string marks = repeat(acute, n);
  CHECK(lower("A" + marks + sigma + marks) == "a" + marks + "\xCF\x82" + marks);
  CHECK(lower("A" + marks + sigma + marks + "B") == "a" + marks + "\xCF\x83" + marks + "b");
  CHECK(lower(marks + sigma) == marks + "\xCF\x83");

  const std::string dots(n, '.');
  CHECK(lower("A" + dots + sigma + dots) == "a" + dots + "\xCF\x82" + dots);

  // Every sigma preceded by a cased letter and followed by ignorables only up
  // to the next sigma: each one sees a cased character ahead but the last.
  const std::string mixed = lower("A" + repeat(sigma + "'", n));
  CHECK(mixed == "a" + repeat("\xCF\x83'", n - 1) + "\xCF\x82'");

  const std::string ascii = lower(std::string(4 * n, 'Q'));
  CHECK(ascii == std::string(4 * n, 'q'));
}

// ASCII runs are found sixteen bytes at a time: runs of every length up to
// a few steps, each ended by a character that lowers to other bytes (É ->
// é) or by the end of the text, with capitals at both ends of the run.
void test_ascii_runs_of_every_length() {
  for (std::size_t len = 0; len <= 50; ++len) {
    std::string run(len, 'q'), low(len, 'q');
    for (std::size_t i = 0; i < len; i += 7) {
      run[i] = 'Q';
      run[len - 1 - i] = 'Z';
    }
    for (std::size_t i = 0; i < len; ++i) low[i] = run[i] == 'Q' ? 'q' : run[i] == 'Z' ? 'z' : run[i];
    const bool ok = lower(run) == low && lower(run + "\xC3\x89" + run) == low + "\xC3\xA9" + low &&
                    lower("\xC3\x89" + run + "\xC3\x89") == "\xC3\xA9" + low + "\xC3\xA9";
    if (!ok) std::printf("  ASCII run of %zu bytes\n", len);
    CHECK(ok);
  }
}

}  // namespace

int main() {
  test_ascii_properties();
  test_properties();
  test_mappings();
  test_final_sigma();
  test_malformed_bytes_are_copied();
  test_long_runs();
  test_ascii_runs_of_every_length();
  return zelmo_test::check_summary();
}
