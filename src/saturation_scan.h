// Saturation scan: the fraction of a payload's word shingles that repeat.
//
// A pure function of a UTF-8 text and a shingle width. Floods that replay the
// same phrases score near 1, natural text near 0. Tokens are compared exactly
// (no lower-casing, no normalisation); white space only separates them.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelmo {

// Duplicate shingles / shingles, as a single-precision quotient. A width of 0
// counts as 1; fewer than two widths' worth of tokens scores 0. Throws
// std::bad_alloc when the token list or the seen set cannot be allocated.
float saturation_scan(std::string_view text, uint64_t window);

}  // namespace zelmo
