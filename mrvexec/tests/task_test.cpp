// Tasks: slots, the rotation of the execution turn, the starting task going
// on only when the turn comes back, waiting, and the end of tasks.
#include <gtest/gtest.h>

#include "mrvexec.h"
#include "platform/clock.h"
#include "scenario.h"

namespace {

using mrvtest::Lines;
using mrvtest::Scenario;

// The test library's report lines ("@T ...") without the record tag.
Lines reports(const Scenario& s) {
  Lines out;
  for (const std::string& l : s.trace()) {
    if (l.rfind("1171 @T ", 0) == 0) out.push_back(l.substr(8));
  }
  return out;
}

TEST(Tasks, OneTaskRunsItsScenarioToTheEnd) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(1);\nTESTCMD:SHOW(2, \"two\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"1", "2|\"two\""}));
  EXPECT_EQ(s.ctx->taskThread[0], 0u);
  EXPECT_TRUE(s.boxes().empty());
}

}  // namespace
