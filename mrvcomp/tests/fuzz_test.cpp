// Randomized robustness of the compiler's inputs: scenario sources (random
// token soup and mutated valid scenarios) and definition files. Seeded, so
// every failure reproduces. Each input must end in code, a numbered error or
// a reported failure, and leave no memory block and no file open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "comp_support.h"
#include "dialog_log.h"
#include "fuzzing.h"
#include "mrvcomp.h"
#include "mrvtask.h"
#include "platform/memory.h"
#include "tempdir.h"

namespace {

using mrvtest::generator;
using mrvtest::open_fds;

using mrvtest::DialogLog;

constexpr int kIterations = 1500;

std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += char(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

// Pieces of scenario text: the usual ones, and rarer faulty ones (names
// past their limits, double-byte characters outside strings and cut, control
// codes, the end marks inside the text, strings without their end).
// clang-format off
const std::vector<std::string> kTokens = {
    "$A", "$B", "#1", "#9999", "\\$A", "\\#2", "$A[1]", "[", "]", "(", ")", "{", "}", ";", ";",
    ",", ",", "=", "==", "!=", "<", ">", "<=", ">=", "+", "-", "*", "/", "%", "&", "|", "^", "!",
    "~", "&&", "||", "?", "++", "--", "0", "1", "-1", "0x7fff", "0xFFFFFFFF", "1000000000",
    "\"text\"", "\"\x82\xA0\"", "IF", "ELSE", "FOR", "WHILE", "F", "G",
    "STANDARD:F", "LIB:G", std::string(32, 'N'), "TRUE", "NULL", "MRVRED", "//c\n", "\n", " ",
    "\t", "F(", "G();", "$A=1;", "IF(1){", "}ELSE{", "};"};
const std::vector<std::string> kFaultyTokens = {
    "#10000", "$", "#", "\\", "\\1", "$A[", "LIB:", ":F", "LIB.F", "\"", "\"\x82\"", "\x82\xA0",
    "\x82", "// \x82\n", std::string(33, 'N'), std::string(1, '\x01'), std::string(1, '\x1A'),
    std::string(1, '\0'), std::string(1, '\x7F'), "\xFF", "\"" + std::string(1000, 'x') + "\"",
    "4294967296", "\"\\\"\"", "\"a\tb\"", "\r\n", "(((((", ")))))", "{{{{", "}}}}", "F(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,"
    "20,21,22,23,24,25,26,27);"};
// clang-format on

const std::string& random_token(std::mt19937& rng) {
  if (rng() % 10 == 0) return kFaultyTokens[rng() % kFaultyTokens.size()];
  return kTokens[rng() % kTokens.size()];
}

std::string token_soup(std::mt19937& rng) {
  std::string s;
  const int n = 1 + int(rng() % 40);
  for (int i = 0; i < n; ++i) s += random_token(rng);
  return s;
}

// One to three edits of a source: a byte flipped, a token inserted, a run
// removed or doubled, the text cut.
std::string mutate_source(std::string s, std::mt19937& rng) {
  auto pick = [&rng](std::size_t n) { return std::size_t(rng() % (n == 0 ? 1 : n)); };
  const int edits = 1 + int(rng() % 3);
  for (int e = 0; e < edits; ++e) {
    switch (rng() % 5) {
      case 0:
        if (!s.empty()) s[pick(s.size())] ^= char(1u << (rng() % 8));
        break;
      case 1: {
        s.insert(pick(s.size() + 1), random_token(rng));
        break;
      }
      case 2:
        if (!s.empty()) {
          const std::size_t at = pick(s.size());
          s.erase(at, 1 + pick(std::min<std::size_t>(16, s.size() - at)));
        }
        break;
      case 3:
        if (!s.empty()) {
          const std::size_t at = pick(s.size());
          s.insert(at, s.substr(at, 1 + pick(24)));
        }
        break;
      case 4:
        s.resize(pick(s.size() + 1));
        break;
    }
  }
  return s;
}

// Compiles `text` and checks the outcome: code with no error and no box, a
// numbered error with no box, or error 0 after a box; afterwards, with the
// blocks the request holds freed, nothing is left behind.
void check_compile(const std::string& text, const std::string& context) {
  const std::size_t fds = open_fds();
  const std::size_t blocks = plat::mem_live_blocks();
  {
    DialogLog log;
    comptest::Request r(text);
    const int32_t ok = MRVCOMP_Comp(&r.req);
    const int32_t error = MRVCOMP_GetError();
    const auto boxes = log.boxes();
    ASSERT_TRUE(ok == 0 || ok == 1) << context;
    if (ok == 1) {
      EXPECT_EQ(error, MRVCOMP_ERR_NONE) << context;
      EXPECT_TRUE(boxes.empty()) << context;
      ASSERT_NE(r.req.output, nullptr) << context;
      EXPECT_LE(r.req.outputPos - r.req.output, std::ptrdiff_t(r.req.outputSize)) << context;
      EXPECT_LE(std::size_t(r.req.outputPos - r.req.output), MRVTASK_SizeMemory(0, r.req.output))
          << context;
    } else {
      EXPECT_GE(error, 0) << context;
      EXPECT_LT(error, MRVCOMP_ERR_COUNT) << context;
      // A numbered error is shown by the caller; error 0 has been reported.
      EXPECT_EQ(boxes.empty(), error != MRVCOMP_ERR_NONE) << context;
      char message[600];
      EXPECT_GT(MRVCOMP_MakeErrorMessage(&r.req, message), 0) << context;
    }
  }
  EXPECT_EQ(open_fds(), fds) << context;
  EXPECT_EQ(plat::mem_live_blocks(), blocks) << context;
}

TEST(CompileFuzz, TokenSoup) {
  std::mt19937 rng = generator(4242);
  for (int it = 0; it < kIterations; ++it) {
    const std::string text = token_soup(rng);
    check_compile(text, "iteration " + std::to_string(it) + ": " + printable(text));
    if (HasFatalFailure()) return;
  }
}

TEST(CompileFuzz, MutatedScenarios) {
  const std::vector<std::string> seeds = {
      "$A = 0;\nFOR(\\$B, 1, 3, 1) {\n  $A = $A + $B;\n};\n"
      "IF($A == 6) {\n  F(\"six\", MRVRED);\n} ELSE {\n  G(\"\x82\xA0\", $A);\n};\n",
      "// a comment\n#1 = (1 + 2) * -3 % 4;\n$S = \"ab\";\nLIB:CMD(#1, , $A[2], TRUE);\n",
      "WHILE(#1 < 10 && !(#2 >= 3)) {\n  #1 = #1 * 2 | 0x10;\n  #2++;\n  H();\n};\n",
  };
  for (const std::string& s : seeds) {
    const comptest::Compiled c = comptest::Compile(s);
    ASSERT_EQ(c.ok, 1) << c.message << "\n" << printable(s);
  }
  std::mt19937 rng = generator(1234);
  for (int it = 0; it < kIterations; ++it) {
    const std::string text = mutate_source(seeds[it % seeds.size()], rng);
    check_compile(text, "iteration " + std::to_string(it) + ": " + printable(text));
    if (HasFatalFailure()) return;
  }
}

// Runs after the compiles above, since what it defines stays in the tables.
TEST(CompileFuzz, MutatedDefinitionFiles) {
  mrvtest::TempDir td;
  const std::string include = td.file("INC.TXT");
  mrvtest::write_file(include, "F();");
  const std::string def = td.file("FUZZ.DEF");
  const std::string seed =
      "// definitions\n#define 'ZQA' '1'\n#DEFINE /ZQB/ /x y/\n"
      "#define \"ZQE\" \"\"\n#include \"ZQI\" \"" +
      include + "\"\n";
  std::mt19937 rng = generator(99);
  for (int it = 0; it < kIterations; ++it) {
    // Fresh names each time, so that most mutants define something new.
    std::string text = seed;
    for (std::size_t p = text.find("ZQ"); p != std::string::npos; p = text.find("ZQ", p + 3))
      text.replace(p, 2, "Z" + std::to_string(it) + "_");
    text = mutate_source(text, rng);
    mrvtest::write_file(def, text);
    const std::string context = "iteration " + std::to_string(it) + ": " + printable(text);
    const std::size_t fds = open_fds();
    const std::size_t blocks = plat::mem_live_blocks();
    {
      DialogLog log;
      const int32_t ok = MRVCOMP_DefineFile(0, def.c_str());
      ASSERT_TRUE(ok == 0 || ok == 1) << context;
      // A failure is always told, a success never shows a box.
      EXPECT_EQ(ok == 0, !log.boxes().empty()) << context;
    }
    EXPECT_EQ(open_fds(), fds) << context;
    EXPECT_EQ(plat::mem_live_blocks(), blocks) << context;
  }
}

}  // namespace
