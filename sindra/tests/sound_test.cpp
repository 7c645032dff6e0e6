// Wave values through the mixer (SDL's dummy audio driver: no device needed):
// a request 4 plays a sound block, requests 3 and 5 and the close stop
// sounds, the release of a wave value (ordinal 25) stops and forgets its
// block, and anything that is not a sound plays nothing and fails nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "sindra.h"

namespace {

// A mono 16-bit WAV of `ms` milliseconds of a tone.
std::string wav(int ms) {
  const int rate = 22050, n = rate * ms / 1000;
  std::string data;
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<int16_t>(8000 * std::sin(i * 0.1));
    data += static_cast<char>(v & 0xFF);
    data += static_cast<char>((v >> 8) & 0xFF);
  }
  auto le = [](uint32_t v, int k) {
    std::string s;
    for (int i = 0; i < k; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  const auto size = static_cast<uint32_t>(data.size());
  return "RIFF" + le(36 + size, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(rate, 4) +
         le(rate * 2, 4) + le(2, 2) + le(16, 2) + "data" + le(size, 4) + data;
}

// A sound block in the memory region, as a command library makes one.
uint32_t block_of(const std::string& file) {
  void* b = plat::mem_alloc(sindra_block_size(static_cast<uint32_t>(file.size())));
  EXPECT_EQ(sindra_block_fill(b, file.data(), static_cast<uint32_t>(file.size())), 1);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b));
}

void* ptr(uint32_t block) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(block));
}

// Host request 4 with the request block sindra.h describes.
void play(uint32_t block, uint32_t times) {
  std::vector<uint8_t> req(284, 0);
  std::memcpy(&req[4], &block, 4);
  std::memcpy(&req[280], &times, 4);
  sindra_ordinal_6(block, &req[264], &req[8], times);
}

class Sound : public ::testing::Test {
 protected:
  void SetUp() override { setenv("MRV_SINDRA_AUDIO", "dummy", 1); }
  void TearDown() override {
    sindra_ordinal_7();
    for (uint32_t b : blocks_) {
      sindra_ordinal_25(b);
      plat::mem_free(ptr(b));
    }
  }
  uint32_t make(const std::string& file) {
    blocks_.push_back(block_of(file));
    return blocks_.back();
  }
  uint32_t raw(std::size_t size) {  // a memory block of other bytes
    void* b = plat::mem_alloc(size);
    std::memset(b, 'x', size);
    blocks_.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b)));
    return blocks_.back();
  }
  std::vector<uint32_t> blocks_;
};

TEST_F(Sound, PlaysUntilStoppedByEachWayOfStopping) {
  const uint32_t a = make(wav(200)), b = make(wav(200));
  struct Row {
    const char* how;
    void (*stop)(uint32_t a);
    int left;  // sounds still playing after
  } rows[] = {
      {"request 3 for one block", [](uint32_t x) { sindra_ordinal_2(x); }, 1},
      {"request 3 for all (0)", [](uint32_t) { sindra_ordinal_2(0); }, 0},
      {"request 5", [](uint32_t) { sindra_ordinal_7(); }, 0},
      {"the user's close", [](uint32_t) { sindra_ordinal_3(); }, 0},
      {"the release of the value", [](uint32_t x) { sindra_ordinal_25(x); }, 1},
  };
  for (const Row& r : rows) {
    play(a, 0);  // until stopped
    play(b, 0);
    ASSERT_EQ(sindra_playing(), 2) << r.how;
    r.stop(a);
    EXPECT_EQ(sindra_playing(), r.left) << r.how;
    sindra_ordinal_7();
  }
}

TEST_F(Sound, AReleasedBlockIsForgottenSoItsAddressCanHoldAnotherSound) {
  const uint32_t a = make(wav(200));
  play(a, 0);
  sindra_ordinal_25(a);
  EXPECT_EQ(sindra_playing(), 0);
  // The same block refilled with something that is no sound: nothing kept
  // from before plays.
  std::memset(ptr(a), 'x', 16);
  play(a, 0);
  EXPECT_EQ(sindra_playing(), 0);
}

// A block whose bytes changed since it played, with no release in between
// (freed by its owner and its address given to another sound, or filled
// again), is decoded anew: what the address held before never plays.
TEST_F(Sound, ABlockFilledAgainWithoutAReleasePlaysWhatItHoldsNow) {
  const std::string longer = wav(400), shorter = wav(20);
  const uint32_t a = make(longer);
  play(a, 0);
  ASSERT_EQ(sindra_playing(), 1);
  sindra_ordinal_7();
  std::memset(ptr(a), 'x', 16);  // no sound any more
  play(a, 0);
  EXPECT_EQ(sindra_playing(), 0);
  // A sound in the same block again: it plays.
  ASSERT_EQ(sindra_block_fill(ptr(a), shorter.data(), static_cast<uint32_t>(shorter.size())), 1);
  play(a, 0);
  EXPECT_EQ(sindra_playing(), 1);
}

TEST_F(Sound, WhatIsNotASoundPlaysNothing) {
  const std::string file = wav(50);
  struct Row {
    const char* what;
    uint32_t block;
  } rows[] = {
      {"no block", 0},
      {"a block that is not a sound block", raw(64)},
      {"a sound block of bytes that are no sound", make("RIFFnonsense")},
      {"an address outside every block", make(file) + 4},
  };
  for (const Row& r : rows) {
    play(r.block, 1);
    EXPECT_EQ(sindra_playing(), 0) << r.what;
    sindra_ordinal_25(r.block);  // forgetting what was never played is fine
  }
}

TEST_F(Sound, APlayOfCountOnceEndsByItself) {
  play(make(wav(100)), 1);
  EXPECT_EQ(sindra_playing(), 1);
  for (int i = 0; i < 300 && sindra_playing() != 0; ++i) usleep(20000);
  EXPECT_EQ(sindra_playing(), 0);
}

}  // namespace
