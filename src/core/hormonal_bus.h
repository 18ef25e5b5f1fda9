// Hormonal bus core: a bank of single-precision channels updated by
// compare-exchange loops, and a bounded lock-free ring recording every
// deposit as an event. No interpreter types here; the binding layer wraps
// a `Bus` and releases the interpreter lock around its hot operations.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelmo {

// One recorded deposit: the flags exactly as given (not masked) and the
// single-precision intensity that was added to the channels.
struct SignalEvent {
  uint32_t flags;
  float intensity;
};

// Retry pacing for the ring: spins with growing pauses, then yields the
// processor. It never sleeps and never blocks on a lock.
class Backoff {
 public:
  // A lost race on a position: retry almost at once.
  void spin() noexcept;
  // Another thread is midway through an operation on our slot: spin a while,
  // then give the processor away so it can finish.
  void snooze() noexcept;

 private:
  unsigned step_ = 0;
};

// Bounded multi-producer multi-consumer FIFO of SignalEvent with exactly
// `capacity` slots, holding exactly `capacity` events when full.
//
// Positions. `head_` (next pop) and `tail_` (next push) pack a lap count above
// a slot index: pos = lap * lap_ + index, where lap_ is the smallest power of
// two above the capacity, so `index + 1` never reaches the lap bits. Stepping
// past the last index moves to index 0 of the next lap. Positions and stamps
// wrap modulo 2^64 and are only ever compared for equality.
//
// Invariants, for slot i and a lap L (P = L * lap_ + i):
//   stamp == P      the slot is free for the push that claims tail position P;
//   stamp == P + 1  it holds the event pushed at P, ready for the pop at P;
//   a thread that won the claim on P and has not yet re-stamped the slot owns
//   it alone; and the tail is never more than one lap ahead of the head.
// Full:  the tail slot still carries last lap's event (stamp + lap_ == tail
//        + 1) and head + lap_ == tail.
// Empty: the head slot is free (stamp == head) and tail == head.
//
// Storage. One allocation at construction, zero-filled, never resized; each
// slot stores its stamp minus its index, so zero bytes are exactly the initial
// state (stamp == index, lap 0) and no slot has to be written up front. The
// pages of a large ring are committed only as events reach them.
class EventRing {
 public:
  // Throws Fault("capacity overflow") when capacity * slot size exceeds the
  // largest object size (PTRDIFF_MAX), and std::bad_alloc when the ring
  // exceeds the machine's physical memory or the allocation fails. Capacity 0
  // is not mapped here; it is treated as 1.
  explicit EventRing(uint64_t capacity);
  ~EventRing();
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  // Appends unless `capacity` events are held; never waits for space.
  bool try_push(SignalEvent event) noexcept;
  // Removes the oldest event into `out` unless the ring is empty.
  bool try_pop(SignalEvent& out) noexcept;

  // Removal in two steps, for a consumer that must be able to give up
  // without losing anything: peek copies up to `max` of the oldest events
  // into `out` and leaves them in the ring; take then removes exactly those
  // events, unless another consumer removed any of them first (then it
  // removes nothing and returns false, and the copies are stale).
  struct Peeked {
    uint64_t head;   // position of the first event copied
    uint64_t next;   // position after the last one
    size_t count;
  };
  Peeked peek(SignalEvent* out, size_t max) noexcept;
  bool take(const Peeked& peeked) noexcept;

  // Events held at about this moment (exact when nothing runs concurrently),
  // at most capacity().
  uint64_t size_hint() const noexcept;

  uint64_t capacity() const noexcept { return capacity_; }

  // Bytes a ring of this capacity allocates, or 0 when that is not
  // representable (exposed for tests and for callers that size memory).
  static uint64_t bytes_for(uint64_t capacity) noexcept;

 private:
  struct Slot {
    uint64_t stamp_rel;  // stamp - index; accessed only through atomic_ref
    // The event as one word (flags low, intensity bits high), handed over by
    // the stamp. Accessed only through atomic_ref, relaxed: a peek may read
    // it while a later lap's push writes it, and then discards what it read.
    uint64_t event;
  };
  static_assert(alignof(Slot) >= std::atomic_ref<uint64_t>::required_alignment);

  static uint64_t pack(SignalEvent e) noexcept {
    return uint64_t{e.flags} | (uint64_t{std::bit_cast<uint32_t>(e.intensity)} << 32);
  }
  static SignalEvent unpack(uint64_t w) noexcept {
    return SignalEvent{static_cast<uint32_t>(w), std::bit_cast<float>(static_cast<uint32_t>(w >> 32))};
  }
  static void store_event(Slot& slot, SignalEvent e) noexcept {
    std::atomic_ref<uint64_t>(slot.event).store(pack(e), std::memory_order_relaxed);
  }
  static SignalEvent load_event(Slot& slot) noexcept {
    return unpack(std::atomic_ref<uint64_t>(slot.event).load(std::memory_order_relaxed));
  }

  // acquire: pairs with the release in store_stamp, so the previous owner's
  // access to `event` happens-before ours.
  static uint64_t load_stamp(Slot& slot, uint64_t index) noexcept {
    return std::atomic_ref<uint64_t>(slot.stamp_rel).load(std::memory_order_acquire) + index;
  }
  // release: hands the slot, with everything we did to `event`, to the next owner.
  static void store_stamp(Slot& slot, uint64_t index, uint64_t stamp) noexcept {
    std::atomic_ref<uint64_t>(slot.stamp_rel).store(stamp - index, std::memory_order_release);
  }
  // The position after `pos`: the next index, or index 0 of the next lap.
  uint64_t advance(uint64_t pos, uint64_t index) const noexcept {
    return index + 1 < capacity_ ? pos + 1 : (pos & ~(lap_ - 1)) + lap_;
  }

  Slot* slots_;
  uint64_t capacity_;
  uint64_t lap_;
  alignas(64) std::atomic<uint64_t> head_{0};
  alignas(64) std::atomic<uint64_t> tail_{0};  // the class alignment pads it to its own line
};

inline bool EventRing::try_push(SignalEvent event) noexcept {
  Backoff backoff;
  // relaxed: only a guess at the tail; the exchange below validates it.
  uint64_t tail = tail_.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t index = tail & (lap_ - 1);
    Slot& slot = slots_[index];
    const uint64_t stamp = load_stamp(slot, index);
    if (stamp == tail) {
      // relaxed: the claim transfers no data; the slot's stamp does that.
      if (tail_.compare_exchange_weak(tail, advance(tail, index), std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
        store_event(slot, event);
        store_stamp(slot, index, tail + 1);
        return true;
      }
      backoff.spin();
    } else if (stamp + lap_ == tail + 1) {
      // The slot still holds last lap's event. relaxed: a pop ordered before
      // this call is visible by coherence; a racing one may go either way.
      if (head_.load(std::memory_order_relaxed) + lap_ == tail) return false;
      backoff.snooze();  // a pop has claimed the slot and is still reading it
      tail = tail_.load(std::memory_order_relaxed);
    } else {
      backoff.spin();  // our tail is stale, or a push is midway: look again
      tail = tail_.load(std::memory_order_relaxed);
    }
  }
}

inline bool EventRing::try_pop(SignalEvent& out) noexcept {
  Backoff backoff;
  // relaxed: only a guess at the head; the exchange below validates it.
  uint64_t head = head_.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t index = head & (lap_ - 1);
    Slot& slot = slots_[index];
    const uint64_t stamp = load_stamp(slot, index);
    if (stamp == head + 1) {
      // relaxed: the claim transfers no data; the slot's stamp does that.
      if (head_.compare_exchange_weak(head, advance(head, index), std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
        out = load_event(slot);
        store_stamp(slot, index, head + lap_);
        return true;
      }
      backoff.spin();
    } else if (stamp == head) {
      // Nothing published here yet. relaxed: a push ordered before this call
      // is visible by coherence; a racing one may go either way.
      if (tail_.load(std::memory_order_relaxed) == head) return false;
      backoff.snooze();  // a push has claimed the slot and is still writing it
      head = head_.load(std::memory_order_relaxed);
    } else {
      backoff.spin();  // our head is stale: look again
      head = head_.load(std::memory_order_relaxed);
    }
  }
}

inline constexpr unsigned kMaxChannels = 32;

// Channel concentrations as single-precision bit patterns, two channels to an
// atomic 64-bit word, plus the deposit counter.
//
// Layout: channel i is bits [32 * (i % 2), 32 * (i % 2) + 32) of words_[i / 2].
// Channels at or beyond size() are +0.0 (zero bits) for good: deposits mask
// them out and ticks leave them as they are, so a word holding one of them
// never changes on its account.
//
// Every change of a word is a compare-exchange loop over both of its
// channels, so concurrent deposits and ticks never lose an update and each
// operation changes each channel it selects exactly once; reads are single
// relaxed loads and a multi-channel read is not a consistent cut.
class ChannelBank {
 public:
  // `channels` must be 1..32 (the bus maps requests into that range).
  explicit ChannelBank(unsigned channels) noexcept;

  unsigned size() const noexcept { return size_; }
  uint32_t mask() const noexcept { return mask_; }

  // Adds `intensity` to every channel selected by `flags` (bits outside the
  // mask are ignored), lowest word first, both selected channels of a word
  // in one step, then counts the deposit.
  void deposit(uint32_t flags, float intensity) noexcept {
    const uint32_t bits = flags & mask_;
    for (uint32_t even = (bits | bits >> 1) & kEvenBits; even != 0; even &= even - 1) {
      const unsigned i = static_cast<unsigned>(std::countr_zero(even));
      update(words_[i / 2], (bits >> i) & 3u, [intensity](float value) { return intensity + value; });
    }
    // relaxed: a plain count; it orders nothing and is read once callers join.
    secretions_.fetch_add(1, std::memory_order_relaxed);
  }

  // Single-precision sum of the channels selected by `mask`, from +0.0.
  float sense(uint32_t mask) const noexcept;
  // Channel `index`, or 0.0 for an index at or beyond size().
  float concentration(uint64_t index) const noexcept;
  // Multiplies every channel by `decay`, lowest word first. Words whose
  // channels the product leaves bit for bit as they are (zeros, values at
  // their rounding fixed point) are only read, never written.
  void tick(float decay) noexcept;
  // The first size() entries are the channels in order; the rest are 0.
  std::array<float, kMaxChannels> snapshot() const noexcept;
  // Sum of all channels in order, from -0.0 (so all -0.0 channels give -0.0).
  float total() const noexcept;
  uint64_t secretions() const noexcept { return secretions_.load(std::memory_order_relaxed); }

 private:
  static constexpr unsigned kWords = kMaxChannels / 2;
  static constexpr uint32_t kEvenBits = 0x55555555u;

  unsigned words_in_use() const noexcept { return (size_ + 1) / 2; }

  static uint32_t low(uint64_t word) noexcept { return static_cast<uint32_t>(word); }
  static uint32_t high(uint64_t word) noexcept { return static_cast<uint32_t>(word >> 32); }
  static uint64_t join(uint32_t lo, uint32_t hi) noexcept { return uint64_t{lo} | (uint64_t{hi} << 32); }

  // The word with op applied to the channels `lanes` selects (bit 0: the
  // low channel, bit 1: the high one); the other channel keeps its bits.
  template <class Op>
  static uint64_t apply(uint64_t word, unsigned lanes, Op op) noexcept {
    uint32_t lo = low(word), hi = high(word);
    if (lanes & 1u) lo = std::bit_cast<uint32_t>(op(std::bit_cast<float>(lo)));
    if (lanes & 2u) hi = std::bit_cast<uint32_t>(op(std::bit_cast<float>(hi)));
    return join(lo, hi);
  }

  // Finishes one atomic step of `word` from v to apply(v, lanes, op), given a
  // value `current` read from it and `next` == apply(current, lanes, op).
  // When next has the very bits of current the step changes nothing, so it
  // takes effect at the read that saw current and no write is made.
  template <class Op>
  static void exchange(std::atomic<uint64_t>& word, uint64_t current, uint64_t next, unsigned lanes,
                       Op op) noexcept {
    while (next != current) {
      // acq_rel on success: each update reads the one before it and publishes
      // itself to the next; acquire on failure: the fresh value may end the
      // step unchanged, as the first read may.
      if (word.compare_exchange_weak(current, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return;
      }
      next = apply(current, lanes, op);
    }
  }

  // Replaces the word's value v by apply(v, lanes, op) as one atomic step.
  template <class Op>
  static void update(std::atomic<uint64_t>& word, unsigned lanes, Op op) noexcept {
    // acquire: a step that ends at this read still reads the update before
    // it, as a successful exchange would.
    const uint64_t current = word.load(std::memory_order_acquire);
    exchange(word, current, apply(current, lanes, op), lanes, op);
  }

  // exchange() for a word read as `current`, given `next` == apply(current,
  // 3, op) (both channels computed). Only the last word of a bank of odd size
  // holds a channel out of use (its high one), which must keep its bits: that
  // word alone computes its own next.
  template <class Op>
  static void commit(std::atomic<uint64_t>& word, uint64_t current, uint64_t next, unsigned lanes, Op op) noexcept {
    exchange(word, current, lanes == 3u ? next : apply(current, lanes, op), lanes, op);
  }

  uint64_t load_word(unsigned w) const noexcept {
    // relaxed: a single-word read; no other memory is reached through it.
    return words_[w].load(std::memory_order_relaxed);
  }
  float load(unsigned i) const noexcept {
    const uint64_t word = load_word(i / 2);
    return std::bit_cast<float>(i % 2 == 0 ? low(word) : high(word));
  }

  static_assert(std::atomic<uint64_t>::is_always_lock_free, "channel words must be lock-free");
  std::array<std::atomic<uint64_t>, kWords> words_;
  unsigned size_;
  uint32_t mask_;
  std::atomic<uint64_t> secretions_{0};
};

// The bus core: a channel bank plus the event ring it records deposits in.
// Python: HormonalBus; nothing else in the core is a bus, so the prefix is dropped.
class Bus {
 public:
  // 0 channels -> 1, more than 32 -> 32; capacity 0 -> 1. Throws like
  // EventRing's constructor; nothing is left half-built.
  Bus(uint64_t num_signals, uint64_t event_capacity);

  static unsigned effective_channels(uint64_t num_signals) noexcept {
    return num_signals == 0 ? 1u : num_signals >= kMaxChannels ? kMaxChannels : static_cast<unsigned>(num_signals);
  }
  static uint64_t effective_capacity(uint64_t event_capacity) noexcept {
    return event_capacity == 0 ? 1 : event_capacity;
  }

  // Python: secrete (and inject): deposit names the effect on the channels.
  // Channels, then the counter, then the event; a full ring drops the event
  // silently and the deposit stands.
  void deposit(uint32_t flags, float intensity) noexcept {
    bank_.deposit(flags, intensity);
    (void)ring_.try_push(SignalEvent{flags, intensity});
  }

  // Pops up to `max` events, oldest first, appending to `out` only what it
  // pops (its growth follows the events, never `max`). Returns the count.
  // Python: drain_events.
  uint64_t drain(uint64_t max, std::vector<SignalEvent>& out);

  ChannelBank& bank() noexcept { return bank_; }
  const ChannelBank& bank() const noexcept { return bank_; }
  EventRing& ring() noexcept { return ring_; }

 private:
  ChannelBank bank_;
  EventRing ring_;
};

// "<digits>.<3 digits>" for the exact value of `value` rounded to the nearest
// thousandth, ties to even; a leading '-' whenever the sign bit is set (also
// for -0.0 and values rounding to zero); "NaN", "inf" and "-inf" otherwise.
// Never uses exponent form: the largest float prints all 39 integer digits.
std::string format_fixed3(float value);

// "HormonalSignal(flags=0x<upper-case hex>, intensity=<format_fixed3>)".
std::string signal_repr(uint32_t flags, float intensity);

}  // namespace zelmo
