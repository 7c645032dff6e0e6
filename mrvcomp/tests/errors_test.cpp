// Whole compiles that fail: the error number, the pass, the line and the
// message the caller shows; and the error and line accessors.
#include <gtest/gtest.h>

#include "comp_support.h"
#include "dialog_log.h"

using namespace comptest;

namespace {

struct FailCase {
  const char* what;
  std::string source;
  int32_t error;
  int32_t pass;
  int32_t line;
};
// Test names show the case, not its bytes.
void PrintTo(const FailCase& c, std::ostream* os) {
  *os << c.what;
}

class CompileError : public ::testing::TestWithParam<FailCase> {};

TEST_P(CompileError, NumberPassAndLine) {
  mrvtest::DialogLog log;
  const FailCase& c = GetParam();
  Compiled r = Compile(c.source);
  EXPECT_EQ(r.ok, 0) << c.what;
  EXPECT_EQ(r.error, c.error) << c.what;
  EXPECT_EQ(r.pass, c.pass) << c.what;
  EXPECT_EQ(r.line, c.line) << c.what;
  EXPECT_TRUE(log.boxes().empty()) << c.what;
}

std::string Args(int n) {
  std::string s = "F(";
  for (int i = 0; i < n; ++i) s += i ? ",1" : "1";
  return s + ");";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompileError,
    ::testing::Values(
        FailCase{"no semicolon at the end", "F();\n\nG()", 7, 3, 2},
        FailCase{"a name is no operator", "F() G();", 7, 3, 0},
        FailCase{"error 7 reports where the statement began", "F();\nF(\n1)\n\nG();", 7, 3, 1},
        FailCase{"block construct needs its semicolon", "IF(1){F();}", 7, 3, 0},
        FailCase{"statement end inside a block", "IF(1){F()};", 7, 3, 0},
        FailCase{"lower-case macro name without another replacement", "$A=true;", 8, 3, 0},
        FailCase{"no parenthesis after a name", "\nF;", 8, 3, 1},
        FailCase{"argument list not closed", "F(1;2);", 9, 3, 0},
        FailCase{"parenthesised expression not closed", "$A=(1;2);", 10, 3, 0},
        FailCase{"empty statement", "F();;", 11, 3, 0},
        FailCase{"empty command name after a library", "LIB:(1);", 11, 3, 0},
        FailCase{"27 arguments", Args(27), 12, 3, 0},
        FailCase{"33-character name", std::string(33, 'N') + "();", 13, 3, 0},
        FailCase{"33-character library name", std::string(33, 'L') + ":F();", 13, 3, 0},
        FailCase{"reference to a constant", "F(\\1);", 14, 3, 0},
        // The interpreter reads a by-reference variable only as a whole argument.
        FailCase{"reference assigned", "$A=\\$B;", 14, 3, 0},
        FailCase{"reference inside an argument", "F(1+\\$B);", 14, 3, 0},
        FailCase{"reference as a statement", "\\$B;", 14, 3, 0},
        FailCase{"reference followed by an operator", "F(\\$B+1);", 9, 3, 0},
        FailCase{"ELSE without a block", "IF(1){}ELSE F();", 15, 3, 0},
        FailCase{"no operand after #", "#;", 16, 3, 0},
        FailCase{"no operand after $", "\n$=1;", 16, 3, 1},
        FailCase{"subscript not closed", "$A[1;2]=1;", 4, 3, 0},
        FailCase{"string of 1000 characters", "$A=\"" + std::string(1000, 'c') + "\";", 6, 3, 0},
        FailCase{"unclosed parenthesis", "F(1;\n", 4, 2, 1},
        FailCase{"wrong closing bracket", "F(1];", 4, 2, 0},
        FailCase{"double-byte character in code", "\n\n\x88\x9F;", 1, 1, 2},
        FailCase{"nesting too deep",
                 "$A=" + std::string(MRVCOMP_MAX_DEPTH, '(') + "1" +
                     std::string(MRVCOMP_MAX_DEPTH, ')') + ";",
                 10, 3, 0},
        FailCase{"variable numbers nested too deep", std::string(5000, '#') + "1;", 16, 3, 0}));

TEST(ErrorMessage, NamePassLineAndText) {
  mrvtest::DialogLog log;
  Compiled r = Compile(std::string(12, '\n') + "F;", 0, "SAMPLE");
  ASSERT_EQ(r.ok, 0);
  EXPECT_EQ(r.message, "SAMPLE:PASS(3):LINE(12):関数に引数括弧「(」がありません。(8)");

  r = Compile("F(1", 0, "SAMPLE");
  EXPECT_EQ(r.message, "SAMPLE:PASS(2):LINE(0):括弧の階層が誤っています。(4)");

  // Lines count from the first line the caller gives.
  r = Compile("\n\x01", 40, "B");
  EXPECT_EQ(r.message, "B:PASS(1):LINE(41):コード中に制御コードが混在しています。(2)");
}

TEST(ErrorMessage, EveryNumberHasItsText) {
  const char* const texts[] = {"コード中に全角コードが混在しています。(1)",
                               "コード中に制御コードが混在しています。(2)",
                               "文字列中に制御コードが混在しています。(3)",
                               "括弧の階層が誤っています。(4)",
                               "不正な演算子が使用されています。(5)",
                               "文字列が1000ワードを越えています。(6)",
                               "関数あるいは式の終端記号「;」がありません。(7)",
                               "関数に引数括弧「(」がありません。(8)",
                               "関数の引数に不正記号が含まれています。(9)",
                               "式の構文に誤りがあります。(10)",
                               "関数名が不正です。(11)",
                               "関数の引数が26を越えています。(12)",
                               "関数名は32文字までです。(13)",
                               "変数の型が不正です。(14)",
                               "関数の構文に誤りがあります。(15)",
                               "変数名が不正です。(16)"};
  CompileRequest req{};
  std::strcpy(req.name, "N");
  for (int i = 1; i <= 16; ++i) {
    EXPECT_EQ(MRVCOMP_SetError(i), i);
    EXPECT_EQ(MRVCOMP_SetLine(i * 3), i * 3);
    EXPECT_EQ(MRVCOMP_GetError(), i);
    EXPECT_EQ(MRVCOMP_GetLine(), i * 3);
    char buf[600];
    const int32_t n = MRVCOMP_MakeErrorMessage(&req, buf);
    EXPECT_EQ(n, int32_t(std::strlen(buf)));
    const std::string text = plat::cp932_to_utf8(buf);
    EXPECT_EQ(text.substr(text.find(":LINE(")),
              ":LINE(" + std::to_string(i * 3) + "):" + texts[i - 1]);
  }
  MRVCOMP_SetError(0);
  MRVCOMP_SetLine(0);
  char buf[600];
  MRVCOMP_MakeErrorMessage(&req, buf);
  EXPECT_EQ(std::string(buf).substr(std::string(buf).find(":LINE(")), ":LINE(0):");
}

TEST(CheckLineFeed, StepsOverLineFeedsOnly) {
  char text[] = "\n\n\nX\n";
  CompileRequest req{};
  req.source = text;
  req.sourceSize = sizeof text;
  req.sourcePos = text;
  MRVCOMP_SetLine(7);
  EXPECT_EQ(MRVCOMP_CheckLineFeed(&req), text + 3);
  EXPECT_EQ(MRVCOMP_GetLine(), 10);
  EXPECT_EQ(MRVCOMP_CheckLineFeed(&req), text + 3) << "stops at other bytes";
  EXPECT_EQ(MRVCOMP_GetLine(), 10);
}

// A number out of range is reported by the number parser; the compile fails
// with error 0, so that the caller shows nothing more.
TEST(ReportedFailures, NumberOutOfRangeIsReportedOnce) {
  mrvtest::DialogLog log;
  Compiled r = Compile("$A=1000000000;");
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, 0);
  ASSERT_EQ(log.boxes().size(), 1u);
  EXPECT_EQ(log.boxes()[0].text, "整数部が有効桁を超えました。");

  // Also when the number is a variable's number (no error 16 on top).
  r = Compile("#1000000000=1;");
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(log.boxes().size(), 2u);
}

// Pass 3 called on a text block that holds no final 0.
TEST(ReportedFailures, Pass3OnBlockWithoutTerminator) {
  mrvtest::DialogLog log;
  CompileRequest req{};
  req.sourceSize = 5;
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, "F();\n", 5);
  EXPECT_EQ(MRVCOMP_Pass3(&req), 1);
  const Bytes code(reinterpret_cast<uint8_t*>(req.output),
                   reinterpret_cast<uint8_t*>(req.outputPos));
  EXPECT_EQ(code, (Std("F", {}) + Bytes{TOK_LINE, 1, 0, TOK_END}));
  MRVTASK_FreeMemory(0, req.output);
  MRVTASK_FreeMemory(0, req.source);
}

}  // namespace
