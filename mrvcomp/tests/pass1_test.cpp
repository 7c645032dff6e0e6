// Pass 1 on its own: what the text becomes, and the errors it finds.
#include <gtest/gtest.h>

#include "comp_support.h"
#include "dialog_log.h"

using namespace comptest;

namespace {

struct TextCase {
  const char* what;
  std::string source;
  std::string text;  // the run's output
  int32_t count;     // replacements made
};
// Test names show the case, not its bytes.
void PrintTo(const TextCase& c, std::ostream* os) {
  *os << c.what;
}

class Pass1Text : public ::testing::TestWithParam<TextCase> {};

TEST_P(Pass1Text, Output) {
  mrvtest::DialogLog log;
  const TextCase& c = GetParam();
  Request r(c.source);
  EXPECT_EQ(MRVCOMP_Pass1(&r.req), c.count) << c.what;
  EXPECT_EQ(r.OutputText(), c.text) << c.what;
  EXPECT_EQ(r.req.source, nullptr) << "the source block is freed";
  EXPECT_EQ(r.req.sourceSize, 0u);
  EXPECT_EQ(MRVCOMP_GetError(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pass1Text,
    ::testing::Values(TextCase{"blanks go, line feeds stay, code is upper-cased",
                               "a b\t\r\n// c\nd;", "AB\n\nD;", 0},
                      TextCase{"strings are kept as written", "x=\"a b\\c\";", "X=\"a b\\c\";", 0},
                      TextCase{"a lone slash is copied", "5 / 2", "5/2", 0},
                      TextCase{"comment at the end without a line feed", "F();//end", "F();", 0},
                      TextCase{"names match anywhere", "XNULLY", "XY", 1},
                      TextCase{"each use counts", "F(TRUE,FALSE)", "F(-1,0)", 2},
                      TextCase{"lower-case names wait for the next run", "true", "TRUE", 0},
                      TextCase{"nothing is replaced inside strings", "\"TRUE\"", "\"TRUE\"", 0},
                      TextCase{"single-byte katakana pass", "\xB1", "\xB1", 0},
                      TextCase{"a 0x1A ends the text",
                               "A;\x1A"
                               "B;",
                               "A;", 0},
                      TextCase{"a string of 1000 bytes passes",
                               "\"" + std::string(1000, 'y') + "\"",
                               "\"" + std::string(1000, 'y') + "\"", 0}));

struct ErrorCase {
  const char* what;
  std::string source;
  int32_t error;
  int32_t line;
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.what;
}

class Pass1Error : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Pass1Error, FailsWithNumberAndLine) {
  mrvtest::DialogLog log;
  const ErrorCase& c = GetParam();
  Request r(c.source, 10);
  EXPECT_EQ(MRVCOMP_Pass1(&r.req), -1) << c.what;
  EXPECT_EQ(MRVCOMP_GetError(), c.error) << c.what;
  EXPECT_EQ(MRVCOMP_GetLine(), 10 + c.line) << c.what;
  EXPECT_EQ(r.req.source, nullptr) << "freed also on failure";
  EXPECT_NE(r.req.output, nullptr) << "the partial text stays";
  EXPECT_TRUE(log.boxes().empty()) << "numbered errors are shown by the caller";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pass1Error,
    ::testing::Values(ErrorCase{"double-byte character in code", "F();\n$A=\x82\xA0;", 1, 1},
                      ErrorCase{"control code in code", "\n\nF(\x01);", 2, 2},
                      ErrorCase{"line feed inside a string", "\"ab\ncd\"", 2, 0},
                      ErrorCase{"control code in a comment",
                                "\n// a\x01"
                                "b",
                                2, 1},
                      ErrorCase{"string of 1001 bytes", "\"" + std::string(1001, 'y') + "\"", 6, 0},
                      ErrorCase{"501 double-byte characters",
                                "\n\"" +
                                    [] {
                                      std::string s;
                                      for (int i = 0; i < 501; ++i) s += "\x82\xA0";
                                      return s;
                                    }() +
                                    "\"",
                                6, 1},
                      ErrorCase{"string open at the end of the text", "F();\n\"abc", 2, 1}));

// A block without the end mark is still read only inside its bounds.
TEST(Pass1Bounds, TextWithoutEndMarkStaysInsideTheBlock) {
  mrvtest::DialogLog log;
  for (const std::string& text :
       {std::string("ab"), std::string("\"ab"), std::string("x//c"), std::string("TRU")}) {
    CompileRequest req{};
    req.sourceSize = uint32_t(text.size());
    req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
    std::memcpy(req.source, text.data(), text.size());
    const int32_t n = MRVCOMP_Pass1(&req);
    if (text[0] == '"') {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(MRVCOMP_GetError(), 2);
    } else {
      EXPECT_EQ(n, 0) << text;
      EXPECT_EQ(std::string(req.output), text == "x//c" ? "X" : text == "ab" ? "AB" : "TRU");
    }
    MRVTASK_FreeMemory(0, req.output);
  }
}

}  // namespace
