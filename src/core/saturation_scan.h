// Saturation scan: the fraction of a payload's word shingles that repeat.
//
// A pure function of a UTF-8 text and a shingle width. Floods that replay the
// same phrases score near 1, natural text near 0. Tokens are compared exactly
// (no lower-casing, no normalisation); white space only separates them.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelmo {

// Called every few megabytes of a scan's work, so that a caller can abandon
// a long scan: the function may throw, and the exception leaves the scan.
struct ScanPoll {
  void (*fn)(void* context) = nullptr;
  void* context = nullptr;
  void operator()() const {
    if (fn) fn(context);
  }
};

// Duplicate shingles / shingles, as a single-precision quotient. A width of 0
// counts as 1; fewer than two widths' worth of tokens scores 0. Throws
// std::bad_alloc when the token list or the seen set cannot be allocated.
// The work is close to linear in the text's length for every width.
float saturation_scan(std::string_view text, uint64_t window, const ScanPoll& poll = {});

// The two ways of counting that saturation_scan chooses between by width
// (they agree on every text whose window fingerprints don't collide),
// exposed so that tests can hold them against each other:
//   hashing: every window's content_hash from its own tokens, in a set of
//            fingerprints; work grows with tokens times width;
//   rolling: a fingerprint rolled over per-token hashes finds an earlier
//            window that may be equal, and the tokens confirm it; a repeat
//            that continues the previous window's repeat costs one token.
float saturation_scan_hashing(std::string_view text, uint64_t window, const ScanPoll& poll = {});
float saturation_scan_rolling(std::string_view text, uint64_t window, const ScanPoll& poll = {});

}  // namespace zelmo
