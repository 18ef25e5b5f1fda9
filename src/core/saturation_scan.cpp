// Saturation scan. See saturation_scan.h.
//
// Each window of w consecutive tokens is fingerprinted with content_hash of
// its tokens, taken in one pass over the packed words (shingles.h), so no
// shingle is ever built as a string of its own. Two windows are duplicates
// exactly when their fingerprints are equal.
#include "saturation_scan.h"

#include <algorithm>
#include <cstddef>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "block_model.h"
#include "load_le.h"
#include "process_key.h"
#include "shingles.h"

#include "x86_simd.h"

namespace zelmo {
namespace {

// Fingerprints use a fixed, public key, so anyone can craft texts whose
// fingerprints share low bits. The seen set therefore places them through a
// second mix keyed once per process from a random source.
inline uint64_t mix(uint64_t fingerprint, const ProcessKey& key) noexcept {
  return fold_multiply(fingerprint ^ key.k0, key.k1);
}

// Probing, eight slots at a time: from the home slot i the groups
// [i, i + 8), [i + 8, i + 16), ... are searched (modulo the capacity; the
// table has 8 slots more than its capacity, so a group never wraps) for the
// fingerprint or a free slot, whichever comes first. Slots are never freed
// and every operation walks the same groups for the same fingerprint, so a
// fingerprint is always found in the group where it was placed; as the
// capacity is a multiple of 8 the groups reach every slot, so a table that
// is not full always has a free slot on the way. Returns whether the
// fingerprint was added (false: it was present).
bool insert_portable(uint64_t* slots, uint64_t mask, uint64_t fingerprint, uint64_t i) noexcept {
  for (;; i = (i + 8) & mask) {
    for (uint64_t k = 0; k < 8; ++k) {
      if (slots[i + k] == fingerprint) return false;
      if (slots[i + k] == 0) {
        slots[i + k] = fingerprint;
        return true;
      }
    }
  }
}

// Inserts fingerprints[j] (none of them 0) from homes[j], in order; returns
// how many were already present.
uint64_t insert_all_portable(uint64_t* slots, uint64_t mask, const uint64_t* fingerprints,
                             const uint64_t* homes, size_t count) noexcept {
  uint64_t present = 0;
  for (size_t j = 0; j < count; ++j) present += !insert_portable(slots, mask, fingerprints[j], homes[j]);
  return present;
}

#ifdef ZELMO_X86_DISPATCH
#define ZELMO_SEEN_AVX512 1
// The same walk with one compare per group: no branch on each slot, whose
// outcome is unpredictable in a set that is filling up.
ZELMO_TARGET_AVX512 uint64_t insert_all_avx512(uint64_t* slots, uint64_t mask, const uint64_t* fingerprints,
                                               const uint64_t* homes, size_t count) noexcept {
  uint64_t present = 0;
  for (size_t j = 0; j < count; ++j) {
    const __m512i x = _mm512_set1_epi64(static_cast<long long>(fingerprints[j]));
    for (uint64_t i = homes[j];; i = (i + 8) & mask) {
      const __m512i group = _mm512_loadu_si512(slots + i);
      const unsigned equal = _mm512_cmpeq_epi64_mask(group, x);
      const unsigned stop = equal | _mm512_testn_epi64_mask(group, group);
      if (stop != 0) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(stop));
        if ((equal >> k) & 1u) {
          ++present;
        } else {
          slots[i + k] = fingerprints[j];
        }
        break;
      }
    }
  }
  return present;
}
#endif

// Open-addressing set of 64-bit fingerprints, sized once, never grown. The
// value 0 marks a free slot; a zero fingerprint is tracked on the side.
class SeenSet {
 public:
  // Room for `entries` fingerprints at a load of at most two thirds (and at
  // least 8 slots). The count never exceeds a vector's size, so the sum
  // below can't overflow.
  explicit SeenSet(uint64_t entries) : key_(process_key()) {
    const uint64_t capacity = std::max<uint64_t>(8, std::bit_ceil(entries + entries / 2 + 1));
    // calloc: a large table comes as fresh zero pages, and only the pages
    // that fingerprints land on are ever touched (a flood touches few).
    slots_.reset(static_cast<uint64_t*>(std::calloc(capacity + 8, sizeof(uint64_t))));
    if (!slots_) throw std::bad_alloc();
    mask_ = capacity - 1;
#ifdef ZELMO_SEEN_AVX512
    avx512_ = avx512_shingles();
#endif
  }

  // The slot where `fingerprint` is probed first.
  uint64_t home(uint64_t fingerprint) const noexcept { return mix(fingerprint, key_) & mask_; }

  // Starts loading the first group probed from `slot` (two cache lines).
  void prefetch(uint64_t slot) const noexcept {
    __builtin_prefetch(&slots_[slot]);
    __builtin_prefetch(&slots_[slot + 7]);
  }

  // Adds fingerprints[j], probing from homes[j], in order; returns how many
  // were already present.
  uint64_t insert_all(const uint64_t* fingerprints, const uint64_t* homes, size_t count) noexcept {
    uint64_t present = 0;
    size_t done = 0;
    for (size_t j = 0; j <= count; ++j) {
      if (j < count && fingerprints[j] != 0) continue;
      // The run [done, j) holds no zero fingerprint.
#ifdef ZELMO_SEEN_AVX512
      if (avx512_) {
        present += insert_all_avx512(slots_.get(), mask_, fingerprints + done, homes + done, j - done);
      } else {
        present += insert_all_portable(slots_.get(), mask_, fingerprints + done, homes + done, j - done);
      }
#else
      present += insert_all_portable(slots_.get(), mask_, fingerprints + done, homes + done, j - done);
#endif
      if (j < count) present += std::exchange(has_zero_, true);
      done = j + 1;
    }
    return present;
  }

 private:
  ProcessKey key_;
  struct Free {
    void operator()(uint64_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<uint64_t[], Free> slots_;
  uint64_t mask_ = 0;
  bool has_zero_ = false;
  bool avx512_ = false;
};

// The text is packed piece by piece, each piece ending right after an ASCII
// white-space byte, so that every piece starts with no word open. About this
// many bytes per piece keep the packed words in cache.
constexpr size_t kPiece = 16 << 10;

// End of the piece that starts at `pos`: just after the last ASCII white
// space in the piece's final kilobyte, else after the first one beyond it,
// else the end of the text.
size_t piece_end(std::string_view text, size_t pos) noexcept {
  if (text.size() - pos <= kPiece) return text.size();
  const auto is_ascii_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const size_t target = pos + kPiece;
  for (size_t i = target; i > target - 1024; --i) {
    if (is_ascii_space(text[i - 1])) return i;
  }
  for (size_t i = target; i < text.size(); ++i) {
    if (is_ascii_space(text[i])) return i + 1;
  }
  return text.size();
}

// The low n bytes of a word (all of it from n = 8 on).
inline uint64_t low_bytes(uint64_t n) noexcept { return n >= 8 ? ~uint64_t{0} : ~(~uint64_t{0} << (8 * n)); }

// The first 8 bytes of a word of `len` bytes at p (8 readable), the bytes
// past its end cleared.
inline uint64_t word_head(const unsigned char* p, uint64_t len) noexcept { return load_le64(p) & low_bytes(len); }

// Windows already counted, kept byte for byte while the scan runs through
// a flood. A window whose bytes equal a kept one has its fingerprint, which
// is in the set: it is a duplicate without being hashed or looked up. The
// lookup goes by a cheap hash of the bytes to the last window kept with it,
// and the bytes are compared in full, so only an exact repeat is taken; a
// miss just means the window is hashed as usual. Copies stop at a fixed
// budget (floods repeat few distinct windows).
//
// Runs are followed: each kept window remembers the kept windows that came
// right after it when it last occurred (its successors, the latest few). If
// window i equals kept window e, and e once occurred as window j followed by
// window j + 1 equal to kept window f, then windows i + 1 and f share their
// first w - 1 words (words i + 1 .. i + w - 1 of one are words
// j + 1 .. j + w - 1 of the other), so window i + 1 equals f exactly when
// their last words are equal: a word compared for each successor instead of
// the window hashed and looked up. A flood's line can go on in a few ways
// (the next line, a variant of a field), hence a few successors.
//
// Entries are numbered from 1; 0 means none.
class RepeatedWindows {
 public:
  RepeatedWindows()
      : bytes_(std::make_unique_for_overwrite<unsigned char[]>(kBudget)), vector_(avx512_shingles()) {}

  // The entry whose window equals the `len` bytes at `p`, or 0.
  uint32_t find(const unsigned char* p, uint64_t len) const noexcept {
#ifdef ZELMO_SEEN_AVX512
    if (vector_ && len <= 128) return find128(p, len);
#endif
    const uint32_t e = index_[slot(hash(p, len))];
    if (e == 0 || lens_[e - 1] != len) return 0;
    return std::memcmp(bytes_.get() + offsets_[e - 1], p, static_cast<size_t>(len)) == 0 ? e : 0;
  }

  // Keeps a copy of the window unless the budget is spent; returns its
  // entry, or 0.
  uint32_t keep(const unsigned char* p, uint64_t len) noexcept {
    if (len > kBudget - used_ || count_ == kMaxEntries) return 0;
    std::memcpy(bytes_.get() + used_, p, static_cast<size_t>(len));
    offsets_[count_] = static_cast<uint32_t>(used_);
    lens_[count_] = static_cast<uint32_t>(len);
    next_[count_ + 1] = Successors{};
    used_ += static_cast<size_t>(len);
    index_[slot(hash(p, len))] = ++count_;
    return count_;
  }

  // Window `to` came right after window `from` (both entries), and its last
  // word is the `len` bytes at `word` (8 readable): `to` becomes the first
  // successor of `from`, the others move down and the oldest goes.
  void link(uint32_t from, uint32_t to, const unsigned char* word, uint64_t len) noexcept {
    Successors& next = next_[from];
    for (size_t k = kWays - 1; k > 0; --k) {
      next.to[k] = next.to[k - 1];
      next.len[k] = next.len[k - 1];
      next.head[k] = next.head[k - 1];
    }
    next.to[0] = to;
    next.len[0] = static_cast<uint32_t>(len);
    next.head[0] = word_head(word, len);
  }

  // Given that the previous window equals entry `from`, the entry the
  // current window equals when its last word is the `len` bytes at `word`
  // (8 readable), else 0. The successors' last words are matched on their
  // length and first 8 bytes, from the one cache line that holds them; only
  // a longer word's rest is read from its copy.
  uint32_t follow(uint32_t from, const unsigned char* word, uint64_t len) const noexcept {
    const Successors& next = next_[from];
    const uint64_t head = word_head(word, len);
    for (size_t k = 0; k < kWays; ++k) {
      if (next.len[k] != len || next.head[k] != head) continue;
      const uint32_t to = next.to[k];
      if (len <= 8) return to;
      // The first 8 bytes matched: up to 16 bytes, the last 8 (which overlap
      // them) finish the comparison, with no masking.
      const unsigned char* kept = bytes_.get() + offsets_[to - 1] + lens_[to - 1] - len;
      if (len <= 16 ? load_le64(kept + len - 8) == load_le64(word + len - 8)
                    : std::memcmp(kept + 8, word + 8, static_cast<size_t>(len - 8)) == 0) {
        return to;
      }
    }
    return 0;
  }

 private:
  static constexpr unsigned kBits = 12;
  static constexpr size_t kBudget = 256 << 10, kMaxEntries = 4096, kWays = 4;

  // An entry's successors, latest first; unused ones have length 0 (a
  // packed word has at least 2 bytes). One cache line, left unset until its
  // entry is kept.
  struct alignas(64) Successors {
    uint32_t to[kWays];
    uint32_t len[kWays];   // bytes of the successor's last word
    uint64_t head[kWays];  // its word_head
  };
  static constexpr uint64_t kMul[8] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                                       0xD6E8FEB86659FD93ULL, 0xFF51AFD7ED558CCDULL, 0xC4CEB9FE1A85EC53ULL,
                                       0x94D049BB133111EBULL, 0xBF58476D1CE4E5B9ULL};

  // len + the sum of word i times kMul[i % 8], over the bytes' 8-byte words
  // (the last one zero-filled): every byte counts, and in place (windows of a
  // flood often differ in one byte in the middle).
  static uint64_t hash(const unsigned char* p, uint64_t len) noexcept {
    uint64_t acc = len;
    for (uint64_t i = 0; i < len; i += 8) {
      acc += load_le64_prefix(p + i, static_cast<size_t>(std::min<uint64_t>(8, len - i))) * kMul[(i / 8) % 8];
    }
    return acc;
  }
  static size_t slot(uint64_t h) noexcept { return static_cast<size_t>((h * kMul[0]) >> (64 - kBits)); }

#ifdef ZELMO_SEEN_AVX512
  // The eight lanes added modulo 2^64. Not _mm512_reduce_add_epi64: its last
  // step is a signed scalar addition, which overflows (undefined) for hashes.
  ZELMO_TARGET_AVX512 static uint64_t sum_lanes(__m512i x) noexcept {
    const __m256i s4 = _mm256_add_epi64(_mm512_castsi512_si256(x), _mm512_extracti64x4_epi64(x, 1));
    const __m128i s2 = _mm_add_epi64(_mm256_castsi256_si128(s4), _mm256_extracti128_si256(s4, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(s2, _mm_unpackhi_epi64(s2, s2))));
  }

  // The same for a window of at most 128 bytes (8 words of a log line run
  // past 64), as one or two 64-byte blocks, the last one masked to the
  // window's length; no branch on each word.
  ZELMO_TARGET_AVX512 uint32_t find128(const unsigned char* p, uint64_t len) const noexcept {
    const uint64_t rest = len > 64 ? len - 64 : len;  // bytes in the last block: 1..64
    const __mmask64 tail = rest == 64 ? ~__mmask64{0} : (__mmask64{1} << rest) - 1;
    const __m512i mul = _mm512_loadu_si512(kMul);
    if (len <= 64) {
      const __m512i v = _mm512_maskz_loadu_epi8(tail, p);
      const uint64_t h = len + sum_lanes(_mm512_mullo_epi64(v, mul));
      const uint32_t e = index_[slot(h)];
      if (e == 0 || lens_[e - 1] != len) return 0;
      const __m512i k = _mm512_maskz_loadu_epi8(tail, bytes_.get() + offsets_[e - 1]);
      return _mm512_cmpneq_epi8_mask(v, k) == 0 ? e : 0;
    }
    // Words 8..15 take the same multipliers as words 0..7 (kMul[i % 8]).
    const __m512i v0 = _mm512_loadu_si512(p);
    const __m512i v1 = _mm512_maskz_loadu_epi8(tail, p + 64);
    const uint64_t h = len + sum_lanes(_mm512_add_epi64(_mm512_mullo_epi64(v0, mul), _mm512_mullo_epi64(v1, mul)));
    const uint32_t e = index_[slot(h)];
    if (e == 0 || lens_[e - 1] != len) return 0;
    const unsigned char* kept = bytes_.get() + offsets_[e - 1];
    const __m512i k0 = _mm512_loadu_si512(kept);
    const __m512i k1 = _mm512_maskz_loadu_epi8(tail, kept + 64);
    return (_mm512_cmpneq_epi8_mask(v0, k0) | _mm512_cmpneq_epi8_mask(v1, k1)) == 0 ? e : 0;
  }
#endif

  std::unique_ptr<unsigned char[]> bytes_;  // kept windows
  bool vector_;
  size_t used_ = 0;
  uint32_t count_ = 0;
  uint32_t offsets_[kMaxEntries];
  uint32_t lens_[kMaxEntries];
  Successors next_[kMaxEntries + 1];  // by entry (0 unused)
  uint32_t index_[1u << kBits] = {};
};

// Work between two polls of the caller, in bytes hashed or compared.
constexpr uint64_t kPollWork = 4 << 20;

// Counts work and polls the caller each time kPollWork more has been done.
class PollEvery {
 public:
  explicit PollEvery(const ScanPoll& poll) noexcept : poll_(poll) {}
  void add(uint64_t work) {
    if (work < budget_) {
      budget_ -= work;
      return;
    }
    budget_ = kPollWork;
    poll_();
  }

 private:
  const ScanPoll& poll_;
  uint64_t budget_ = kPollWork;
};

// The effective width (0 counts as 1) and the number of words, or nothing
// when the text has fewer than two widths' worth of words (scores 0).
struct ScanShape {
  uint64_t w;
  uint64_t n;
};
bool shape_of(std::string_view text, uint64_t window, ScanShape& shape) noexcept {
  shape.w = window == 0 ? 1 : window;
  shape.n = count_words(text);
  // n < 2w, written so that a huge width can't overflow.
  return shape.n / 2 >= shape.w;
}

// The batches of a flood, in window order.
class FloodBatch {
 public:
  // Windows from `first` on, at most `most` (at most kMaxBatch) of them, of
  // `words`: those that continue a run of kept windows, or repeat a kept
  // window, count at once; the others are hashed, inserted into `seen` and
  // kept. The batch ends early after kFreshRun fresh windows in a row: the
  // flood is over. Returns how many windows it took, how many of them are
  // duplicates, and whether the flood went on to the batch's end. Out of
  // line: the scan's usual path stays as compact as it was without it.
  //
  // Following pays while most repeats continue a run. Where few do (a few
  // words in random order), a failed attempt only delays the lookup, and
  // the lookups of independent windows overlap better on their own: then
  // batches go without following, more of them each time following fails
  // again.
  struct Counted {
    size_t windows;
    uint64_t duplicates;
    bool went_on;
  };
  [[gnu::noinline]] Counted count(const PackedWords& words, uint64_t w, size_t first, size_t most, SeenSet& seen) {
    if (!kept_) {
      kept_ = std::make_unique<RepeatedWindows>();
      fresh_ = std::make_unique<Fresh>();
    }
    Fresh& fresh = *fresh_;
    fresh.count = 0;
    size_t count = 0;
    size_t fresh_run = 0;  // fresh windows at the batch's end
    if (skip_ != 0) {
      previous_ = 0;
      count = look_up(words, w, first, most, seen, fresh, fresh_run);
      skip_ -= std::min(skip_, count);
    } else {
      size_t repeats = 0;  // windows after a kept one, found kept
      size_t followed = 0;
      count = follow(words, w, first, most, seen, fresh, fresh_run, followed, repeats);
      if (repeats >= kJudged) {
        if (followed * 2 >= repeats) {
          pause_ = kFirstPause;
        } else {
          skip_ = pause_;
          pause_ = std::min(2 * pause_, kLongestPause);
        }
      }
    }
    return {count, (count - fresh.count) + seen.insert_all(fresh.fp, fresh.at, fresh.count), fresh_run < kFreshRun};
  }

  // The next window does not follow the last one counted here.
  void interrupt() noexcept { previous_ = 0; }

  // Windows a flood batch counts at most: enough that each batch's fixed
  // cost (the call, the set's insertion of its few fresh windows) is spread
  // thin. A batch that reaches kFreshRun fresh windows in a row ends there,
  // so text that is no flood is soon counted the usual way again.
  static constexpr size_t kMaxBatch = 1024, kFreshRun = 32;

 private:
  // The fingerprints of a batch's windows that are not kept, and their slots.
  struct Fresh {
    uint64_t fp[kMaxBatch], at[kMaxBatch];
    size_t count = 0;
  };

  // A window that is not kept: hashed for insertion with its batch, and kept
  // at once (a later window of the batch that equals it is a duplicate).
  // Returns its entry, or 0.
  static uint32_t add(RepeatedWindows& kept, const unsigned char* p, uint64_t len, const SeenSet& seen, Fresh& fresh) {
    fresh.fp[fresh.count] = siphash13_slice(p, len);
    fresh.at[fresh.count] = seen.home(fresh.fp[fresh.count]);
    ++fresh.count;
    return kept.keep(p, len);
  }

  // Each window looked up on its own. Returns how many windows were taken.
  // (Locals throughout, so that the stores can't make the compiler reload
  // them.)
  size_t look_up(const PackedWords& words, uint64_t w, size_t first, size_t most, const SeenSet& seen,
                 Fresh& fresh, size_t& fresh_run) {
    RepeatedWindows& kept = *kept_;
    const unsigned char* const buf = words.bytes.data();
    const uint64_t* const starts = words.starts.data();
    size_t j = first;
    for (; j < first + most && fresh_run < kFreshRun; ++j) {
      const uint64_t s = starts[j], len = starts[j + w] - s;
      if (kept.find(buf + s, len) != 0) {
        fresh_run = 0;
      } else {
        add(kept, buf + s, len, seen, fresh);
        ++fresh_run;
      }
    }
    return j - first;
  }

  // Windows that continue the run of the window before them, else looked
  // up. Returns how many windows were taken; `followed` counts those found
  // by following, `repeats` those after a kept one that were found kept.
  size_t follow(const PackedWords& words, uint64_t w, size_t first, size_t most, const SeenSet& seen, Fresh& fresh,
                size_t& fresh_run, size_t& followed, size_t& repeats) {
    RepeatedWindows& kept = *kept_;
    uint32_t previous = previous_;
    const unsigned char* const buf = words.bytes.data();
    const uint64_t* const starts = words.starts.data();
    size_t j = first;
    for (; j < first + most && fresh_run < kFreshRun; ++j) {
      const uint64_t s = starts[j], len = starts[j + w] - s;
      const unsigned char* const last = buf + starts[j + w - 1];  // the window's last word
      const uint64_t tail = starts[j + w] - starts[j + w - 1];
      uint32_t e = previous == 0 ? 0 : kept.follow(previous, last, tail);
      if (e != 0) {
        ++followed;
        fresh_run = 0;
      } else {
        e = kept.find(buf + s, len);
        if (e == 0) {
          e = add(kept, buf + s, len, seen, fresh);
          ++fresh_run;
        } else {
          repeats += previous != 0;
          fresh_run = 0;
        }
        if (previous != 0 && e != 0) kept.link(previous, e, last, tail);
      }
      previous = e;
    }
    previous_ = previous;
    repeats += followed;
    return j - first;
  }

  std::unique_ptr<RepeatedWindows> kept_;  // made on the first batch
  std::unique_ptr<Fresh> fresh_;           // the batch's fresh windows, made with kept_
  uint32_t previous_ = 0;                  // the kept window equal to the last one counted, or 0
  // A batch's following is judged once it found this many repeats.
  static constexpr size_t kJudged = 8;
  static constexpr size_t kFirstPause = 512, kLongestPause = 32768;  // in windows
  size_t skip_ = 0;             // windows still to count without following runs
  size_t pause_ = kFirstPause;  // windows to skip when following fails next
};

float hashing_scan(std::string_view text, uint64_t w, uint64_t n, PollEvery& poll) {
  const uint64_t windows = n - w + 1;
  SeenSet seen(windows);
  uint64_t duplicates = 0;

  // The words of the pieces read so far that still begin a window, packed
  // with their separators: window i is one contiguous slice. Fingerprints go
  // in batches through a two-stage pipeline: a batch's slots are fetched
  // while the next batch is hashed, and inserted after that, which hides
  // the cache misses of a large set. Insertion is in window order.
  //
  // While the last batch was mostly duplicates (a flood), batches go another
  // way: windows that continue a run of kept windows, or repeat a kept
  // window, count at once; the others are hashed, inserted and kept.
  PackedWords words;
  constexpr size_t kBatch = 32;
  uint64_t fp[2][kBatch], at[2][kBatch];
  size_t pending = 0;  // fingerprints waiting in fp[stage ^ 1]
  unsigned stage = 0;
  bool flood = false;
  FloodBatch flood_batch;
  const auto insert_pending = [&] {
    const uint64_t present = seen.insert_all(fp[stage ^ 1], at[stage ^ 1], pending);
    flood = pending != 0 && present * 4 >= pending * 3;
    duplicates += present;
    pending = 0;
  };
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = piece_end(text, pos);
    append_words(words, text.substr(pos, end - pos));
    poll.add((end - pos) * w);  // each byte is hashed once per window it is in
    pos = end;
    // Windows whose w words are all packed.
    const size_t have = words.count();
    const size_t ready = have >= w ? have - static_cast<size_t>(w) + 1 : 0;
    for (size_t first = 0; first < ready;) {
      if (flood && pending != 0) insert_pending();  // the pipeline empties first
      if (flood) {
        const auto [count, repeats, went_on] =
            flood_batch.count(words, w, first, std::min(FloodBatch::kMaxBatch, ready - first), seen);
        duplicates += repeats;
        flood = went_on && repeats * 4 >= count * 3;
        first += count;
        continue;
      }
      const size_t count = std::min(kBatch, ready - first);
      flood_batch.interrupt();
      hash_windows(words, w, first, count, fp[stage]);
      for (size_t j = 0; j < count; ++j) {
        at[stage][j] = seen.home(fp[stage][j]);
        seen.prefetch(at[stage][j]);
      }
      insert_pending();
      pending = count;
      stage ^= 1;
      first += count;
    }
    drop_words(words, ready);
  }
  insert_pending();
  return static_cast<float>(duplicates) / static_cast<float>(windows);
}

// --- Rolling fingerprints ----------------------------------------------

constexpr uint64_t kRollingFromWidth = 32;

// Arithmetic modulo the Mersenne prime 2^61 - 1.
constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;
inline uint64_t reduce(uint64_t x) noexcept {
  x = (x & kPrime) + (x >> 61);
  return x >= kPrime ? x - kPrime : x;
}
inline uint64_t mul_mod(uint64_t a, uint64_t b) noexcept {  // a, b < 2^61
  __extension__ typedef unsigned __int128 u128;
  const u128 p = static_cast<u128>(a) * b;
  return reduce((static_cast<uint64_t>(p) & kPrime) + static_cast<uint64_t>(p >> 61));
}

// The words' per-token hashes (reduced modulo the prime), keyed once per
// process so that no caller can aim texts at colliding fingerprints.
uint64_t token_hash(const unsigned char* p, uint64_t len, const ProcessKey& key) noexcept {
  uint64_t h = key.k0 ^ len;
  for (uint64_t i = 0; i < len; i += 8) {
    h = fold_multiply(h ^ load_le64_prefix(p + i, static_cast<size_t>(std::min<uint64_t>(8, len - i))), key.k1);
  }
  return reduce(fold_multiply(h, key.k1));
}

// Windows of w tokens over the packed words of the whole text. Window i is a
// repeat when some window j < i has the same tokens. Each window's
// polynomial fingerprint (in a random base, modulo the prime) is rolled from
// the previous one; a table maps fingerprints to the first window seen with
// them, and a window whose fingerprint is there is compared token by token
// with that window. While windows keep repeating along one earlier run
// (window i equals j, so window i + 1 equals j + 1 when their last tokens
// agree), one token comparison per window suffices and the table is not
// consulted.
class RollingWindows {
 public:
  RollingWindows(std::string_view text, uint64_t w, uint64_t n, PollEvery& poll)
      : words_(pack_words(text)), w_(w), n_(n), key_(process_key()), poll_(poll) {
    hashes_ = std::make_unique_for_overwrite<uint64_t[]>(static_cast<size_t>(n));
    const unsigned char* buf = words_.bytes.data();
    for (uint64_t k = 0; k < n; ++k) hashes_[k] = token_hash(buf + words_.starts[k], length(k), key_);
    poll_.add(text.size());
    const uint64_t windows = n - w + 1;
    const uint64_t slots = std::max<uint64_t>(8, std::bit_ceil(windows + windows / 2 + 1));
    table_.reset(static_cast<Entry*>(std::calloc(static_cast<size_t>(slots), sizeof(Entry))));
    if (!table_) throw std::bad_alloc();
    mask_ = slots - 1;
  }

  uint64_t count_repeats() {
    const uint64_t windows = n_ - w_ + 1;
    // Every window's fingerprint first, so that the table slots of the
    // windows ahead can be fetched while the current one is looked up.
    auto fps = std::make_unique_for_overwrite<uint64_t[]>(static_cast<size_t>(windows));
    const uint64_t base = (key_.k0 % (kPrime - 2)) + 2;
    uint64_t top = 1;  // base^(w - 1)
    for (uint64_t k = 1; k < w_; ++k) top = mul_mod(top, base);
    uint64_t fp = 0;
    for (uint64_t k = 0; k < w_; ++k) fp = reduce(mul_mod(fp, base) + hashes_[k]);
    for (uint64_t i = 0;; ++i) {
      fps[i] = fp;
      if (i + 1 == windows) break;
      // Drop token i, take token i + w.
      fp = reduce(fp + kPrime - mul_mod(hashes_[i], top));
      fp = reduce(mul_mod(fp, base) + hashes_[i + w_]);
    }
    poll_.add(windows * kStepWork);

    constexpr uint64_t kAhead = 16;
    for (uint64_t i = 0; i < std::min(kAhead, windows); ++i) __builtin_prefetch(table_.get() + home(fps[i]));
    uint64_t repeats = 0;
    bool along = false;  // the previous window equals window `match`
    uint64_t match = 0;
    for (uint64_t i = 0; i < windows; ++i) {
      if (i + kAhead < windows) __builtin_prefetch(table_.get() + home(fps[i + kAhead]));
      poll_.add(kStepWork);
      if (along && same_token(match + w_, i + w_ - 1)) {
        ++match;
        ++repeats;
      } else {
        along = find_or_add(fps[i], i, match);
        repeats += along;
      }
    }
    return repeats;
  }

 private:
  struct Entry {
    uint64_t fp;
    uint64_t window_plus_one;  // 0: free
  };
  struct Free {
    void operator()(Entry* p) const noexcept { std::free(p); }
  };

  uint64_t home(uint64_t fp) const noexcept { return fold_multiply(fp ^ key_.k1, key_.k1 | 2) & mask_; }

  uint64_t length(uint64_t k) const noexcept { return words_.starts[k + 1] - words_.starts[k] - 1; }

  bool same_token(uint64_t a, uint64_t b) const noexcept {
    if (hashes_[a] != hashes_[b] || length(a) != length(b)) return false;
    const unsigned char* buf = words_.bytes.data();
    return std::memcmp(buf + words_.starts[a], buf + words_.starts[b], static_cast<size_t>(length(a))) == 0;
  }

  bool same_window(uint64_t a, uint64_t b) {
    poll_.add(words_.starts[a + w_] - words_.starts[a]);
    for (uint64_t k = 0; k < w_; ++k) {
      if (!same_token(a + k, b + k)) return false;
    }
    return true;
  }

  // Looks for an earlier window equal to window i among those with its
  // fingerprint; records window i when there is none. Returns whether one
  // was found, and it in `match`.
  bool find_or_add(uint64_t fp, uint64_t i, uint64_t& match) {
    for (uint64_t slot = home(fp);; slot = (slot + 1) & mask_) {
      Entry& e = table_.get()[slot];
      if (e.window_plus_one == 0) {
        e = Entry{fp, i + 1};
        return false;
      }
      if (e.fp == fp && same_window(e.window_plus_one - 1, i)) {
        match = e.window_plus_one - 1;
        return true;
      }
    }
  }

  // What one window's step counts as, in bytes of work.
  static constexpr uint64_t kStepWork = 8;

  PackedWords words_;
  uint64_t w_;
  uint64_t n_;
  ProcessKey key_;
  PollEvery& poll_;
  std::unique_ptr<uint64_t[]> hashes_;
  std::unique_ptr<Entry, Free> table_;
  uint64_t mask_ = 0;
};

float rolling_scan(std::string_view text, uint64_t w, uint64_t n, PollEvery& poll) {
  RollingWindows windows(text, w, n, poll);
  const uint64_t repeats = windows.count_repeats();
  return static_cast<float>(repeats) / static_cast<float>(n - w + 1);
}

}  // namespace

float saturation_scan_hashing(std::string_view text, uint64_t window, const ScanPoll& poll) {
  ScanShape shape;
  if (!shape_of(text, window, shape)) return 0.0f;
  PollEvery every(poll);
  return hashing_scan(text, shape.w, shape.n, every);
}

float saturation_scan_rolling(std::string_view text, uint64_t window, const ScanPoll& poll) {
  ScanShape shape;
  if (!shape_of(text, window, shape)) return 0.0f;
  PollEvery every(poll);
  return rolling_scan(text, shape.w, shape.n, every);
}

float saturation_scan(std::string_view text, uint64_t window, const ScanPoll& poll) {
  ScanShape shape;
  if (!shape_of(text, window, shape)) return 0.0f;
  PollEvery every(poll);
  // Narrow windows hash fastest from their own tokens (a few SipHash blocks
  // each, many side by side); from this width on, rolling costs less.
  if (shape.w < kRollingFromWidth) return hashing_scan(text, shape.w, shape.n, every);
  return rolling_scan(text, shape.w, shape.n, every);
}

}  // namespace zelmo
