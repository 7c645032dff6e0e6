// Task and timing commands as scenarios use them: starting tasks into free
// or named slots, twenty tasks, running alone, ending tasks that wait, the
// waits with their timing trace, and the clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <regex>

#include "helpers.h"
#include "platform/clock.h"

using namespace stdtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

int32_t integer(const FAQ& v) {
  const int32_t m = static_cast<int32_t>(v.word1 & 0x7FFFFFFF);
  return (v.word1 & 0x80000000u) ? -m : m;
}

TEST(StartTaskTest, FreeAndNamedSlotsTheNewFrameAndTheSlotErrors) {
  Scenario s;
  s.source("SUB", R"(DebugMessage("sub", GetTask(0), $@, $A, $B, $C, $D); Wait(300);)");
  ASSERT_TRUE(run(s, R"(
    $1 = TaskStart(-1, "SUB", 9, "v");
    $2 = TaskStart(3, "SUB");
    $3 = TaskStart(3, "SUB");
    $4 = TaskStart(20, "SUB");
    DebugMessage("main", $1, $2, $3, $4, IsTask(1), IsTask(3), IsTask(2), IsTask(-1), IsTask(20));
  )"));
  EXPECT_THAT(said(s),
              UnorderedElementsAre("sub 1 5 -1SUB 9v", "sub 3 3 3SUB", "main 1 3 3 3 -1 -1 0 0 0"));
  EXPECT_THAT(s.messages(),
              ElementsAre("タスク 3 はすでに起動されています。", "タスクの指定値が不正です。"));
}

TEST(StartTaskTest, AnOverlongScenarioNameIsRefused) {
  Scenario s;
  ASSERT_TRUE(run(s, "TaskStart(-1, \"" + std::string(300, 'S') + "\"); DebugMessage(\"no\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(StartTask)において、第2引数が259バイトを超えています。"));
}

TEST(StartTaskTest, TwentyTasksFillTheTableAndTheTwentyFirstIsRefused) {
  Scenario s;
  s.source("T", R"(
    While($100 == 0) { Wait(5); };
    $(200 + GetTask(0)) = GetTask(0);
  )");
  ASSERT_TRUE(run(s, R"(
    $100 = 0; $3 = 0; $4 = 0;
    For(\$1, 1, 19, 1) { $(300 + $1) = TaskStart(-1, "T"); };
    $2 = TaskStart(-1, "T");
    For(\$1, 0, 19, 1) { If(IsTask($1)) { $3 = $3 + 1; }; };
    $100 = 1;
    While($4 < 19) { $4 = 0; For(\$1, 1, 19, 1) { If(IsTask($1) == 0) { $4 = $4 + 1; }; }; };
  )"));
  for (int32_t t = 1; t <= 19; ++t) {
    EXPECT_EQ(integer(s.common(300 + t)), t);
    EXPECT_EQ(integer(s.common(200 + t)), t);
  }
  EXPECT_EQ(s.show_common(2), "3");  // the statement keeps the interpreter's value
  EXPECT_EQ(s.show_common(3), "20");
  EXPECT_THAT(s.messages(), ElementsAre("タスクの起動数が20を超えました。"));
}

TEST(TaskSuperTest, ATaskRunsAloneUntilItLetsGo) {
  Scenario s;
  s.source("SUB", R"(Loop(30) { DebugMessage("s"); };)");
  ASSERT_TRUE(run(s, R"(
    TaskStart(1, "SUB");
    DebugMessage("before");
    TaskSuper(1);
    DebugMessage("a"); DebugMessage("b"); DebugMessage("c");
    TaskSuper(0);
    DebugMessage("d"); DebugMessage("e");
  )"));
  const Lines lines = said(s);
  const auto a = std::find(lines.begin(), lines.end(), "a");
  ASSERT_NE(a, lines.end());
  ASSERT_GE(lines.end() - a, 3);
  EXPECT_EQ(a[1], "b");
  EXPECT_EQ(a[2], "c");
  // Without the super task the two tasks take turns statement by statement.
  const auto d = std::find(lines.begin(), lines.end(), "d");
  const auto e = std::find(lines.begin(), lines.end(), "e");
  ASSERT_NE(e, lines.end());
  EXPECT_EQ(e - d, 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "s"), 30);
}

TEST(TaskSuperTest, ChecksItsArgumentUnderTheNameIsTask) {
  Scenario s;
  ASSERT_TRUE(run(s, "TaskSuper(\"x\");"));
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(IsTask)において、第1引数は数値型でなければなりません。"));
}

TEST(EndTaskTest, EndsATaskInALongWaitOrWaitEndAtOnce) {
  Scenario s;
  s.source("SLEEPER", R"(DebugMessage("sleeping"); Wait(10000); DebugMessage("never");)");
  s.source("WAITER", R"(
    WaitStart(100000); DebugMessage("waiting"); WaitEnd(0); DebugMessage("never");
  )");
  ASSERT_TRUE(run(s, R"(
    TaskStart(1, "SLEEPER");
    TaskStart(2, "WAITER");
    Wait(50);
    $1 = SystemTime(1);
    TaskEnd(1);
    TaskEnd(2);
    $2 = SystemTime(1) - $1;
    DebugMessage("ended", IsTask(1), IsTask(2));
  )",
                  8000));
  EXPECT_THAT(said(s), UnorderedElementsAre("sleeping", "waiting", "ended 0 0"));
  EXPECT_LT(integer(s.common(2)), 1000);
}

TEST(EndTaskTest, OwnTaskFreeSlotsAndNumbersOutOfRange) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    TaskEnd(-1); TaskEnd(20); TaskEnd(5);
    DebugMessage("still here");
    TaskEnd(GetTask(0));
    DebugMessage("never");
  )"));
  EXPECT_THAT(said(s), ElementsAre("still here"));
  EXPECT_THAT(s.messages(), IsEmpty());
}

// A task running alone cannot give the turn to the task it ends: the target
// is marked and ends once the turn goes round again.
TEST(EndTaskTest, FromTheSuperTaskMarksTheTargetWithoutWaiting) {
  Scenario s;
  s.source("SUB", R"(Loop(-1) { Wait(1); };)");
  ASSERT_TRUE(run(s, R"(
    TaskStart(1, "SUB");
    TaskSuper(1);
    TaskEnd(1);
    DebugMessage("marked", IsTask(1));
    TaskSuper(0);
    While(IsTask(1)) { Wait(1); };
    DebugMessage("gone");
  )",
                  8000));
  EXPECT_THAT(said(s), ElementsAre("marked -1", "gone"));
}

// Two tasks that end each other: each stops waiting for the other once it is
// told to end itself, so both end.
TEST(EndTaskTest, TwoTasksThatEndEachOtherBothEnd) {
  Scenario s;
  s.source("A", R"($X = 1; Wait(0) + TaskEnd(2); DebugMessage("never a");)");
  s.source("B", R"(TaskEnd(1); DebugMessage("never b");)");
  ASSERT_TRUE(run(s, R"(DebugWait(0); TaskStart(1, "A"); TaskStart(2, "B");)", 5000));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_EQ(s.ctx->taskThread[1], 0u);
  EXPECT_EQ(s.ctx->taskThread[2], 0u);
}

TEST(WaitTest, WaitStartAndWaitEndBracketWork) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    WaitStart(100); WaitStart(5);
    DebugMessage("cleared", WaitEnd(1), WaitEnd(0));
    WaitStart(100);
    $1 = WaitEnd(1);
    Wait(150);
    DebugMessage("test", $1, WaitEnd(1), WaitEnd(1));
    $2 = SystemTime(1);
    WaitStart(200);
    $3 = WaitEnd(0);
    $4 = SystemTime(1) - $2;
    DebugMessage("waited", $3);
  )"));
  EXPECT_THAT(said(s), ElementsAre("cleared 0 0", "test 0 -1 0", "waited -1"));
  EXPECT_GE(integer(s.common(4)), 200);
  EXPECT_LT(integer(s.common(4)), 2000);
}

TEST(WaitTest, DebugWaitZeroSkipsWaitsAndThreeNeverWaits) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = SystemTime(1);
    DebugWait(0);
    Wait(5000);
    WaitStart(1000);
    DebugMessage("skip", WaitEnd(1));
    WaitStart(1000);
    DebugMessage("skip", WaitEnd(0));
    DebugWait(3);
    Wait(5000);
    WaitStart(10);
    Wait(0);
    DebugMessage("never over", WaitEnd(1));
    DebugMessage("no wait", WaitEnd(0));
    DebugWait(1);
    $2 = SystemTime(1) - $1;
  )"));
  EXPECT_THAT(said(s), ElementsAre("skip -1", "skip -1", "never over 0", "no wait -1"));
  EXPECT_LT(integer(s.common(2)), 1000);
}

TEST(WaitTest, TraceModeTwoReportsAskedAndTakenTimes) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    DebugWait(2);
    Wait(50);
    WaitStart(60); WaitEnd(0);
    WaitStart(40); $1 = WaitEnd(1); Wait(60); $2 = WaitEnd(1);
    Wait(0);
    DebugWait(1);
    Wait(10);
    DebugMessage("results", $1, $2);
  )"));
  const Lines lines = said(s);
  ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
  const std::regex trace(R"(TASK00 (\d+) -> (\d+) (\d+)%)");
  const int asked[] = {50, 60, 60, 40, 1};
  for (int i = 0; i < 5; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, trace)) << lines[i];
    EXPECT_EQ(std::stoi(m[1]), asked[i]) << lines[i];
    const int taken = std::stoi(m[2]);
    if (asked[i] > 1) {
      EXPECT_GE(taken, asked[i]) << lines[i];
    }
    EXPECT_EQ(std::stoi(m[3]), taken * 100 / asked[i]) << lines[i];
  }
  EXPECT_EQ(lines[5], "results 0 -1");
}

// Tasks that all wait leave the executor asleep: the waiting costs no core.
// Measured against two tasks that compute for as long, in the same run, so
// that a loaded machine slows both alike.
TEST(WaitTest, TasksThatAllWaitUseLittleProcessorTime) {
  // Processor time (ms) and wall time (ms) of a run of MRV.
  const auto measure = [](Scenario& s, long* wall) {
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000L + t.tv_usec / 1000; };
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const uint32_t start = plat::ticks_ms();
    EXPECT_TRUE(s.run("MRV"));
    *wall = static_cast<long>(plat::ticks_ms() - start);
    getrusage(RUSAGE_SELF, &after);
    return ms(after.ru_utime) - ms(before.ru_utime) + ms(after.ru_stime) - ms(before.ru_stime);
  };
  Scenario waiting;
  waiting.source("W", "WaitStart(600); WaitEnd(0); Wait(300);");
  waiting.source("MRV", "TaskStart(1, \"W\"); WaitStart(600); WaitEnd(0); Wait(300);");
  long waitWall = 0;
  const long waitCpu = measure(waiting, &waitWall);
  Scenario busy;
  const char* spin =
      "$1 = SystemTime(0); $2 = 0; While(SystemTime(0) - $1 < 900) { $2 = $2 + 1; };";
  busy.source("W", spin);
  busy.source("MRV", std::string("TaskStart(1, \"W\"); ") + spin);
  long busyWall = 0;
  const long busyCpu = measure(busy, &busyWall);
  EXPECT_GE(waitWall, 900);
  EXPECT_LT(waitCpu, busyCpu / 4) << "waiting " << waitWall << " ms took " << waitCpu
                                  << " ms of processor time, computing " << busyWall << " ms took "
                                  << busyCpu << " ms";
}

TEST(ClockTest, DateAndTimeAsOneNumberAndTheTickCounts) {
  Scenario s;
  const auto key = [](const plat::LocalTime& t) {
    return (t.year * 10000LL + t.month * 100 + t.day) * 1000000000LL + t.hour * 10000 +
           t.minute * 100 + t.second;
  };
  const plat::LocalTime before = plat::local_time();
  const uint32_t ticks = plat::ticks_ms();
  ASSERT_TRUE(run(s, R"(
    $1 = Clock(0);
    $2 = SystemTime(1);
    $3 = SystemTime(0);
    $4 = SystemTime(2);
    $5 = SystemTime(-1.5);
  )"));
  const plat::LocalTime after = plat::local_time();
  const FAQ clock = s.common(1);
  const long long got = static_cast<long long>(clock.word1) * 1000000000LL + clock.word2;
  EXPECT_GE(got, key(before));
  EXPECT_LE(got, key(after));
  EXPECT_GE(integer(s.common(2)), 0);
  EXPECT_LT(integer(s.common(2)), 10000);
  EXPECT_LT(s.common(3).word1 - ticks, 10000u);
  EXPECT_EQ(s.common(3).word2, 0u);
  EXPECT_EQ(s.show_common(4), "2");
  EXPECT_EQ(s.show_common(5), "-1.5");
}

}  // namespace
