// Number, variable, rectangle and bit commands: a table of calls with the
// display of their results, then the commands with messages, variables or
// chance in them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helpers.h"

using namespace stdtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Row {
  const char* expression;
  const char* display;
};

const Row kRows[] = {
    {"Abs(-2.5)", "2.5"},
    {"Abs(3)", "3"},
    {"Int(-2.5)", "-2"},
    {"Int(2.999999999)", "2"},
    {"Int(-0.5)", "0"},  // no negative zero, which would count as true
    {"Decimal(-2.5)", "-0.5"},
    {"Decimal(3)", "0"},
    {"Decimal(-3)", "0"},
    {"Decimal(1.000000001)", "0.000000001"},
    {"Random(1, 1)", "1"},
    {"Random(-4, -4)", "-4"},
    {"SetRect(1, 2, 3, 4)", "{1,2,3,4}"},
    {"SetRect(-1, -2, 0, 0)", "{-1,-2,0,0}"},
    {"GetRectXpos(SetRect(-5, 2, 3, 4))", "-5"},
    {"GetRectYpos(SetRect(1, 2, 3, 4))", "2"},
    {"GetRectXsize(SetRect(1, 2, 3, 4))", "3"},
    {"GetRectYsize(SetRect(1, 2, 3, 4))", "4"},
    // InRect: points, a point and a rectangle either way, two rectangles
    {"InRect(SetRect(3, 4, 0, 0), SetRect(3, 4, 0, 0))", "-1"},
    {"InRect(SetRect(3, 4, 0, 0), SetRect(4, 3, 0, 0))", "0"},
    {"InRect(SetRect(5, 5, 0, 0), SetRect(0, 0, 5, 5))", "0"},
    {"InRect(SetRect(5, 5, 0, 0), SetRect(0, 0, 6, 6))", "-1"},
    {"InRect(SetRect(0, 0, 0, 0), SetRect(0, 0, 1, 1))", "-1"},
    {"InRect(SetRect(0, 0, 6, 6), SetRect(5, 5, 0, 0))", "-1"},
    {"InRect(SetRect(0, 0, 5, 5), SetRect(5, 0, 0, 0))", "0"},
    {"InRect(SetRect(0, 0, 5, 5), SetRect(5, 0, 5, 5))", "0"},
    {"InRect(SetRect(0, 0, 5, 5), SetRect(0, 5, 5, 5))", "0"},
    {"InRect(SetRect(0, 0, 5, 5), SetRect(4, 4, 5, 5))", "-1"},
    {"InRect(SetRect(0, 0, 0, 5), SetRect(0, 0, 5, 5))", "0"},
    {"InRect(SetRect(5, 5, -3, -3), SetRect(0, 0, 10, 10))", "0"},
    {"InRect(SetRect(-10, -10, 100, 100), SetRect(2, 2, 1, 1))", "-1"},
    {"Pixel(31, 0, 0)", "31744"},
    {"Pixel(40, -3, 1)", "31745"},
    {"Pixel(1, 2, 3)", "1091"},
    {"Pixel(30.9, 31, 32)", "31743"},
    // SetBit / GetBit: bits 0-27 in the integer word, 28-55 in the fraction
    {"SetBit(0, 3, 1)", "8"},
    {"SetBit(8, 3, 0)", "0"},
    {"SetBit(0, 28, 1)", "0.000000001"},
    {"SetBit(0, 55, 1)", "0.134217728"},
    {"SetBit(0, 27, 1)", "134217728"},
    {"SetBit(0, 2, 7)", "4"},
    {"SetBit(4, 2, -1)", "0"},
    {"SetBit(5, 56, 1)", "5"},
    {"SetBit(5, -1, 1)", "5"},
    {"SetBit(-8, 0, 1)", "-9"},
    {"SetBit(-8, 3, 0)", "0"},
    {"SetBit(1.5, 0, 0)", "0.5"},
    {"GetBit(8, 3)", "1"},
    {"GetBit(8, 2)", "0"},
    {"GetBit(0.000000001, 28)", "1"},
    {"GetBit(0, 60)", "1"},
    {"GetBit(0, -1)", "1"},
    // SetColumn / GetColumn: 0-8 integer digits, 9-17 fraction digits from its last place
    {"SetColumn(0, 2, 7)", "700"},
    {"SetColumn(0, 17, 5)", "0.5"},
    {"SetColumn(0, 9, 1)", "0.000000001"},
    {"SetColumn(123, 1, 12)", "193"},
    {"SetColumn(123, 0, -4)", "120"},
    {"SetColumn(0, 8, 9)", "900000000"},
    {"SetColumn(5, 18, 1)", "5"},
    {"SetColumn(-5, 0, 3)", "-3"},
    {"SetColumn(-5, 0, 0)", "0"},
    {"SetColumn(12.25, 16, 7)", "12.27"},
    {"GetColumn(12345, 2)", "3"},
    {"GetColumn(0.5, 17)", "5"},
    {"GetColumn(-47, 1)", "4"},
    {"GetColumn(123, 18)", "0"},
    {"GetColumn(123, -1)", "0"},
    // Hexadecimal: 0-6 integer, 7-13 fraction
    {"SetColumnHex(0, 1, 15)", "240"},
    {"SetColumnHex(0, 2, 16)", "3840"},
    {"SetColumnHex(0, 7, 1)", "0.000000001"},
    {"SetColumnHex(0, 13, 15)", "0.25165824"},
    {"SetColumnHex(7, 14, 1)", "7"},
    {"GetColumnHex(255, 1)", "15"},
    {"GetColumnHex(256, 2)", "1"},
    {"GetColumnHex(0.000000016, 8)", "1"},
    {"GetColumnHex(255, 14)", "0"},
    {"Calc(\"1 + 2 * 3\")", "7"},
    {"Calc(\"SetRect(1, 2, 3, 4)\")", "{1,2,3,4}"},
    {"Calc(\"GetBit(2, 1) == 1\")", "-1"},
};

TEST(ValueFunctionTest, ResultsOfATableOfCalls) {
  Scenario s;
  std::string source;
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    source += "$" + std::to_string(i + 1) + " = " + kRows[i].expression + ";\n";
  }
  ASSERT_TRUE(run(s, source));
  EXPECT_THAT(s.messages(), IsEmpty());
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    EXPECT_EQ(s.show_common(static_cast<int32_t>(i + 1)), kRows[i].display) << kRows[i].expression;
  }
}

TEST(RandomTest, StaysAboveLowAndAtMostHighEitherWayRound) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = 0; $3 = 10; $4 = 0;
    Loop(300) {
      $2 = Random(0, 10);
      If($2 <= 0 || $2 > 10) { $1 = $1 + 1; };
      If($2 < $3) { $3 = $2; };
      If($2 > $4) { $4 = $2; };
      $5 = Random(5, 2);
      If($5 <= 2 || $5 > 5) { $1 = $1 + 1; };
    };
  )"));
  EXPECT_EQ(s.show_common(1), "0");
  EXPECT_THAT(s.messages(), IsEmpty());
  // Spread over the range, not one value.
  const auto value = [&](int n) { return std::stod(s.show_common(n)); };
  EXPECT_LT(value(3), 3.0);
  EXPECT_GT(value(4), 7.0);
}

// A bit or hexadecimal digit set past 999,999,999 in either word is refused
// with the number range's message: no number outside the range is made.
TEST(BitTest, ResultsOutsideTheNumberRangeFailTheCall) {
  struct Case {
    const char* call;
    const char* message;
  } cases[] = {
      {"SetBit(999999999, 26, 1)", "整数部が有効桁を超えました。"},
      {"SetBit(0.999999999, 54, 1)", "小数部が有効桁を超えました。"},
      {"SetColumnHex(999999999, 6, 15)", "整数部が有効桁を超えました。"},
      {"SetColumnHex(0.999999999, 13, 15)", "小数部が有効桁を超えました。"},
  };
  for (const Case& r : cases) {
    Scenario s;
    ASSERT_TRUE(run(s, std::string("$1 = ") + r.call + "; DebugMessage(\"never\");"));
    EXPECT_THAT(said(s), IsEmpty()) << r.call;
    EXPECT_EQ(s.messages(), (Lines{r.message})) << r.call;
    EXPECT_EQ(s.show_common(1), "NULL") << r.call;
  }
}

TEST(RandomTest, ArithmeticErrorsFailTheCall) {
  Scenario s;
  ASSERT_TRUE(run(s, "$1 = Random(-999999999, 999999999); DebugMessage(\"never\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_FALSE(s.messages().empty());
}

TEST(CalcTest, ACompileErrorNamesTheCalcSource) {
  Scenario s;
  ASSERT_TRUE(run(s, "$1 = Calc(\"1 +\"); DebugMessage(\"never\");"));
  EXPECT_THAT(said(s), IsEmpty());
  ASSERT_EQ(s.boxes().size(), 1u);
  EXPECT_THAT(s.boxes()[0].text, StartsWith("「Calc関数の式」:PASS("));
  EXPECT_EQ(s.boxes()[0].caption, "『Marovine33』実行マネージャ(MRVEXEC.DLL)");
}

// A text that calls Calc on itself nests 32 deep, then the next call is
// refused with a message and fails like any failing command, instead of
// exhausting the stack; nested calls within the limit work.
TEST(CalcTest, NestedCallsStopAtTheDepthLimitWithAMessage) {
  Scenario s;
  ASSERT_TRUE(run(s, "$A = \"Calc($A)\"; $1 = Calc($A); DebugMessage(\"never\");"));
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_EQ(s.messages(), (Lines{"Calc関数の呼び出しが深すぎます。(32段まで)"}));

  Scenario nested;
  ASSERT_TRUE(run(nested, "$C = \"7\"; $B = \"Calc($C) + Calc($C)\"; DebugMessage(Calc($B));"));
  EXPECT_THAT(nested.messages(), IsEmpty());
  EXPECT_EQ(said(nested), (Lines{" 14"}));
}

TEST(CalcTest, SeesVariablesAndTakesTextsUpTo998Bytes) {
  Scenario s;
  std::string longest = "1";
  while (longest.size() + 2 <= 998) longest += "+1";
  while (longest.size() < 998) longest += " ";
  ASSERT_EQ(longest.size(), 998u);
  ASSERT_TRUE(run(s, R"(
    $50 = "text"; $51 = 4;
    $1 = Calc("$50");
    $2 = Calc("$51 * $51");
    $3 = Calc(")" + longest +
                         R"(");
    $4 = Calc(")" + longest +
                         R"( ");
    DebugMessage("never");
  )"));
  EXPECT_EQ(s.show_common(1), "\"text\"");
  EXPECT_EQ(s.show_common(2), "16");
  EXPECT_EQ(s.show_common(3), "499");
  EXPECT_EQ(s.show_common(4), "NULL");
  EXPECT_THAT(said(s), IsEmpty());
  EXPECT_THAT(s.messages(), ElementsAre("関数(Calc)において、第1引数が998バイトを超えています。"));
}

TEST(VariableTest, SwapAndValueType) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = 5; $2 = "s"; $3 = SetRect(1, 2, 3, 4);
    Swap(\$1, \$2);
    DebugMessage(ValueType(\$1), ValueType(\$2), ValueType(\$3), ValueType(\$4));
    Swap(\$3, \$4);
    DebugMessage(ValueType(\$3), ValueType(\$4));
    Swap(1, \$2);
  )"));
  EXPECT_EQ(s.show_common(1), "\"s\"");
  EXPECT_EQ(s.show_common(2), "5");
  EXPECT_EQ(s.show_common(4), "{1,2,3,4}");
  EXPECT_THAT(said(s), ElementsAre(" 83 78 82 0", " 0 82"));
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(Swap)において、第1引数は不明型でなければなりません。"));
}

TEST(SearchValueTest, FindsTheFirstEqualElementByTypeAndValue) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    For(\$1, 0, 9, 1) { $(10 + $1) = $1; };
    $30 = "a"; $31 = "B"; $32 = "b";
    $33 = SetRect(1, 2, 3, 4); $34 = SetRect(1, 2, 3, 5); $35 = 0.5;
    DebugMessage(SearchValue(5, \$10, 10, 1), SearchValue(4, \$10, 5, 2), SearchValue(10, \$10, 10, 1));
    DebugMessage(SearchValue("5", \$10, 10, 1), SearchValue(9, \$10, 9, 1), SearchValue(0, \$10, 0, 1));
    DebugMessage(SearchValue("b", \$30, 6, 1), SearchValue(SetRect(1, 2, 3, 5), \$30, 6, 1));
    DebugMessage(SearchValue(0.5, \$30, 6, 1), SearchValue(5, \$19, 10, -1));
  )"));
  EXPECT_THAT(said(s), ElementsAre(" 5 2 -1", " -1 -1 -1", " 2 4", " 5 4"));
  EXPECT_THAT(s.messages(), IsEmpty());
}

TEST(SearchValueTest, ElementsOutsideTheTableAreReportedAndSkipped) {
  Scenario s;
  ASSERT_TRUE(run(s, "$9998 = 1; DebugMessage(SearchValue(7, \\$9998, 4, 1));"));
  EXPECT_THAT(said(s), ElementsAre(" -1"));
  EXPECT_THAT(s.messages(), ElementsAre("参照している変数($10000)は存在しません。",
                                        "参照している変数($10001)は存在しません。"));
}

TEST(RectangleTest, SettersChangeTheVariable) {
  Scenario s;
  ASSERT_TRUE(run(s, R"(
    $1 = SetRect(1, 2, 3, 4);
    SetRectXpos(\$1, 10); SetRectYpos(\$1, -20); SetRectXsize(\$1, 30.7); SetRectYsize(\$1, 40);
    $2 = 5;
    SetRectXpos(\$2, 1);
  )"));
  EXPECT_EQ(s.show_common(1), "{10,-20,30,40}");
  EXPECT_THAT(s.messages(),
              ElementsAre("関数(SetRectXpos)において、第1引数は領域型でなければなりません。"));
}

}  // namespace
