// Raw throughput of the module's SipHash-1-3 (all-zero key) over one buffer:
// the bytes-per-second ceiling that the saturation scan's hashing is compared
// against. Then the saturation scan's own text bytes per second on natural
// text and on a flood of the same size. Prints the median of several timed
// runs; asserts nothing beyond a checksum that keeps the work from being
// optimised away.
//
//   bench_siphash [buffer_bytes] [runs]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/block_model.h"
#include "core/saturation_scan.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Hashes `buf` `reps` times as one message each; returns seconds.
double time_hashes(const std::string& buf, uint64_t reps, uint64_t& sink) {
  const auto* p = reinterpret_cast<const unsigned char*>(buf.data());
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t r = 0; r < reps; ++r) {
    zelmo::SipHash13 h;
    h.update(p, buf.size());
    sink ^= h.finish() + r;
  }
  return seconds_since(start);
}

// Scans `text` `reps` times with the default width; returns seconds.
double time_scans(const std::string& text, uint64_t reps, uint64_t& sink) {
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t r = 0; r < reps; ++r) {
    sink += static_cast<uint64_t>(zelmo::saturation_scan(text, 8) * 1e6f);
  }
  return seconds_since(start);
}

// Words of 1 to 10 pseudo-random letters, one space apart: almost every
// 8-word shingle is unique.
std::string natural_text(uint64_t bytes) {
  std::string out;
  uint64_t x = 0x2545F4914F6CDD1DULL;
  while (out.size() < bytes) {
    x ^= x << 13; x ^= x >> 7; x ^= x << 17;
    for (uint64_t i = 0, len = 1 + x % 10; i < len; ++i) {
      out.push_back(static_cast<char>('a' + (x >> (8 + 5 * i)) % 26));
    }
    out.push_back(' ');
  }
  out.resize(bytes);
  return out;
}

// One log line over and over.
std::string flood_text(uint64_t bytes) {
  const std::string line = "ERROR [auth] login failed for user root from 10.0.0.1, retrying\n";
  std::string out;
  while (out.size() < bytes) out += line;
  out.resize(bytes);
  return out;
}

// Median text bytes per second of the scan over `text`, calibrated like the hash.
double scan_rate(const std::string& text, int runs, uint64_t& sink) {
  uint64_t reps = 1;
  while (reps < (uint64_t{1} << 30) && time_scans(text, reps, sink) < 0.05) reps *= 2;
  std::vector<double> rates;
  for (int i = 0; i < runs; ++i) {
    const double t = time_scans(text, reps, sink);
    rates.push_back(static_cast<double>(text.size()) * static_cast<double>(reps) / t);
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (uint64_t{1} << 20);
  const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
  if (bytes == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: bench_siphash [buffer_bytes>0] [runs>0]\n");
    return 2;
  }
  std::string buf(bytes, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (char& c : buf) {
    x ^= x << 13; x ^= x >> 7; x ^= x << 17;
    c = static_cast<char>('a' + x % 26);
  }

  uint64_t sink = 0;
  // Calibrate to about 50 ms per run (at least one hash).
  uint64_t reps = 1;
  while (reps < (uint64_t{1} << 30) && time_hashes(buf, reps, sink) < 0.05) reps *= 2;

  std::vector<double> rates;
  for (int i = 0; i < runs; ++i) {
    const double t = time_hashes(buf, reps, sink);
    rates.push_back(static_cast<double>(bytes) * static_cast<double>(reps) / t);
  }
  std::sort(rates.begin(), rates.end());
  const double median = rates[rates.size() / 2];
  std::printf("siphash13 one buffer of %llu bytes x %llu, median of %d runs: %.3f GB/s (checksum %016llx)\n",
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(reps), runs,
              median / 1e9, static_cast<unsigned long long>(sink));
  std::printf("RESULT siphash13_bytes_per_second %.6e\n", median);

  const std::pair<const char*, std::string> scans[] = {{"natural", natural_text(bytes)},
                                                       {"flood", flood_text(bytes)}};
  for (const auto& [name, text] : scans) {
    const double rate = scan_rate(text, runs, sink);
    std::printf("saturation_scan %s text of %llu bytes, median of %d runs: %.3f MB/s\n", name,
                static_cast<unsigned long long>(bytes), runs, rate / 1e6);
    std::printf("RESULT saturation_scan_%s_bytes_per_second %.6e\n", name, rate);
  }
  std::printf("(checksum %016llx)\n", static_cast<unsigned long long>(sink));
  return 0;
}
