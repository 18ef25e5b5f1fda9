// Context window core: construction, insertion, the dehydrate cycle, digests,
// the ledger, rendering and the render diff.
#include "check.h"
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/block_model.h"
#include "core/context_apoptosis.h"
#include "core/fault.h"

using namespace zelmo;
using V = std::vector<std::string>;


static const float kNaN = std::numeric_limits<float>::quiet_NaN();
static const float kInf = std::numeric_limits<float>::infinity();

static ContextWindow make(float h = 2.0f, float t = 0.35f, size_t cap = 256, size_t state = 64) {
  return ContextWindow(h, t, cap, state);
}

static void test_construction() {
  ContextWindow w = make();
  CHECK(w.size() == 0 && w.active_context().empty() && w.active_tokens() == 0);
  CHECK(w.inserted_tokens() == 0 && w.reduction_ratio() == 0.0f && w.render().empty());
  for (float h : {0.0f, -5.0f, kNaN}) CHECK(make(h).half_life() == 0.1f);
  CHECK(make(2.0f, 0.35f, 0, 0).state_capacity() == 1);

  bool overflow = false;
  try { make(2.0f, 0.35f, std::numeric_limits<size_t>::max()); }
  catch (const Fault& f) { overflow = std::string(f.what()) == "capacity overflow"; }
  CHECK(overflow);
  bool bad_alloc = false;  // representable, but far beyond any address space
  try { make(2.0f, 0.35f, size_t{1} << 50); } catch (const std::bad_alloc&) { bad_alloc = true; }
  CHECK(bad_alloc);

  ContextWindow small = make(2.0f, 0.35f, 1);
  for (int i = 0; i < 1000; ++i) small.insert("x", 0, std::nullopt);
  CHECK(small.size() == 1000);
}

static void test_insert_oxygen() {
  struct Case { uint32_t signal; std::optional<float> oxygen; float want; };
  const Case cases[] = {
      {0, std::nullopt, 0.6f},    {SYSTEM, std::nullopt, 4.0f}, {FACT, std::nullopt, 4.0f},
      {SYSTEM | TOOL, std::nullopt, 4.0f}, {USER, std::nullopt, 1.0f},
      {THINKING, std::nullopt, 0.15f}, {TOOL, std::nullopt, 0.25f}, {64, std::nullopt, 0.6f},
      {0, 0.0f, 0.0f},            {USER, -0.5f, 1.0f},          {TOOL, -kInf, 0.25f},
      {0, 7.5f, 7.5f},            {0, kInf, kInf},
  };
  for (const Case& c : cases) {
    ContextWindow w = make();
    w.insert("abcd", c.signal, c.oxygen);
    const auto b = w.blocks_snapshot();
    CHECK(b.size() == 1 && b[0].oxygen == c.want && b[0].tokens == 2 && b[0].signal == c.signal);
  }
  ContextWindow w = make();
  w.insert("a", 0, -0.0f);
  w.insert("b", 0, kNaN);
  const auto b = w.blocks_snapshot();
  CHECK(b[0].oxygen == 0.0f && std::signbit(b[0].oxygen) && std::isnan(b[1].oxygen));
  CHECK(w.inserted_tokens() == 2 && w.active_tokens() == 2);
}

static void test_cycle_survival() {
  ContextWindow w = make();
  w.insert("hello", USER, std::nullopt);
  CHECK(w.dehydrate(0.5f, false) == 0);
  CHECK(w.blocks_snapshot()[0].oxygen == 0.70710677f);
  CHECK(w.dehydrate(0.5f, false) == 0 && w.dehydrate(0.5f, false) == 0);
  CHECK(w.dehydrate(0.5f, false) == 1);
  CHECK(w.reclaimed_tokens() == 2 && w.size() == 0 && w.dehydrate(0.5f, false) == 0);

  ContextWindow s = make();
  s.insert("sys", SYSTEM, std::nullopt);
  s.dehydrate(0.5f, false);
  CHECK(s.blocks_snapshot()[0].oxygen == 4.5f);
  s.dehydrate(0.5f, false);
  CHECK(s.blocks_snapshot()[0].oxygen == 5.0f);
  s.dehydrate(-10.0f, false);
  CHECK(s.blocks_snapshot()[0].oxygen == -5.0f && s.size() == 1);

  // Survivors keep their relative order; durable blocks outlive everything.
  ContextWindow m = make();
  const uint32_t flags[] = {TOOL, USER, SYSTEM, THINKING, 0, ASSISTANT, FACT, USER | TOOL};
  for (size_t i = 0; i < 8; ++i) m.insert(std::string(1, static_cast<char>('a' + i)), flags[i], std::nullopt);
  CHECK(m.dehydrate(0.5f, false) == 2);
  CHECK((m.active_context() == V{"b", "c", "e", "f", "g", "h"}));
  CHECK(m.dehydrate(0.5f, false) == 1);
  CHECK((m.active_context() == V{"b", "c", "f", "g", "h"}));
  m.dehydrate(0.5f, false);
  CHECK(m.dehydrate(0.5f, false) == 3);
  CHECK((m.active_context() == V{"c", "g"}));
  CHECK(m.reclaimed_tokens() + m.active_tokens() == m.inserted_tokens());

  // Tie kept: 0.5 * 2^-1 == 0.25 survives a 0.25 threshold; 0.125 does not.
  ContextWindow t = make(1.0f, 0.25f);
  t.insert("x", 0, 0.5f);
  CHECK(t.dehydrate(0.5f, false) == 0 && t.dehydrate(0.5f, false) == 1);
  // Zero oxygen: purged at 0.35, kept at threshold 0; NaN threshold purges.
  ContextWindow z = make();
  z.insert("x", 0, 0.0f);
  CHECK(z.dehydrate(0.5f, false) == 1);
  ContextWindow z0 = make(2.0f, 0.0f);
  z0.insert("x", 0, 0.0f);
  CHECK(z0.dehydrate(0.5f, false) == 0);
  ContextWindow zn = make(2.0f, kNaN);
  zn.insert("x", 0, 100.0f);
  zn.insert("s", SYSTEM, std::nullopt);
  CHECK(zn.dehydrate(0.5f, false) == 1 && zn.active_context() == V{"s"});
  // An infinite half-life never decays.
  ContextWindow inf = make(kInf);
  inf.insert("x", USER, std::nullopt);
  for (int i = 0; i < 50; ++i) inf.dehydrate(0.5f, false);
  CHECK(inf.size() == 1 && inf.blocks_snapshot()[0].oxygen == 1.0f);

  ContextWindow r = make();
  r.insert("t", TOOL, std::nullopt);
  r.insert("ssss", SYSTEM, std::nullopt);
  r.dehydrate(0.5f, false);
  CHECK(static_cast<double>(r.reduction_ratio()) == 0.3333333432674408);
}

static void test_absorb() {
  ContextWindow w = make();
  w.insert("\na   b\t", ASSISTANT, 0.0f);
  w.insert("a\n b", USER, 0.0f);
  w.insert("tool output", TOOL, std::nullopt);
  w.insert("thinking", THINKING, std::nullopt);
  w.insert("unclassified", 0, 0.0f);
  CHECK(w.dehydrate(0.5f, true) == 5);
  CHECK(w.state_entries() == V{"a b"});

  ContextWindow off = make();
  off.insert("x", USER, 0.0f);
  off.dehydrate(0.5f, false);
  CHECK(off.state_entries().empty());

  ContextWindow one = make(2.0f, 0.35f, 256, 1);
  one.insert("first", USER, 0.0f);
  one.insert("second", ASSISTANT, 0.0f);
  CHECK(one.dehydrate(0.5f, true) == 2 && one.state_entries() == V{"second"});

  ContextWindow mixed = make();
  mixed.insert("kept", USER, std::nullopt);
  mixed.insert("purged", USER | TOOL, 0.1f);
  mixed.dehydrate(0.5f, true);
  CHECK(mixed.state_entries() == V{"purged"} && mixed.active_context() == V{"kept"});
}

// The digest rule spelled out directly: full join, then clip.
static std::string reference_digest(std::string_view text) {
  std::string joined;
  for_each_word(text, [&](std::string_view w) {
    if (!joined.empty()) joined += ' ';
    joined.append(w);
  });
  if (joined.size() <= 120) return joined;
  size_t i = 120;
  while (i < joined.size() && (static_cast<unsigned char>(joined[i]) & 0xC0) == 0x80) ++i;
  if (i == joined.size()) return joined;
  return joined.substr(0, i) + "\xE2\x80\xA6";
}

static void test_digest() {
  CHECK(one_line_digest(" \t\n") == "");
  CHECK(one_line_digest(std::string(120, 'a')) == std::string(120, 'a'));
  CHECK(one_line_digest(std::string(121, 'a')) == std::string(120, 'a') + "\xE2\x80\xA6");
  // A two-byte character straddling byte 120 is kept whole before the ellipsis.
  const std::string straddle = std::string(119, 'a') + "\xC3\xA9" + "zz";
  CHECK(one_line_digest(straddle) == std::string(119, 'a') + "\xC3\xA9\xE2\x80\xA6");
  // ... and when it is the last character there is nothing to elide.
  const std::string last = std::string(119, 'a') + "\xC3\xA9";
  CHECK(one_line_digest(last) == last);
  const std::string four = std::string(118, 'a') + "\xF0\x9F\x98\x80";  // bytes 118..121
  CHECK(one_line_digest(four) == four);
  CHECK(one_line_digest(four + "b") == four + "\xE2\x80\xA6");
  // 123 bytes joined, the last character ending there, then only white
  // space: nothing follows, so nothing is elided.
  const std::string four_last = std::string(119, 'a') + "\xF0\x9F\x98\x80";
  CHECK(one_line_digest(four_last + " \t\xE3\x80\x80") == four_last);
  CHECK(one_line_digest(four_last + " \xE2\x80\xA8b") == four_last + "\xE2\x80\xA6");
  // Differential check against the spelled-out rule on random texts.
  std::mt19937 rng(12345);
  const char* pieces[] = {"a", "bc", " ", "  ", "\n", "\t", "\xC3\xA9", "\xE2\x82\xAC",
                          "\xF0\x9F\x98\x80", "\xC2\xA0", "\xE3\x80\x80", "word", "\xE2\x80\xA8"};
  bool all_equal = true;
  for (int n = 0; n < 3000; ++n) {
    std::string text;
    const size_t target = 100 + rng() % 60;
    while (text.size() < target) text += pieces[rng() % 13];
    const std::string got = one_line_digest(text);
    all_equal = all_equal && got == reference_digest(text) && got.size() <= 126;
  }
  CHECK(all_equal);
}

static void test_ledger_and_render() {
  ContextWindow w = make(2.0f, 0.35f, 256, 2);
  CHECK(w.note_state("a") && !w.note_state("a") && w.state_entries() == V{"a"});
  CHECK(w.note_state("b") && w.note_state("c") && (w.state_entries() == V{"b", "c"}));
  CHECK(w.note_state("a") && (w.state_entries() == V{"c", "a"}));

  ContextWindow nr = make(2.0f, 0.35f, 256, 2);
  nr.note_state("a");
  nr.note_state("b");
  CHECK(!nr.note_state("a"));
  nr.note_state("c");
  CHECK((nr.state_entries() == V{"b", "c"}));

  ContextWindow cap1 = make(2.0f, 0.35f, 256, 0);
  cap1.note_state("x");
  cap1.note_state("y");
  CHECK(cap1.state_entries() == V{"y"});

  ContextWindow r = make();
  r.set_purpose("P");
  r.insert("A", 0, std::nullopt);
  r.insert("B", 0, std::nullopt);
  CHECK(r.render() == "P\nA\nB");
  r.note_state("x\ny");
  CHECK(r.render() == "P\nSTATE:\n- x\ny\nA\nB");
  r.set_purpose(std::string());
  CHECK(r.render().rfind("\nSTATE:", 0) == 0);
  r.set_purpose(std::nullopt);
  CHECK(r.render() == "STATE:\n- x\ny\nA\nB");
  ContextWindow only = make();
  only.note_state("x");
  CHECK(only.render() == "STATE:\n- x\n");
  only.set_purpose("P");
  CHECK(only.render() == "P\nSTATE:\n- x\n");
  // Purpose and ledger never count as tokens.
  CHECK(only.inserted_tokens() == 0 && only.active_tokens() == 0);
}

// Every text hashes alike: the ledger must still tell texts apart.
static uint64_t colliding_hash(std::string_view) noexcept { return 42; }

static void test_ledger_hash_collisions() {
  ContextWindow w(2.0f, 0.35f, 16, 3, colliding_hash);
  CHECK(w.note_state("a") && w.note_state("b"));
  CHECK(!w.note_state("a") && !w.note_state("b"));  // the same texts are still repeats
  CHECK(w.state_entries() == V({"a", "b"}));
  // A digest that collides with a noted fact is absorbed all the same.
  w.insert("c  d", USER, 0.2f);
  CHECK(w.dehydrate(0.5f, true) == 1);
  CHECK(w.state_entries() == V({"a", "b", "c d"}));
  // Roll-off still drops the oldest, and a rolled-off text may come back.
  CHECK(w.note_state("e") && w.state_entries() == V({"b", "c d", "e"}));
  CHECK(w.note_state("a") && w.state_entries() == V({"c d", "e", "a"}));
  // The real hash: the same observable behaviour.
  ContextWindow plain = make(2.0f, 0.35f, 16, 3);
  CHECK(plain.note_state("a") && plain.note_state("b") && !plain.note_state("a"));
  CHECK(plain.state_entries() == V({"a", "b"}));
}

// A caller's pieces, kept in step with the window by a RenderDiff.
struct KeptPieces {
  RenderDiff diff;
  V pieces;
  size_t inserted = 0, erased = 0;  // by the last update

  void update(const ContextWindow& w) {
    inserted = erased = 0;
    diff.update(
        w,
        [&](size_t pos, size_t count) {
          pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(pos),
                       pieces.begin() + static_cast<std::ptrdiff_t>(pos + count));
          erased += count;
        },
        [&](size_t pos, PieceKey, std::string_view text) {
          pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(pos), std::string(text));
          ++inserted;
        });
  }
  std::string joined() const {
    std::string out;
    for (const std::string& p : pieces) out += p;
    return out;
  }
};

static void test_render_diff_edits_only_what_changed() {
  ContextWindow w = make(2.0f, 0.35f, 256, 2);
  KeptPieces k;
  k.update(w);
  CHECK(k.pieces.empty() && k.inserted == 0 && k.erased == 0);
  w.set_purpose("P");
  w.insert("A", USER, 0.3f);   // purged by the next cycle
  w.insert("B", FACT, std::nullopt);
  k.update(w);
  CHECK((k.pieces == V{"P\n", "A", "\n", "B"}) && k.inserted == 4);
  k.update(w);  // nothing changed: nothing to do
  CHECK(k.inserted == 0 && k.erased == 0 && k.diff.size() == 4);
  // The first block goes, and with it the separator before the new first
  // one; its digest opens the ledger.
  CHECK(w.dehydrate(0.5f, true) == 1);
  k.update(w);
  CHECK((k.pieces == V{"P\n", "STATE:\n", "- A\n", "B"}) && k.inserted == 2 && k.erased == 2);
  w.insert("C", FACT, std::nullopt);
  w.note_state("x");
  w.note_state("y");  // "A" rolls off
  k.update(w);
  CHECK((k.pieces == V{"P\n", "STATE:\n", "- x\n", "- y\n", "B", "\n", "C"}));
  CHECK(k.inserted == 4 && k.erased == 1);
  // The same purpose set again is a new piece; no purpose drops it.
  w.set_purpose("P");
  k.update(w);
  CHECK(k.inserted == 1 && k.erased == 1 && k.joined() == w.render());
  w.set_purpose(std::nullopt);
  k.update(w);
  CHECK(k.inserted == 0 && k.erased == 1 && k.joined() == "STATE:\n- x\n- y\nB\nC");
}

static void test_render_diff_follows_random_sessions() {
  bool all_equal = true;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    ContextWindow w = make(1.5f, 0.35f, 8, 1 + seed % 4);
    KeptPieces k;
    const uint32_t flags[] = {0, USER, ASSISTANT, FACT, TOOL, THINKING, USER | TOOL};
    for (int step = 0; step < 300; ++step) {
      const unsigned op = rng() % 10;
      const std::string text = "t" + std::to_string(rng() % 12) + (rng() % 3 ? " w\xC3\xA9" : "");
      if (op < 5) {
        w.insert(text, flags[rng() % 7], std::nullopt);
      } else if (op < 7) {
        w.dehydrate(0.5f, rng() % 2 == 0);
      } else if (op < 8) {
        w.note_state(text);
      } else if (op < 9) {
        w.set_purpose(rng() % 4 ? std::optional<std::string>(text) : std::nullopt);
      }
      if (rng() % 3 != 0) {
        k.update(w);
        all_equal = all_equal && k.joined() == w.render() && k.diff.size() == k.pieces.size();
      }
    }
  }
  CHECK(all_equal);
}

// A failed update leaves the caller's pieces unknown: after reset() the next
// update rebuilds them whole.
static void test_render_diff_reset_after_failure() {
  ContextWindow w = make();
  w.set_purpose("P");
  w.insert("A", FACT, std::nullopt);
  KeptPieces k;
  k.update(w);
  w.insert("B", FACT, std::nullopt);
  bool thrown = false;
  try {
    k.diff.update(w, [](size_t, size_t) {}, [](size_t, PieceKey, std::string_view) { throw std::bad_alloc(); });
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  CHECK(thrown);
  k.diff.reset();
  k.pieces.clear();
  k.update(w);
  CHECK(k.joined() == "P\nA\nB" && k.inserted == 4);
}

int main() {
  test_ledger_hash_collisions();
  test_construction();
  test_insert_oxygen();
  test_cycle_survival();
  test_absorb();
  test_digest();
  test_ledger_and_render();
  test_render_diff_edits_only_what_changed();
  test_render_diff_follows_random_sessions();
  test_render_diff_reset_after_failure();
  return zelmo_test::check_summary();
}
