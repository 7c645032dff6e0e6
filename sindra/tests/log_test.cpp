// The stand-in's call log: nothing is kept until a test switches recording
// on, then every ordinal is recorded with its arguments in order, the log is
// safe to fill from several threads, and the observer runs inside the call.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sindra.h"

namespace {

// Runs first in this program and alone under ctest: recording starts off.
TEST(SindraRecording, NothingIsKeptUntilRecordingIsSwitchedOn) {
  int observed = 0;
  sindra_set_observer([](const SindraCall*, void* n) { ++*static_cast<int*>(n); }, &observed);
  sindra_ordinal_2(1);
  sindra_ordinal_25(2);
  sindra_set_observer(nullptr, nullptr);
  EXPECT_EQ(observed, 2) << "the observer sees calls that are not recorded";
  EXPECT_EQ(sindra_call_count(), 0);
  sindra_record(1);
  sindra_ordinal_7();
  sindra_record(0);
  sindra_ordinal_3();
  ASSERT_EQ(sindra_call_count(), 1);
  SindraCall c{};
  ASSERT_EQ(sindra_call(0, &c), 1);
  EXPECT_EQ(c.ordinal, 7);
  sindra_clear_calls();
}

class SindraLog : public ::testing::Test {
 protected:
  void SetUp() override {
    sindra_clear_calls();
    sindra_record(1);
  }
  void TearDown() override {
    sindra_set_observer(nullptr, nullptr);
    sindra_record(0);
  }
  static SindraCall at(int32_t i) {
    SindraCall c{};
    EXPECT_EQ(sindra_call(i, &c), 1) << "record " << i;
    return c;
  }
};

TEST_F(SindraLog, RecordsEveryOrdinalWithItsArgumentsInOrder) {
  char block[300];
  sindra_ordinal_2(0x11);
  sindra_ordinal_3();
  sindra_ordinal_6(0x22, block + 264, block + 8, 0x33);
  sindra_ordinal_7();
  sindra_ordinal_25(0x44);
  ASSERT_EQ(sindra_call_count(), 5);
  struct Want {
    int32_t ordinal;
    int32_t argc;
    uint64_t args[4];
  };
  const Want want[] = {
      {2, 1, {0x11}},
      {3, 0, {}},
      {6,
       4,
       {0x22, reinterpret_cast<uintptr_t>(block + 264), reinterpret_cast<uintptr_t>(block + 8),
        0x33}},
      {7, 0, {}},
      {25, 1, {0x44}},
  };
  for (int i = 0; i < 5; ++i) {
    const SindraCall c = at(i);
    EXPECT_EQ(c.ordinal, want[i].ordinal) << i;
    EXPECT_EQ(c.argc, want[i].argc) << i;
    for (int a = 0; a < 4; ++a) EXPECT_EQ(c.args[a], want[i].args[a]) << i << "/" << a;
  }
  SindraCall out{};
  EXPECT_EQ(sindra_call(5, &out), 0);
  EXPECT_EQ(sindra_call(-1, &out), 0);
  sindra_clear_calls();
  EXPECT_EQ(sindra_call_count(), 0);
}

TEST_F(SindraLog, ConcurrentCallsAreAllRecorded) {
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (uint32_t i = 0; i < 500; ++i) sindra_ordinal_25(t * 1000 + i);
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(sindra_call_count(), 2000);
  std::vector<int> seen(4000, 0);
  for (int i = 0; i < 2000; ++i) ++seen[static_cast<std::size_t>(at(i).args[0])];
  for (uint32_t t = 0; t < 4; ++t)
    for (uint32_t i = 0; i < 500; ++i) EXPECT_EQ(seen[t * 1000 + i], 1);
}

TEST_F(SindraLog, ObserverSeesTheCallWhileItIsMade) {
  struct Seen {
    int calls = 0;
    int32_t countInside = 0;
    uint64_t arg = 0;
  } seen;
  sindra_set_observer(
      [](const SindraCall* c, void* user) {
        auto* s = static_cast<Seen*>(user);
        ++s->calls;
        s->countInside = sindra_call_count();  // the log may be read from inside
        s->arg = c->args[0];
      },
      &seen);
  sindra_ordinal_25(0x1234);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.countInside, 1);
  EXPECT_EQ(seen.arg, 0x1234u);
  sindra_set_observer(nullptr, nullptr);
  sindra_ordinal_7();
  EXPECT_EQ(seen.calls, 1);
}

}  // namespace
