// Tasks: slots, the rotation of the execution turn, the starting task going
// on only when the turn comes back, waiting, and the end of tasks.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "mrvexec.h"
#include "mrvshare.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "processes.h"
#include "support.h"

namespace {

using namespace exectest;

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The threads of this process, as the kernel counts them.
int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

TEST(Tasks, OneTaskRunsItsScenarioToTheEndAndFreesItsSlot) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(1);\nTESTCMD:SHOW(2, \"two\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"1", "2|\"two\""}));
  EXPECT_EQ(s.ctx->taskThread[0], 0u);
  EXPECT_EQ(MRVEXEC_SystemTask(s.ctx), 0);
  EXPECT_TRUE(s.boxes().empty());
}

// Tasks 0, 3 and 7 take one statement per turn in the order of their
// numbers; a started task runs first, and the starter goes on only when the
// turn comes back to it; an ended task passes the turn to the next one.
TEST(Tasks, LiveTasksTakeOneStatementPerTurnInTheOrderOfTheirNumbers) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:START(3, \"T\");\nTESTCMD:START(7, \"T\");\n"
           "TESTCMD:SHOW(\"0a\");\nTESTCMD:SHOW(\"0b\");\nTESTCMD:SHOW(\"0c\");\n");
  s.source("T",
           "TESTCMD:SHOW(TESTCMD:TASK(), \"a\");\nTESTCMD:SHOW(TESTCMD:TASK(), \"b\");\n"
           "TESTCMD:SHOW(TESTCMD:TASK(), \"c\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"3|\"a\"", "3|\"b\"", "7|\"a\"", "\"0a\"", "3|\"c\"", "7|\"b\"",
                               "\"0b\"", "7|\"c\"", "\"0c\""}));
}

TEST(Tasks, TheSuperTaskRunsAloneUntilItLetsGo) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:START(1, \"V\");\nTESTCMD:SUPER(1);\nTESTCMD:SHOW(\"s1\");\n"
           "TESTCMD:SHOW(\"s2\");\nTESTCMD:SUPER(0);\nTESTCMD:SHOW(\"s3\");\n");
  s.source("V", "TESTCMD:SHOW(\"v1\");\nTESTCMD:SHOW(\"v2\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"\"v1\"", "\"s1\"", "\"s2\"", "\"v2\"", "\"s3\""}));
  EXPECT_EQ(s.ctx->superTask, -1);
}

TEST(Tasks, TwentyTasksRunAndATwentyFirstIsRefused) {
  Scenario s({"testcmd.so"});
  // The started tasks stay live, passing their turns, until task 0 sets $0.
  std::string main = "$0 = 0;\n";
  for (int t = 1; t < 20; ++t) main += "TESTCMD:START(" + std::to_string(t) + ", \"U\");\n";
  main += "$0 = 1;\nTESTCMD:START(-1, \"U\");\nTESTCMD:SHOW(\"end\");\n";
  s.source("MAIN", main);
  s.source("U",
           "TESTCMD:SHOW(TESTCMD:TASK());\nTESTCMD:LOOP(-1) {\n  TESTCMD:IF($0 == 1) {\n"
           "    TESTCMD:FLAG(4);\n  };\n};\nTESTCMD:SHOW(TESTCMD:TASK());\n");
  ASSERT_TRUE(s.run("MAIN"));
  Lines got = reports(s);
  for (int t = 1; t < 20; ++t) {
    EXPECT_EQ(std::count(got.begin(), got.end(), std::to_string(t)), 2) << t;
  }
  // The refused start failed its statement, so task 0 ended there.
  EXPECT_EQ(std::count(got.begin(), got.end(), "\"end\""), 0);
  EXPECT_EQ(s.messages(), (Lines{"タスクの起動数が20を超えました。"}));
}

TEST(Tasks, SlotErrorsAreReportedWithTheirMessages) {
  struct Row {
    const char* start;
    const char* message;
  } rows[] = {
      {"TESTCMD:START(20, \"U\");", "タスクの指定値が不正です。"},
      {"TESTCMD:START(0, \"U\");", "タスク 0 はすでに起動されています。"},
  };
  for (const Row& r : rows) {
    Scenario s({"testcmd.so"});
    s.source("MAIN", std::string(r.start) + "\nTESTCMD:SHOW(\"after\");\n");
    s.source("U", "TESTCMD:SHOW(\"U\");\n");
    ASSERT_TRUE(s.run("MAIN"));
    EXPECT_EQ(s.messages(), (Lines{r.message})) << r.start;
    EXPECT_TRUE(reports(s).empty()) << r.start;
  }
}

TEST(Tasks, ACommandThatFailsSilentlyEndsItsTaskWithoutABox) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(1);\nTESTCMD:FAIL();\nTESTCMD:SHOW(2);\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"1"}));
  EXPECT_TRUE(s.boxes().empty());
}

// A wait ends early, with 0, once any live task is marked to end.
TEST(Tasks, AWaitEndsAtOnceWhenATaskIsToEnd) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:START(1, \"W\");\nTESTCMD:WAIT(100);\nTESTCMD:FLAG(8, 1);\n"
           "TESTCMD:SHOW(\"main\");\n");
  s.source("W", "TESTCMD:SHOW(TESTCMD:WAIT(5000));\nTESTCMD:SHOW(\"never\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"0", "\"main\""}));  // 0: the wait ended early
}

// Waiting tasks sleep instead of passing the turn round and round: per
// second, a second of waiting costs far less processor time than two tasks
// that pass the turn round and round in the same run (a reference that a
// loaded machine slows alike), and the waits last their time.
TEST(Tasks, WaitingTasksUseNoCore) {
  // Processor seconds per second of the run of `name`'s scenario.
  auto rate = [](Scenario& s, const char* name, uint32_t* elapsed) {
    const double cpu = cpu_seconds();
    const uint32_t start = plat::ticks_ms();
    EXPECT_TRUE(s.run(name));
    *elapsed = std::max<uint32_t>(plat::ticks_ms() - start, 1);
    return (cpu_seconds() - cpu) * 1000.0 / *elapsed;
  };
  Scenario busy({"testcmd.so"});
  busy.source("MAIN", "TESTCMD:START(1, \"B\");\nTESTCMD:HANDOVER(20000);\n");
  busy.source("B", "TESTCMD:HANDOVER(20000);\n");
  uint32_t busy_ms = 0;
  const double passing = rate(busy, "MAIN", &busy_ms);

  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:START(1, \"W\");\nTESTCMD:SHOW(TESTCMD:WAIT(1000));\n");
  s.source("W", "TESTCMD:SHOW(TESTCMD:WAIT(600));\n");
  uint32_t elapsed = 0;
  const double waiting = rate(s, "MAIN", &elapsed);
  EXPECT_GE(elapsed, 1000u);
  EXPECT_LT(waiting, passing / 4) << "passing the turn: " << passing << " in " << busy_ms
                                  << " ms; waiting: " << waiting << " in " << elapsed << " ms";
  EXPECT_EQ(reports(s), (Lines{"1", "1"}));
}

// Waits up to 30 s, looking every millisecond, until no task of ctx is live.
bool all_ended(SystemContext* ctx) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    bool live = false;
    for (int t = 0; t < MRV_TASKS; ++t) live = live || mrv::task_live(ctx, t);
    if (!live) return true;
    if (std::chrono::steady_clock::now() > limit) return false;
    plat::sleep_ms(1);
  }
}

// The very first task of the process (ctest runs each test in a process of
// its own) finds the executor thread's identifier in its slot as soon as the
// host's start returns, though the executor thread was started by that start.
TEST(Tasks, TheFirstTasksSlotNamesItsThreadAtOnce) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(TESTCMD:THREAD());\n");
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  const uint32_t id = s.ctx->taskThreadId[0];
  ASSERT_TRUE(all_ended(s.ctx));
  EXPECT_NE(id, 0u);
  EXPECT_EQ(reports(s), (Lines{std::to_string(id)}));
}

// One process runs any number of contexts one after another, all on the one
// executor thread: a thousand contexts created, run and deleted leave the
// thread count where the first run left it.
TEST(Tasks, AThousandContextsRunOneAfterAnotherOnOneExecutorThread) {
  Scenario s(std::vector<std::string>{});
  s.source("MAIN", "$0 = 1;\n");
  ASSERT_TRUE(s.run("MAIN"));  // the executor thread runs from here on
  const int threads = thread_count();
  ASSERT_GT(threads, 1);
  for (int i = 0; i < 1000; ++i) {
    SystemContext* ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
    std::memcpy(ctx->programDir, s.ctx->programDir, sizeof ctx->programDir);
    ASSERT_EQ(MRVVAL_CreateLocal(ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(ctx, 0, "MAIN"), 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (mrv::task_live(ctx, 0) && std::chrono::steady_clock::now() < limit) plat::sleep_ms(1);
    ASSERT_FALSE(mrv::task_live(ctx, 0)) << i;
    EXPECT_EQ(MRV_CELLS(&ctx->commonVars)[ctx->commonVars.base].word1, 1u) << i;
    MRVVAL_Delete(ctx);
  }
  EXPECT_EQ(thread_count(), threads);
}

// A wait lasts its time when the tick counter wraps during it: the deadline
// lies past the wrap, numerically below the ticks when the wait begins.
TEST(Tasks, AWaitLastsItsTimeAcrossTheWrapOfTheTickCounter) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(TESTCMD:WAIT(300));\n");
  const uint32_t ticks = plat::ticks_ms();
  const auto start = std::chrono::steady_clock::now();
  plat::set_ticks_ms(0xFFFFFFFFu - 100);
  const bool ran = s.run("MAIN");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  plat::set_ticks_ms(
      ticks + uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  ASSERT_TRUE(ran);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_EQ(reports(s), (Lines{"1"}));
}

// A task keeps assigning the left button's record and the key word while the
// host writes presses and keys into them, as its window procedure does: the
// task's stores are whole against the host's (ThreadSanitizer reports any
// plain one), both in the decoded form and in the plain evaluator, and once
// the host stops the cells hold exactly what the task stores. #199 (no role
// for the host) tells the host how many passes the task has made.
TEST(Tasks, ATaskAssignsSystemVariablesWhileTheHostWritesInputThere) {
  for (const bool decoded : {true, false}) {
    SCOPED_TRACE(decoded ? "decoded" : "plain");
    if (!decoded) setenv("MRV_DECODE", "0", 1);
    Scenario s({"testcmd.so"});
    s.source("MAIN", "$0 = 0;\nTESTCMD:LOOP(-1) { #110 = 0; #2 = 0; $0 = $0 + 1; #199 = $0; };\n");
    FAQ& button = mrv::sysvar(s.ctx, MRV_SV_LEFT_BUTTON);
    FAQ& key = mrv::sysvar(s.ctx, MRV_SV_KEY);
    const FAQ& passes = mrv::sysvar(s.ctx, 199);
    auto passes_now = [&] { return mrv::load_cell(passes).word1; };
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto in_time = [&] { return std::chrono::steady_clock::now() < limit; };
    for (uint32_t i = 1; passes_now() < 2000 && in_time(); ++i) {
      mrv::store_data(button.word3, i);  // a press at (i, i), then its release
      mrv::store_data(button.word4, i);
      mrv::set_gate(button.word1, MRV_BUTTON_HELD);
      mrv::set_gate(button.word2, MRV_BUTTON_HELD);
      mrv::clear_gate(button.word1, MRV_BUTTON_HELD);
      mrv::store_data(mrv::sysvar(s.ctx, MRV_SV_KEY_DATA).word1, i);  // a key down, then up
      mrv::store_gate(key.word1, i);
      mrv::store_gate(key.word2, i);
      if (mrv::load_type(key) == TYPE_NUMBER) mrv::store_gate(key.word2, 0);
    }
    const uint32_t stopped = passes_now();
    while (passes_now() < stopped + 2 && in_time()) std::this_thread::yield();
    mrv::set_flags(s.ctx->taskFlags[0], TASK_END);
    MRVEXEC_Wake(s.ctx);
    ASSERT_TRUE(all_ended(s.ctx));
    unsetenv("MRV_DECODE");
    EXPECT_GE(passes.word1, 2000u);
    const FAQ zero{TYPE_NUMBER, 1, 0, 0, 0, 0, 0};  // what "= 0" stores, counted once
    for (const FAQ* c : {&button, &key}) {
      EXPECT_EQ(std::memcmp(c, &zero, sizeof zero), 0)
          << c->type << " " << c->setCount << " " << c->word1 << " " << c->word2 << " " << c->word3
          << " " << c->word4 << " " << c->word5;
    }
    EXPECT_TRUE(s.boxes().empty());
  }
}

// A context deleted under a live task abandons it: the task never runs again
// and the executor serves the next context.
TEST(Tasks, DeletingTheContextAbandonsALiveTask) {
  {
    Scenario s({"testcmd.so"});
    s.source("MAIN", "TESTCMD:SHOW(\"waits\");\nTESTCMD:WAIT(3000);\nTESTCMD:SHOW(\"never\");\n");
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
    // Deleted while the task waits, however slowly a loaded machine got it
    // there (the wait begins right after the report).
    ASSERT_TRUE(mrvtest::eventually([&] { return !reports(s).empty(); }));
    plat::sleep_ms(50);
    MRVVAL_Delete(s.ctx);
    s.ctx = nullptr;
    plat::sleep_ms(50);
  }
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(\"next\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"\"next\""}));
}

// The running task waits in a send to a window of the thread that deletes
// its context (as a task's error box asks the host's window): the delete
// serves the send meanwhile, so the task reaches its next hand-over, is
// abandoned and the context freed at once, not after the delete's patience.
std::atomic<int> g_sends_served{0};
intptr_t count_sends(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  if (msg == plat::WM_USER) ++g_sends_served;
  return plat::def_window_proc(hwnd, msg, wparam, lparam);
}

TEST(Tasks, DeletingTheContextServesTheRunningTasksSendToTheDeletingThread) {
  ASSERT_TRUE(plat::register_class("TasksSendTarget", count_sends));
  const uint32_t hwnd = plat::create_window("TasksSendTarget", "", 0, plat::Rect{0, 0, 8, 8});
  ASSERT_NE(hwnd, 0u);
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(\"sends\");\nTESTCMD:SEND(" + std::to_string(hwnd) +
                       ");\nTESTCMD:SHOW(\"never\");\n");
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  // This thread does not pump: the send waits, however slowly a loaded
  // machine got the task there (it sends right after the report).
  ASSERT_TRUE(mrvtest::eventually([&] { return !reports(s).empty(); }));
  plat::sleep_ms(200);
  const auto start = std::chrono::steady_clock::now();
  MRVVAL_Delete(s.ctx);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reports(s), (Lines{"\"sends\""}));
  s.ctx = nullptr;
  EXPECT_EQ(g_sends_served.load(), 1);
  EXPECT_LT(took, std::chrono::seconds(3));  // the patience is 5 s
}

// A call of the host's is made where no task writes beside it: while a task
// counts in a loop, on the executor thread at its hand-over (the count does
// not move during the call); once no task runs, at once on the host's own.
struct HandOverSeen {
  std::atomic<int> calls{0};
  uint32_t thread = 0;
  uint32_t before = 0, after = 0;
  int32_t a = 0, b = 0;
} g_hand_over;

void note_hand_over(SystemContext* ctx, int32_t a, int32_t b) {
  const FAQ& count = MRV_CELLS(&ctx->commonVars)[ctx->commonVars.base];  // $0
  g_hand_over.thread = plat::thread_current_id();
  g_hand_over.before = count.word1;
  plat::sleep_ms(50);
  g_hand_over.after = count.word1;
  g_hand_over.a = a;
  g_hand_over.b = b;
  ++g_hand_over.calls;
}

TEST(Tasks, TheHostsCallIsMadeWhereNoTaskWritesBesideIt) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "$0 = 1;\nTESTCMD:SHOW(\"counts\");\nTESTCMD:LOOP(-1) { $0 = $0 + 1; };\n");
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  ASSERT_TRUE(mrvtest::eventually([&] { return !reports(s).empty(); }));
  MRVEXEC_AtHandOver(s.ctx, note_hand_over, 6, 7);
  ASSERT_TRUE(mrvtest::eventually([&] { return g_hand_over.calls.load() == 1; }));
  EXPECT_EQ(g_hand_over.thread, s.ctx->taskThreadId[0]);
  EXPECT_EQ(g_hand_over.before, g_hand_over.after);
  EXPECT_NE(g_hand_over.before, 0u);
  EXPECT_EQ(g_hand_over.a, 6);
  EXPECT_EQ(g_hand_over.b, 7);

  mrv::set_flags(s.ctx->taskFlags[0], TASK_END);
  MRVEXEC_Wake(s.ctx);
  ASSERT_TRUE(all_ended(s.ctx));
  MRVEXEC_AtHandOver(s.ctx, note_hand_over, 8, 0);
  EXPECT_EQ(g_hand_over.calls.load(), 2);  // made before the return
  EXPECT_EQ(g_hand_over.thread, plat::thread_current_id());
  EXPECT_EQ(g_hand_over.a, 8);
}

// The host starts tasks as fast as it can while the tasks it started end at
// once: every start runs, none is lost at the instant the last task ends
// (marked live and never run, so that the host would wait for ever).
TEST(Tasks, StartsFromTheHostAgainstTasksThatEndAtOnceAreNeverLost) {
  Scenario s({"testcmd.so"});
  s.source("E", "$0 = $0 + 1;\n");
  FAQ& count = MRV_CELLS(&s.ctx->commonVars)[s.ctx->commonVars.base];  // $0
  ASSERT_TRUE(MRVFAQ_Number(s.ctx, &count, 1, 0, 0));
  constexpr int kStarts = 1000;
  int started = 0;
  while (started < kStarts) {
    int32_t t = -1;
    for (int i = 0; i < MRV_TASKS && t < 0; ++i) {
      if (!mrv::task_live(s.ctx, i)) t = i;
    }
    if (t < 0) continue;  // all twenty live: one ends soon
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, t, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, t, "E"), t);
    ++started;
  }
  ASSERT_TRUE(all_ended(s.ctx));
  EXPECT_EQ(MRVEXEC_SystemTask(s.ctx), 0);
  EXPECT_EQ(count.word1, uint32_t(kStarts));
  EXPECT_TRUE(s.boxes().empty());
}

// Contexts deleted while their tasks run, pass the turn, wait and nap, at
// moments spread over their first milliseconds: no task reads a deleted
// context again (the sanitizers of the test build see every such read), and
// the executor goes on serving the next context.
TEST(Tasks, DeletingContextsWhileTasksRunSwitchAndWait) {
  Scenario dir({"testcmd.so"});
  dir.source("MAIN",
             "TESTCMD:START(1, \"BUSY\");\nTESTCMD:START(2, \"NAP\");\n"
             "TESTCMD:START(3, \"PASS\");\nTESTCMD:LOOP(-1) { $0 = $0 + 1; };\n");
  dir.source("BUSY", "TESTCMD:LOOP(-1) { $1 = $1 + 1; };\n");
  dir.source("NAP", "TESTCMD:LOOP(-1) { TESTCMD:WAIT(1); };\n");
  dir.source("PASS", "TESTCMD:LOOP(-1) { TESTCMD:HANDOVER(3); TESTCMD:WAIT(0); };\n");
  for (int i = 0; i < 60; ++i) {
    SystemContext* ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
    std::memcpy(ctx->programDir, dir.ctx->programDir, sizeof ctx->programDir);
    ASSERT_EQ(MRVVAL_CreateLocal(ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(ctx, 0, "MAIN"), 0);
    plat::sleep_ms(static_cast<uint32_t>(i % 6));
    MRVVAL_Delete(ctx);
  }
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(\"next\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"\"next\""}));
}

// The host starts task 0 again the moment its slot is free, as a host that
// runs one scenario after another does: the new task runs, also when the
// old one has freed the slot but not yet left the executor.
TEST(Tasks, AHostStartIntoTheSlotJustFreedRuns) {
  Scenario s({"testcmd.so"});
  s.source("E", "$0 = $0 + 1;\n");
  FAQ& count = MRV_CELLS(&s.ctx->commonVars)[s.ctx->commonVars.base];  // $0
  ASSERT_TRUE(MRVFAQ_Number(s.ctx, &count, 1, 0, 0));
  constexpr int kStarts = 3000;
  for (int i = 0; i < kStarts; ++i) {
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "E"), 0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (mrv::task_live(s.ctx, 0) && std::chrono::steady_clock::now() < limit) {
      std::this_thread::yield();
    }
    ASSERT_FALSE(mrv::task_live(s.ctx, 0)) << "start " << i << " never ran";
  }
  EXPECT_EQ(count.word1, uint32_t(kStarts));
}

}  // namespace
