// Control-flow commands as scenarios use them: loops and their after-body
// checks, If, Switch and Case over every type, Gosub with its frame and
// return value, Break and Return across nested blocks, Exit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "heap_check.h"
#include "helpers.h"
#include "internal.h"
#include "platform/memory.h"

using standard::BlockFrame;

using namespace stdtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

TEST(ForTest, CountsAndLeavesTheFirstValueThatFailedTheTest) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    For(\$1, 1, 3, 1) { DebugMessage("a", $1); };
    DebugMessage("after", $1);
    For(\$2, 5, 1, 1) { DebugMessage("never"); };
    DebugMessage("start", $2);
    For(\$3, 3, 1, -1) { DebugMessage("down", $3); };
    DebugMessage("after", $3);
    For(\$4, 1, 2, 0.5) { DebugMessage("half", $4); };
    For(\$5, 3, 1, -0.5) { DebugMessage("never"); };
    For(\$6, 1, 5, 1) { DebugMessage("b", $6); $6 = 10; };
    DebugMessage("after", $6);
  )"));
  EXPECT_THAT(said(s),
              ElementsAre("a 1", "a 2", "a 3", "after 4", "start 5", "down 3", "down 2", "down 1",
                          "after 0", "half 1", "half 1.5", "half 2", "b 1", "after 11"));
  EXPECT_THAT(s.messages(), IsEmpty());
}

TEST(ForTest, AStepBetweenMinusOneAndZeroCountsUpwardAndNeedsABreak) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    For(\$1, 1, 3, -0.5) { DebugMessage($1); If($1 < -1) { Break(0); }; };
    $3 = 0;
    For(\$2, 1, 3, 0) { $3 = $3 + 1; If($3 == 3) { $2 = 4; }; };
    DebugMessage("zero step", $3, $2);
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 1", " 0.5", " 0", " -0.5", " -1", " -1.5", "zero step 3 4"));
}

TEST(ForTest, ALoopVariableThatStopsBeingANumberFailsTheLoop) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    For(\$1, 1, 3, 1) { DebugMessage($1); $1 = "x"; };
    DebugMessage("not reached");
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 1"));
  ASSERT_EQ(s.messages().size(), 1u);
}

TEST(IfTest, OnlyTheIntegerWordDecides) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    If(0.5) { DebugMessage("then"); } ELSE { DebugMessage("else 0.5"); };
    If(-1) { DebugMessage("then -1"); } ELSE { DebugMessage("else"); };
    If(-3.5) { DebugMessage("then -3.5"); };
    If(2 == 2) { DebugMessage("then true"); };
    If(0) { DebugMessage("then"); };
    DebugMessage("end");
  )"));
  EXPECT_THAT(said(s), ElementsAre("else 0.5", "then -1", "then -3.5", "then true", "end"));
}

TEST(WhileTest, TheConditionRunsOnceMoreThanTheBodyPlusTheFirstEvaluation) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = 0;
    While(Calc("$1 = $1 + 1") < 4) { DebugMessage("body", $1); };
    DebugMessage("evaluations", $1);
    While(0) { DebugMessage("never"); };
    $2 = 0;
    While(1) { $2 = $2 + 1; If($2 == 3) { Break(0); }; };
    DebugMessage("broken at", $2);
  )"));
  // Evaluations: the interpreter's (1), then 2 and 3 run the body, 4 ends it.
  EXPECT_THAT(said(s), ElementsAre("body 2", "body 3", "evaluations 4", "broken at 3"));
}

TEST(LoopTest, CountsZeroAndEndless) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = 0; $2 = 0; $3 = 0;
    Loop(3) { $1 = $1 + 1; };
    Loop(0) { DebugMessage("never"); };
    Loop(2.9) { $2 = $2 + 1; };
    Loop(-1) { $3 = $3 + 1; If($3 == 7) { Break(0); }; };
    DebugMessage($1, $2, $3);
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 3 2 7"));
}

TEST(BreakTest, EndsTheInnermostLoopOnlyAndIsClearAfterIt) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = 0; $2 = 0; $3 = 0;
    Loop(3) {
      $1 = $1 + 1;
      Loop(-1) { $2 = $2 + 1; If(1) { If(1) { Break(0); }; DebugMessage("never"); }; };
    };
    DebugMessage($1, $2);
    Loop(2) { $3 = $3 + 1; };
    DebugMessage($3);
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 3 3", " 2"));
}

// A Break in a subroutine ends the subroutine's file and then the caller's
// loop: the bit stays set until a loop clears it.
TEST(BreakTest, ReachesOutOfASubroutineIntoTheCallersLoop) {
  Scenario s;
  s.source("BRK", "Break(0); DebugMessage(\"never in sub\");");
  ASSERT_TRUE(run(s, R"(
    $1 = 0;
    Loop(3) { $1 = $1 + 1; If(1) { Gosub("BRK"); }; DebugMessage("never"); };
    DebugMessage("after", $1);
  )"));
  EXPECT_THAT(said(s), ElementsAre("after 1"));
}

TEST(BreakTest, NeedsItsArgument) {
  Scenario s;
  ASSERT_TRUE(run(s, "Loop(2) { Break(); }; DebugMessage(\"not reached\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(), ElementsAre("関数(Break)において引数が足りません。"));
}

TEST(SwitchTest, CasesOfEveryTypeAndFallThroughWithoutBreak) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    Switch(2) {
      Case(1) { DebugMessage("n1"); };
      Case(2) { DebugMessage("n2"); };
      DebugMessage("between");
      Case(2) { DebugMessage("n2 again"); Break(0); };
      Case(2) { DebugMessage("never"); };
    };
    Switch("abc") {
      Case("ABC") { DebugMessage("never"); };
      Case("abc") { DebugMessage("s abc"); Break(0); };
    };
    Switch(SetRect(1, 2, 3, 4)) {
      Case(SetRect(1, 2, 3, 5)) { DebugMessage("never"); };
      Case(SetRect(1, 2, 3, 4)) { DebugMessage("r"); };
    };
    Switch(1.5) { Case(1.5) { DebugMessage("n1.5"); }; Case(1) { DebugMessage("never"); }; };
    $1 = 0;
    Loop(2) { $1 = $1 + 1; Switch(1) { Case(1) { Break(0); }; }; };
    DebugMessage("loop ran", $1);
  )"));
  EXPECT_THAT(said(s),
              ElementsAre("n2", "between", "n2 again", "s abc", "r", "n1.5", "loop ran 2"));
  EXPECT_THAT(s.messages(), IsEmpty());
}

TEST(SwitchTest, AnInnerSwitchRestoresTheOuterValue) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    Switch(1) {
      Switch("inner") { Case("inner") { DebugMessage("inner"); }; };
      Case(1) { DebugMessage("outer 1"); };
    };
    DebugMessage(ValueType(\#180));
  )"));
  EXPECT_THAT(said(s), ElementsAre("inner", "outer 1", " 0"));
}

TEST(CaseTest, ATypeMismatchAnUncomparableTypeOrAMissingSwitchFails) {
  {
    Scenario s;
    ASSERT_TRUE(
        run(s, R"(Switch(1) { Case("1") { DebugMessage("never"); }; }; DebugMessage("x");)"));
    EXPECT_THAT(said(s), IsEmpty());
    EXPECT_THAT(s.messages(), ElementsAre("指定された2つのFAQの型が異なっています。"));
  }
  {
    Scenario s;
    ASSERT_TRUE(run(s, R"(Alloc(\$1, 4); Switch($1) { Case($1) { DebugMessage("never"); }; };)"));
    EXPECT_THAT(said(s), IsEmpty());
    EXPECT_THAT(s.messages(), ElementsAre("指定された2つのFAQの型が異なっています。"));
  }
  {
    Scenario s;
    ASSERT_TRUE(run(s, R"(Case(1) { DebugMessage("never"); }; DebugMessage("x");)"));
    EXPECT_THAT(said(s), IsEmpty());
    EXPECT_THAT(s.messages(), ElementsAre("指定された2つのFAQの型が異なっています。"));
  }
}

TEST(GosubTest, PassesValuesInAFrameAndReturnsAValue) {
  Scenario s;
  s.source("SUB", R"(
    DebugMessage("in sub", $@, $A, $B, $C);
    $A = "changed";
    Loop(-1) { If(1) { Return($B * 2); }; };
    DebugMessage("never");
  )");
  ASSERT_TRUE(run(s, R"(
    $A = "mine";
    $1 = Gosub("SUB", 5, "x");
    DebugMessage("result", $1, $A, ValueType(\#4));
    $2 = Gosub("SUB", 1.25);
    DebugMessage("result", $2);
  )"));
  EXPECT_THAT(said(s),
              ElementsAre("in sub 4SUB 5x", "result 10mine 0", "in sub 3SUB 1.25", "result 2.5"));
}

TEST(GosubTest, WithoutReturnTheResultIsNull) {
  Scenario s;
  s.source("SUB", "DebugMessage(\"sub\");");
  ASSERT_TRUE(run(s, R"($1 = 7; $1 = Gosub("SUB"); DebugMessage(ValueType(\$1));)"));
  EXPECT_THAT(said(s), ElementsAre("sub", " 0"));
}

TEST(GosubTest, AStringReturnValueSurvivesTheSubroutine) {
  Scenario s;
  s.source("SUB", "$A = \"local\"; Return($A + \"!\");");
  ASSERT_TRUE(run(s, R"($1 = Gosub("SUB"); DebugMessage($1);)"));
  EXPECT_THAT(said(s), ElementsAre("local!"));
  EXPECT_EQ(s.show_common(1), "\"local!\"");
}

// A reference given to Return does not leave the frame it points into: the
// value of the variable goes back, and writing through the result later
// touches no dead frame and loses no block.
TEST(GosubTest, AReferenceReturnedGivesTheValueItNames) {
  Scenario s;
  s.source("S1", "$C = \"kept\"; Return(\\$C);");
  const std::size_t blocks = plat::mem_live_blocks();
  ASSERT_TRUE(run(s, R"($R = Gosub("S1"); DebugMessage(ValueType(\$R), $R);
    Alloc(\$R, 16); Gosub("S1"); Free(\$R); $R = 0;)"));
  EXPECT_THAT(s.messages(), IsEmpty());
  EXPECT_THAT(said(s), ElementsAre(" 83kept"));  // 'S': a string, not a reference
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

// Swap given a by-reference argument ($B of a subroutine) exchanges the
// variable it names: a reference never moves into a variable that outlives
// its frame, so writing through it later loses no string in a dead frame.
TEST(GosubTest, SwapOfAReferenceExchangesTheVariableItNames) {
  Scenario s;
  s.source("S0", "$C = \"callers\"; Gosub(\"S\", \\$C); DebugMessage($C);");
  s.source("S", "Swap(\\$B, \\$1);");
  s.source("S3", "$A = 0;");
  const std::size_t blocks = plat::mem_live_blocks();
  const std::size_t strings = heaptest::held_strings(s.ctx);
  ASSERT_TRUE(run(s, R"($1 = 1; $3 = "moved"; Gosub("S0"); DebugMessage(ValueType(\$1), $1);
    If(ValueType(\$1) == 86) { Swap($1, \$3); }; Gosub("S3"); $1 = 0; $3 = 0;)"));
  EXPECT_THAT(s.messages(), IsEmpty());
  EXPECT_THAT(said(s), ElementsAre(" 1", " 83callers"));
  EXPECT_EQ(heaptest::held_strings(s.ctx), strings);
  EXPECT_EQ(plat::mem_live_blocks(), blocks);
}

TEST(GosubTest, NoTwentyFirstFrameMeansTheSubroutineDoesNotRun) {
  Scenario s;
  // Task 0 starts with one frame; 19 nested calls fill the other 19 and the
  // 20th call finds no room.
  s.source("REC", R"(
    $1 = $1 + 1;
    Gosub("REC");
    DebugMessage("never");
  )");
  ASSERT_TRUE(run(s, "$1 = 0; Gosub(\"REC\"); DebugMessage(\"never\");"));
  EXPECT_EQ(s.show_common(1), "19");
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(),
              ElementsAre("タスク(0)でローカル変数領域が制限以上(20)消費されました。"));
}

TEST(GosubTest, AMissingFileFailsTheStatement) {
  Scenario s;
  ASSERT_TRUE(run(s, "Gosub(\"NOSUCH\"); DebugMessage(\"never\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_EQ(s.messages().size(), 1u);
}

TEST(GosubTest, AnOverlongScenarioNameIsRefused) {
  Scenario s;
  std::string name(260, 'A');
  ASSERT_TRUE(run(s, "Gosub(\"" + name + "\"); DebugMessage(\"never\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(), ElementsAre("関数(Gosub)において、第1引数が259バイトを超えています。"));
  EXPECT_EQ(s.boxes()[0].caption, "『Marovine33』標準コマンドライブラリ(STANDARD.DLL)");
}

TEST(ReturnTest, EndsTheTasksOwnScenarioFromInsideBlocks) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    For(\$1, 1, 5, 1) { Switch($1) { Case(2) { Return("done"); }; }; };
    DebugMessage("never");
  )"));
  EXPECT_EQ(s.show_common(1), "2");
  EXPECT_EQ(s.show_sys(4), "\"done\"");
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(), IsEmpty());
}

TEST(ReturnTest, NeedsItsValue) {
  Scenario s;
  ASSERT_TRUE(run(s, "Return(); DebugMessage(\"never\");"));
  EXPECT_THAT(s.messages(), ElementsAre("関数(Return)において引数が足りません。"));
  EXPECT_THAT(said(s), IsEmpty());
}

TEST(ExitTest, EndsEveryTaskFromANestedTaskAndLeavesItsValue) {
  Scenario s;
  s.source("SUB", R"(
    Loop(3) { If(1) { Wait(1); }; };
    While(1) { Loop(1) { Exit(7); }; };
    DebugMessage("never sub");
  )");
  ASSERT_TRUE(run(s, R"(
    TaskStart(1, "SUB");
    TaskStart(2, "SUB");
    $1 = 0;
    Loop(-1) { $1 = $1 + 1; };
  )"));
  EXPECT_EQ(s.show_sys(4), "7");
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(), IsEmpty());
}

// The statement trace indents by the running task's block depth: every block
// command raises it while its blocks run and lowers it when it ends, also
// after a Break or a Return.
TEST(BlockFrameTest, TheDepthFollowsTheNesting) {
  Scenario s;
  s.ctx->execFlags = EXEC_TRACE;
  s.source("SUB", "If(1) { Return(1); };");
  ASSERT_TRUE(run(s, R"(
    Loop(1) { If(1) { Break(0); }; };
    Gosub("SUB");
    Switch(1) { Case(1) { GetTask(0); }; };
    GetTask(0);
  )"));
  Lines calls;
  for (const std::string& line : s.trace()) {
    const std::size_t at = line.find("TASK00");
    if (at != std::string::npos) calls.push_back(line.substr(at + 12));
  }
  EXPECT_THAT(calls, ElementsAre("LOOP", "  IF", "    BREAK", "GOSUB", "  IF", "    RETURN",
                                 "SWITCH", "  CASE", "    GETTASK", "GETTASK"));
}

// What the host does for a tracer request (sub-code 3, 4 or 5, or 1 that only
// names the watched task): p becomes the watched task, then the stepping bits.
void request(SystemContext* ctx, int code, uint32_t task) {
  std::atomic_ref<uint32_t> f(ctx->execFlags);
  f.store((f.load() & 0xFFu) | (task << EXEC_WATCH_SHIFT));
  const uint32_t stepping = EXEC_STEP | EXEC_STEP_OVER;
  if (code == 3) f.store((f.load() & ~stepping) | EXEC_STEP | EXEC_GO);
  if (code == 4) f.store((f.load() & ~stepping) | EXEC_STEP_OVER | EXEC_GO);
  if (code == 5) f.store((f.load() & ~stepping) | EXEC_GO);
}

// A block frame suspends step-over while its block runs and gives back that
// bit alone, on every way out: the host's requests made meanwhile stand.
TEST(BlockFrameTest, PutsBackOnlyTheSteppingItSuspended) {
  const uint32_t watch0 = 0u << EXEC_WATCH_SHIFT;
  struct Case {
    const char* what;
    uint32_t before;
    std::vector<std::pair<int, uint32_t>> requests;  // made inside the block
    bool fail;                                       // the block leaves by a failure
    uint32_t after;
  } cases[] = {
      {"nothing asked",
       EXEC_STEP_OVER | EXEC_TRACE | watch0,
       {},
       false,
       EXEC_STEP_OVER | EXEC_TRACE | watch0},
      {"nothing asked, failure", EXEC_STEP_OVER | watch0, {}, true, EXEC_STEP_OVER | watch0},
      {"watch 1 then 2",
       EXEC_STEP_OVER,
       {{1, 1}, {1, 2}},
       false,
       EXEC_STEP_OVER | (2u << EXEC_WATCH_SHIFT)},
      {"run", EXEC_STEP_OVER, {{5, 0}}, false, EXEC_GO},
      {"run, failure", EXEC_STEP_OVER, {{5, 0}}, true, EXEC_GO},
      {"step into",
       EXEC_STEP_OVER,
       {{3, 4}},
       false,
       EXEC_STEP | EXEC_GO | (4u << EXEC_WATCH_SHIFT)},
      {"not stepping",
       EXEC_TRACE_ARGS,
       {{1, 3}},
       false,
       EXEC_TRACE_ARGS | (3u << EXEC_WATCH_SHIFT)},
  };
  Scenario s;
  SystemContext* ctx = s.ctx;
  ctx->currentTask = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ctx->execFlags = c.before;
    const uint32_t depth = ctx->blockDepth[0];
    [&] {
      BlockFrame frame(ctx);
      EXPECT_EQ(ctx->blockDepth[0], depth + 1);
      EXPECT_EQ(ctx->execFlags & (EXEC_STEP | EXEC_STEP_OVER), 0u);
      for (auto [code, task] : c.requests) request(ctx, code, task);
      if (c.fail) return;
      BlockFrame inner(ctx);  // a nested frame has nothing to suspend
    }();
    EXPECT_EQ(ctx->execFlags, c.after);
    EXPECT_EQ(ctx->blockDepth[0], depth);
  }
}

}  // namespace
