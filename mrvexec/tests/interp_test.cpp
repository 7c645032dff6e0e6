// The statement loop and the command call: argument cells, the binding of
// libraries by name and its messages, task flags, the trace line, stepping.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "mrvexec.h"
#include "mrvshare.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "processes.h"
#include "sindra.h"
#include "support.h"

namespace {

using namespace exectest;

TEST(Interp, ArgumentCellsCarryValuesReferencesOmissionsAndTheTerminator) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:ARGS(1, \\$5, , \"s\", \\#7, \\$B);\nTESTCMD:ARGS();\n"
           "TESTCMD:SHOW(TESTCMD:NOTHING(1, 2, 3));\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"n=7 N V($,0,5) Z S V(#,0,7) V(L,0,2) Z", "n=1 Z", "4"}));
}

TEST(Interp, TwentySixArgumentsFillEveryCell) {
  Scenario s({"testcmd.so"});
  std::string args;
  for (int i = 1; i <= 26; ++i) args += (i > 1 ? ", " : "") + std::to_string(i);
  s.source("MAIN", "TESTCMD:SHOW(" + args + ");\n");
  ASSERT_TRUE(s.run("MAIN"));
  ASSERT_EQ(reports(s).size(), 1u);
  EXPECT_EQ(reports(s)[0].substr(0, 6), "1|2|3|");
  EXPECT_EQ(reports(s)[0].substr(reports(s)[0].size() - 5), "25|26");
}

TEST(Interp, LookupFailuresAreReportedAtEveryCall) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:LOOP(2) {\n  TESTCMD:RUN(\"SUB\");\n};\n"
           "TESTCMD:NOSUCH();\n");
  // The arguments are evaluated before the lookup fails.
  s.source("SUB", "NOLIB:X(TESTCMD:SHOW(\"arg\"));\n");
  ASSERT_TRUE(s.run("MAIN"));
  const std::string lib = std::string(s.ctx->programDir) + "\\NOLIB.so";
  EXPECT_EQ(reports(s), (Lines{"\"arg\""}));
  EXPECT_EQ(s.messages(), (Lines{"ライブラリ \"" + lib + "\" が見つかりません。"}));
}

TEST(Interp, AMissingCommandNamesItsLibrary) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:NOSUCH();\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(s.messages(),
            (Lines{"コマンドライブラリ<TESTCMD.DLL>で、関数<(MRV_)NOSUCH>が見つかりません。"}));
}

TEST(Interp, ATwentyFirstLibraryIsRefused) {
  Scenario s({"testcmd.so"});
  std::string src;
  for (int i = 1; i <= 21; ++i) {
    const std::string name = "L" + std::to_string(i);
    std::filesystem::create_symlink(s.dir() / "testcmd.so", s.dir() / (name + ".so"));
    src += name + ":SHOW(" + std::to_string(i) + ");\n";
  }
  s.source("MAIN", src);
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s).size(), 20u);
  EXPECT_EQ(s.messages(), (Lines{"拡張コマンド・ライブラリが20個以上使用されています。"}));
}

TEST(Interp, BreakAndReturnLeaveBlocksAndEndEndsTheTask) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "TESTCMD:LOOP(-1) {\n  TESTCMD:SHOW(\"a\");\n  TESTCMD:IF(1) {\n    TESTCMD:FLAG(4);\n"
           "    TESTCMD:SHOW(\"no\");\n  };\n};\nTESTCMD:SHOW(\"after\");\n"
           "TESTCMD:RUN(\"SUB\");\nTESTCMD:SHOW(\"back\");\nTESTCMD:FLAG(8);\n"
           "TESTCMD:SHOW(\"ended\");\n");
  s.source("SUB",
           "TESTCMD:LOOP(-1) {\n  TESTCMD:FLAG(2);\n  TESTCMD:SHOW(\"no\");\n};\n"
           "TESTCMD:SHOW(\"no2\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"\"a\"", "\"after\"", "\"back\""}));
  EXPECT_TRUE(s.boxes().empty());
}

// Lines show as written (a statement takes the line of the last marker before
// it: the compiler marks a line where a statement follows a line change), the
// block depth indents, and the default library's
// name is left out; the arguments follow in their display form.
TEST(Interp, TraceLinesShowTaskLineDepthCommandAndArguments) {
  Scenario s({"testcmd.so"});
  std::filesystem::create_symlink(s.dir() / "testcmd.so", s.dir() / "standard.so");
  s.ctx->execFlags = EXEC_TRACE | EXEC_TRACE_ARGS;
  s.source("MAIN", "SHOW(1, \"a\");\n\nTESTCMD:LOOP(1) {\n  NOTHING($0);\n};\n");
  ASSERT_TRUE(s.run("MAIN"));
  const std::string path = std::string(s.ctx->programDir) + "\\MAIN.SNA";
  EXPECT_EQ(records(s),
            (Lines{"@N " + path, "TASK00    1 SHOW( 1, \"a\" )", "TASK00    3 TESTCMD:LOOP( 1 )",
                   "TASK00    3   NOTHING( NULL )", "@N MAIN"}));
  // #7 holds the task and, as its fraction, the line before the last marker
  // (the marker after the block's statement names line 4, counted from 0).
  EXPECT_EQ(s.sys(7).word1, 0u);
  EXPECT_EQ(s.sys(7).word2, 4u);
}

// With stepping on, the watched task stops before each command until the
// host lets it go; a task marked to end is never held.
TEST(Interp, SteppingHoldsTheWatchedTaskUntilTheHostLetsItGo) {
  Scenario s({"testcmd.so"});
  s.ctx->execFlags = EXEC_TRACE | EXEC_STEP;  // watched task 0
  s.source("MAIN", "TESTCMD:SHOW(1);\nTESTCMD:SHOW(2);\nTESTCMD:SHOW(3);\n");
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  // Waits for the records however slowly they come, then a moment more to
  // see that nothing follows while the task is held.
  auto settle = [&](std::size_t records) {
    EXPECT_TRUE(mrvtest::eventually([&] { return s.trace().size() >= records; }));
    plat::sleep_ms(30);
  };
  settle(2);
  EXPECT_EQ(s.trace().size(), 2u);  // "@N", the trace of SHOW(1): held before the call
  mrv::set_flags(s.ctx->execFlags, EXEC_GO);
  MRVEXEC_Wake(s.ctx);
  settle(4);
  EXPECT_EQ(reports(s), (Lines{"1"}));
  mrv::set_flags(s.ctx->taskFlags[0], TASK_END);
  MRVEXEC_Wake(s.ctx);
  ASSERT_TRUE(s.finish(5000));
  EXPECT_EQ(reports(s), (Lines{"1", "2"}));
  EXPECT_EQ(mrv::load_flags(s.ctx->execFlags) & (EXEC_STEP | EXEC_STEP_OVER), 0u);
}

// A paused task keeps its turns without running: the task beside it goes on
// reporting while the paused one reports nothing more, and it runs again once
// let go.
TEST(Interp, APausedTaskTakesItsTurnsWithoutRunning) {
  Scenario s({"testcmd.so"});
  s.ctx->taskFlags[0] = 0;
  s.source("MAIN",
           "TESTCMD:START(1, \"OTHER\");\n"
           "TESTCMD:LOOP(-1) { TESTCMD:SHOW(\"main\"); TESTCMD:WAIT(2); };\n");
  s.source("OTHER", "TESTCMD:LOOP(-1) { TESTCMD:SHOW(\"other\"); TESTCMD:WAIT(2); };\n");
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  auto count = [&](const char* who) {
    const Lines r = reports(s);
    return std::count(r.begin(), r.end(), std::string("\"") + who + "\"");
  };
  auto others_grow_by = [&](long n) {
    const long start = count("other");
    return mrvtest::eventually([&] { return count("other") >= start + n; });
  };
  ASSERT_TRUE(mrvtest::eventually([&] { return count("main") > 0 && count("other") > 0; }));
  mrv::set_flags(s.ctx->taskFlags[0], TASK_PAUSED);
  ASSERT_TRUE(others_grow_by(5));  // the statement under way when it paused has ended
  const long held = count("main");
  ASSERT_TRUE(others_grow_by(20));
  EXPECT_EQ(count("main"), held);
  mrv::clear_flags(s.ctx->taskFlags[0], TASK_PAUSED);
  MRVEXEC_Wake(s.ctx);
  EXPECT_TRUE(mrvtest::eventually([&] { return count("main") > held; }));
  mrv::set_flags(s.ctx->taskFlags[0], TASK_END);
  mrv::set_flags(s.ctx->taskFlags[1], TASK_END);
  MRVEXEC_Wake(s.ctx);
  ASSERT_TRUE(s.finish(30000));
}

// A sound kept in a variable belongs to the variable: neither the value of
// the assignment statement nor the copy read into a command's argument frees
// it, a copy in a second variable keeps it while the first lets go, and the
// last holder frees it exactly once, while three other tasks take turns.
TEST(Interp, ASoundInAVariableLivesUntilItsLastHolderLetsGo) {
  Scenario s({"testcmd.so"});
  s.source(
      "MAIN",
      "TESTCMD:START(1, \"COUNT\"); TESTCMD:START(2, \"COUNT\"); TESTCMD:START(3, \"COUNT\");\n"
      "$S = TESTCMD:WAVE();\nTESTCMD:HEARD($S);\nTESTCMD:HEARD($S);\n"
      "$T = $S;\n$S = 0;\nTESTCMD:HEARD($T);\n$T = 0;\n"
      "TESTCMD:HEARD(TESTCMD:WAVE());\n");
  s.source("COUNT",
           "$N = 0;\nTESTCMD:LOOP(20) { $N = $N + 1; TESTCMD:HANDOVER(1); };\n"
           "TESTCMD:SHOW($N);\n");
  sindra_clear_calls();
  sindra_record(1);
  const std::size_t blocks = plat::mem_live_blocks();
  ASSERT_TRUE(s.run("MAIN"));
  sindra_record(0);
  Lines heard, counts;
  for (const std::string& r : reports(s))
    (r == "live" || r == "gone" ? heard : counts).push_back(r);
  EXPECT_EQ(heard, (Lines{"live", "live", "live", "live"}));
  EXPECT_EQ(counts, (Lines{"20", "20", "20"}));
  EXPECT_TRUE(s.messages().empty());
  // Two sounds were made (the second may take the first one's address): each
  // is handed to the sound library once, before it is freed, and nothing is
  // left.
  int released = 0;
  for (int32_t i = 0; i < sindra_call_count(); ++i) {
    SindraCall c{};
    ASSERT_EQ(sindra_call(i, &c), 1);
    if (c.ordinal == 25) ++released;
  }
  EXPECT_EQ(released, 2);
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

// #7 takes the task and line before each statement: whatever a scenario put
// there is released first (no block is lost), and a string there becomes
// the number again instead of a string whose words were overwritten.
TEST(Interp, TheTaskAndLineReplaceWhatAScenarioPutIntoSeven) {
  Scenario s({"standard.so", "testcmd.so"});
  s.source("MAIN", "Alloc(\\#7, 16);\n$A = 1;\n#7 = \"abc\";\nTESTCMD:SHOW(#7);\n");
  const std::size_t blocks = plat::mem_live_blocks();
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_TRUE(s.messages().empty()) << s.messages()[0];
  EXPECT_EQ(reports(s), (Lines{"0.000000002"}));  // task 0 and a line: a number
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

}  // namespace
