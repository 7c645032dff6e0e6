// Code generation: sources compile to the exact bytes the code layout gives.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <functional>
#include <iostream>

#include "codewalk.h"
#include "comp_support.h"
#include "dialog_log.h"

using namespace comptest;

namespace {

// "$A=" followed by one operand and the statement's end.
Bytes AssignA(const Bytes& operand) {
  return Bytes{TOK_LOCALVAR, 'A', OP_ASSIGN} + operand;
}

struct CodeCase {
  const char* what;
  std::string source;
  Bytes code;
};
// Test names show the case, not its bytes.
void PrintTo(const CodeCase& c, std::ostream* os) {
  *os << c.what;
}

class CodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(CodeTest, CompilesToTheseBytes) {
  mrvtest::DialogLog log;
  const CodeCase& c = GetParam();
  Compiled r = Compile(c.source);
  ASSERT_EQ(r.ok, 1) << c.what << ": " << r.message;
  EXPECT_EQ(r.code, c.code) << c.what;
  EXPECT_TRUE(log.boxes().empty());
}

// WAIT(30); written out byte by byte: head, "STANDARD", "WAIT", one argument.
const Bytes kWait30 = {0x0F,
                       29,
                       0,
                       0,
                       0,
                       38,
                       0,
                       0,
                       0,
                       43,
                       0,
                       0,
                       0,
                       1,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       46,
                       0,
                       0,
                       0,
                       'S',
                       'T',
                       'A',
                       'N',
                       'D',
                       'A',
                       'R',
                       'D',
                       0,
                       'W',
                       'A',
                       'I',
                       'T',
                       0,
                       0x02,
                       30,
                       0x00,
                       /* final */ 0x00};

INSTANTIATE_TEST_SUITE_P(
    Statements, CodeTest,
    ::testing::Values(
        CodeCase{"empty source", "", {TOK_END}},
        CodeCase{"only blanks and a comment", " \t\r // note", {TOK_END}},
        CodeCase{"call with one argument", "WAIT(30);", kWait30},
        CodeCase{"blanks removed, upper-cased", "wait (30) ;", kWait30},
        CodeCase{"F() record ends at 41",
                 "F();",
                 {0x0F, 29,  0,   0,   0,   38,  0,   0,   0,   40, 0,   0,  0,    0,
                  0,    0,   0,   0,   0,   0,   0,   0,   0,   0,  0,   41, 0,    0,
                  0,    'S', 'T', 'A', 'N', 'D', 'A', 'R', 'D', 0,  'F', 0,  0x00, 0x00}},
        CodeCase{"two empty arguments", "F(,);", Std("F", {{}, {}}) + Bytes{0}},
        CodeCase{"empty middle argument", "F(1,,3);",
                 Std("F", {{TOK_INT8, 1}, {}, {TOK_INT8, 3}}) + Bytes{0}},
        CodeCase{"NULL leaves an omitted argument", "F(1, NULL, 2);",
                 Std("F", {{TOK_INT8, 1}, {}, {TOK_INT8, 2}}) + Bytes{0}},
        CodeCase{"library name", "lib:F(1);", Call("LIB", "F", {{TOK_INT8, 1}}) + Bytes{0}},
        CodeCase{"argument split over lines", "F(\n1\n,\n2\n);",
                 Std("F", {{TOK_INT8, 1}, {TOK_INT8, 2}}) + Bytes{0}},
        CodeCase{"call as an operand", "$A=F(G());",
                 AssignA(Std("F", {Std("G", {})})) + Bytes{0}}));

INSTANTIATE_TEST_SUITE_P(
    Constants, CodeTest,
    ::testing::Values(
        CodeCase{"zero", "$A=0;", AssignA({TOK_ZERO}) + Bytes{0}},
        CodeCase{"127 is 8-bit", "$A=127;", AssignA({TOK_INT8, 0x7F}) + Bytes{0}},
        CodeCase{"-128 is a minus and 16 bits", "$A=-128;",
                 AssignA({TOK_NEG, TOK_INT16, 0x80, 0x00}) + Bytes{0}},
        CodeCase{"300", "$A=300;", AssignA({TOK_INT16, 0x2C, 0x01}) + Bytes{0}},
        CodeCase{"-5", "$A=-5;", AssignA({TOK_NEG, TOK_INT8, 0x05}) + Bytes{0}},
        CodeCase{"32767 is 16-bit", "$A=32767;", AssignA({TOK_INT16, 0xFF, 0x7F}) + Bytes{0}},
        CodeCase{"32768 is 32-bit", "$A=32768;",
                 AssignA({TOK_INT32, 0x00, 0x80, 0x00, 0x00}) + Bytes{0}},
        CodeCase{"999999999", "$A=999999999;",
                 AssignA({TOK_INT32, 0xFF, 0xC9, 0x9A, 0x3B}) + Bytes{0}},
        CodeCase{"a half", "$A=0.5;",
                 AssignA(Bytes{TOK_DECIMAL} + Le32(0) + Le32(500000000)) + Bytes{0}},
        CodeCase{"fraction without integer part", "$A=.25;",
                 AssignA(Bytes{TOK_DECIMAL} + Le32(0) + Le32(250000000)) + Bytes{0}},
        CodeCase{"12.5", "$A=12.5;",
                 AssignA(Bytes{TOK_DECIMAL} + Le32(12) + Le32(500000000)) + Bytes{0}},
        CodeCase{"hexadecimal", "$A=0xff;", AssignA({TOK_INT16, 0xFF, 0x00}) + Bytes{0}},
        CodeCase{"hexadecimal with the sign bit is negative", "$A=0x80000001;",
                 AssignA({TOK_INT8, 0xFF}) + Bytes{0}},
        CodeCase{"binary", "$A=0b101;", AssignA({TOK_INT8, 0x05}) + Bytes{0}},
        CodeCase{"TRUE is -1", "$A=TRUE;", AssignA({TOK_NEG, TOK_INT8, 0x01}) + Bytes{0}},
        CodeCase{"a colour macro", "$A=MRVRED;", AssignA({TOK_INT16, 0x00, 0x7C}) + Bytes{0}},
        CodeCase{"string keeps case and blanks", "$A=\"a B\";",
                 AssignA({TOK_STRING, 3, 0, 'a', 0, ' ', 0, 'B', 0, 0, 0}) + Bytes{0}},
        CodeCase{"empty string", "$A=\"\";", AssignA({TOK_STRING, 0, 0, 0, 0}) + Bytes{0}},
        CodeCase{"double-byte characters are one unit each", "$A=\"\x82\xA0x\x83\x5C\";",
                 AssignA({TOK_STRING, 3, 0, 0xA0, 0x82, 'x', 0, 0x5C, 0x83, 0, 0}) + Bytes{0}},
        CodeCase{"a lead byte pairs with a tab; before the closing quote it stands alone",
                 "$A=\"\x82\t\x82\";",
                 AssignA({TOK_STRING, 2, 0, 0x09, 0x82, 0x82, 0, 0, 0}) + Bytes{0}},
        CodeCase{"single-byte katakana", "$A=\"\xB1\";",
                 AssignA({TOK_STRING, 1, 0, 0xB1, 0, 0, 0}) + Bytes{0}},
        CodeCase{"comment marks inside a string stay", "$A=\"//x\";",
                 AssignA({TOK_STRING, 3, 0, '/', 0, '/', 0, 'x', 0, 0, 0}) + Bytes{0}}));

INSTANTIATE_TEST_SUITE_P(
    Variables, CodeTest,
    ::testing::Values(
        CodeCase{"system variable from a common variable", "#5=$$a;",
                 Bytes{TOK_SYSVAR, TOK_INT8, 5, OP_ASSIGN, TOK_COMVAR, TOK_LOCALVAR, 'A', 0}},
        CodeCase{"computed number, subscript", "$(2+3)[1]=$B;",
                 Bytes{TOK_COMVAR, TOK_PAREN, TOK_INT8, 2, OP_ADD, TOK_INT8, 3, TOK_END, TOK_INDEX,
                       TOK_INT8, 1, TOK_END, OP_ASSIGN, TOK_LOCALVAR, 'B', 0}},
        CodeCase{"by-reference arguments", "F(\\$(2+3)[1], \\$B);",
                 Std("F", {{TOK_BYREF, TOK_COMVAR, TOK_PAREN, TOK_INT8, 2, OP_ADD, TOK_INT8, 3,
                            TOK_END, TOK_INDEX, TOK_INT8, 1, TOK_END},
                           {TOK_BYREF, TOK_LOCALVAR, 'B'}}) +
                     Bytes{0}},
        CodeCase{"task frame cell", "$@=#0[$Z];",
                 Bytes{TOK_LOCALVAR, '@', OP_ASSIGN, TOK_SYSVAR, TOK_ZERO, TOK_INDEX, TOK_LOCALVAR,
                       'Z', TOK_END, 0}},
        CodeCase{"postfix increment ends the expression", "$A++;",
                 Bytes{TOK_LOCALVAR, 'A', OP_INC, 0}},
        CodeCase{"postfix decrement", "$1--;", Bytes{TOK_COMVAR, TOK_INT8, 1, OP_DEC, 0}},
        CodeCase{"not, minus and a plus that writes nothing", "$A=!-1+!$B*+2;",
                 AssignA({TOK_NOT, TOK_NEG, TOK_INT8, 1, OP_ADD, TOK_NOT, TOK_LOCALVAR, 'B', OP_MUL,
                          TOK_INT8, 2}) +
                     Bytes{0}},
        CodeCase{"every binary operator in source order",
                 "$A=1==1!=1<1<=1>1>=1+1-1*1/1%1?1^1&1&&1|1||1~1\\1;",
                 AssignA({TOK_INT8, 1, OP_EQ,        TOK_INT8, 1, OP_NE,  TOK_INT8, 1, OP_LT,
                          TOK_INT8, 1, OP_LE,        TOK_INT8, 1, OP_GT,  TOK_INT8, 1, OP_GE,
                          TOK_INT8, 1, OP_ADD,       TOK_INT8, 1, OP_SUB, TOK_INT8, 1, OP_MUL,
                          TOK_INT8, 1, OP_DIV,       TOK_INT8, 1, OP_MOD, TOK_INT8, 1, OP_QUESTION,
                          TOK_INT8, 1, OP_POWER,     TOK_INT8, 1, OP_AND, TOK_INT8, 1, OP_LAND,
                          TOK_INT8, 1, OP_OR,        TOK_INT8, 1, OP_LOR, TOK_INT8, 1, OP_XOR,
                          TOK_INT8, 1, OP_BACKSLASH, TOK_INT8, 1}) +
                     Bytes{0}}));

// Blocks, ELSE and line markers: the first statement of a first block gets no
// marker, the first of an ELSE block does.
TEST(Blocks, NestingElseAndLineMarkers) {
  mrvtest::DialogLog log;
  const std::string source =
      "IF($A==1){\n"       // line 0
      "F();\n"             // 1
      "}ELSE{\n"           // 2
      "WHILE(1){G();};\n"  // 3
      "};\n"               // 4
      "H();";              // 5
  const Bytes cond = {TOK_LOCALVAR, 'A', OP_EQ, TOK_INT8, 1};
  const Bytes first = Std("F", {}) + Bytes{TOK_LINE, 2, 0, TOK_END};
  const Bytes inner = Std("WHILE", {{TOK_INT8, 1}}, Std("G", {}) + Bytes{TOK_END});
  const Bytes second = Bytes{TOK_LINE, 3, 0} + inner + Bytes{TOK_LINE, 4, 0, TOK_END};
  const Bytes expected =
      Std("IF", {cond}, first, second) + Bytes{TOK_LINE, 5, 0} + Std("H", {}) + Bytes{TOK_END};
  Compiled r = Compile(source);
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, expected);
}

TEST(Blocks, BlockWithoutElseAndLinesCountFromFirstLine) {
  mrvtest::DialogLog log;
  Compiled r = Compile("F(){\n}\n;\nG();\n", 100);
  ASSERT_EQ(r.ok, 1) << r.message;
  // Block: the line feed after "{" is skipped, so the list is TOK_END alone.
  // The marker before G carries 103; a marker may stand before the final end.
  EXPECT_EQ(r.code, (Std("F", {}, Bytes{TOK_END}) + Bytes{TOK_LINE, 103, 0} + Std("G", {}) +
                     Bytes{TOK_LINE, 104, 0, TOK_END}));
}

TEST(Limits, TwentySixArgumentsAndThirtyTwoCharacterNames) {
  mrvtest::DialogLog log;
  std::string source = "F(";
  std::vector<Bytes> args;
  for (int i = 1; i <= 26; ++i) {
    source += std::to_string(i) + (i < 26 ? "," : ");");
    args.push_back({TOK_INT8, uint8_t(i)});
  }
  Compiled r = Compile(source);
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, Std("F", args) + Bytes{0});

  const std::string name32(32, 'N');
  r = Compile(name32 + ":" + name32 + "();");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, Call(name32, name32, {}) + Bytes{0});
}

TEST(Limits, LongStringsAndLargeOutput) {
  mrvtest::DialogLog log;
  // 999 characters: the most a string constant holds.
  Compiled r = Compile("$A=\"" + std::string(999, 'x') + "\";");
  ASSERT_EQ(r.ok, 1) << r.message;
  Bytes str = {TOK_STRING, 0xE7, 0x03};
  for (int i = 0; i < 999; ++i) str = str + Bytes{'x', 0};
  EXPECT_EQ(r.code, AssignA(str + Bytes{0, 0}) + Bytes{0});

  // Code much longer than its source: the output block grows as needed.
  std::string source;
  Bytes expected;
  const Bytes record = Std("F", {});
  for (int i = 0; i < 3000; ++i) {
    source += "F();";
    expected.insert(expected.end(), record.begin(), record.end());
  }
  r = Compile(source);
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, expected + Bytes{0});
}

// The country decides the double-byte characters of strings and code: with
// country 1 every byte from 0x81 starts one, so katakana in code is error 1
// and 0xA0 and the byte after it are one unit of a string.
TEST(Country, OtherCountriesCountEveryHighByteAsALeadByte) {
  mrvtest::DialogLog log;
  const Bytes japan =
      AssignA(Bytes{TOK_STRING, 3, 0, 0xA0, 0, 'A', 0, 0x41, 0x82, 0, 0}) + Bytes{0};
  const Bytes other = AssignA(Bytes{TOK_STRING, 2, 0, 0x41, 0xA0, 0x41, 0x82, 0, 0}) + Bytes{0};
  Compiled r = Compile("$A=\"\xA0\x41\x82\x41\";");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, japan);
  EXPECT_EQ(Compile("$A=1;\n\xB1();").error, MRVCOMP_ERR_NAME);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("MRV_COUNTRY", "1", 1);
        Compiled c = Compile("$A=\"\xA0\x41\x82\x41\";");
        Compiled k = Compile("$A=1;\n\xB1();");
        std::exit(c.ok == 1 && c.code == other && k.error == MRVCOMP_ERR_DOUBLEBYTE && k.line == 1
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Bytes of machine stack that `fn` uses, found by running it on a thread
// whose stack is painted first.
size_t StackUse(const std::function<void()>& fn) {
  constexpr size_t kStack = 16 << 20;
  void* stack = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return SIZE_MAX;
  std::memset(stack, 0xA5, kStack);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kStack);
  pthread_t t;
  auto run = [](void* f) -> void* {
    (*static_cast<const std::function<void()>*>(f))();
    return nullptr;
  };
  size_t used = SIZE_MAX;
  if (pthread_create(&t, &attr, run, const_cast<std::function<void()>*>(&fn)) == 0) {
    pthread_join(t, nullptr);
    const auto* bytes = static_cast<const uint8_t*>(stack);
    size_t untouched = 0;
    while (untouched < kStack && bytes[untouched] == 0xA5) ++untouched;
    used = kStack - untouched;
  }
  pthread_attr_destroy(&attr);
  munmap(stack, kStack);
  return used;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Operands nest MRVCOMP_MAX_DEPTH deep and no deeper, whatever nests them; the
// code walker of loading and listings follows the deepest code.
TEST(Limits, OperandsNestToTheDepthLimit) {
  mrvtest::DialogLog log;
  struct Case {
    const char* what;
    std::function<std::string(int)> source;  // nesting n
    int most;                                // the largest n that compiles
    int32_t error;                           // of n = most + 1
  };
  const int kMax = MRVCOMP_MAX_DEPTH;
  const Case cases[] = {
      {"brackets",
       [](int n) { return "$A=" + std::string(n, '(') + "1" + std::string(n, ')') + ";"; },
       kMax - 1, MRVCOMP_ERR_EXPR},
      {"blocks", [](int n) { return Repeat("F(){", n) + Repeat("};", n); }, kMax, MRVCOMP_ERR_EXPR},
      {"arguments", [](int n) { return Repeat("F(", n) + std::string(n, ')') + ";"; }, kMax,
       MRVCOMP_ERR_EXPR},
      {"bracketed variable numbers",
       [](int n) { return Repeat("$(", n) + "1" + std::string(n, ')') + "=1;"; }, (kMax - 1) / 2,
       MRVCOMP_ERR_VARNAME},
      {"variable numbers", [](int n) { return std::string(n, '#') + "1=1;"; }, kMax - 1,
       MRVCOMP_ERR_VARNAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GE(c.most, 1000);
    Compiled r{};
    const size_t used = StackUse([&] { r = Compile(c.source(c.most)); });
    ASSERT_EQ(r.ok, 1) << r.message;
    const codewalk::Result walked = codewalk::check(r.code.data(), uint32_t(r.code.size()));
    EXPECT_TRUE(walked.ok()) << codewalk::describe(walked.fault) << " at " << walked.at;
    std::cout << c.what << ": " << c.most << " levels compile in " << used / 1024
              << " KiB of stack\n";
    EXPECT_LT(used, size_t(4) << 20) << "a task's stack must hold the deepest compile";

    r = Compile(c.source(c.most + 1));
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.pass, 3);
  }
  EXPECT_TRUE(log.boxes().empty());
}

}  // namespace
