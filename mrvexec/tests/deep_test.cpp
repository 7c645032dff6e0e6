// The deepest code the compiler accepts is compiled and run inside a task:
// nested brackets, blocks and variable numbers at the compiler's limit.
#include <gtest/gtest.h>

#include <string>

#include "mrvcomp.h"
#include "support.h"

namespace {

using namespace exectest;

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(Deep, CodeAtTheNestingLimitRunsInATask) {
  const int kMax = MRVCOMP_MAX_DEPTH;
  Scenario s({"testcmd.so"});
  s.source("MAIN", "$A=" + std::string(kMax - 1, '(') + "7" + std::string(kMax - 1, ')') + ";\n" +
                       repeat("TESTCMD:IF(1){", kMax - 2) + "TESTCMD:SHOW($A);" +
                       repeat("};", kMax - 2) + "\n$0=0;\n" + repeat("$(", (kMax - 1) / 2) + "0" +
                       std::string((kMax - 1) / 2, ')') + "=3;\nTESTCMD:SHOW($0);\n$0=0;\n" +
                       std::string(kMax - 1, '$') + "0=4;\nTESTCMD:SHOW($0);\n");
  ASSERT_TRUE(s.run("MAIN", 60000));
  EXPECT_TRUE(s.messages().empty()) << s.messages().front();
  // $0 holds 0, so every nested variable number names $0 again.
  EXPECT_EQ(reports(s), (Lines{"7", "3", "4"}));
}

}  // namespace
