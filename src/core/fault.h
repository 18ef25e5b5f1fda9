// Internal faults raised by the pure cores.
//
// The cores never see the interpreter. When they meet a condition that the
// caller cannot have meant and cannot repair (a size that cannot even be
// represented), they throw `Fault`; the binding layer turns it into the
// interpreter-level panic exception. Allocation failures stay std::bad_alloc
// and surface as MemoryError.
#pragma once

#include <stdexcept>
#include <string>

namespace zelmo {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when a requested capacity has no representable allocation size.
[[noreturn]] inline void capacity_overflow() { throw Fault("capacity overflow"); }

}  // namespace zelmo
