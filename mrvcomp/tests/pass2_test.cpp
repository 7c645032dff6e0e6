// Pass 2 on its own: the nesting check of brackets and strings.
#include <gtest/gtest.h>

#include "comp_support.h"
#include "dialog_log.h"

using namespace comptest;

namespace {

struct NestCase {
  std::string text;  // text as pass 1 leaves it
  int32_t error;     // 0: accepted
  int32_t line;
};
// Test names show the case, not its bytes.
void PrintTo(const NestCase& c, std::ostream* os) {
  *os << "error " << c.error << " at line " << c.line;
}

class Pass2Nesting : public ::testing::TestWithParam<NestCase> {};

TEST_P(Pass2Nesting, ChecksBrackets) {
  mrvtest::DialogLog log;
  const NestCase& c = GetParam();
  CompileRequest req{};
  req.firstLine = 5;
  req.sourceSize = uint32_t(c.text.size() + 1);
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, c.text.data(), c.text.size());
  char* const block = req.source;
  const int32_t ok = MRVCOMP_Pass2(&req);
  EXPECT_EQ(MRVCOMP_GetError(), c.error) << c.text;
  EXPECT_EQ(MRVCOMP_GetLine(), 5 + c.line) << c.text;
  if (c.error == 0) {
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(req.output, block) << "the same block is handed on";
    EXPECT_EQ(req.outputPos, block);
    EXPECT_EQ(req.source, nullptr);
    EXPECT_EQ(std::string(req.output), c.text) << "the text is not changed";
  } else {
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(req.source, block) << "a failure leaves the text in source";
    EXPECT_EQ(req.output, nullptr);
  }
  MRVTASK_FreeMemory(0, block);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pass2Nesting,
    ::testing::Values(NestCase{"", 0, 0}, NestCase{"IF(1){F($A[2]);}ELSE{G();};\n", 0, 1},
                      NestCase{"F(\")]}\");", 0, 0},  // brackets inside strings
                      NestCase{"F(1", 4, 0},          // unclosed at the end
                      NestCase{"F(1];", 4, 0},        // wrong closing bracket
                      NestCase{"\n\nF(1));", 4, 2},   // one too many
                      NestCase{"{\n(\n}\n)", 4, 2},   // crossed
                      NestCase{"F(\"abc);", 2, 0},    // string runs into the end
                      NestCase{std::string(5000, '(') + std::string(5000, ')'), 0, 0}));

}  // namespace
