// Number conversions: a caller's int, float or bool read into a plain value.
// Each raises (Error) with the interpreter's own exception, or the frame's
// where the interface words it so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "errors.h"

namespace zelmo::py {

std::uint32_t to_u32(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
std::size_t to_size(PyObject* obj);
double to_double(PyObject* obj);
float to_single(PyObject* obj);
bool to_bool(PyObject* obj);

// Rounds a double to the nearest single (ties to even); beyond the single
// range the result is the infinity of the same sign, NaN stays NaN. Written
// out so that no out-of-range float conversion (undefined in C++) happens.
float narrow_to_single(double d) noexcept;

// Upper bound on how much a caller-reported length may reserve up front.
inline constexpr std::size_t kMaxReservationHint = std::size_t{1} << 16;

}  // namespace zelmo::py
