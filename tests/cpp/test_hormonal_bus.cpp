// Functional tests of the hormonal bus core: ring capacity and order, channel
// arithmetic, draining and the exact decimal formatting of intensities.
#include "check.h"
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/hormonal_bus.h"

using zelmo::Bus;
using zelmo::ChannelBank;
using zelmo::EventRing;
using zelmo::SignalEvent;



static bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

static void test_exact_capacity_and_fifo() {
  for (uint64_t c : {1u, 2u, 3u, 5u, 7u, 8u, 15u, 16u, 100u}) {
    EventRing ring(c);
    CHECK(ring.capacity() == c);
    for (uint32_t i = 0; i < c; ++i) CHECK(ring.try_push({i, static_cast<float>(i)}));
    CHECK(!ring.try_push({999, 0.0f}));  // exactly c, not c - 1, not c + 1
    SignalEvent e{};
    for (uint32_t i = 0; i < c; ++i) {
      CHECK(ring.try_pop(e) && e.flags == i && e.intensity == static_cast<float>(i));
    }
    CHECK(!ring.try_pop(e));
    // Refill after a full drain: again exactly c.
    for (uint32_t i = 0; i < c; ++i) CHECK(ring.try_push({100 + i, 1.0f}));
    CHECK(!ring.try_push({999, 0.0f}));
    for (uint32_t i = 0; i < c; ++i) CHECK(ring.try_pop(e) && e.flags == 100 + i);
    CHECK(!ring.try_pop(e));
  }
  EventRing zero(0);  // a zero request still yields a usable one-slot ring
  CHECK(zero.capacity() == 1);
}

// Random interleavings over many laps, checked against a bounded deque.
static void test_laps_against_model() {
  std::mt19937 rng(12345);
  for (uint64_t c : {1u, 2u, 3u, 4u, 6u, 9u, 31u}) {
    EventRing ring(c);
    std::deque<uint32_t> model;
    uint32_t next = 0;
    bool ok = true;
    for (int step = 0; step < 20000; ++step) {
      SignalEvent e{};
      if (rng() % 2 == 0) {
        const bool pushed = ring.try_push({next, static_cast<float>(next & 0xFFFF)});
        ok = ok && pushed == (model.size() < c);
        if (pushed) model.push_back(next++);
      } else {
        const bool popped = ring.try_pop(e);
        ok = ok && popped == !model.empty();
        if (popped) {
          ok = ok && e.flags == model.front() && e.intensity == static_cast<float>(model.front() & 0xFFFF);
          model.pop_front();
        }
      }
    }
    CHECK(ok);
    CHECK(next > 20 * c);  // the ring went round many laps
  }
}

// Peek copies without removing; take removes exactly what was peeked, and
// only if nobody removed any of it first.
static void test_peek_and_take() {
  EventRing ring(5);
  SignalEvent out[8];
  CHECK(ring.size_hint() == 0 && ring.peek(out, 8).count == 0);
  for (uint32_t lap = 0; lap < 4; ++lap) {  // across laps, with the head mid-ring
    for (uint32_t i = 0; i < 4; ++i) CHECK(ring.try_push({lap * 10 + i, 0.5f * static_cast<float>(i)}));
    CHECK(ring.size_hint() == 4);
    EventRing::Peeked p = ring.peek(out, 3);
    CHECK(p.count == 3 && out[0].flags == lap * 10 && out[2].flags == lap * 10 + 2 && out[2].intensity == 1.0f);
    CHECK(ring.size_hint() == 4);  // nothing removed yet
    CHECK(ring.take(p) && ring.size_hint() == 1);
    CHECK(ring.take(p) == false);  // already taken: a stale peek removes nothing
    // A pop between peek and take makes the take fail and keep the rest.
    CHECK(ring.try_push({99, 9.0f}) && ring.try_push({98, 8.0f}));
    p = ring.peek(out, 8);
    CHECK(p.count == 3 && out[0].flags == lap * 10 + 3 && out[1].flags == 99);
    SignalEvent e{};
    CHECK(ring.try_pop(e) && e.flags == lap * 10 + 3);
    CHECK(!ring.take(p) && ring.size_hint() == 2);
    CHECK(ring.try_pop(e) && e.flags == 99 && ring.try_pop(e) && e.flags == 98 && ring.size_hint() == 0);
  }
  // A full ring reports its capacity.
  for (uint32_t i = 0; i < 5; ++i) CHECK(ring.try_push({i, 1.0f}));
  CHECK(ring.size_hint() == 5 && ring.peek(out, 8).count == 5);
}

static void test_capacity_limits() {
  const uint64_t max_slots = static_cast<uint64_t>(PTRDIFF_MAX) / 16;
  CHECK(EventRing::bytes_for(1) == 16 && EventRing::bytes_for(0) == 16);
  CHECK(EventRing::bytes_for(max_slots) == max_slots * 16);
  CHECK(EventRing::bytes_for(max_slots + 1) == 0);
  for (uint64_t c : {max_slots + 1, uint64_t{1} << 62, std::numeric_limits<uint64_t>::max()}) {
    bool fault = false;
    try {
      EventRing ring(c);
    } catch (const zelmo::Fault& f) {
      fault = std::string(f.what()) == "capacity overflow";
    }
    CHECK(fault);
  }
  // Representable, but far beyond any machine's memory: bad_alloc, no abort.
  for (uint64_t c : {max_slots, uint64_t{1} << 40}) {
    bool bad_alloc = false;
    try {
      EventRing ring(c);
    } catch (const std::bad_alloc&) {
      bad_alloc = true;
    }
    CHECK(bad_alloc);
  }
  bool fault = false;
  try {
    Bus bus(32, std::numeric_limits<uint64_t>::max());
  } catch (const zelmo::Fault&) {
    fault = true;
  }
  CHECK(fault);
  // A large ring costs nothing until used; its far end works.
  EventRing big(uint64_t{1} << 22);
  SignalEvent e{};
  CHECK(big.try_push({7, 0.5f}) && big.try_pop(e) && e.flags == 7 && e.intensity == 0.5f);
}

static void test_channel_mapping_and_masks() {
  CHECK(Bus::effective_channels(0) == 1 && Bus::effective_channels(1) == 1);
  CHECK(Bus::effective_channels(31) == 31 && Bus::effective_channels(32) == 32);
  CHECK(Bus::effective_channels(100) == 32 && Bus::effective_channels(UINT64_MAX) == 32);
  CHECK(Bus::effective_capacity(0) == 1 && Bus::effective_capacity(4096) == 4096);
  CHECK(ChannelBank(1).mask() == 1u && ChannelBank(4).mask() == 0xFu);
  CHECK(ChannelBank(31).mask() == 0x7FFFFFFFu && ChannelBank(32).mask() == 0xFFFFFFFFu);

  Bus bus(4, 8);
  bus.deposit(0b110011, 2.0f);
  auto snap = bus.bank().snapshot();
  CHECK(snap[0] == 2.0f && snap[1] == 2.0f && snap[2] == 0.0f && snap[3] == 0.0f);
  CHECK(snap[4] == 0.0f && snap[5] == 0.0f);  // beyond the bank: untouched
  CHECK(bus.bank().secretions() == 1);
  bus.deposit(0, 5.0f);        // selects nothing, still counted and recorded
  bus.deposit(65280, 1.0f);    // only bits above the mask
  CHECK(bus.bank().secretions() == 3);
  CHECK(bus.bank().total() == 4.0f);
  std::vector<SignalEvent> out;
  CHECK(bus.drain(10, out) == 3);
  CHECK(out.size() == 3 && out[0].flags == 51 && out[0].intensity == 2.0f);
  CHECK(out[1].flags == 0 && out[1].intensity == 5.0f && out[2].flags == 65280);

  CHECK(bus.bank().sense(0) == 0.0f && !std::signbit(bus.bank().sense(0)));
  CHECK(bus.bank().sense(0xFFFFFFFFu) == 4.0f && bus.bank().sense(0b10) == 2.0f);
  CHECK(bus.bank().concentration(1) == 2.0f);
  CHECK(bus.bank().concentration(4) == 0.0f && bus.bank().concentration(31) == 0.0f);
  CHECK(bus.bank().concentration(UINT64_MAX) == 0.0f);
}

static void test_float_arithmetic() {
  ChannelBank bank(8);
  bank.deposit(1, 0.1f);
  bank.deposit(1, 0.1f);
  CHECK(same_bits(bank.concentration(0), 0.1f + 0.1f));
  CHECK(static_cast<double>(bank.concentration(0)) == 0.20000000298023224);

  // Single-precision order of summation: 2^24 + 1 + 1 differs from 2^24 + 2.
  ChannelBank order(3);
  order.deposit(1, 16777216.0f);
  order.deposit(2, 1.0f);
  order.deposit(4, 1.0f);
  CHECK(order.sense(7) == 16777216.0f);        // (2^24 + 1) + 1, each step rounds down
  CHECK(order.sense(6) == 2.0f);

  // total() starts from -0.0: all -0.0 channels stay -0.0, all +0.0 give +0.0.
  ChannelBank zeros(2);
  CHECK(zeros.total() == 0.0f && !std::signbit(zeros.total()));
  zeros.deposit(3, -1.0f);
  zeros.tick(0.0f);  // negative channels times zero become -0.0
  CHECK(std::signbit(zeros.concentration(0)) && std::signbit(zeros.concentration(1)));
  CHECK(std::signbit(zeros.total()));

  ChannelBank t(4);
  t.deposit(0b0011, 3.0f);
  t.deposit(1, std::numeric_limits<float>::infinity());
  t.tick(0.0f);  // infinity times zero
  CHECK(std::isnan(t.concentration(0)) && t.concentration(1) == 0.0f);
  t.tick(std::numeric_limits<float>::quiet_NaN());
  bool all_nan = true;
  for (unsigned i = 0; i < 4; ++i) all_nan = all_nan && std::isnan(t.concentration(i));
  CHECK(all_nan && std::isnan(t.total()));

  ChannelBank big(1);
  big.deposit(1, FLT_MAX);
  big.deposit(1, FLT_MAX);
  CHECK(std::isinf(big.concentration(0)));
}

// An update whose result equals the old value as a number but not in its
// bits must still be written: changes are told apart by bits, not by ==.
static void test_updates_that_only_change_bits() {
  ChannelBank signs(3);
  signs.tick(-1.0f);  // +0.0 * -1 == -0.0 (equal as numbers)
  CHECK(std::signbit(signs.concentration(0)) && std::signbit(signs.concentration(2)));
  signs.deposit(1, 0.0f);  // -0.0 + +0.0 == +0.0
  CHECK(!std::signbit(signs.concentration(0)) && std::signbit(signs.concentration(1)));
  signs.deposit(2, -0.0f);  // -0.0 + -0.0 stays -0.0
  CHECK(std::signbit(signs.concentration(1)));

  // Values the operation leaves as they are stay exactly so: a subnormal at
  // its rounding fixed point, NaN times one, a number plus a far smaller one.
  ChannelBank fixed(3);
  const float tiny = std::numeric_limits<float>::denorm_min();
  fixed.deposit(1, tiny);
  fixed.deposit(2, std::numeric_limits<float>::quiet_NaN());
  fixed.deposit(4, 1.0f);
  fixed.tick(0.999f);
  CHECK(same_bits(fixed.concentration(0), tiny) && std::isnan(fixed.concentration(1)));
  CHECK(same_bits(fixed.concentration(2), 0.999f));
  fixed.deposit(4, 1e-10f);  // below half an ulp of 0.999
  CHECK(same_bits(fixed.concentration(2), 0.999f));
  CHECK(fixed.secretions() == 4);  // a deposit that changes no channel still counts
}

// Sets channel i of a fresh bank to `value` (+0.0 + value is value, except
// that -0.0 becomes +0.0 and a signalling NaN is quieted).
static void set_channels(ChannelBank& bank, const std::vector<float>& values) {
  for (unsigned i = 0; i < values.size(); ++i) bank.deposit(1u << i, values[i]);
}

static float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// tick() must give every channel exactly the single-precision product
// decay * value, whatever path computes it: random bit patterns (normal,
// subnormal, zero, infinite and NaN values and decays) in banks of every
// size, so that every lane of every word and the odd last word are covered.
// Both operands NaN may return either NaN; anything else is compared bit for
// bit. Channels beyond the size stay +0.0, even under negative or NaN decay.
static void test_tick_is_the_single_precision_product() {
  std::mt19937 rng(19);
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 0.999f, 2.0f, 1e-42f, -3e-39f, FLT_MAX,
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min()};
  auto random_float = [&]() {
    const uint32_t bits = static_cast<uint32_t>(rng());
    switch (rng() % 4) {
      case 0: return from_bits(bits & 0x807FFFFFu);                               // zero or subnormal
      case 1: return specials[rng() % (sizeof specials / sizeof specials[0])];
      case 2: return from_bits((bits & 0x807FFFFFu) | ((100u + bits % 50u) << 23));  // moderate
      default: return from_bits(bits);                                             // anything, NaNs too
    }
  };
  int mismatches = 0, unused_touched = 0;
  for (unsigned size : {1u, 2u, 3u, 4u, 5u, 31u, 32u}) {
    for (int round = 0; round < 400; ++round) {
      ChannelBank bank(size);
      std::vector<float> values(size);
      for (float& v : values) v = random_float();
      set_channels(bank, values);
      const float decay = random_float();
      std::vector<float> before(size);
      for (unsigned i = 0; i < size; ++i) before[i] = bank.concentration(i);
      bank.tick(decay);
      const auto snap = bank.snapshot();
      for (unsigned i = 0; i < size; ++i) {
        volatile float d = decay, v = before[i];
        const float want = d * v;
        const float got = bank.concentration(i);
        const bool both_nan = std::isnan(decay) && std::isnan(before[i]);
        const bool ok = both_nan ? std::isnan(got) : same_bits(got, want);
        if (!ok || !same_bits(snap[i], got)) ++mismatches;
      }
      for (unsigned i = size; i < zelmo::kMaxChannels; ++i) {
        if (!same_bits(snap[i], 0.0f)) ++unused_touched;
      }
    }
  }
  CHECK(mismatches == 0);
  CHECK(unused_touched == 0);
}

// Deposits reach exactly the channels they select, in both halves of a word
// and in the last channel of a bank of odd size; reads see them alike.
static void test_odd_banks_and_shared_words() {
  for (unsigned size : {1u, 3u, 31u}) {
    ChannelBank bank(size);
    const unsigned last = size - 1;
    bank.deposit(1u << last, 2.5f);
    bank.deposit(~0u, 1.0f);  // every channel, and bits beyond the mask
    CHECK(bank.concentration(last) == 3.5f && bank.concentration(size) == 0.0f);
    CHECK(bank.sense(1u << last) == 3.5f && bank.sense(~0u) == static_cast<float>(size) + 2.5f);
    CHECK(bank.total() == static_cast<float>(size) + 2.5f);
    const auto snap = bank.snapshot();
    CHECK(snap[last] == 3.5f && (size == 1 || snap[0] == 1.0f) && snap[size] == 0.0f);
    bank.tick(-2.0f);
    CHECK(bank.concentration(last) == -7.0f && same_bits(bank.snapshot()[size], 0.0f));
  }
  // The two channels of one word, alone and together, with values that tell
  // a swapped or merged half apart.
  ChannelBank pair(4);
  pair.deposit(0b01, 1.0f);
  pair.deposit(0b10, 2.0f);
  pair.deposit(0b11, 4.0f);
  pair.deposit(0b1100, 8.0f);
  CHECK(pair.concentration(0) == 5.0f && pair.concentration(1) == 6.0f);
  CHECK(pair.concentration(2) == 8.0f && pair.concentration(3) == 8.0f);
  CHECK(pair.sense(0b0110) == 14.0f && pair.sense(0b1001) == 13.0f);
  pair.tick(0.5f);
  const auto snap = pair.snapshot();
  CHECK(snap[0] == 2.5f && snap[1] == 3.0f && snap[2] == 4.0f && snap[3] == 4.0f);
}

static void test_drain() {
  Bus bus(32, 2);
  for (int i = 0; i < 3; ++i) bus.deposit(1, 1.0f);
  CHECK(bus.bank().secretions() == 3 && bus.bank().concentration(0) == 3.0f);
  std::vector<SignalEvent> out;
  CHECK(bus.drain(0, out) == 0 && out.empty());  // touches nothing
  CHECK(bus.drain(1, out) == 1 && out.size() == 1);
  CHECK(bus.drain(UINT64_MAX, out) == 1 && out.size() == 2);  // appends
  CHECK(bus.drain(UINT64_MAX, out) == 0 && out.size() == 2);

  Bus one(1, 0);  // capacity 0 holds one event
  one.deposit(1, 1.0f);
  one.deposit(2, 2.0f);
  std::vector<SignalEvent> single;
  CHECK(one.drain(10, single) == 1 && single[0].flags == 1);

  // A huge max never sizes the output: it grows with what is popped.
  Bus wide(4, 4096);
  for (uint32_t i = 0; i < 5; ++i) wide.deposit(i, 0.25f);
  std::vector<SignalEvent> few;
  CHECK(wide.drain(uint64_t{1} << 60, few) == 5 && few.capacity() < 64);
  bool in_order = true;
  for (uint32_t i = 0; i < 5; ++i) in_order = in_order && few[i].flags == i;
  CHECK(in_order);

  // After a full buffer is drained, exactly c more events are accepted.
  Bus refill(4, 3);
  for (int i = 0; i < 5; ++i) refill.deposit(1, 1.0f);
  std::vector<SignalEvent> sink;
  CHECK(refill.drain(100, sink) == 3);
  for (int i = 0; i < 5; ++i) refill.deposit(2, 1.0f);
  CHECK(refill.drain(100, sink) == 3 && refill.bank().secretions() == 10);
}

struct FormatCase {
  float value;
  const char* text;
};

static void test_format_fixed3() {
  const FormatCase cases[] = {
      {-0.0f, "-0.000"},
      {0.0625f, "0.062"},  // tie, even digit kept
      {0.1875f, "0.188"},  // tie, rounded up to even
      {1e-45f, "0.000"},
      {FLT_MAX, "340282346638528859811704183484516925440.000"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {-std::numeric_limits<float>::quiet_NaN(), "NaN"},  // no sign on NaN
  };
  for (const auto& c : cases) {
    const std::string got = zelmo::format_fixed3(c.value);
    if (got != c.text) std::fprintf(stderr, "format_fixed3: got %s want %s\n", got.c_str(), c.text);
    CHECK(got == c.text);
  }
  // Cross-check against the C library's exact conversion of the widened value
  // over random bit patterns (every finite float is exact as a double).
  std::mt19937 rng(7);
  int mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    uint32_t bits = static_cast<uint32_t>(rng());
    if (i % 2 == 0) bits = (bits & 0x807FFFFFu) | ((110u + bits % 40u) << 23);  // around 1e-5 .. 1e4
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(f));
    if (zelmo::format_fixed3(f) != buf) ++mismatches;
  }
  CHECK(mismatches == 0);

  CHECK(zelmo::signal_repr(5, 1.0f) == "HormonalSignal(flags=0x5, intensity=1.000)");
  CHECK(zelmo::signal_repr(0xABC0, -0.0f) == "HormonalSignal(flags=0xABC0, intensity=-0.000)");
  CHECK(zelmo::signal_repr(0xFFFFFFFFu, 0.1f) == "HormonalSignal(flags=0xFFFFFFFF, intensity=0.100)");
}

int main() {
  test_exact_capacity_and_fifo();
  test_laps_against_model();
  test_capacity_limits();
  test_channel_mapping_and_masks();
  test_float_arithmetic();
  test_updates_that_only_change_bits();
  test_tick_is_the_single_precision_product();
  test_odd_banks_and_shared_words();
  test_drain();
  test_peek_and_take();
  test_format_fixed3();
  return zelmo_test::check_summary();
}
