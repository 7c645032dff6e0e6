// The debugger's requests: line breakpoints, stops of a task or of all, steps
// over and out of blocks and files, the files of a task, setting a stopped
// task's variables; the plain and the decoded statement loop stop alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "mrvexec.h"
#include "processes.h"
#include "support.h"

namespace {

using namespace exectest;

// Lines 3 and 4 are inside a block (the first statement of a block carries
// no line of its own: it shows the block's line); SUB is run from line 6.
constexpr char kMain[] =
    "$A = 1;\n"
    "TESTCMD:LOOP(2) {\n"
    "  $B = 0;\n"
    "  $A = $A + 1;\n"
    "};\n"
    "TESTCMD:RUN(\"SUB\");\n"
    "TESTCMD:SHOW($A, $B);\n";
constexpr char kSub[] =
    "$B = 5;\n"
    "TESTCMD:SHOW($B);\n";

// A scenario with MAIN and SUB, run by task 0 in both statement loops.
struct Debugged {
  explicit Debugged(bool decoded) : s({"testcmd.so"}) {
    if (!decoded) setenv("MRV_DECODE", "0", 1);
    s.source("MAIN", kMain);
    s.source("SUB", kSub);
    main = std::string(s.ctx->programDir) + "\\MAIN.SNA";
    sub = std::string(s.ctx->programDir) + "\\SUB.SNA";
  }
  ~Debugged() { unsetenv("MRV_DECODE"); }
  void start() {
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  }
  // The debugger's records ("@S", "@F", "@E", "@V") so far.
  Lines debug() const {
    Lines out;
    for (const std::string& l : records(s)) {
      if (l.size() > 1 && l[0] == '@' && std::string("SFEV").find(l[1]) != std::string::npos)
        out.push_back(l);
    }
    return out;
  }
  // Waits for the next debugger record and checks it.
  void expect(const std::string& record) {
    const std::size_t want = seen + 1;
    EXPECT_TRUE(mrvtest::eventually([&] { return debug().size() >= want; })) << record;
    const Lines d = debug();
    ASSERT_GE(d.size(), want) << record;
    EXPECT_EQ(d[seen], record);
    seen = want;
  }
  bool ask(int32_t code, int32_t p, const char* text = nullptr) {
    return MRVEXEC_Debug(s.ctx, code, p, text) == 1;
  }
  Scenario s;
  std::string main, sub;
  std::size_t seen = 0;
};

class DebugLoops : public ::testing::TestWithParam<bool> {};

// Breakpoints in two files; a variable set at a stop; the files of a task
// nested in another; out of a file, over a block, into a file.
TEST_P(DebugLoops, BreakpointsStepsStackAndAssignment) {
  Debugged d(GetParam());
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_SET, 4, "main.sna"));
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_SET, 2, "SUB"));
  d.start();
  d.expect("@S 0 4 breakpoint " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STACK, 0));
  d.expect("@F 0 0 4 " + d.main);
  d.expect("@E 0");
  ASSERT_TRUE(d.ask(MRV_DEBUG_SET, 0, "$A 41"));
  d.expect("@V 0 1 $A");
  ASSERT_TRUE(d.ask(MRV_DEBUG_SET, 0, "$Q \"text\""));
  d.expect("@V 0 1 $Q");
  ASSERT_TRUE(d.ask(MRV_DEBUG_SET, 0, "$A x1"));  // neither a number nor a string
  d.expect("@V 0 0 $A");
  ASSERT_TRUE(d.ask(MRV_DEBUG_CONTINUE, 0));
  d.expect("@S 0 4 breakpoint " + d.main);  // the block's second turn
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_CLEAR, 4, "MAIN"));
  ASSERT_TRUE(d.ask(MRV_DEBUG_CONTINUE, 0));
  d.expect("@S 0 2 breakpoint " + d.sub);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STACK, 0));
  d.expect("@F 0 0 2 " + d.sub);
  d.expect("@F 0 1 6 " + d.main);
  d.expect("@E 0");
  ASSERT_TRUE(d.ask(MRV_DEBUG_STEP_OUT, 0));
  d.expect("@S 0 7 step " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_CONTINUE, 0));
  ASSERT_TRUE(d.s.finish(10000));
  EXPECT_EQ(reports(d.s), (Lines{"5", "43|5"}));
  EXPECT_EQ(d.s.ctx->execFlags & EXEC_DEBUG, uint32_t(EXEC_DEBUG));  // SUB's breakpoint
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_CLEAR_ALL, 0));
  EXPECT_EQ(d.s.ctx->execFlags & EXEC_DEBUG, 0u);
}

TEST_P(DebugLoops, StepOverABlockIntoAFileAndOutOfABlock) {
  Debugged d(GetParam());
  ASSERT_TRUE(d.ask(MRV_DEBUG_STOP, 0, "entry"));
  d.start();
  d.expect("@S 0 1 entry " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STEP_OVER, 0));
  d.expect("@S 0 2 step " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STEP_OVER, 0));  // the block's turns run through
  d.expect("@S 0 6 step " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STEP_IN, 0));
  d.expect("@S 0 1 step " + d.sub);
  ASSERT_TRUE(d.ask(MRV_DEBUG_CONTINUE, 0));
  ASSERT_TRUE(d.s.finish(10000));
  EXPECT_EQ(reports(d.s), (Lines{"5", "3|5"}));
  EXPECT_EQ(d.debug().size(), d.seen);

  // Into the block and out of it again.
  Debugged e(GetParam());
  ASSERT_TRUE(e.ask(MRV_DEBUG_BREAK_SET, 4, "MAIN"));
  e.start();
  e.expect("@S 0 4 breakpoint " + e.main);
  ASSERT_TRUE(e.ask(MRV_DEBUG_BREAK_CLEAR_ALL, 0));
  ASSERT_TRUE(e.ask(MRV_DEBUG_STEP_OUT, 0));
  e.expect("@S 0 6 step " + e.main);
  ASSERT_TRUE(e.ask(MRV_DEBUG_RELEASE, 0));
  ASSERT_TRUE(e.s.finish(10000));
}

INSTANTIATE_TEST_SUITE_P(PlainAndDecoded, DebugLoops, ::testing::Bool());

// A held task never keeps the program from closing: told to end, it ends.
// Without an attached debugger DebugBreak steps as before; with one it stops.
TEST(Debug, AHeldTaskEndsWhenToldAndDebugBreakStopsForAnAttachedDebugger) {
  Debugged d(true);
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_SET, 7, "MAIN"));
  d.start();
  d.expect("@S 0 7 breakpoint " + d.main);
  mrv::set_flags(d.s.ctx->taskFlags[0], TASK_END);
  MRVEXEC_Wake(d.s.ctx);
  ASSERT_TRUE(d.s.finish(10000));
  EXPECT_EQ(reports(d.s), (Lines{"5"}));

  EXPECT_FALSE(d.ask(MRV_DEBUG_SCENARIO_BREAK, 0));  // nobody attached
  EXPECT_FALSE(d.ask(MRV_DEBUG_SET, 0, "$A 1"));     // not stopped
  EXPECT_FALSE(d.ask(MRV_DEBUG_STOP, MRV_TASKS));
  EXPECT_FALSE(d.ask(99, 0));

  Scenario s({"testcmd.so", "standard.so"});
  s.source("MAIN", "DebugBreak(0);\nTESTCMD:SHOW(1);\n");
  ASSERT_EQ(MRVEXEC_Debug(s.ctx, MRV_DEBUG_ATTACH, 1, nullptr), 1);
  ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
  ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
  const std::string main = std::string(s.ctx->programDir) + "\\MAIN.SNA";
  EXPECT_TRUE(mrvtest::eventually([&] {
    const Lines r = records(s);
    return std::find(r.begin(), r.end(), "@S 0 2 debugbreak " + main) != r.end();
  }));
  EXPECT_TRUE(reports(s).empty());
  ASSERT_EQ(MRVEXEC_Debug(s.ctx, MRV_DEBUG_RELEASE, 0, nullptr), 1);
  ASSERT_TRUE(s.finish(10000));
  EXPECT_EQ(reports(s), (Lines{"1"}));
}

// An attached debugger hears of every task that starts and ends ("@R") and
// of every line of an error box ("@X"); without one, of neither. Attaching
// names the tasks that already run; after the release nothing more comes.
TEST(Debug, AnAttachedDebuggerHearsOfTasksAndErrorBoxes) {
  const auto only = [](const Lines& r, char kind) {
    Lines out;
    for (const std::string& l : r) {
      if (l.size() > 1 && l[0] == '@' && l[1] == kind) out.push_back(l);
    }
    return out;
  };
  for (const bool attached : {false, true}) {
    SCOPED_TRACE(attached ? "attached" : "alone");
    Scenario s({"testcmd.so", "standard.so"});
    s.source("MAIN", "TaskStart(1, \"SUB\");\nTESTCMD:SHOW(1);\n");
    s.source("SUB", "TESTCMD:SHOW(2);\n$Z = $Y == 1;\n");  // NULL compared: an error box
    if (attached) {
      ASSERT_EQ(MRVEXEC_Debug(s.ctx, MRV_DEBUG_ATTACH, 1, nullptr), 1);
    }
    ASSERT_EQ(MRVVAL_CreateLocal(s.ctx, 0, nullptr), 1);
    ASSERT_EQ(MRVEXEC_ExecuteTask(s.ctx, 0, "MAIN"), 0);
    ASSERT_TRUE(s.finish(10000));
    const Lines r = records(s);
    const Lines tasks = only(r, 'R'), box = only(r, 'X');
    if (!attached) {
      EXPECT_TRUE(tasks.empty() && box.empty()) << r.size();
      continue;
    }
    ASSERT_EQ(tasks.size(), 4u);
    const auto at = [&](const char* l) { return std::find(tasks.begin(), tasks.end(), l); };
    EXPECT_LT(at("@R 0 1"), at("@R 1 1"));  // task 1 starts from task 0
    EXPECT_LT(at("@R 1 1"), at("@R 1 0"));
    EXPECT_NE(at("@R 0 0"), tasks.end());
    ASSERT_GE(box.size(), 2u);
    EXPECT_EQ(box[0].rfind("@X [", 0), 0u);  // the caption first
    EXPECT_NE(std::find(box.begin(), box.end(), "@X 指定された2つのFAQの型が異なっています。"),
              box.end());
  }

  // A pause of every task while none runs holds no task started later.
  Debugged d(true);
  ASSERT_TRUE(d.ask(MRV_DEBUG_STOP, -1));
  ASSERT_TRUE(d.ask(MRV_DEBUG_BREAK_SET, 7, "MAIN"));
  d.start();
  d.expect("@S 0 7 breakpoint " + d.main);
  ASSERT_TRUE(d.ask(MRV_DEBUG_ATTACH, 1));
  EXPECT_EQ(only(records(d.s), 'R'), (Lines{"@R 0 1"}));  // the stopped task
  ASSERT_TRUE(d.ask(MRV_DEBUG_RELEASE, 0));
  ASSERT_TRUE(d.s.finish(10000));
  EXPECT_EQ(only(records(d.s), 'R'), (Lines{"@R 0 1"}));
}

}  // namespace
