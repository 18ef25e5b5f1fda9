// Hormonal bus core: ring construction, channel reads and decay, draining,
// and the exact decimal formatting used by the signal's representation.
#include "hormonal_bus.h"

#include <cstdlib>
#include <new>
#include <thread>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif

#include "fault.h"
#include "x86_simd.h"

namespace zelmo {

namespace {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

constexpr unsigned kSpinLimit = 6;    // at most 2^6 pauses per spin
constexpr unsigned kYieldAfter = 10;  // snoozes beyond this yield every time

// The machine's physical memory, or no limit where the platform can't say.
// A ring larger than this could never be filled, and under memory overcommit
// its allocation might "succeed" only for the process to be killed once the
// pages are touched; such a request is refused with std::bad_alloc instead.
uint64_t physical_memory_limit() noexcept {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0 &&
      static_cast<uint64_t>(pages) <= UINT64_MAX / static_cast<uint64_t>(page_size)) {
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
  }
#endif
  return UINT64_MAX;
}

// Appends the decimal digits of m * 2^shift (m < 2^24, shift <= 104, so the
// value is below 2^128) using 32-bit limbs and division by 10^9.
void append_shifted(std::string& out, uint64_t m, unsigned shift) {
  std::array<uint32_t, 5> limbs{};
  const uint64_t low = m << (shift % 32);  // < 2^56
  limbs[shift / 32] = static_cast<uint32_t>(low);
  limbs[shift / 32 + 1] = static_cast<uint32_t>(low >> 32);

  std::array<uint32_t, 5> chunks{};  // base 10^9, least significant first
  size_t count = 0;
  for (bool nonzero = true; nonzero;) {
    uint64_t rem = 0;
    nonzero = false;
    for (size_t i = limbs.size(); i-- > 0;) {
      const uint64_t cur = (rem << 32) | limbs[i];
      limbs[i] = static_cast<uint32_t>(cur / 1000000000u);
      rem = cur % 1000000000u;
      nonzero = nonzero || limbs[i] != 0;
    }
    chunks[count++] = static_cast<uint32_t>(rem);
  }
  out += std::to_string(chunks[count - 1]);
  for (size_t i = count - 1; i-- > 0;) {
    const std::string digits = std::to_string(chunks[i]);
    out.append(9 - digits.size(), '0');
    out += digits;
  }
}

#if defined(ZELMO_X86_DISPATCH)
// value * decay in each of four single-precision lanes (`factor` holds decay
// in double precision), bit for bit what the single-precision multiply
// gives: the product of two floats is exact in double precision, so
// narrowing it rounds once, as that multiply does, overflow and subnormal
// results included; a NaN operand comes through as that multiply returns it.
// Subnormal operands and products in double precision stay off the slow
// path some processors take for single-precision subnormals, and a bank at
// rest after a gentle decay holds exactly such values.
inline __m128i scale_lanes(__m128i values, __m128d factor) noexcept {
  const __m128 v = _mm_castsi128_ps(values);
  const __m128 low = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(v), factor));
  const __m128 high = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)), factor));
  return _mm_castps_si128(_mm_movelh_ps(low, high));
}
#endif

}  // namespace

void Backoff::spin() noexcept {
  for (unsigned i = 0, n = 1u << (step_ < kSpinLimit ? step_ : kSpinLimit); i < n; ++i) cpu_relax();
  if (step_ <= kSpinLimit) ++step_;
}

void Backoff::snooze() noexcept {
  if (step_ <= kSpinLimit) {
    for (unsigned i = 0, n = 1u << step_; i < n; ++i) cpu_relax();
  } else {
    std::this_thread::yield();
  }
  if (step_ <= kYieldAfter) ++step_;
}

uint64_t EventRing::bytes_for(uint64_t capacity) noexcept {
  if (capacity == 0) capacity = 1;
  if (capacity > static_cast<uint64_t>(PTRDIFF_MAX) / sizeof(Slot)) return 0;
  return capacity * sizeof(Slot);
}

EventRing::EventRing(uint64_t capacity) : slots_(nullptr), capacity_(capacity == 0 ? 1 : capacity) {
  const uint64_t bytes = bytes_for(capacity_);
  if (bytes == 0) capacity_overflow();
  if (bytes > physical_memory_limit()) throw std::bad_alloc();
  lap_ = std::bit_ceil(capacity_ + 1);  // capacity_ < 2^59 here, so no overflow
  // Zero-filled memory is the ring's initial state (see the class comment);
  // calloc of a large block maps fresh zero pages without touching them.
  slots_ = static_cast<Slot*>(std::calloc(static_cast<size_t>(capacity_), sizeof(Slot)));
  if (slots_ == nullptr) throw std::bad_alloc();
}

EventRing::~EventRing() { std::free(slots_); }

EventRing::Peeked EventRing::peek(SignalEvent* out, size_t max) noexcept {
  // relaxed: a starting guess; take() validates it with its exchange.
  const uint64_t head = head_.load(std::memory_order_relaxed);
  uint64_t pos = head;
  size_t count = 0;
  Backoff backoff;
  while (count < max) {
    const uint64_t index = pos & (lap_ - 1);
    Slot& slot = slots_[index];
    const uint64_t stamp = load_stamp(slot, index);  // acquire: the event below is published
    if (stamp == pos + 1) {
      out[count++] = load_event(slot);
      pos = advance(pos, index);
      continue;
    }
    // Not pushed yet. Every position before `pos` was published, so a tail
    // beyond it means a push has claimed the slot and is still writing it:
    // wait for it, as try_pop does. relaxed: as in try_pop.
    if (stamp == pos && tail_.load(std::memory_order_relaxed) != pos) {
      backoff.snooze();
      continue;
    }
    break;  // empty from here, or another consumer got here first (take() fails then)
  }
  return Peeked{head, pos, count};
}

bool EventRing::take(const Peeked& peeked) noexcept {
  if (peeked.count == 0) return true;
  // Positions only grow, so a head still at peeked.head means no consumer has
  // removed any of the peeked events, and no producer can have rewritten
  // their slots. relaxed: as in try_pop, the stamps hand the slots over.
  uint64_t expected = peeked.head;
  if (!head_.compare_exchange_strong(expected, peeked.next, std::memory_order_relaxed,
                                     std::memory_order_relaxed)) {
    return false;
  }
  for (uint64_t pos = peeked.head; pos != peeked.next;) {
    const uint64_t index = pos & (lap_ - 1);
    store_stamp(slots_[index], index, pos + lap_);  // free for the next lap
    pos = advance(pos, index);
  }
  return true;
}

uint64_t EventRing::size_hint() const noexcept {
  // relaxed: an estimate; the head first, so a concurrent pop can only make
  // it larger, and it is clamped to the capacity.
  const uint64_t head = head_.load(std::memory_order_relaxed);
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  const int shift = std::countr_zero(lap_);
  const uint64_t laps = ((tail >> shift) - (head >> shift)) & (UINT64_MAX >> shift);
  const uint64_t t = tail & (lap_ - 1), h = head & (lap_ - 1);
  if (laps == 0) return t >= h ? t - h : 0;
  if (laps == 1) return t >= h ? capacity_ : capacity_ - (h - t);
  return capacity_;
}

ChannelBank::ChannelBank(unsigned channels) noexcept
    : size_(channels), mask_(channels >= kMaxChannels ? ~0u : (1u << channels) - 1u) {
  for (auto& word : words_) word.store(0, std::memory_order_relaxed);  // +0.0, +0.0; not yet shared
}

float ChannelBank::sense(uint32_t mask) const noexcept {
  float sum = 0.0f;
  const uint32_t bits = mask & mask_;
  for (uint32_t even = (bits | bits >> 1) & kEvenBits; even != 0; even &= even - 1) {
    const unsigned i = static_cast<unsigned>(std::countr_zero(even));
    const uint64_t word = load_word(i / 2);
    if (bits >> i & 1u) sum = sum + std::bit_cast<float>(low(word));
    if (bits >> i & 2u) sum = sum + std::bit_cast<float>(high(word));
  }
  return sum;
}

float ChannelBank::concentration(uint64_t index) const noexcept {
  return index < size_ ? load(static_cast<unsigned>(index)) : 0.0f;
}

void ChannelBank::tick(float decay) noexcept {
  const auto scale = [decay](float value) { return decay * value; };
  const unsigned words = words_in_use();
  const uint32_t mask = mask_;  // read once: the exchanges below make the compiler read members again
#if defined(ZELMO_X86_DISPATCH)
  // Two words (four channels) a step: one vector product and compare tell
  // which words change, and only those take the locked exchange, so a bank
  // at rest is read and never written.
  const __m128d factor = _mm_set1_pd(static_cast<double>(decay));
  for (unsigned w = 0; w < words; w += 2) {
    // acquire: as in update(), a word left unchanged ends its step here.
    const uint64_t lo = words_[w].load(std::memory_order_acquire);
    const uint64_t hi = words_[w + 1].load(std::memory_order_acquire);
    const __m128i seen = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    const __m128i scaled = scale_lanes(seen, factor);
    const uint32_t same = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(scaled, seen))));
    const uint32_t lanes = (mask >> (2 * w)) & 0xFu;  // the four channels' bits in the mask
    const uint32_t changed = ~same & lanes;
    if (changed & 3u) commit(words_[w], lo, static_cast<uint64_t>(_mm_cvtsi128_si64(scaled)), lanes & 3u, scale);
    if (changed & 0xCu) {
      commit(words_[w + 1], hi, static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(scaled, scaled))),
             lanes >> 2, scale);
    }
  }
#else
  for (unsigned w = 0; w < words; ++w) update(words_[w], (mask >> (2 * w)) & 3u, scale);
#endif
}

std::array<float, kMaxChannels> ChannelBank::snapshot() const noexcept {
  std::array<float, kMaxChannels> values{};
  for (unsigned w = 0; w < words_in_use(); ++w) {
    const uint64_t word = load_word(w);
    values[2 * w] = std::bit_cast<float>(low(word));
    values[2 * w + 1] = std::bit_cast<float>(high(word));  // +0.0 beyond size()
  }
  return values;
}

float ChannelBank::total() const noexcept {
  float sum = -0.0f;
  for (unsigned i = 0; i < size_; ++i) sum = sum + load(i);
  return sum;
}

Bus::Bus(uint64_t num_signals, uint64_t event_capacity)
    : bank_(effective_channels(num_signals)), ring_(effective_capacity(event_capacity)) {}

uint64_t Bus::drain(uint64_t max, std::vector<SignalEvent>& out) {
  // Room is made before each pop, never after: an allocation failure then
  // leaves the event in the ring instead of losing it. The array grows with
  // what is popped, never with `max`.
  uint64_t popped = 0;
  SignalEvent event;
  while (popped < max) {
    if (out.size() == out.capacity()) out.reserve(out.empty() ? 16 : 2 * out.capacity());
    if (!ring_.try_pop(event)) break;
    out.push_back(event);  // cannot throw: capacity is there
    ++popped;
  }
  return popped;
}

std::string format_fixed3(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const bool negative = (bits >> 31) != 0;
  const uint32_t exponent = (bits >> 23) & 0xFFu;
  const uint32_t fraction = bits & 0x7FFFFFu;
  if (exponent == 0xFFu) return fraction != 0 ? "NaN" : negative ? "-inf" : "inf";

  std::string out = negative ? "-" : "";
  // |value| == m * 2^e exactly.
  const uint64_t m = exponent == 0 ? fraction : (fraction | 0x800000u);
  const int e = exponent == 0 ? -149 : static_cast<int>(exponent) - 150;
  if (e >= 0) {  // an integer: no fraction digits to round
    append_shifted(out, m, static_cast<unsigned>(e));
    out += ".000";
    return out;
  }
  // thousandths = m * 1000 / 2^k rounded half to even, k = -e. m * 1000 is
  // below 2^34, so for k >= 35 it is below half a unit and rounds to 0.
  const unsigned k = static_cast<unsigned>(-e);
  uint64_t thousandths = 0;
  if (k < 35) {
    const uint64_t scaled = m * 1000u;
    const uint64_t rest = scaled & ((uint64_t{1} << k) - 1);
    const uint64_t half = uint64_t{1} << (k - 1);
    thousandths = scaled >> k;
    if (rest > half || (rest == half && (thousandths & 1u) != 0)) ++thousandths;
  }
  out += std::to_string(thousandths / 1000u);
  const std::string digits = std::to_string(thousandths % 1000u);
  out += '.';
  out.append(3 - digits.size(), '0');
  out += digits;
  return out;
}

std::string signal_repr(uint32_t flags, float intensity) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  char hex[8];
  size_t n = 0;
  do {
    hex[n++] = kHex[flags & 0xFu];
    flags >>= 4;
  } while (flags != 0);
  std::string out = "HormonalSignal(flags=0x";
  while (n > 0) out += hex[--n];
  out += ", intensity=";
  out += format_fixed3(intensity);
  out += ')';
  return out;
}

}  // namespace zelmo
