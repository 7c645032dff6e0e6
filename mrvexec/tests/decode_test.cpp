// The decoded form against the plain evaluator: random scenarios over the
// standard library's block and value commands, two tasks and a subroutine
// file, run once each way (MRV_DECODE=0 turns decoding off). The traces with
// argument values (which also show the turn order), the boxes, and the value
// and setCount of every common variable and of the first task's local ones
// must be the same.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fuzzing.h"
#include "support.h"

namespace {

using namespace exectest;

// A random expression of bounded depth: constants of every form, variables
// with constant and computed numbers and subscripts, postfix steps, value
// commands and every operator.
std::string expression(std::mt19937& g, int depth) {
  static const char* const kLeaves[] = {
      "0",     "1",     "(-1)", "7",     "-3",   "0.5",  "-2.25", "1000000", "999999999",
      "\"s\"", "$A",    "$B",   "$C",    "$X",   "$Y",   "$1",    "$2",      "$3",
      "#0",    "$A[1]", "$Z",   "$1[1]", "$(2)", "#(0)", "$9999", "(-0)"};
  static const char* const kOps[] = {"+",  "-",  "*",  "/",  "%", "?", "^", ">",  "<",
                                     ">=", "<=", "==", "!=", "&", "|", "~", "&&", "||"};
  auto pick = [&](auto& table) { return std::string(table[g() % std::size(table)]); };
  if (depth <= 0) return pick(kLeaves);
  const std::string a = expression(g, depth - 1);
  switch (g() % 12) {
    case 0:
      return "(" + a + ")";
    case 1:
      return "(0 - " + a + ")";
    case 2:
      return std::string(g() % 2 ? "!$A" : "!(" + a + ")");
    case 3:
      return "ABS(" + a + ")";
    case 4:
      return "GETBIT(" + a + ", " + std::to_string(g() % 4) + ")";
    case 5:
      return std::string(g() % 2 ? "($A++)" : "($B--)");
    case 6:
      return "GETRECTXPOS($R)";
    default:
      return a + " " + pick(kOps) + " " + expression(g, depth - 1);
  }
}

std::string variable(std::mt19937& g) {
  static const char* const kTargets[] = {"$A", "$B", "$C",    "$D",    "$1",
                                         "$2", "$3", "$A[2]", "$1[$A]"};
  return kTargets[g() % std::size(kTargets)];
}

// A random statement list with nested block commands. $X and $Y count the
// loops and are never assigned otherwise, so every loop ends.
std::string statements(std::mt19937& g, int depth, int count, bool calls = true) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    const int kind = depth > 0 ? int(g() % 12) : 6 + int(g() % 6);
    const auto body = [&](int n) { return statements(g, depth - 1, n, calls); };
    switch (kind) {
      case 0:
        out += "IF(" + expression(g, 2) + ") {\n" + body(2) + "} ELSE {\n" + body(1) + "};\n";
        break;
      case 1:
        out += "FOR(\\$X, " + std::to_string(g() % 3) + ", 2, 1) {\n" + body(2) + "};\n";
        break;
      case 2:
        out += "$Y = 0;\nWHILE($Y < 2) {\n$Y = $Y + 1;\n" + body(1) + "};\n";
        break;
      case 3:
        out += "LOOP(" + std::to_string(g() % 3) + ") {\n" + body(2) + "};\n";
        break;
      case 4:
        out += "SWITCH(" + expression(g, 1) + ") {\nCASE(0) {\n" + body(1) + "};\nCASE(1) {\n" +
               body(1) + "};\n};\n";
        break;
      case 5:
        out += "IF(" + expression(g, 1) + ") { BREAK(0); };\n";
        break;
      case 6:
        out += "SETRECTXPOS(\\$R, " + expression(g, 1) + ");\n";
        break;
      case 7:
        if (calls) {
          out += "$D = GOSUB(\"SUB\", " + expression(g, 1) + ");\n";
          break;
        }
        [[fallthrough]];
      default:
        out += variable(g) + " = " + expression(g, 3) + ";\n";
        break;
    }
  }
  return out;
}

struct Outcome {
  Lines trace;
  Lines boxes;
  Lines values;  // every common and local variable: type, setCount, display
};

Outcome run(const std::string& main, const std::string& task, const std::string& sub, bool decode,
            bool traced) {
  if (decode) {
    unsetenv("MRV_DECODE");
  } else {
    setenv("MRV_DECODE", "0", 1);
  }
  Outcome r;
  {
    Scenario s({"testcmd.so", "standard.so"});
    // Untraced, the decoded form runs the standard commands' effects in
    // place; traced, it calls them.
    s.ctx->execFlags = traced ? EXEC_TRACE | EXEC_TRACE_ARGS : 0;
    s.source("MAIN", main);
    s.source("TASK", task);
    s.source("SUB", sub);
    if (!s.run("MAIN", 10000)) r.boxes.push_back("tasks still live");
    const std::string dir = s.dir().string();
    for (std::string line : s.trace()) {  // the program directory differs from run to run
      for (std::size_t at; (at = line.find(dir)) != std::string::npos;)
        line.replace(at, dir.size(), "DIR");
      r.trace.push_back(line);
    }
    for (const std::string& m : s.messages()) r.boxes.push_back(m);
    auto dump = [&](const char* what, const VarTable& t, int32_t from, int32_t n) {
      for (int32_t i = from; i < from + n && i < t.count; ++i) {
        FAQ v = MRV_CELLS(&t)[i];
        const uint16_t type = v.type, count = v.setCount;
        r.values.push_back(std::string(what) + std::to_string(i - from) + " " +
                           std::to_string(type) + " " + std::to_string(count) + " " + s.show(v));
      }
    };
    dump("$", s.ctx->commonVars, s.ctx->commonVars.base, 16);
    const VarTable& local = s.ctx->localVars[0];  // the first frame outlives the task
    dump("local ", local, local.base, MRV_FRAME_CELLS);
  }
  unsetenv("MRV_DECODE");
  return r;
}

TEST(Decode, RandomScenariosGiveTheSameTracesValuesAndCountsBothWays) {
  std::mt19937 g = mrvtest::generator(3030);
  int ran = 0;
  for (int i = 0; i < 80; ++i) {
    const std::string prelude = "$R = SETRECT(1, 2, 3, 4);\n$A = 1;\n$1 = 2;\n$C = 0 - 7;\n";
    const std::string main = prelude + "TESTCMD:START(1, \"TASK\");\n" + statements(g, 3, 6);
    const std::string task = prelude + statements(g, 2, 4);
    const std::string sub = "$B = $A * 2;\n" + statements(g, 1, 2, false) + "RETURN($B);\n";
    const std::string what = "MAIN:\n" + main + "TASK:\n" + task + "SUB:\n" + sub;
    for (const bool traced : {true, false}) {
      const Outcome plain = run(main, task, sub, false, traced);
      const Outcome decoded = run(main, task, sub, true, traced);
      ASSERT_EQ(decoded.trace, plain.trace) << what;
      ASSERT_EQ(decoded.boxes, plain.boxes) << what;
      ASSERT_EQ(decoded.values, plain.values) << what;
      if (traced && plain.trace.size() >= 10) ++ran;
    }
  }
  EXPECT_GT(ran, 30);  // enough scenarios compiled and ran far enough to mean something
}

}  // namespace

// Integer operations on negative, zero and positive operands, with the
// number range's edge: the decoded integer arithmetic against the plain one.
TEST(Decode, IntegerOperationsGiveTheSameValuesBothWays) {
  static const char* const kOps[] = {"+", "-", "*", "?", "%", ">", "<", ">=", "<=", "==", "!="};
  for (const char* op : kOps) {
    const std::string o = std::string(" ") + op + " ";
    const std::string main =
        "$A = 0 - 7;\n$B = 3;\n$C = 0;\n$D = 0 - 2;\n$E = 999999999;\n"
        "$1 = $A" +
        o + "$B;\n$2 = $B" + o + "$A;\n$3 = $C" + o +
        "$D;\n"
        "$4 = $D" +
        o + "$D;\n$5 = $A" + o + "2;\n$6 = 5" + o +
        "$D;\n"
        "$7 = $A" +
        o + "$B" + o + "$D;\n$8 = $E" + o +
        "$E;\n"
        "$9 = $C" +
        o + "$C;\n$10 = ($A < $B)" + o +
        "$D;\n"
        "$11 = $E" +
        o + "$D;\n$12 = $A" + o + "$C;\n";
    for (const bool traced : {true, false}) {
      const Outcome plain = run(main, "", "", false, traced);
      const Outcome decoded = run(main, "", "", true, traced);
      EXPECT_EQ(decoded.values, plain.values) << main;
      EXPECT_EQ(decoded.boxes, plain.boxes) << main;
    }
  }
}
