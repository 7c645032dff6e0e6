// The evaluator: operators by precedence and grouping, prefixes, postfix
// operators, assignment, variables and subscripts, and its two messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace {

using namespace exectest;

struct Row {
  const char* expression;
  const char* value;  // display of the result
};

// Every row is one statement of one scenario: SHOW(expression).
TEST(Calc, ExpressionsGiveTheirValues) {
  const Row rows[] = {
      {"1 + 2 * 3", "7"},
      {"(1 + 2) * 3", "9"},
      {"7 % 4 * 2", "7"},  // % binds less tightly than *
      {"10 - 4 - 3", "3"},
      {"2 ^ 3 ^ 2", "64"},  // left grouping
      {"7 ? 2", "3"},
      {"-7 ? 2", "-3"},
      {"7 / 2", "3.5"},
      {"1.5 + 1.25", "2.75"},
      {"3 > 2", "-1"},
      {"3 < 2", "0"},
      {"3 >= 3", "-1"},
      {"2 <= 1", "0"},
      {"2 == 2", "-1"},
      {"2 != 2", "0"},
      {"3 && 4", "0"},  // bitwise on the integer words, then 0 or 1
      {"3 && 5", "1"},
      {"0 || 4", "1"},
      {"6 & 3", "2"},
      {"6 | 3", "7"},
      {"6 ~ 3", "5"},
      {"!-5", "6"},  // Not first, then the minus
      {"\"ab\" + \"cd\"", "\"abcd\""},
      {"1 + 2 > 2", "-1"},
      {"1 < 2 == 3 > 4", "0"},
  };
  Scenario s({"testcmd.so"});
  std::string src;
  for (const Row& r : rows) src += std::string("TESTCMD:SHOW(") + r.expression + ");\n";
  s.source("MAIN", src);
  ASSERT_TRUE(s.run("MAIN"));
  const Lines got = reports(s);
  ASSERT_EQ(got.size(), std::size(rows)) << s.messages().size();
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], rows[i].value) << rows[i].expression;
  }
}

TEST(Calc, AssignmentPostfixAndSubscriptsWorkOnVariables) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "$A = $B = 5;\nTESTCMD:SHOW($A, $B);\n"
           "TESTCMD:SHOW($A++, $A);\nTESTCMD:SHOW($A--, $A);\n"
           "$A[1] = 7;\nTESTCMD:SHOW($B);\n"
           "$10[3] = 2;\nTESTCMD:SHOW($13, $(10 + 3));\n"
           "#(2 + 3) = 4;\nTESTCMD:SHOW(#5);\n"
           "$1 = 3;\nTESTCMD:SHOW($($1++), $1);\n"
           "TESTCMD:SHOW($0 = \"x\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"5|5", "5|6", "6|5", "7", "2|2", "4", "NULL|4", "\"x\""}));
  EXPECT_TRUE(s.boxes().empty());
}

TEST(Calc, FaultsReportTheirMessageAndEndTheTask) {
  struct Fault {
    const char* statement;
    const char* message;
  } faults[] = {
      {"TESTCMD:SHOW(2 ^ 0.5);", "べき乗数は整数しか設定できません。"},
      {"TESTCMD:SHOW($5[\"x\"]);", "配列番号に数値以外の値が指定されています。"},
      // The variable number is the raw integer word: sign bit and magnitude.
      {"TESTCMD:SHOW($(-1));", "参照している変数($-2147483647)は存在しません。"},
      {"$(10000) = 1;", "設定しようとしている変数($10000)は存在しません。"},
  };
  for (const Fault& f : faults) {
    Scenario s({"testcmd.so"});
    s.source("MAIN", std::string(f.statement) + "\nTESTCMD:SHOW(\"after\");\n");
    ASSERT_TRUE(s.run("MAIN"));
    EXPECT_TRUE(reports(s).empty()) << f.statement;
    ASSERT_FALSE(s.messages().empty()) << f.statement;
    EXPECT_EQ(s.messages().back(), f.message) << f.statement;
  }
}

// Sums, differences and products of integers come out exactly as the value
// manager makes them, signs of zero included, for operands around the edges.
TEST(Calc, IntegerArithmeticMatchesTheValueManager) {
  const char* operands[] = {"0",     "(0 * -1)", "1",         "-1",         "7",         "-12",
                            "31623", "-31622",   "999999998", "-999999999", "500000000", "0.5"};
  const char* ops[] = {"+", "-", "*", "%", "?", "==", "!=", "<", ">", "<=", ">="};
  Scenario s({"testcmd.so"});
  std::string src;
  std::vector<std::string> expected;
  for (const char* a : operands) {
    for (const char* op : ops) {
      for (const char* b : operands) {
        // The reference: the same operands and operation through the value manager.
        FAQ l{}, r{};
        MRVFAQ_GetNumber(s.ctx, &l, a[0] == '(' ? "0" : a);
        MRVFAQ_GetNumber(s.ctx, &r, b[0] == '(' ? "0" : b);
        if (a[0] == '(') l.word1 = 0x80000000u;  // 0 * -1 is a zero with the sign bit
        if (b[0] == '(') r.word1 = 0x80000000u;
        mrvtest::DialogLog quiet;
        const std::string o = op;
        int ok = 0;
        if (o == "+" || o == "-" || o == "*") {
          ok = o == "+"   ? MRVFAQ_Add(s.ctx, &l, &r)
               : o == "-" ? MRVFAQ_Sub(s.ctx, &l, &r)
                          : MRVFAQ_Mul(s.ctx, &l, &r);
        } else if (o == "%") {
          ok = MRVFAQ_Mod(s.ctx, &l, &r);
        } else if (o == "?") {
          ok = MRVFAQ_Div(s.ctx, &l, &r);
          l.word2 = 0;
        } else {
          int32_t c = 0;
          ok = MRVFAQ_Comp(s.ctx, &l, &r, &c);
          const bool truth = o == "=="   ? c == 0
                             : o == "!=" ? c != 0
                             : o == "<"  ? c < 0
                             : o == ">"  ? c > 0
                             : o == "<=" ? c <= 0
                                         : c >= 0;
          MRVFAQ_Bool(s.ctx, &l, truth ? 1 : 0);
        }
        if (!ok) continue;  // out of range or by 0: the fault table covers the reports
        src += std::string("TESTCMD:RAW((") + a + ") " + op + " (" + b + "));\n";
        char raw[64];
        std::snprintf(raw, sizeof raw, "N %08x %08x", l.word1, l.word2);
        expected.push_back(raw);
      }
    }
  }
  s.source("MAIN", src);
  ASSERT_TRUE(s.run("MAIN"));
  const Lines got = reports(s);
  ASSERT_EQ(got.size(), expected.size()) << (s.messages().empty() ? "" : s.messages()[0]);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], expected[i]) << i;
  }
}

TEST(Calc, IntegerOverflowReportsTheRangeAndTheOperation) {
  struct Fault {
    const char* expression;
    const char* operation;
  } faults[] = {
      {"999999999 + 1", "加算により、数値が有効桁を超えました。"},
      {"-999999999 - 1", "減算により、数値が有効桁を超えました。"},
      {"31623 * 31623", "乗算により、数値が有効桁を超えました。"},
  };
  for (const Fault& f : faults) {
    Scenario s({"testcmd.so"});
    s.source("MAIN", std::string("TESTCMD:SHOW(") + f.expression + ");\n");
    ASSERT_TRUE(s.run("MAIN"));
    EXPECT_TRUE(reports(s).empty()) << f.expression;
    EXPECT_EQ(s.messages(), (Lines{"整数部が有効桁を超えました。", f.operation})) << f.expression;
  }
}

}  // namespace
