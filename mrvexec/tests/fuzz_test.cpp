// Randomized robustness of running code: random scenarios that compile, and
// mutated compiled files that the loader accepts, run in a task and must end
// (by their end, a reported failure or a failed lookup) without a crash, a
// hang, or a memory block left behind. Seeded, so every failure reproduces.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fuzzing.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "support.h"

namespace {

using namespace exectest;

// One random expression of bounded depth.
std::string expression(std::mt19937& g, int depth) {
  static const char* const kLeaves[] = {"0",     "1",    "(-1)", "7",  "0.5",   "999999999",
                                        "\"s\"", "\"\"", "$A",   "$B", "#0",    "$9999",
                                        "$0",    "#199", "$Z",   "$@", "$A[1]", "$1[$0]"};
  static const char* const kOps[] = {"+",  "-",  "*",  "/",  "%", "?", "^", ">",  "<",
                                     ">=", "<=", "==", "!=", "&", "|", "~", "&&", "||"};
  auto pick = [&](auto& table) { return std::string(table[g() % std::size(table)]); };
  if (depth <= 0) return pick(kLeaves);
  switch (g() % 9) {
    case 0:
      return "(" + expression(g, depth - 1) + ")";
    case 1:
      return "$(" + expression(g, depth - 1) + ")";
    case 2:
      return "#(" + expression(g, depth - 1) + ")";
    case 3:
      return "TESTCMD:SHOW(" + expression(g, depth - 1) + ", " + expression(g, depth - 1) + ")";
    case 4:
      return "(" + std::string(g() % 2 ? "$A++" : "$B--") + ")";
    case 5:
      return "NOLIB:X(" + expression(g, depth - 1) + ")";
    default:
      return expression(g, depth - 1) + " " + pick(kOps) + " " + expression(g, depth - 1);
  }
}

// A random statement list, with blocks of the test library's commands.
std::string statements(std::mt19937& g, int depth, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    switch (g() % 8) {
      case 0:
        if (depth > 0) {
          out += "TESTCMD:LOOP(" + std::to_string(g() % 3) + ") {\n" +
                 statements(g, depth - 1, 1 + int(g() % 3)) + "};\n";
          break;
        }
        [[fallthrough]];
      case 1:
        if (depth > 0) {
          out += "TESTCMD:IF(" + expression(g, 1) + ") {\n" + statements(g, depth - 1, 2) +
                 "} ELSE {\n" + statements(g, depth - 1, 1) + "};\n";
          break;
        }
        [[fallthrough]];
      case 2:
        out += "$" + std::string(1, char('A' + g() % 26)) + " = " + expression(g, 3) + ";\n";
        break;
      case 3:
        out += "TESTCMD:FLAG(" + std::to_string(1 << (1 + g() % 2)) + ");\n";  // break, return
        break;
      default:
        out += expression(g, 3) + ";\n";
        break;
    }
  }
  return out;
}

TEST(Fuzz, RandomScenariosEndWithoutACrashOrALeftBlock) {
  std::mt19937 g = mrvtest::generator(1010);
  for (int i = 0; i < 120; ++i) {
    const std::string src = statements(g, 3, 6);
    const std::size_t blocks = plat::mem_live_blocks();
    {
      Scenario s({"testcmd.so"});
      s.source("MAIN", src);
      ASSERT_TRUE(s.run("MAIN", 10000)) << src;
      EXPECT_EQ(s.ctx->taskThread[0], 0u);
    }
    ASSERT_EQ(plat::mem_live_blocks(), blocks) << src;
  }
}

// Valid code with a few bytes changed: whatever the loader's check lets
// through must run to an end.
TEST(Fuzz, MutatedCompiledFilesThatLoadRunToAnEnd) {
  std::mt19937 g = mrvtest::generator(2020);
  int ran = 0;
  for (int i = 0; i < 300; ++i) {
    Scenario s({"testcmd.so"});
    s.source("SRC", statements(g, 2, 5));
    CompileRequest r{};
    std::snprintf(r.name, sizeof r.name, "SRC");
    const std::string path = s.file("SRC.SNA");
    r.sourceSize = MRVFILE_Size(0, path.c_str()) + 2;
    r.source = static_cast<char*>(MRVFILE_ReadBlock(0, path.c_str(), 1));
    ASSERT_EQ(MRVCOMP_Comp(&r), 1);
    if (r.source != nullptr) MRVTASK_FreeMemory(0, r.source);
    const uint32_t length = static_cast<uint32_t>(r.outputPos - r.output);
    for (int k = 1 + int(g() % 3); k > 0; --k) {
      r.output[g() % length] = static_cast<char>(g() % 3 == 0 ? 0 : g());
    }
    ASSERT_EQ(MRVCOMP_Pack(0, s.file("MAIN.SNB").c_str(), r.output, length), 1);
    MRVTASK_FreeMemory(0, r.output);
    ASSERT_TRUE(s.run("MAIN", 10000));
    if (s.messages().empty() || s.messages()[0].find("壊れて") == std::string::npos) ++ran;
  }
  EXPECT_GT(ran, 30);  // enough mutants got past the loader to mean something
}

}  // namespace
