// Helpers of the randomized robustness tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace mrvtest {

// The generator of one test: its fixed seed, or that seed plus
// MRV_FUZZ_SEED when set, to explore further runs by hand.
inline std::mt19937 generator(uint32_t seed) {
  const char* extra = std::getenv("MRV_FUZZ_SEED");
  return std::mt19937(seed + (extra != nullptr ? uint32_t(std::strtoul(extra, nullptr, 10)) : 0));
}

// Number of file descriptors the process holds (to catch files left open).
inline std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace mrvtest
