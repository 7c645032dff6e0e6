// The real host traced by the real mrvtrace: the trace switches, stepping
// into and over blocks, running on and the three dumps requested with
// `mrvtrace --send` and seen in mrvtrace's logs; the terminal through a
// pseudo-terminal; a tracer that quits and a second tracer while a title runs.
// Titles open their main window first: the host drops requests before it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "title.h"

namespace {

using mrvtest::Env;
using mrvtest::eventually;
using mrvtest::kOpen;
using mrvtest::Lines;
using mrvtest::read_file;
using mrvtest::Title;
using mrvtest::Tracer;

// The title runs until the test writes E2E.INI into the Windows directory.
constexpr char kGate[] =
    "While(GetIniFile(\"E2E.INI\", \"t\", \"done\", \"0\") == \"0\") { Wait(20); };\n";

std::size_t count_prefix(const Lines& lines, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// A title whose channels go to the sockets of its runtime directory, where
// mrvtrace serves them and writes the records to the title's trace and viewer
// logs, in the form the engine's own logs have.
class TracedTitle : public ::testing::Test {
 protected:
  TracedTitle()
      : tracer_(t_.file("run"),
                {"--log", t_.file("trace.log").string(), "--viewer-log",
                 t_.file("viewer.log").string()},
                t_.file("mrvtrace.out"), t_.file("mrvtrace.err")) {}
  void SetUp() override { ASSERT_TRUE(mrvtest::serving(t_.file("run"))) << tracer_errors(); }

  pid_t start(Env extra = {}) {
    extra["MRV_TRACE_LOG"] = "";
    extra["MRV_VIEWER_LOG"] = "";
    return t_.start({}, extra);
  }
  // One request through `mrvtrace --send`.
  bool send(const std::string& request, const std::string& value) {
    Tracer once(t_.file("run"), {"--send", request, value}, t_.file("send.out"),
                t_.file("send.err"));
    const int rc = once.wait();
    EXPECT_EQ(rc, 0) << request << " " << value << ": " << read_file(t_.file("send.err"));
    return rc == 0;
  }
  void open_gate() const { mrvtest::write_file(t_.file("win/E2E.INI"), "[t]\ndone=1\n"); }
  bool traced_eventually(const std::string& line) {
    return eventually([&] { return t_.traced(line); });
  }
  std::string tracer_errors() const { return read_file(t_.file("mrvtrace.err")); }

  Title t_;
  Tracer tracer_;
};

TEST_F(TracedTitle, TraceAndArgumentSwitchesTakeEffectWhileTheTitleRuns) {
  t_.source("MRV", std::string(kOpen) + "DebugMessage(\"ready\");\n" + kGate +
                       "DebugMessage(\"done\");\n");
  const pid_t host = start();
  ASSERT_TRUE(traced_eventually("1171 @B ready")) << t_.errors() << tracer_errors();
  EXPECT_EQ(count_prefix(t_.trace(), "1171 TASK"), 0u);  // off until asked

  const std::string plain = "1171 TASK00    3   WAIT", with_args = plain + "( 20 )";
  // True once `line` is in the log after the last `other` (or anywhere when
  // there is none).
  auto after = [&](const std::string& line, const std::string& other) {
    return eventually([&] {
      const Lines l = t_.trace();
      const auto last = std::find(l.rbegin(), l.rend(), other);
      return std::find(l.rbegin(), last, line) != last;
    });
  };
  ASSERT_TRUE(send("trace", "on"));
  EXPECT_TRUE(after(plain, with_args));
  ASSERT_TRUE(send("args", "on"));
  EXPECT_TRUE(after(with_args, plain));
  ASSERT_TRUE(send("args", "off"));
  EXPECT_TRUE(after(plain, with_args));
  ASSERT_TRUE(send("trace", "off"));
  // Requests are carried out in order: once the dump is there, the trace is off.
  ASSERT_TRUE(send("common", "0"));
  ASSERT_TRUE(eventually([&] { return count_prefix(t_.viewer(), "1171 @C") == 1; }));
  open_gate();
  ASSERT_EQ(Title::finish(host), 0) << t_.errors();
  EXPECT_TRUE(t_.traced("1171 @B done"));
  EXPECT_EQ(count_prefix(t_.trace(), "1171 TASK00    4"), 0u);  // the last line ran untraced
}

// Task 0 stops at a DebugBreak, before the DebugMessage of line 3.
constexpr char kStepped[] =
    "MRVWIN:OPEN(320, 200, \"e2e\");\n"
    "DebugBreak(0);\n"
    "DebugMessage(\"a\");\n"
    "For(\\$2, 1, 2, 1) { If($2 == 2) { DebugMessage(\"if\"); }; };\n"
    "DebugMessage(\"b\");\n"
    "For(\\$3, 1, 2, 1) { DebugMessage($3); };\n";

// What task 0 shows up to its stop at the DebugBreak.
const Lines kUpToTheBreak = {"1171 TASK00    1 MRVWIN:OPEN", "1171 TASK00    2 DEBUGBREAK",
                             "1171 @B <DebugBreak> Task=0 Line=1", "1171 TASK00    3 DEBUGMESSAGE"};

TEST_F(TracedTitle, StepsIntoAndOverBlocksOneCommandPerRequestAndRunsOn) {
  struct Request {
    const char* name;
    Lines shows;  // task 0's lines, up to its next stop
  };
  const Request kIntoA = {"step", {"1171 @B a", "1171 TASK00    4 FOR"}};
  const Request kOverA = {"next", {"1171 @B a", "1171 TASK00    4 FOR"}};
  const Lines kIf = {"1171 TASK00    4   IF"};
  const Lines kInner = {"1171 TASK00    4     DEBUGMESSAGE", "1171 @B if",
                        "1171 TASK00    5 DEBUGMESSAGE"};
  auto join = [](Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Row {
    const char* what;
    std::vector<Request> requests;
  } rows[] = {
      {"into: every command of the blocks stops",
       {kIntoA,
        {"step", kIf},
        {"step", kIf},
        {"step", {kInner[0]}},
        {"step", {kInner[1], kInner[2]}}}},
      {"over: the For runs its blocks as one step",
       {kOverA, {"next", join(join(kIf, kIf), kInner)}}},
      {"into the For, then over the Ifs: the outer level stops again after the For",
       {kIntoA, {"step", kIf}, {"next", kIf}, {"next", kInner}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Title& t = t_;
    mrvtest::write_file(t.file("trace.log"), "");  // mrvtrace appends to the file it opened
    t.source("MRV", kStepped);
    auto task0 = [&] {
      Lines out;
      for (const std::string& l : t.trace())
        if (l.rfind("1171 TASK00 ", 0) == 0 || l.rfind("1171 @B ", 0) == 0) out.push_back(l);
      return out;
    };
    // The trace once `expected` has arrived and the host has carried out a
    // later request (a dump, which leaves the stepping as it is): a task that
    // did not stop would have gone on meanwhile.
    auto stopped_after = [&](const Lines& expected) {
      eventually([&] { return task0().size() >= expected.size(); });
      const std::size_t dumps = count_prefix(t.viewer(), "1171 @C");
      if (!send("common", "0") ||
          !eventually([&] { return count_prefix(t.viewer(), "1171 @C") > dumps; }))
        return Lines{"no dump"};
      return task0();
    };
    const pid_t host = start({{"MRV_TRACE", "1"}});
    Lines expected = kUpToTheBreak;
    ASSERT_EQ(stopped_after(expected), expected) << t.errors() << tracer_errors();
    for (const Request& q : r.requests) {
      ASSERT_TRUE(send(q.name, "0"));
      expected = join(expected, q.shows);
      ASSERT_EQ(stopped_after(expected), expected) << q.name;
    }
    // Run: the rest, blocks and all, without another request.
    ASSERT_TRUE(send("run", "0"));
    ASSERT_EQ(Title::finish(host), 0) << t.errors();
    expected =
        join(expected, {"1171 @B b", "1171 TASK00    6 FOR", "1171 TASK00    6   DEBUGMESSAGE",
                        "1171 @B  1", "1171 TASK00    6   DEBUGMESSAGE", "1171 @B  2"});
    EXPECT_EQ(task0(), expected);
  }
}

TEST_F(TracedTitle, DumpsListTheSystemCommonAndATasksLocalVariables) {
  t_.source("MRV", std::string(kOpen) +
                       "$A = 99; $2 = 0; $5 = 12; $7 = \"seven\";\n"
                       "$1 = TaskStart(-1, \"P\");\n"
                       "While($2 == 0) { Wait(10); };\n"
                       "DebugMessage(\"ready\");\n"
                       "While(IsTask($1)) { Wait(20); };\n");
  t_.source("P", std::string("$A = 7; $C = \"c\"; $2 = 1;\n") + kGate);
  const pid_t host = start();
  ASSERT_TRUE(traced_eventually("1171 @B ready")) << t_.errors() << tracer_errors();
  ASSERT_TRUE(send("system", "0"));
  ASSERT_TRUE(send("common", "0"));
  ASSERT_TRUE(send("locals", "1"));  // task 1's, not those of the task that runs
  ASSERT_TRUE(eventually([&] { return count_prefix(t_.viewer(), "1171 @C") == 3; }));
  open_gate();
  ASSERT_EQ(Title::finish(host), 0) << t_.errors();

  std::vector<Lines> listings;
  for (const std::string& l : t_.viewer()) {
    if (l == "1171 @C") listings.emplace_back();
    ASSERT_FALSE(listings.empty()) << "a line before the first @C: " << l;
    listings.back().push_back(l);
  }
  ASSERT_EQ(listings.size(), 3u);
  EXPECT_EQ(listings[1], (Lines{"1171 @C", "1171 $00001\t数値\t1", "1171 $00002\t数値\t1",
                                "1171 $00005\t数値\t12", "1171 $00007\t文字列\t\"seven\""}));
  // Task 1's first frame: cell 0 counts TaskStart's arguments plus one, $B
  // is the scenario's name, $A and $C the task's own.
  EXPECT_EQ(listings[2], (Lines{"1171 @C", "1171 $@\t数値\t3", "1171 $A\t数値\t7",
                                "1171 $B\t文字列\t\"P\"", "1171 $C\t文字列\t\"c\""}));

  // The system variables: those the host set, in order, each with its label.
  const Lines& system = listings[0];
  SCOPED_TRACE(::testing::PrintToString(system));
  const std::regex line("1171 #(\\d{5})\t[^\t]+\t.*");
  int previous = -1;
  for (std::size_t i = 1; i < system.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(system[i], m, line)) << system[i];
    EXPECT_GT(std::stoi(m[1]), previous) << system[i];
    previous = std::stoi(m[1]);
  }
  auto has = [&](const std::string& l) {
    return std::find(system.begin(), system.end(), l) != system.end();
  };
  EXPECT_TRUE(has("1171 #00000\t数値\t1171"));
  EXPECT_TRUE(has("1171 #00018\t文字列\t\"\""));  // an empty string is still a value
  EXPECT_EQ(count_prefix(system, "1171 #00019\t領域\t"), 1u);
  EXPECT_EQ(count_prefix(system, "1171 #00004"), 0u);  // never set: not listed
}

TEST_F(TracedTitle, TheTerminalStepsARealTitle) {
  tracer_.signal(SIGTERM);  // this test's tracer is the terminal one
  ASSERT_EQ(tracer_.wait(), 0);
  Tracer term(t_.file("run"), "dumb");
  ASSERT_TRUE(term.shows("mrvtrace: serving")) << term.screen();
  ASSERT_TRUE(mrvtest::serving(t_.file("run")));
  t_.source("MRV", kStepped);
  const pid_t host = start({{"MRV_TRACE", "1"}});
  ASSERT_TRUE(term.shows("task 0 stopped at DebugBreak")) << term.screen() << t_.errors();
  ASSERT_TRUE(term.shows("task 00     3 DEBUGMESSAGE")) << term.screen();
  term.type("s");
  EXPECT_TRUE(term.shows("[debug] a")) << term.screen();
  EXPECT_TRUE(term.shows("task 00     4 FOR")) << term.screen();
  term.type("n");
  EXPECT_TRUE(term.shows("[debug] if")) << term.screen();
  EXPECT_TRUE(term.shows("task 00     5 DEBUGMESSAGE")) << term.screen();
  EXPECT_EQ(term.screen().find("[debug] b"), std::string::npos);  // still stopped
  term.type("dc");
  EXPECT_TRUE(term.shows("$00002  数値      3")) << term.screen();  // the For left $2 at 3
  term.type("c");
  EXPECT_TRUE(term.shows("[debug]  2")) << term.screen();
  EXPECT_EQ(Title::finish(host), 0) << t_.errors();
  term.type("q");
  EXPECT_EQ(term.wait(), 0);
}

// A title that sends all the time loses its tracer, killed and then quitting
// cleanly: each time the host goes on by itself, and its next sends reach
// the tracer started after.
TEST_F(TracedTitle, ATracerThatQuitsLeavesTheHostRunning) {
  t_.source("MRV", std::string(kOpen) + "DebugMessage(\"ready\");\n" + kGate +
                       "DebugMessage(\"done\");\n");
  const pid_t host = start({{"MRV_TRACE", "1"}});
  auto lines_in = [&](const std::string& log, std::size_t n) {
    return eventually([&] { return count_prefix(t_.lines(log), "1171 TASK00") >= n; });
  };
  ASSERT_TRUE(lines_in("trace.log", 20)) << t_.errors() << tracer_errors();
  tracer_.signal(SIGKILL);
  ASSERT_EQ(tracer_.wait(), 128 + SIGKILL);

  Tracer second(t_.file("run"), {"--log", t_.file("second.log").string()}, t_.file("second.out"),
                t_.file("second.err"));
  ASSERT_TRUE(mrvtest::serving(t_.file("run"))) << read_file(t_.file("second.err"));
  ASSERT_TRUE(lines_in("second.log", 20)) << t_.errors();
  second.signal(SIGTERM);
  ASSERT_EQ(second.wait(), 0);

  Tracer third(t_.file("run"), {"--log", t_.file("third.log").string()}, t_.file("third.out"),
               t_.file("third.err"));
  ASSERT_TRUE(mrvtest::serving(t_.file("run"))) << read_file(t_.file("third.err"));
  ASSERT_TRUE(lines_in("third.log", 1)) << t_.errors();
  open_gate();
  ASSERT_EQ(Title::finish(host), 0) << t_.errors();
  const Lines end = t_.lines("third.log");
  EXPECT_NE(std::find(end.begin(), end.end(), "1171 @B done"), end.end());
}

// While a task is stopped no task runs at all; a tracer that goes away must
// not leave the title stopped for good.
TEST_F(TracedTitle, ATracerThatQuitsLetsTheTaskItStoppedGoOn) {
  struct Row {
    const char* how;
    bool terminal;
  } rows[] = {{"SIGTERM to mrvtrace --log", false}, {"q in the terminal", true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.how);
    Title t;
    t.source("MRV", kStepped);
    std::unique_ptr<Tracer> tracer;
    if (r.terminal) {
      tracer = std::make_unique<Tracer>(t.file("run"), "dumb");
    } else {
      tracer = std::make_unique<Tracer>(t.file("run"),
                                        std::vector<std::string>{"--log", t.file("trace.log")},
                                        t.file("mrvtrace.out"), t.file("mrvtrace.err"));
    }
    ASSERT_TRUE(mrvtest::serving(t.file("run")));
    const pid_t host = t.start({}, {{"MRV_TRACE_LOG", ""}, {"MRV_VIEWER_LOG", ""}});
    if (r.terminal) {
      ASSERT_TRUE(tracer->shows("task 0 stopped at DebugBreak")) << tracer->screen();
      tracer->type("q");
    } else {
      ASSERT_TRUE(eventually([&] { return t.traced("1171 @B <DebugBreak> Task=0 Line=1"); }));
      tracer->signal(SIGTERM);
    }
    EXPECT_EQ(tracer->wait(), 0);
    EXPECT_EQ(Title::finish(host), 0) << t.errors();
  }
}

TEST_F(TracedTitle, ASecondTracerIsRefusedAndTheFirstServesOn) {
  t_.source("MRV", std::string(kOpen) + "DebugMessage(\"ready\");\n" + kGate +
                       "DebugMessage(\"done\");\n");
  const pid_t host = start({{"MRV_TRACE", "1"}});
  ASSERT_TRUE(traced_eventually("1171 @B ready")) << t_.errors() << tracer_errors();
  Tracer second(t_.file("run"), {"--log", t_.file("second.log").string()}, t_.file("second.out"),
                t_.file("second.err"));
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(read_file(t_.file("second.err")),
            "mrvtrace: another mrvtrace already serves " + t_.file("run").string() + "\n");
  const std::size_t seen = t_.trace().size();
  EXPECT_TRUE(eventually([&] { return t_.trace().size() > seen + 3; }));
  open_gate();
  ASSERT_EQ(Title::finish(host), 0) << t_.errors();
  EXPECT_TRUE(t_.traced("1171 @B done"));
  EXPECT_EQ(read_file(t_.file("second.log")), "");
}

}  // namespace
