// Concurrency stress of the hormonal bus core, meant to run under
// ThreadSanitizer: producers and consumers hammer a small ring through many
// laps, and concurrent deposits and ticks must leave exact totals.
#include "check.h"
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "core/hormonal_bus.h"

using zelmo::Bus;
using zelmo::ChannelBank;
using zelmo::EventRing;
using zelmo::SignalEvent;



// Events carry (producer << 24 | sequence) in flags and the sequence's low
// byte in the intensity, so a torn or duplicated slot shows up as a mismatch.
constexpr uint32_t kProducerShift = 24;
constexpr uint32_t kSequenceMask = (1u << kProducerShift) - 1;

static float tag(uint32_t seq) { return static_cast<float>(seq & 0xFFu); }

struct Received {
  std::vector<SignalEvent> events;
};

// Every event delivered at most once, nothing invented, each producer's events
// in its own order within every consumer; returns the number delivered.
static size_t verify(const std::vector<Received>& consumers, unsigned producers, uint32_t per_producer,
                     bool all_expected) {
  std::vector<std::vector<unsigned char>> seen(producers, std::vector<unsigned char>(per_producer, 0));
  bool ok = true;
  size_t delivered = 0;
  for (const auto& c : consumers) {
    std::vector<int64_t> last(producers, -1);
    for (const auto& e : c.events) {
      const uint32_t p = e.flags >> kProducerShift;
      const uint32_t seq = e.flags & kSequenceMask;
      if (p >= producers || seq >= per_producer || e.intensity != tag(seq)) {
        ok = false;
        continue;
      }
      ok = ok && seen[p][seq] == 0 && static_cast<int64_t>(seq) > last[p];
      seen[p][seq] = 1;
      last[p] = seq;
      ++delivered;
    }
  }
  CHECK(ok);
  if (all_expected) CHECK(delivered == size_t{producers} * per_producer);
  return delivered;
}

// Takes what one consumer turn takes: a single pop, or (with `batches`, on
// two turns of three) a batch peeked and then taken, dropped and read again
// when another consumer took any of it first. Returns how many it took.
static size_t consume(EventRing& ring, bool batches, unsigned turn, std::vector<SignalEvent>& out) {
  SignalEvent batch[5];
  if (!batches || turn % 3 == 0) {
    if (!ring.try_pop(batch[0])) return 0;
    out.push_back(batch[0]);
    return 1;
  }
  const EventRing::Peeked peeked = ring.peek(batch, 1 + turn % 5);
  if (!ring.take(peeked)) return 0;
  out.insert(out.end(), batch, batch + peeked.count);
  return peeked.count;
}

// Producers push their numbered events; consumers take until all arrived.
// Every event must be delivered exactly once and in producer order.
static void ring_hammer(uint64_t capacity, unsigned producers, unsigned consumers, uint32_t per_producer,
                        bool batches = false) {
  EventRing ring(capacity);
  const size_t total = size_t{producers} * per_producer;
  std::atomic<size_t> popped{0};
  std::vector<Received> got(consumers);
  std::vector<std::thread> threads;
  for (unsigned p = 0; p < producers; ++p) {
    threads.emplace_back([&ring, p, per_producer] {
      for (uint32_t seq = 0; seq < per_producer; ++seq) {
        while (!ring.try_push({p << kProducerShift | seq, tag(seq)})) std::this_thread::yield();
      }
    });
  }
  for (unsigned c = 0; c < consumers; ++c) {
    threads.emplace_back([&ring, &popped, &got, c, total, batches] {
      for (unsigned turn = c; popped.load(std::memory_order_relaxed) < total; ++turn) {
        const size_t n = consume(ring, batches, turn, got[c].events);
        if (n) {
          popped.fetch_add(n, std::memory_order_relaxed);
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  verify(got, producers, per_producer, true);
  SignalEvent e{};
  CHECK(!ring.try_pop(e) && ring.size_hint() == 0);
}

// Deposits through the bus while consumers drain: channels and counter see
// every deposit, events may be dropped when full but never duplicated.
static void bus_deposit_and_drain() {
  constexpr unsigned kProducers = 3;
  constexpr uint32_t kPerProducer = 6000;
  Bus bus(4, 16);
  std::atomic<unsigned> running{kProducers};
  std::vector<Received> got(2);
  std::vector<std::thread> threads;
  for (unsigned p = 0; p < kProducers; ++p) {
    threads.emplace_back([&bus, &running, p] {
      for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
        bus.deposit(p << kProducerShift | seq, tag(seq));
        if (seq % 64 == 0) std::this_thread::yield();
      }
      running.fetch_sub(1, std::memory_order_release);
    });
  }
  for (unsigned c = 0; c < 2; ++c) {
    threads.emplace_back([&bus, &running, &got, c] {
      while (running.load(std::memory_order_acquire) != 0) {
        bus.drain(7, got[c].events);
        std::this_thread::yield();
      }
      bus.drain(UINT64_MAX, got[c].events);
    });
  }
  for (auto& t : threads) t.join();
  const size_t delivered = verify(got, kProducers, kPerProducer, false);
  CHECK(delivered > 0 && delivered <= size_t{kProducers} * kPerProducer);
  CHECK(bus.bank().secretions() == uint64_t{kProducers} * kPerProducer);
  // The producer bits lie outside the 4-channel mask, so channel i receives
  // tag(seq) from every deposit whose sequence has bit i set.
  float expect[4] = {0, 0, 0, 0};
  for (unsigned p = 0; p < kProducers; ++p) {
    for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
      for (unsigned i = 0; i < 4; ++i) {
        if (seq >> i & 1u) expect[i] += tag(seq);
      }
    }
  }
  // These sums stay below 2^24, so every float addition is exact and the
  // order of concurrent additions cannot matter.
  bool exact = true;
  for (unsigned i = 0; i < 4; ++i) exact = exact && bus.bank().concentration(i) == expect[i];
  CHECK(exact);
}

// Concurrent deposits with concurrent ticks by 1.0 and deposits of +0.0
// (which change nothing) must give exact totals; concurrent ticks by 2.0 alone must compose exactly.
static void bank_deposits_and_ticks() {
  constexpr unsigned kDepositors = 3;
  constexpr unsigned kPerDepositor = 20000;
  ChannelBank bank(32);
  std::vector<std::thread> threads;
  for (unsigned d = 0; d < kDepositors; ++d) {
    threads.emplace_back([&bank] {
      for (unsigned k = 0; k < kPerDepositor; ++k) bank.deposit(0x80000005u, 1.0f);
    });
  }
  threads.emplace_back([&bank] {
    for (int k = 0; k < 5000; ++k) {
      bank.tick(1.0f);
      (void)bank.sense(0xFFFFFFFFu);
    }
  });
  // Deposits of +0.0 leave the positive channels as they are (no write):
  // they must not undo a racing deposit either.
  threads.emplace_back([&bank] {
    for (int k = 0; k < 5000; ++k) bank.deposit(0x80000005u, 0.0f);
  });
  for (auto& t : threads) t.join();
  const float want = static_cast<float>(kDepositors * kPerDepositor);
  CHECK(bank.concentration(0) == want && bank.concentration(2) == want && bank.concentration(31) == want);
  CHECK(bank.concentration(1) == 0.0f && bank.total() == 3 * want);
  CHECK(bank.secretions() == uint64_t{kDepositors} * kPerDepositor + 5000);

  ChannelBank scaled(8);
  scaled.deposit(0xFF, 1.0f);
  threads.clear();
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&scaled] {
      for (int k = 0; k < 50; ++k) scaled.tick(2.0f);
    });
  }
  for (auto& t : threads) t.join();
  bool exact = true;
  for (unsigned i = 0; i < 8; ++i) exact = exact && scaled.concentration(i) == 0x1p100f;
  CHECK(exact);
}

// Channels share 64-bit words two by two, so one channel's update must never
// write back a stale value of its neighbour. Deposits on either half and on
// both halves of the same word from several threads must give exact totals.
// Ticks racing with deposits on the other half must each scale every channel
// exactly once: the deposit channel only ever holds -2..2 times the smallest
// subnormal (each thread adds it and takes it away again), values 0.9999
// leaves as they are, so it must end at zero; the witness channel sees only
// the ticks and must end at the value the same ticks give one after another.
// The last channel of a bank of odd size (a word with a channel out of use)
// takes the same deposits.
static void bank_shared_words() {
  constexpr unsigned kPerThread = 20000;
  ChannelBank halves(2);
  std::vector<std::thread> threads;
  for (uint32_t flags : {0b01u, 0b10u, 0b11u, 0b01u, 0b10u}) {
    threads.emplace_back([&halves, flags] {
      for (unsigned k = 0; k < kPerThread; ++k) halves.deposit(flags, 1.0f);
    });
  }
  threads.emplace_back([&halves] {
    for (int k = 0; k < 5000; ++k) halves.tick(1.0f);  // reads, never writes
  });
  for (auto& t : threads) t.join();
  CHECK(halves.concentration(0) == 3.0f * kPerThread && halves.concentration(1) == 3.0f * kPerThread);

  constexpr unsigned kTicks = 50000;  // 0.9999^50000 is still a normal float
  const float tiny = std::numeric_limits<float>::denorm_min();
  float witness_want = 1.0f;
  for (unsigned k = 0; k < kTicks; ++k) witness_want = 0.9999f * witness_want;
  for (unsigned witness : {0u, 1u}) {
    const uint32_t flags = (1u << (1 - witness)) | 0b100u;
    ChannelBank bank(3);
    bank.deposit(1u << witness, 1.0f);
    std::atomic<int> waiting{3};  // all three start together, so they overlap
    auto start = [&waiting] {
      waiting.fetch_sub(1);
      while (waiting.load() != 0) std::this_thread::yield();
    };
    threads.clear();
    for (int d = 0; d < 2; ++d) {
      threads.emplace_back([&bank, &start, flags, tiny] {
        start();
        for (unsigned k = 0; k < 2 * kPerThread; ++k) {
          bank.deposit(flags, tiny);
          bank.deposit(flags, -tiny);
        }
      });
    }
    threads.emplace_back([&bank, &start] {
      start();
      for (unsigned k = 0; k < kTicks; ++k) bank.tick(0.9999f);
    });
    for (auto& t : threads) t.join();
    CHECK(bank.concentration(witness) == witness_want);
    CHECK(bank.concentration(1 - witness) == 0.0f && bank.concentration(2) == 0.0f);
  }
}

// ZELMO_STRESS_ITERS=N repeats the whole stress N times (`make tsan`).
static int stress_rounds() {
  const char* env = std::getenv("ZELMO_STRESS_ITERS");
  const int n = env ? std::atoi(env) : 1;
  return n > 0 ? n : 1;
}

int main() {
  for (int round = stress_rounds(); round > 0; --round) {
    ring_hammer(4, 3, 2, 60000);  // small ring, thousands of laps
    ring_hammer(1, 2, 2, 20000);  // a single slot: full and empty alternate
    ring_hammer(7, 1, 1, 60000);  // capacity not a power of two
    ring_hammer(4, 3, 3, 40000, true);  // batches after a peek, mixed with single pops
    ring_hammer(1, 2, 2, 20000, true);
    bus_deposit_and_drain();
    bank_deposits_and_ticks();
    bank_shared_words();
  }
  return zelmo_test::check_summary();
}
