// Exact decimal numbers: construction, parsing, formatting, arithmetic, bit
// operations, comparison, and the messages of every failure.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "mrvval.h"

namespace {

using Messages = std::vector<std::string>;

// Message texts (UTF-8, as the dialog log gives them).
const char kNotNumber[] = "指定されたFAQは数値ではありません。";
const char kPairNotNumber[] = "指定された2つのFAQの型が数値型ではありません。";
const char kIntRange[] = "整数部が有効桁を超えました。";
const char kFracRange[] = "小数部が有効桁を超えました。";
const char kAddOverflow[] = "加算により、数値が有効桁を超えました。";
const char kSubOverflow[] = "減算により、数値が有効桁を超えました。";
const char kMulOverflow[] = "乗算により、数値が有効桁を超えました。";
const char kDivOverflow[] = "除算により、数値が有効桁を超えました。";
const char kDivZero[] = "０で除算しています。";
const char kModZero[] = "０で剰余しています。";

constexpr uint32_t kNeg = 0x80000000u;

// A number from its sign (-1 sets the sign bit), magnitude and fraction; the
// unused words carry a pattern that no number operation may touch.
FAQ num(int sign, uint32_t magnitude, uint32_t fraction = 0) {
  FAQ f{};
  f.type = TYPE_NUMBER;
  f.word1 = magnitude | (sign < 0 ? kNeg : 0u);
  f.word2 = fraction;
  f.word3 = 0x33333333u;
  f.word4 = 0x44444444u;
  f.word5 = 0x55555555u;
  return f;
}
FAQ rect(int32_t x, int32_t y, int32_t w, int32_t h) {
  FAQ f{};
  f.type = TYPE_RECT;
  f.word1 = static_cast<uint32_t>(x);
  f.word2 = static_cast<uint32_t>(y);
  f.word3 = static_cast<uint32_t>(w);
  f.word4 = static_cast<uint32_t>(h);
  return f;
}
FAQ typed(uint16_t type, uint32_t word1 = 0, uint32_t word2 = 0) {
  FAQ f{};
  f.type = type;
  f.word1 = word1;
  f.word2 = word2;
  return f;
}

std::string show(const FAQ& f) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "{type %u, %08x, %u, %08x %08x %08x}", f.type, f.word1, f.word2,
                f.word3, f.word4, f.word5);
  return buf;
}
bool same(const FAQ& a, const FAQ& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class NumberTest : public ::testing::Test {
 protected:
  // A zeroed context (no main window) is all that numbers need.
  std::unique_ptr<SystemContext> holder_ = std::make_unique<SystemContext>();
  SystemContext* ctx = holder_.get();
  mrvtest::DialogLog log_;

  Messages messages() const {
    Messages out;
    for (const auto& b : log_.boxes()) out.push_back(b.text);
    return out;
  }
};

using Binary = int32_t (*)(SystemContext*, FAQ*, FAQ*);

struct BinaryCase {
  const char* name;
  Binary op;
  FAQ a, b;
  int32_t result;
  FAQ expect;  // what A holds afterwards
  Messages messages;
};

TEST_F(NumberTest, ArithmeticResultsSignsAndFailures) {
  const BinaryCase cases[] = {
      // Addition: integer and scaled paths, carries, plain zeros, overflow.
      {"999999999+1",
       MRVFAQ_Add,
       num(1, 999999999),
       num(1, 1),
       0,
       num(1, 1000000000),
       {kIntRange, kAddOverflow}},
      {"-999999999+-1",
       MRVFAQ_Add,
       num(-1, 999999999),
       num(-1, 1),
       0,
       num(-1, 1000000000),
       {kIntRange, kAddOverflow}},
      {"999999999.5+0.5",
       MRVFAQ_Add,
       num(1, 999999999, 500000000),
       num(1, 0, 500000000),
       0,
       num(1, 1000000000),
       {kIntRange, kAddOverflow}},
      {"fraction carries", MRVFAQ_Add, num(1, 0, 999999999), num(1, 0, 1), 1, num(1, 1), {}},
      {"-0.5+0.25",
       MRVFAQ_Add,
       num(-1, 0, 500000000),
       num(1, 0, 250000000),
       1,
       num(-1, 0, 250000000),
       {}},
      {"-1.25+3", MRVFAQ_Add, num(-1, 1, 250000000), num(1, 3), 1, num(1, 1, 750000000), {}},
      {"-5+5 is plain 0", MRVFAQ_Add, num(-1, 5), num(1, 5), 1, num(1, 0), {}},
      {"-0+-0 is plain 0", MRVFAQ_Add, num(-1, 0), num(-1, 0), 1, num(1, 0), {}},
      {"-0.5+0.5 is plain 0",
       MRVFAQ_Add,
       num(-1, 0, 500000000),
       num(1, 0, 500000000),
       1,
       num(1, 0),
       {}},
      // Subtraction.
      {"0.25-0.5",
       MRVFAQ_Sub,
       num(1, 0, 250000000),
       num(1, 0, 500000000),
       1,
       num(-1, 0, 250000000),
       {}},
      {"1-0.000000001", MRVFAQ_Sub, num(1, 1), num(1, 0, 1), 1, num(1, 0, 999999999), {}},
      {"3-3 is plain 0", MRVFAQ_Sub, num(1, 3), num(1, 3), 1, num(1, 0), {}},
      {"-0.5--0.5 is plain 0",
       MRVFAQ_Sub,
       num(-1, 0, 500000000),
       num(-1, 0, 500000000),
       1,
       num(1, 0),
       {}},
      {"-999999999-1",
       MRVFAQ_Sub,
       num(-1, 999999999),
       num(1, 1),
       0,
       num(-1, 1000000000),
       {kIntRange, kSubOverflow}},
      // Multiplication: integer path, scaled path, truncation, signs of zero.
      {"31622*31622", MRVFAQ_Mul, num(1, 31622), num(1, 31622), 1, num(1, 999950884), {}},
      {"100000*100000",
       MRVFAQ_Mul,
       num(1, 100000),
       num(1, 100000),
       0,
       num(1, 0x7FFFFFFF),
       {kIntRange, kMulOverflow}},
      // 2^32 has no bits in the low word: it must still fail, not become 0.
      {"65536*65536",
       MRVFAQ_Mul,
       num(1, 65536),
       num(1, 65536),
       0,
       num(1, 0x7FFFFFFF),
       {kIntRange, kMulOverflow}},
      {"65536*-32768",
       MRVFAQ_Mul,
       num(1, 65536),
       num(-1, 32768),
       0,
       num(-1, 0x7FFFFFFF),
       {kIntRange, kMulOverflow}},
      {"123456.5*8100",
       MRVFAQ_Mul,
       num(1, 123456, 500000000),
       num(1, 8100),
       1,
       num(1, 999997650),
       {}},
      {"999999999.5*2",
       MRVFAQ_Mul,
       num(1, 999999999, 500000000),
       num(1, 2),
       0,
       num(1, 999999999, 500000000),
       {kMulOverflow}},
      {"largest*1",
       MRVFAQ_Mul,
       num(-1, 999999999, 999999999),
       num(1, 1),
       1,
       num(-1, 999999999, 999999999),
       {}},
      {"largest*1.000000001",
       MRVFAQ_Mul,
       num(1, 999999999, 999999999),
       num(1, 1, 1),
       0,
       num(1, 999999999, 999999999),
       {kMulOverflow}},
      {"-2*-3", MRVFAQ_Mul, num(-1, 2), num(-1, 3), 1, num(1, 6), {}},
      {"-1.5*0.5",
       MRVFAQ_Mul,
       num(-1, 1, 500000000),
       num(1, 0, 500000000),
       1,
       num(-1, 0, 750000000),
       {}},
      {"0.000000001*0.5 truncates",
       MRVFAQ_Mul,
       num(1, 0, 1),
       num(1, 0, 500000000),
       1,
       num(1, 0),
       {}},
      {"-0.000000001*0.5 keeps the sign",
       MRVFAQ_Mul,
       num(-1, 0, 1),
       num(1, 0, 500000000),
       1,
       num(-1, 0),
       {}},
      {"0*-5 keeps the sign", MRVFAQ_Mul, num(1, 0), num(-1, 5), 1, num(-1, 0), {}},
      // Division.
      {"1/3", MRVFAQ_Div, num(1, 1), num(1, 3), 1, num(1, 0, 333333333), {}},
      {"10/4", MRVFAQ_Div, num(1, 10), num(1, 4), 1, num(1, 2, 500000000), {}},
      {"-7/2", MRVFAQ_Div, num(-1, 7), num(1, 2), 1, num(-1, 3, 500000000), {}},
      {"-2/-0.000000003",
       MRVFAQ_Div,
       num(-1, 2),
       num(-1, 0, 3),
       1,
       num(1, 666666666, 666666666),
       {}},
      {"0/-3 keeps the sign", MRVFAQ_Div, num(1, 0), num(-1, 3), 1, num(-1, 0), {}},
      {"2/0.000000001",
       MRVFAQ_Div,
       num(1, 2),
       num(1, 0, 1),
       0,
       num(1, 2000000000),
       {kIntRange, kDivOverflow}},
      {"-999999999/0.999999999",
       MRVFAQ_Div,
       num(-1, 999999999),
       num(1, 0, 999999999),
       0,
       num(-1, 1000000000),
       {kIntRange, kDivOverflow}},
      {"5/0", MRVFAQ_Div, num(1, 5), num(1, 0), 0, num(1, 5), {kDivZero}},
      {"-5/-0", MRVFAQ_Div, num(-1, 5), num(-1, 0), 0, num(-1, 5), {kDivZero}},
      // Remainder: integer magnitudes, the first operand's sign bit.
      {"-7 mod 3", MRVFAQ_Mod, num(-1, 7), num(1, 3), 1, num(-1, 1), {}},
      {"7.9 mod 2", MRVFAQ_Mod, num(1, 7, 900000000), num(1, 2, 500000000), 1, num(1, 1), {}},
      {"-6 mod 3 keeps the sign", MRVFAQ_Mod, num(-1, 6), num(-1, 3), 1, num(-1, 0), {}},
      {"5 mod 0.5", MRVFAQ_Mod, num(1, 5), num(1, 0, 500000000), 0, num(1, 5), {kModZero}},
      {"5 mod -0", MRVFAQ_Mod, num(1, 5), num(-1, 0), 0, num(1, 5), {kModZero}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ a = c.a, b = c.b;
    EXPECT_EQ(c.op(ctx, &a, &b), c.result) << c.name;
    EXPECT_TRUE(same(a, c.expect)) << c.name << ": " << show(a) << " expected " << show(c.expect);
    EXPECT_TRUE(same(b, c.b)) << c.name << ": the second operand changed";
    Messages got;
    for (const auto& box : log.boxes()) {
      EXPECT_EQ(box.caption, "『Marovine33』変数マネージャ(MRVVAL.DLL)") << c.name;
      got.push_back(box.text);
    }
    EXPECT_EQ(got, c.messages) << c.name;
  }
}

TEST_F(NumberTest, BitOperationsWorkOnIntegerValues) {
  const BinaryCase cases[] = {
      {"12|3", MRVFAQ_Or, num(1, 12), num(1, 3), 1, num(1, 15), {}},
      {"1.5|0.75 drops fractions",
       MRVFAQ_Or,
       num(1, 1, 500000000),
       num(1, 0, 750000000),
       1,
       num(1, 1),
       {}},
      {"-999999999|999999999", MRVFAQ_Or, num(-1, 999999999), num(1, 999999999), 1, num(-1, 1), {}},
      {"or overflow",
       MRVFAQ_Or,
       num(1, 999999999),
       num(1, 0x04000000),
       0,
       num(1, 1067108863),
       {kIntRange, "論理和により、数値が有効桁を超えました。"}},
      {"-1&5", MRVFAQ_And, num(-1, 1), num(1, 5), 1, num(1, 5), {}},
      {"-6&-3", MRVFAQ_And, num(-1, 6), num(-1, 3), 1, num(-1, 8), {}},
      {"and overflow",
       MRVFAQ_And,
       num(-1, 999999999),
       num(-1, 2),
       0,
       num(-1, 1000000000),
       {kIntRange, "論理積により、数値が有効桁を超えました。"}},
      {"-1^0", MRVFAQ_Xor, num(-1, 1), num(1, 0), 1, num(-1, 1), {}},
      {"6^3.5", MRVFAQ_Xor, num(1, 6), num(1, 3, 500000000), 1, num(1, 5), {}},
      {"xor overflow",
       MRVFAQ_Xor,
       num(1, 999999999),
       num(1, 0x04000000),
       0,
       num(1, 1067108863),
       {kIntRange, "排他的論理和により、数値が有効桁を超えました。"}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ a = c.a, b = c.b;
    EXPECT_EQ(c.op(ctx, &a, &b), c.result) << c.name;
    EXPECT_TRUE(same(a, c.expect)) << c.name << ": " << show(a) << " expected " << show(c.expect);
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << c.name;
  }
}

TEST_F(NumberTest, TypeErrorsNameTheOperation) {
  const FAQ n = num(1, 1), r = rect(0, 0, 1, 1), s = typed(TYPE_STRING), p = typed(TYPE_POINTER);
  const BinaryCase cases[] = {
      {"N+R", MRVFAQ_Add, n, r, 0, n, {"加算されている2つのFAQの型が異なっています。"}},
      {"P+P", MRVFAQ_Add, p, p, 0, p, {"加算されている2つのFAQの型が異なっています。"}},
      {"N+P", MRVFAQ_Add, n, p, 0, n, {"加算されている2つのFAQの型が異なっています。"}},
      {"S-S", MRVFAQ_Sub, s, s, 0, s, {"減算されている2つのFAQの型が異なっています。"}},
      {"N*R", MRVFAQ_Mul, n, r, 0, n, {kPairNotNumber}},
      {"R*R", MRVFAQ_Mul, r, r, 0, r, {kNotNumber}},
      {"S/N", MRVFAQ_Div, s, n, 0, s, {kPairNotNumber}},
      {"P mod P", MRVFAQ_Mod, p, p, 0, p, {kNotNumber}},
      {"R^R", MRVFAQ_Xor, r, r, 0, r, {kNotNumber}},
      {"N|R", MRVFAQ_Or, n, r, 0, n, {"論理和された2つのFAQの型が異なっています。"}},
      {"S&S", MRVFAQ_And, s, s, 0, s, {"論理積された2つのFAQの型が異なっています。"}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ a = c.a, b = c.b;
    EXPECT_EQ(c.op(ctx, &a, &b), c.result) << c.name;
    EXPECT_TRUE(same(a, c.expect)) << c.name;
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << c.name;
  }
  // Comparison of unlike (or unordered) types.
  const std::pair<FAQ, FAQ> unlike[] = {{n, r}, {s, n}, {p, p}};
  for (const auto& [x, y] : unlike) {
    mrvtest::DialogLog log;
    FAQ a = x, b = y;
    int32_t out = 77;
    EXPECT_EQ(MRVFAQ_Comp(ctx, &a, &b, &out), 0);
    ASSERT_EQ(log.boxes().size(), 1u);
    EXPECT_EQ(log.boxes()[0].text, "指定された2つのFAQの型が異なっています。");
  }
}

TEST_F(NumberTest, PointerOffsetsMoveByTheIntegerValue) {
  FAQ p = typed(TYPE_POINTER, 0x1234, 4);
  FAQ step = num(1, 2, 700000000);
  EXPECT_EQ(MRVFAQ_Add(ctx, &p, &step), 1);
  EXPECT_EQ(p.word2, 6u);
  FAQ back = num(-1, 10);
  EXPECT_EQ(MRVFAQ_Add(ctx, &p, &back), 1);
  EXPECT_EQ(static_cast<int32_t>(p.word2), -4);
  FAQ three = num(1, 3);
  EXPECT_EQ(MRVFAQ_Sub(ctx, &p, &three), 1);
  EXPECT_EQ(static_cast<int32_t>(p.word2), -7);
  EXPECT_EQ(p.word1, 0x1234u);
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, RectanglesUniteAndIntersect) {
  struct Case {
    FAQ a, b, unite, meet;
  } cases[] = {
      {rect(0, 0, 10, 10), rect(5, 5, 10, 10), rect(0, 0, 15, 15), rect(5, 5, 5, 5)},
      {rect(0, 0, 10, 10), rect(20, 0, 5, 5), rect(0, 0, 25, 10), rect(0, 0, 0, 0)},
      {rect(-5, -5, 10, 10), rect(3, 3, 0, 4), rect(-5, -5, 10, 10), rect(0, 0, 0, 0)},
      {rect(3, 3, 0, 4), rect(1, 2, 3, 4), rect(1, 2, 3, 4), rect(0, 0, 0, 0)},
      {rect(3, 3, 0, 4), rect(1, 2, -3, 4), rect(0, 0, 0, 0), rect(0, 0, 0, 0)},
      // Corners are 32-bit like the system's: a right edge that wraps past
      // the largest coordinate makes the rectangle empty.
      {rect(INT32_MAX - 50, 0, 100, 10), rect(INT32_MAX - 50, 0, 20, 10),
       rect(INT32_MAX - 50, 0, 20, 10), rect(0, 0, 0, 0)},
  };
  for (const auto& c : cases) {
    FAQ a = c.a, b = c.b;
    EXPECT_EQ(MRVFAQ_Or(ctx, &a, &b), 1);
    EXPECT_TRUE(same(a, c.unite)) << show(c.a) << " | " << show(c.b) << " gave " << show(a);
    a = c.a;
    EXPECT_EQ(MRVFAQ_And(ctx, &a, &b), 1);
    EXPECT_TRUE(same(a, c.meet)) << show(c.a) << " & " << show(c.b) << " gave " << show(a);
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, CompareOrdersNumbersAndTellsRectanglesApart) {
  struct Case {
    FAQ a, b;
    int32_t out;
  } cases[] = {
      {num(1, 1), num(1, 1, 500000000), -1},
      {num(1, 1, 500000000), num(1, 1), 1},
      {num(-1, 0, 500000000), num(1, 0, 500000000), -1},
      {num(1, 2), num(1, 2), 0},
      {num(-1, 3), num(1, 2), -1},
      {num(-1, 0), num(1, 0), 0},
      {num(-1, 0), num(1, 0, 1), -1},
      {num(-1, 0), num(-1, 0, 500000000), 1},
      {num(-1, 0, 500000000), num(-1, 0, 250000000), -1},
      {num(1, 0, 500000000), num(1, 0), 1},
      {num(1, 999999999, 999999999), num(-1, 999999999, 999999999), 1},
      {num(-1, 999999999, 1), num(-1, 999999999, 2), 1},
      {rect(1, 2, 3, 4), rect(1, 2, 3, 4), 0},
      {rect(1, 2, 3, 4), rect(1, 2, 3, 5), -1},
      {rect(1, 2, 3, 5), rect(1, 2, 3, 4), -1},
  };
  for (const auto& c : cases) {
    FAQ a = c.a, b = c.b;
    int32_t out = 77;
    EXPECT_EQ(MRVFAQ_Comp(ctx, &a, &b, &out), 1);
    EXPECT_EQ(out, c.out) << show(c.a) << " vs " << show(c.b);
    EXPECT_TRUE(same(a, c.a) && same(b, c.b));
  }
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, StringsConcatenateAndCompareForEquality) {
  SystemContext* full = MRVVAL_Create(0);
  ASSERT_NE(full, nullptr);
  auto make = [&](const char* text) {
    FAQ f{};
    EXPECT_EQ(MRVSTR_SetByte(full, &f, text), 1);
    return f;
  };
  auto compare = [&](const char* x, const char* y) {
    FAQ a = make(x), b = make(y);
    int32_t out = 77;
    EXPECT_EQ(MRVFAQ_Comp(full, &a, &b, &out), 1);
    MRVFAQ_Clear(full, &a);
    MRVFAQ_Clear(full, &b);
    return out;
  };
  EXPECT_EQ(compare("abc", "abc"), 0);
  EXPECT_EQ(compare("abc", "abcd"), 1);
  EXPECT_EQ(compare("abcd", "abc"), 1);
  EXPECT_EQ(compare("abc", "abd"), -1);
  EXPECT_EQ(compare("abd", "abc"), -1);

  FAQ a = make("ab"), b = make("cde");
  EXPECT_EQ(MRVFAQ_Add(full, &a, &b), 1);
  char text[64] = {};
  EXPECT_EQ(MRVSTR_GetByte(full, &a, text), 1);
  EXPECT_STREQ(text, "abcde");
  MRVFAQ_Clear(full, &a);
  MRVFAQ_Clear(full, &b);
  MRVVAL_Delete(full);
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, NumberBuildsSignAndMagnitude) {
  struct Case {
    int32_t mode, integer;
    uint32_t fraction;
    int32_t result;
    FAQ expect;
    Messages messages;
  } cases[] = {
      {1, -90, 0, 1, num(-1, 90), {}},
      {1, 0, 500000000, 1, num(1, 0, 500000000), {}},
      {-1, 3, 250000000, 1, num(-1, 3, 250000000), {}},
      {-1, -3, 0, 1, num(-1, 3), {}},
      {-1, 0, 0, 1, num(-1, 0), {}},
      {0, 12, 5, 1, num(1, 0), {}},
      {1, 999999999, 999999999, 1, num(1, 999999999, 999999999), {}},
      {1, 1000000000, 0, 0, num(1, 1000000000), {kIntRange}},
      {1, 5, 1000000000, 0, num(1, 5, 1000000000), {kFracRange}},
      // The most negative integer has no 31-bit magnitude; it must not come
      // out as a valid negative zero.
      {1, INT32_MIN, 0, 0, num(-1, 0x7FFFFFFF), {kIntRange}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ out = num(1, 0);
    EXPECT_EQ(MRVFAQ_Number(ctx, &out, c.mode, c.integer, c.fraction), c.result) << c.integer;
    EXPECT_TRUE(same(out, c.expect)) << c.integer << ": " << show(out);
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << c.integer;
  }
  for (int32_t mode : {2, -2}) {
    mrvtest::DialogLog log;
    FAQ out = rect(1, 2, 3, 4);
    EXPECT_EQ(MRVFAQ_Number(ctx, &out, mode, 1, 0), 0);
    EXPECT_TRUE(same(out, rect(1, 2, 3, 4)));
    ASSERT_EQ(log.boxes().size(), 1u);
    EXPECT_EQ(log.boxes()[0].text, "符号の設定が誤っています。");
  }
}

TEST_F(NumberTest, CheckRangeReportsTheFirstBadPart) {
  struct Case {
    FAQ f;
    int32_t result;
    Messages messages;
  } cases[] = {
      {num(-1, 999999999, 999999999), 0, {}},
      {num(1, 1000000000, 0), 1, {kIntRange}},
      {num(1, 1000000000, 1000000000), 1, {kIntRange}},
      {num(-1, 1, 0xFFFFFFFF), 2, {kFracRange}},
      {rect(1, 2, 3, 4), 0, {}},  // the type is not looked at
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ f = c.f;
    EXPECT_EQ(MRVFAQ_CheckRange(ctx, &f), c.result) << show(c.f);
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << show(c.f);
  }
}

TEST_F(NumberTest, GetNumberParsesToTheLetter) {
  struct Case {
    const char* text;
    int consumed;  // -1: out of range, null returned
    uint32_t word1, word2;
  } cases[] = {
      {"12.5", 4, 12, 500000000},
      {"12.5+x", 4, 12, 500000000},
      {"-0x10", 5, kNeg | 16, 0},
      {"0XfF;", 4, 255, 0},
      {"0b101", 5, 5, 0},
      {"-0B11z", 5, kNeg | 3, 0},
      {"0x80000001", 10, kNeg | 1, 0},     // bit 31 reads as the sign
      {"-0x80000001", 11, 1, 0},           // and the minus toggles it
      {"1.1234567891", 12, 1, 123456789},  // tenth digit consumed and dropped
      {"0.0000000009999", 15, 0, 0},
      {"-0", 2, 0, 0},
      {"-0.000", 6, 0, 0},
      {"-.5", 3, kNeg, 500000000},
      {"7.", 2, 7, 0},
      {"999999999.999999999", 19, 999999999, 999999999},
      {"abc", 0, 0, 0},
      {"-", 1, 0, 0},
      {"0x", 2, 0, 0},
      {"1000000000", -1, 1000000000, 0},
      // Long literals must fail rather than wrap around into range.
      {"4294967296", -1, 0x7FFFFFFF, 0},
      {"3000000000", -1, 0x7FFFFFFF, 0},
      {"18446744073709551616", -1, 0x7FFFFFFF, 0},
      {"-99999999999999999999", -1, kNeg | 0x7FFFFFFF, 0},
      {"0xFFFFFFFF", -1, 0xFFFFFFFF, 0},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ out = rect(1, 2, 3, 4);
    const char* end = MRVFAQ_GetNumber(ctx, &out, c.text);
    if (c.consumed < 0) {
      EXPECT_EQ(end, nullptr) << c.text;
      ASSERT_EQ(log.boxes().size(), 1u) << c.text;
      EXPECT_EQ(log.boxes()[0].text, kIntRange);
    } else {
      EXPECT_EQ(end, c.text + c.consumed) << c.text;
      EXPECT_TRUE(log.boxes().empty()) << c.text;
    }
    EXPECT_EQ(out.type, TYPE_NUMBER) << c.text;
    EXPECT_EQ(out.word1, c.word1) << c.text;
    EXPECT_EQ(out.word2, c.word2) << c.text;
  }
}

TEST_F(NumberTest, FormattersWriteTheDocumentedTexts) {
  struct Case {
    FAQ f;
    const char* decimal;
    const char* bin0;
    const char* bin1;
    const char* hex[4];  // modes 0..3
  } cases[] = {
      {num(1, 5),
       "5",
       "00000000000000000000000000000101",
       "101",
       {"5", "00000005", "5", "00000005"}},
      {num(1, 255, 50000000),
       "255.05",
       "00000000000000000000000011111111",
       "11111111",
       {"ff", "000000ff", "FF", "000000FF"}},
      {num(-1, 0, 500000000),
       "-0.5",
       "00000000000000000000000000000000",
       "0",
       {"0", "00000000", "0", "00000000"}},
      {num(-1, 3),
       "-3",
       "11111111111111111111111111111101",
       "11111111111111111111111111111101",
       {"fffffffd", "fffffffd", "FFFFFFFD", "FFFFFFFD"}},
      {num(1, 12, 500000000),
       "12.5",
       "00000000000000000000000000001100",
       "1100",
       {"c", "0000000c", "C", "0000000C"}},
      {num(-1, 0),
       "0",
       "00000000000000000000000000000000",
       "0",
       {"0", "00000000", "0", "00000000"}},
      {num(-1, 999999999, 999999999),
       "-999999999.999999999",
       "11000100011001010011011000000001",
       "11000100011001010011011000000001",
       {"c4653601", "c4653601", "C4653601", "C4653601"}},
      {num(1, 0, 1),
       "0.000000001",
       "00000000000000000000000000000000",
       "0",
       {"0", "00000000", "0", "00000000"}},
  };
  for (const auto& c : cases) {
    FAQ f = c.f;
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(MRVFAQ_String(ctx, &f, buf), 1);
    EXPECT_STREQ(buf, c.decimal);
    ASSERT_EQ(MRVFAQ_StringBin(ctx, &f, buf, 0), 1);
    EXPECT_STREQ(buf, c.bin0) << c.decimal;
    ASSERT_EQ(MRVFAQ_StringBin(ctx, &f, buf, 7), 1);
    EXPECT_STREQ(buf, c.bin1) << c.decimal;
    for (int mode = 0; mode < 4; ++mode) {
      ASSERT_EQ(MRVFAQ_StringHex(ctx, &f, buf, mode), 1);
      EXPECT_STREQ(buf, c.hex[mode]) << c.decimal << " mode " << mode;
    }
    EXPECT_TRUE(same(f, c.f));
  }
  FAQ f = num(1, 10);
  char buf[16];
  ASSERT_EQ(MRVFAQ_StringHex(ctx, &f, buf, -5), 1);
  EXPECT_STREQ(buf, "a");
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, UnaryOperations) {
  int32_t v = 0;
  struct IntCase {
    FAQ f;
    int32_t integer, sign;
  } ints[] = {
      {num(1, 7, 900000000), 7, 1}, {num(-1, 7, 900000000), -7, -1},
      {num(-1, 0), 0, -1},          {num(1, 0), 0, 0},
      {num(1, 0, 1), 0, 1},         {num(-1, 999999999), -999999999, -1},
  };
  for (const auto& c : ints) {
    FAQ f = c.f;
    EXPECT_EQ(MRVFAQ_Int(ctx, &f, &v), 1);
    EXPECT_EQ(v, c.integer) << show(c.f);
    EXPECT_EQ(MRVFAQ_Sign(ctx, &f, &v), 1);
    EXPECT_EQ(v, c.sign) << show(c.f);
    EXPECT_TRUE(same(f, c.f));
  }

  using Unary = int32_t (*)(SystemContext*, FAQ*);
  struct Case {
    const char* name;
    Unary op;
    FAQ f, expect;
  } cases[] = {
      {"abs", MRVFAQ_Abs, num(-1, 3, 5), num(1, 3, 5)},
      {"neg", MRVFAQ_Neg, num(1, 3, 5), num(-1, 3, 5)},
      {"neg -0.5", MRVFAQ_Neg, num(-1, 0, 500000000), num(1, 0, 500000000)},
      {"neg -0", MRVFAQ_Neg, num(-1, 0), num(1, 0)},
      {"neg 0", MRVFAQ_Neg, num(1, 0), num(1, 0)},
      {"high", MRVFAQ_High, num(-1, 3, 5), num(-1, 3)},
      {"low", MRVFAQ_Low, num(-1, 3, 5), num(-1, 0, 5)},
      {"not 0", MRVFAQ_Not, num(1, 0), num(-1, 1)},
      {"not 5", MRVFAQ_Not, num(1, 5), num(-1, 6)},
      {"not -1", MRVFAQ_Not, num(-1, 1), num(1, 0)},
      {"not 1.5", MRVFAQ_Not, num(1, 1, 500000000), num(-1, 2)},
      {"reverce 4", MRVFAQ_Reverce, num(1, 4), num(1, 0, 250000000)},
      {"reverce -3", MRVFAQ_Reverce, num(-1, 3), num(-1, 0, 333333333)},
      {"reverce 0.000000002", MRVFAQ_Reverce, num(1, 0, 2), num(1, 500000000)},
  };
  for (const auto& c : cases) {
    FAQ f = c.f;
    EXPECT_EQ(c.op(ctx, &f), 1) << c.name;
    EXPECT_TRUE(same(f, c.expect)) << c.name << ": " << show(f);
  }
  EXPECT_TRUE(messages().empty());

  FAQ t{}, f = num(1, 0);
  EXPECT_EQ(MRVFAQ_Bool(ctx, &t, 7), 0);
  EXPECT_EQ(MRVFAQ_Not(ctx, &f), 1);
  EXPECT_EQ(t.type, f.type);
  EXPECT_EQ(t.word1, f.word1);
  EXPECT_EQ(t.word2, 0u);
  EXPECT_EQ(MRVFAQ_Bool(ctx, &t, 0), 0);
  EXPECT_EQ(t.word1, 0u);
}

TEST_F(NumberTest, UnaryFailures) {
  struct Case {
    const char* name;
    int32_t (*op)(SystemContext*, FAQ*);
    FAQ f, expect;
    Messages messages;
  } cases[] = {
      {"not 999999999",
       MRVFAQ_Not,
       num(1, 999999999),
       num(-1, 1000000000),
       {kIntRange, "論理否定により、数値が有効桁を超えました。"}},
      // The divisor is exchanged in first, so a failed reciprocal leaves 1.
      {"reverce 0", MRVFAQ_Reverce, num(-1, 0), num(1, 1), {kDivZero}},
      {"reverce 0.000000001",
       MRVFAQ_Reverce,
       num(1, 0, 1),
       num(1, 1000000000),
       {kIntRange, kDivOverflow}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ f = c.f;
    EXPECT_EQ(c.op(ctx, &f), 0) << c.name;
    EXPECT_TRUE(same(f, c.expect)) << c.name << ": " << show(f);
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << c.name;
  }

  // Every number function refuses a value of another type and leaves it.
  int32_t v = 0;
  char buf[64];
  const std::vector<std::pair<const char*, std::function<int32_t(FAQ*)>>> ops = {
      {"abs", [&](FAQ* f) { return MRVFAQ_Abs(ctx, f); }},
      {"neg", [&](FAQ* f) { return MRVFAQ_Neg(ctx, f); }},
      {"high", [&](FAQ* f) { return MRVFAQ_High(ctx, f); }},
      {"low", [&](FAQ* f) { return MRVFAQ_Low(ctx, f); }},
      {"not", [&](FAQ* f) { return MRVFAQ_Not(ctx, f); }},
      {"reverce", [&](FAQ* f) { return MRVFAQ_Reverce(ctx, f); }},
      {"power", [&](FAQ* f) { return MRVFAQ_Power(ctx, f, 0); }},
      {"int", [&](FAQ* f) { return MRVFAQ_Int(ctx, f, &v); }},
      {"sign", [&](FAQ* f) { return MRVFAQ_Sign(ctx, f, &v); }},
      {"string", [&](FAQ* f) { return MRVFAQ_String(ctx, f, buf); }},
      {"bin", [&](FAQ* f) { return MRVFAQ_StringBin(ctx, f, buf, 0); }},
      {"hex", [&](FAQ* f) { return MRVFAQ_StringHex(ctx, f, buf, 0); }},
  };
  for (const auto& [name, op] : ops) {
    mrvtest::DialogLog log;
    FAQ f = rect(-1, 2, 3, 4);
    EXPECT_EQ(op(&f), 0) << name;
    EXPECT_TRUE(same(f, rect(-1, 2, 3, 4))) << name;
    ASSERT_EQ(log.boxes().size(), 1u) << name;
    EXPECT_EQ(log.boxes()[0].text, kNotNumber) << name;
  }
}

// 1.000000001 ^ 2147483647 takes 2^31 products; a task told to end stops
// it early with failure and no message, mid-way.
TEST_F(NumberTest, ALongPowerStopsWhenItsTaskIsToldToEnd) {
  ctx->currentTask = 3;
  ctx->taskFlags[3] = 0x08;  // TASK_END
  FAQ f = num(1, 1, 1);
  EXPECT_EQ(MRVFAQ_Power(ctx, &f, INT32_MAX), 0);
  EXPECT_EQ(f.word1, 1u);
  EXPECT_GT(f.word2, 1u);  // some products were made
  EXPECT_TRUE(messages().empty());
}

TEST_F(NumberTest, PowerRepeatsMultiplication) {
  struct Case {
    FAQ base;
    int32_t exponent;
    int32_t result;
    FAQ expect;
    Messages messages;
  } cases[] = {
      {num(1, 2), 10, 1, num(1, 1024), {}},
      {num(1, 2), -2, 1, num(1, 0, 250000000), {}},
      {num(-1, 7, 500000000), 0, 1, num(1, 1), {}},
      {num(-1, 2), 3, 1, num(-1, 8), {}},
      {num(-1, 2), 1, 1, num(-1, 2), {}},
      {num(1, 1, 500000000), 3, 1, num(1, 3, 375000000), {}},
      // Truncation at every step: 0.5^30 has no digits left.
      {num(1, 0, 500000000), 29, 1, num(1, 0, 1), {}},
      {num(1, 0, 500000000), 30, 1, num(1, 0), {}},
      // Once the magnitude stops changing only the sign still alternates;
      // these exponents would take minutes multiplied out one by one.
      {num(-1, 0, 500000000), 1000001, 1, num(-1, 0), {}},
      {num(-1, 0, 500000000), 1000000, 1, num(1, 0), {}},
      {num(-1, 1), INT32_MAX, 1, num(-1, 1), {}},
      {num(-1, 1), INT32_MIN, 1, num(1, 1), {}},
      {num(1, 0, 500000000), 2000000000, 1, num(1, 0), {}},
      {num(1, 10),
       10,
       0,
       num(1, 1000000000),
       {kIntRange, kMulOverflow}},  // 10^9 is already too large
      {num(1, 0), -1, 0, num(1, 1), {kDivZero}},
      {num(1, 0, 500000000), -40, 0, num(1, 1), {kDivZero}},
  };
  for (const auto& c : cases) {
    mrvtest::DialogLog log;
    FAQ f = c.base;
    EXPECT_EQ(MRVFAQ_Power(ctx, &f, c.exponent), c.result) << show(c.base) << "^" << c.exponent;
    EXPECT_TRUE(same(f, c.expect)) << show(c.base) << "^" << c.exponent << " gave " << show(f);
    Messages got;
    for (const auto& box : log.boxes()) got.push_back(box.text);
    EXPECT_EQ(got, c.messages) << show(c.base) << "^" << c.exponent;
  }
}

}  // namespace
