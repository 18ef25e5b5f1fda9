// Little-endian word loads: byte order independent of the machine, any
// alignment, and a short prefix read from a buffer of exactly its size (a
// read past it is one past an allocation, which ASan reports).
#include "check.h"

#include <cstdint>
#include <memory>

#include "core/load_le.h"

using namespace zelmo;

int main() {
  const unsigned char bytes[12] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
  CHECK(load_le64(bytes) == 0x0807060504030201ULL);
  CHECK(load_le64(bytes + 3) == 0x0B0A090807060504ULL);
  CHECK(load_le32(bytes) == 0x04030201u);
  CHECK(load_le32(bytes + 1) == 0x05040302u);

  for (size_t n = 0; n <= 8; ++n) {
    const std::unique_ptr<unsigned char[]> exact(new unsigned char[n == 0 ? 1 : n]);
    uint64_t want = 0;
    for (size_t i = 0; i < n; ++i) {
      exact[i] = static_cast<unsigned char>(0xF0 + i);
      want |= uint64_t{0xF0 + i} << (8 * i);
    }
    CHECK(load_le64_prefix(exact.get(), n) == want);
  }
  // A full prefix is the whole word.
  CHECK(load_le64_prefix(bytes + 2, 8) == load_le64(bytes + 2));
  return zelmo_test::check_summary();
}
