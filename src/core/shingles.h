// Word windows as contiguous messages, and their SipHash-1-3 fingerprints in
// batches, for the saturation scan.
//
// content_hash of a sequence of words hashes each word's bytes followed by
// one 0xFF byte. Packing the words of a text that way, one after the other,
// turns every window of w consecutive words into one contiguous slice of the
// packed bytes, so its fingerprint is a one-shot SipHash-1-3 over that slice
// (whole-word loads, no per-word streaming) and independent windows can be
// hashed side by side. The fingerprints are exactly content_hash's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace zelmo {

// A growable array of plain values whose new elements are left unset: the
// packer writes every element it keeps, so growing never clears memory.
template <class T>
class Scratch {
 public:
  T* data() noexcept { return p_.get(); }
  const T* data() const noexcept { return p_.get(); }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return p_[i]; }
  const T& operator[](size_t i) const noexcept { return p_[i]; }
  T& back() noexcept { return p_[size_ - 1]; }
  void pop_back() noexcept { --size_; }
  void push_back(T v) {
    if (size_ == cap_) reserve(size_ + 1);
    p_[size_++] = v;
  }
  // Throws std::bad_alloc; keeps the elements.
  void reserve(size_t n) {
    if (n <= cap_) return;
    const size_t cap = std::max(n, 2 * cap_);
    std::unique_ptr<T[]> q = std::make_unique_for_overwrite<T[]>(cap);
    if (size_ != 0) std::memcpy(q.get(), p_.get(), size_ * sizeof(T));
    p_ = std::move(q);
    cap_ = cap;
  }
  void resize(size_t n) {
    reserve(n);
    size_ = n;
  }
  // Removes the first k elements.
  void erase_front(size_t k) noexcept {
    std::memmove(p_.get(), p_.get() + k, (size_ - k) * sizeof(T));
    size_ -= k;
  }

 private:
  std::unique_ptr<T[]> p_;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// The words of a text (exactly split_words's) packed as word bytes + 0xFF.
struct PackedWords {
  // Packed bytes, followed by at least kSlack readable bytes.
  Scratch<unsigned char> bytes;
  // starts[i] is where word i begins; starts[count()] is the packed length.
  Scratch<uint64_t> starts;

  size_t count() const noexcept { return starts.empty() ? 0 : starts.size() - 1; }

  static constexpr size_t kSlack = 64;
};

// Throws std::bad_alloc.
PackedWords pack_words(std::string_view text);

// Appends the words of `piece` to `words` (dropping its closing start
// sentinel first, if any, and putting it back after). `piece` must begin
// where no word is open: at the start of a text or right after white space.
void append_words(PackedWords& words, std::string_view piece);

// Removes the first `k` words (k <= count()), keeping the rest in order.
void drop_words(PackedWords& words, size_t k) noexcept;

// The number of words of `text` (split_words's count), without packing.
uint64_t count_words(std::string_view text) noexcept;

// out[j] = content_hash of words j .. j + w - 1, for j < count; requires
// count + w - 1 <= words.count().
void hash_windows(const PackedWords& words, uint64_t w, size_t first, size_t count, uint64_t* out) noexcept;

// Whether the AVX-512 hashing runs (cpu_has_avx512() and tests have not asked
// for the portable code); the saturation scan's own vector code follows it.
bool avx512_shingles() noexcept;
// For tests: the portable paths even where vector ones would run, so both
// can be checked on one machine.
void use_portable_shingles(bool portable) noexcept;

// One-shot SipHash-1-3 (all-zero key) of `len` bytes at `p`; reads up to 7
// bytes past the end (their values don't matter).
uint64_t siphash13_slice(const unsigned char* p, uint64_t len) noexcept;

}  // namespace zelmo
