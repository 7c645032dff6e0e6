// The code walker and the check that loading a compiled file makes: what the
// compiler writes always walks; malformed code is refused at the right place;
// tampered and truncated files fail cleanly with the compiler's message; and
// no input, however mangled, makes the walk or the loading read outside the
// bytes it was given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codewalk.h"
#include "dialog_log.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/memory.h"
#include "tempdir.h"
#include "tests/comp_support.h"

namespace {

using codewalk::Fault;
using comptest::Bytes;
using comptest::Le32;
using comptest::Std;

using comptest::operator+;

const char kCaption[] = "『Marovine33』コンパイルマネージャ(MRVCOMP.dll)";
const char kBroken[] = "コンパイル済みシナリオファイルが壊れています。";

// Checks code held in a heap buffer of exactly its size, so that any read
// past the end is caught by the address sanitizer.
codewalk::Result CheckExact(const Bytes& code) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[code.size() + (code.empty() ? 1 : 0)]);
  if (!code.empty()) std::memcpy(buf.get(), code.data(), code.size());
  return codewalk::check(buf.get(), static_cast<uint32_t>(code.size()));
}

// A visitor that fails the test when any reported position lies outside the
// code.
struct BoundsVisitor : codewalk::Visitor {
  uint32_t size = 0;
  int events = 0;
  void at(uint32_t p) {
    ++events;
    ASSERT_LT(p, size);
  }
  void line(uint32_t p, uint16_t) { at(p); }
  void statement_begin(uint32_t p) { at(p); }
  void list_end(uint32_t p) { at(p); }
  void integer(uint32_t p, int32_t) { at(p); }
  void string(uint32_t p, const uint8_t*, uint16_t n) { ASSERT_LE(p + 3u + 2u * n + 2u, size); }
  void variable(uint32_t p, uint8_t, uint8_t) { at(p); }
  void op(uint32_t p, uint8_t) { at(p); }
  void call_begin(const codewalk::Call& c) {
    at(c.at);
    ASSERT_LE(c.end, size);
    ASSERT_LE(c.args, c.end);
  }
  void arg_begin(const codewalk::Call& c, int32_t i, uint32_t p, bool) {
    ASSERT_LE(i, c.argCount);
    ASSERT_LT(p, c.end);
  }
};

// Sources covering every construct of the language; the compiler's code for
// each must walk from the first byte to the last.
TEST(CodeWalk, AcceptsEverythingTheCompilerWrites) {
  const char* sources[] = {
      "",
      "WAIT(30);",
      "$A=-128;\n$B=-32768;\n$C=0x80000000;\n$D=-0.5;\n$E=300;",
      "#5[1]=$(2+3)[$A];\n$@=##2;",
      "F(\\$A, , \"abc\", 0.25, 70000, \\#3[1], \\$(4));",
      "LIB:CMD(1){};",
      "IF($A==1){F();}ELSE{\nG();\n};",
      "FOR(\\$A,1,3,1){\n  IF($A>1){\n    WAIT(1);\n  };\n};\n",
      "$A++;$B--;F();-1;!$A;",
      "$A=(1+(2*3))^2?1%1&1|1~1&&1||1>=1<=1!=1<1>1/1-1;",
      "S(\"\x93\xfa\x96\x7b\x8c\xea\");",  // a Japanese string in code page 932
      "X(Y(Z(1){W();}));\n\n\n",
  };
  for (const char* src : sources) {
    SCOPED_TRACE(src);
    const comptest::Compiled c = comptest::Compile(src);
    ASSERT_TRUE(c.ok) << c.message;
    const codewalk::Result r = CheckExact(c.code);
    EXPECT_EQ(r.fault, Fault::None) << codewalk::describe(r.fault) << " at " << r.at;
    EXPECT_EQ(r.end, c.code.size());
  }
}

TEST(CodeWalk, VisitsInCodeOrder) {
  // $A = F(1, , "x") { G(); } ELSE { H(); };
  const Bytes g = Std("G", {}), h = Std("H", {});
  const Bytes str = {TOK_STRING, 1, 0, 'x', 0, 0, 0};
  const Bytes call = Std("F", {{TOK_INT8, 1}, {}, str}, g + Bytes{TOK_END},
                         Bytes{TOK_LINE, 7, 0} + h + Bytes{TOK_END});
  const Bytes code = Bytes{TOK_LOCALVAR, 'A', OP_ASSIGN} + call + Bytes{TOK_END};

  struct Trace : codewalk::Visitor {
    std::string s;
    void line(uint32_t, uint16_t n) { s += "L" + std::to_string(n) + " "; }
    void statement_begin(uint32_t at) { s += "S@" + std::to_string(at) + " "; }
    void statement_end(uint32_t) { s += "; "; }
    void list_end(uint32_t) { s += "E "; }
    void integer(uint32_t, int32_t v) { s += std::to_string(v) + " "; }
    void string(uint32_t, const uint8_t* u, uint16_t n) {
      s += "\"" + std::string(1, char(u[0])) + "\"/" + std::to_string(n) + " ";
    }
    void variable(uint32_t, uint8_t, uint8_t l) { s += std::string("$") + char(l) + " "; }
    void op(uint32_t, uint8_t code) { s += code == OP_ASSIGN ? "= " : "op "; }
    void call_begin(const codewalk::Call& c) {
      s += std::string(c.library) + ":" + c.command + "/" + std::to_string(c.argCount) + "( ";
    }
    void arg_begin(const codewalk::Call&, int32_t i, uint32_t, bool omitted) {
      s += "a" + std::to_string(i) + (omitted ? "- " : " ");
    }
    void block_begin(const codewalk::Call&, bool isElse) { s += isElse ? "else{ " : "{ "; }
    void block_end(const codewalk::Call&, bool) { s += "} "; }
    void call_end(const codewalk::Call&) { s += ") "; }
  } t;
  const codewalk::Result r = codewalk::walk(code.data(), uint32_t(code.size()), t);
  ASSERT_TRUE(r.ok()) << codewalk::describe(r.fault) << " at " << r.at;
  EXPECT_EQ(t.s,
            "S@0 $A = STANDARD:F/3( a1 1 a2- a3 \"x\"/1 "
            "{ S@" +
                std::to_string(3 + 29 + 11 + 3 + 1 + 7 + 1) +
                " STANDARD:G/0( ) ; E } "
                "else{ L7 S@" +
                std::to_string(3 + 29 + 11 + 12 + 41 + 1 + 3) + " STANDARD:H/0( ) ; E } ) ; E ");
}

struct FaultCase {
  const char* name;
  Bytes code;
  Fault fault;
  uint32_t at;
};

// A call F(1) followed by the end of the scenario, with one 32-bit field of
// the record replaced.
Bytes CallWithField(uint32_t field, uint32_t value) {
  Bytes b = Std("F", {{TOK_INT8, 1}}) + Bytes{TOK_END};
  const Bytes v = Le32(value);
  std::copy(v.begin(), v.end(), b.begin() + field);
  return b;
}

TEST(CodeWalk, RefusesMalformedCodeWhereTheFaultIs) {
  const Bytes f1 = Std("F", {{TOK_INT8, 1}});  // 29 + 11 + 3 = 43 bytes
  const uint32_t n = uint32_t(f1.size());
  Bytes lower = f1 + Bytes{TOK_END};
  lower[29 + 9] = 'f';
  Bytes flippedEnd = f1 + Bytes{TOK_END};
  flippedEnd[n - 1] = TOK_INT16;
  Bytes emptyLib = f1 + Bytes{TOK_END};
  emptyLib[29] = 0;
  Bytes longString = {TOK_STRING, 0xE8, 0x03};  // 1000 units
  longString.resize(3 + 2000 + 2 + 1, 'A');
  const Bytes block = Std("IF", {{TOK_ZERO}}, Bytes{TOK_ZERO});  // block list never ended
  // A call inside a block whose record reaches past the record around it.
  Bytes inner = Std("G", {});
  inner[CALL_LENGTH] = 41 + 5;
  const Bytes outer = Std("IF", {{TOK_ZERO}}, inner + Bytes{TOK_END}) + Bytes{0, 0, 0, 0, 0, 0};

  const std::vector<FaultCase> cases = {
      {"empty", {}, Fault::Truncated, 0},
      {"line cut", {TOK_LINE, 1}, Fault::Truncated, 0},
      {"no end", {TOK_LINE, 1, 0}, Fault::Truncated, 3},
      {"two markers", {TOK_LINE, 1, 0, TOK_LINE, 2, 0, TOK_END}, Fault::UnknownToken, 3},
      {"unknown token", {0x06, TOK_END}, Fault::UnknownToken, 0},
      {"constant cut", {TOK_INT32, 1, 2}, Fault::Truncated, 0},
      {"statement unended", {TOK_INT8, 5}, Fault::Truncated, 2},
      {"unknown operator", {TOK_INT8, 5, 0xFF, TOK_ZERO, TOK_END}, Fault::UnknownOperator, 2},
      {"operator at the end", {TOK_INT8, 5, OP_ADD}, Fault::Truncated, 3},
      {"bad local", {TOK_LOCALVAR, 'a', TOK_END}, Fault::BadVariable, 0},
      {"byref as a statement", {TOK_BYREF, TOK_LOCALVAR, 'A', TOK_END}, Fault::UnknownToken, 0},
      {"string too long", longString, Fault::BadString, 0},
      {"string unterminated", {TOK_STRING, 1, 0, 'A', 0, 'B', 0, TOK_END}, Fault::BadString, 0},
      {"string past the end", {TOK_STRING, 5, 0, 'A', 0, TOK_END}, Fault::Truncated, 0},
      {"paren unclosed", {TOK_PAREN, TOK_INT8, 1, TOK_INT8, 2, TOK_END}, Fault::MissingEnd, 3},
      {"index unclosed",
       {TOK_LOCALVAR, 'A', TOK_INDEX, TOK_ZERO, TOK_ZERO, TOK_END},
       Fault::MissingEnd,
       4},
      {"record cut", Bytes(f1.begin(), f1.begin() + 20), Fault::Truncated, 0},
      {"length points out", CallWithField(CALL_LENGTH, n + 2), Fault::BadRecord, 0},
      {"length inside the head", CallWithField(CALL_LENGTH, 20), Fault::BadRecord, 0},
      {"length negative", CallWithField(CALL_LENGTH, 0xFFFFFFF0u), Fault::BadRecord, 0},
      {"library offset", CallWithField(CALL_LIBRARY, 30), Fault::BadRecord, 0},
      {"command offset", CallWithField(CALL_COMMAND, 29), Fault::BadRecord, 0},
      {"argument offset", CallWithField(CALL_ARGS, 0x7FFFFFFF), Fault::BadRecord, 0},
      {"too many arguments", CallWithField(CALL_ARGCOUNT, 27), Fault::BadRecord, 0},
      {"more arguments than code", CallWithField(CALL_ARGCOUNT, 2), Fault::Truncated, n},
      {"block offset off", CallWithField(CALL_BLOCK, 5), Fault::BadRecord, 0},
      {"block offset negative", CallWithField(CALL_BLOCK, 0x80000000u), Fault::BadRecord, 0},
      {"else without block", CallWithField(CALL_ELSE, n), Fault::BadRecord, 0},
      {"lower-case name", lower, Fault::BadName, 38},
      {"empty library name", emptyLib, Fault::BadName, 29},
      {"argument end flipped", flippedEnd, Fault::MissingEnd, n - 1},
      // A by-reference argument is TOK_BYREF and a variable, nothing more.
      {"byref after an operator",
       Std("F", {{TOK_INT8, 1, OP_NOT, TOK_BYREF, TOK_LOCALVAR, 'A'}}) + Bytes{TOK_END},
       Fault::UnknownToken, 29 + 9 + 2 + 3},
      {"byref constant", Std("F", {{TOK_BYREF, TOK_INT8, 1}}) + Bytes{TOK_END}, Fault::BadVariable,
       29 + 9 + 2 + 1},
      {"operator after a byref variable",
       Std("F", {{TOK_BYREF, TOK_LOCALVAR, 'A', OP_ADD, TOK_ZERO}}) + Bytes{TOK_END},
       Fault::MissingEnd, 29 + 9 + 2 + 3},
      {"scenario end missing", f1, Fault::Truncated, n},
      {"block unended", block + Bytes{TOK_END}, Fault::Truncated, uint32_t(block.size())},
      {"inner record too long", outer + Bytes{TOK_END}, Fault::BadRecord, uint32_t(29 + 9 + 3 + 2)},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    const codewalk::Result r = CheckExact(c.code);
    EXPECT_EQ(r.fault, c.fault) << codewalk::describe(r.fault);
    EXPECT_EQ(r.at, c.at);
  }
}

TEST(CodeWalk, DeepNestingNeedsNoStack) {
  // 100000 nested parentheses: a recursive reader would exhaust a task's stack.
  const int depth = 100000;
  Bytes code(depth, TOK_PAREN);
  code.push_back(TOK_ZERO);
  code.insert(code.end(), depth, TOK_END);
  code.push_back(TOK_END);
  const codewalk::Result r = CheckExact(code);
  EXPECT_TRUE(r.ok()) << codewalk::describe(r.fault) << " at " << r.at;
  EXPECT_EQ(r.end, code.size());
}

// The compiled code of a source with every kind of part, for mangling.
Bytes RichCode() {
  const comptest::Compiled c = comptest::Compile(
      "$A=1;\nIF($A==1){\n F(\\$B, , \"abc\", 0.5, 70000);\n}ELSE{\n G(#5[$A]);\n};\n"
      "LIB:H((1+2)*3){X();};\n$C++;");
  EXPECT_TRUE(c.ok) << c.message;
  return c.code;
}

TEST(CodeWalk, MangledCodeNeverReadsOutside) {
  const Bytes base = RichCode();
  ASSERT_TRUE(CheckExact(base).ok());
  std::mt19937 rng(12345);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes code = base;
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % code.size();
      switch (rng() % 4) {
        case 0:
          code[at] = uint8_t(rng());
          break;  // any byte
        case 1:
          code[at] ^= uint8_t(1u << (rng() % 8));
          break;  // one bit
        case 2:
          code.resize(at + 1);
          break;  // cut
        default:
          code.insert(code.begin() + long(at), uint8_t(rng()));
          break;
      }
    }
    std::unique_ptr<uint8_t[]> buf(new uint8_t[code.size()]);
    std::memcpy(buf.get(), code.data(), code.size());
    BoundsVisitor v;
    v.size = uint32_t(code.size());
    const codewalk::Result r = codewalk::walk(buf.get(), v.size, v);
    if (r.ok()) {
      ++accepted;
      EXPECT_LE(r.end, code.size());
    } else {
      EXPECT_LE(r.at, code.size());
    }
    if (HasFatalFailure()) return;
  }
  // Mangling must mostly be caught; a few edits land in harmless places
  // (a digit of a constant, a letter of a string).
  EXPECT_LT(accepted, 20000 / 2);
}

// ---- Loading tampered files ---------------------------------------------

// A compiled file around `code` (already padded), locked with `key`; the
// chunks in the order given.
std::string SnbFile(Bytes code, uint8_t key, bool codeFirst = false) {
  MRVFILE_LockCode(code.data(), uint32_t(code.size()), key);
  Bytes info(60, 0);
  info[0] = key;
  info[1] = uint8_t(~key);
  const Bytes infoChunk = comptest::Text("INFO") + Le32(60) + info;
  const Bytes codeChunk = comptest::Text("CODE") + Le32(uint32_t(code.size())) + code;
  const Bytes body = codeFirst ? codeChunk + infoChunk : infoChunk + codeChunk;
  const Bytes file =
      comptest::Text("RIFF") + Le32(uint32_t(body.size() + 4)) + comptest::Text("SNB ") + body;
  return std::string(file.begin(), file.end());
}

Bytes Padded(Bytes code) {
  code.resize((code.size() + 3) & ~size_t(3), 0);
  return code;
}

class LoadTest : public ::testing::Test {
 protected:
  // Writes the file, loads it and gives the loaded block's bytes (the block
  // is freed), or nullopt when loading refused it. No block may be left.
  std::optional<Bytes> Load(const std::string& bytes) {
    mrvtest::write_file(path_, bytes);
    const size_t blocks = plat::mem_live_blocks();
    void* block = MRVCOMP_Unpack(0, path_.c_str());
    if (block == nullptr) {
      EXPECT_EQ(plat::mem_live_blocks(), blocks) << "a refused file leaked a block";
      return std::nullopt;
    }
    const uint8_t* p = static_cast<const uint8_t*>(block);
    Bytes out(p, p + MRVTASK_SizeMemory(0, block));
    MRVTASK_FreeMemory(0, block);
    return out;
  }

  mrvtest::TempDir dir_;
  std::string path_ = dir_.file("T.SNB");
};

TEST_F(LoadTest, RefusesTamperedFilesWithTheCompilersMessage) {
  const Bytes good = Std("F", {{TOK_INT8, 1}}) + Bytes{TOK_END};  // 44 bytes
  // DEBUGMESSAGE(1 ! \$5, "x") patched in: the interpreter reads a
  // by-reference variable only as a whole argument.
  const Bytes byRefInside =
      Std("DEBUGMESSAGE", {{TOK_INT8, 1, OP_NOT, TOK_BYREF, TOK_COMVAR, TOK_INT8, 5},
                           {TOK_STRING, 1, 0, 'x', 0, 0, 0}}) +
      Bytes{TOK_END};
  Bytes flipped = good;
  flipped[29 + 9 + 2] = 0x07;  // the argument's TOK_INT8
  Bytes outside = good;
  outside[CALL_LENGTH] = 200;
  Bytes unended = good;
  unended.back() = TOK_ZERO;
  const std::string ok = SnbFile(Padded(good), 0x5A);
  std::string codeTooBig = ok;
  codeTooBig[84] = char(0x40);  // CODE size 64 of 44 bytes present
  std::string noInfo = ok;
  noInfo.replace(12, 4, "INFX");
  std::string noCode = ok;
  noCode.replace(80, 4, "CODX");
  std::string shortInfo = ok;
  shortInfo[16] = 59;  // an INFO chunk shorter than the record

  struct Case {
    const char* name;
    std::string file;
  };
  const std::vector<Case> cases = {
      {"flipped token", SnbFile(Padded(flipped), 0x5A)},
      {"by-reference token inside an argument", SnbFile(Padded(byRefInside), 0x5A)},
      {"offset pointing out", SnbFile(Padded(outside), 0x5A)},
      {"missing terminator", SnbFile(Padded(unended), 0x5A)},
      {"wrong key", SnbFile(Padded(good), 0x5A).replace(20, 1, 1, char(0x33))},
      {"code chunk past the end", codeTooBig},
      {"no info chunk", noInfo},
      {"no code chunk", noCode},
      {"short info chunk", shortInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mrvtest::DialogLog log;
    EXPECT_FALSE(Load(c.file).has_value());
    const auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_NE(boxes[0].text.find(kBroken), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(path_), std::string::npos) << boxes[0].text;
  }
  // The untouched file loads.
  mrvtest::DialogLog log;
  EXPECT_EQ(Load(ok), Padded(good));
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(LoadTest, BytesAfterTheCodeLoadWithIt) {
  // A tool may pack more than the code (its whole output block, say), and a
  // chunk need not be a multiple of 4: whatever follows the final TOK_END
  // is never run and loads as it stands.
  const Bytes good = Std("F", {}) + Bytes{TOK_END};  // 42 bytes
  Bytes zeros = good, odd = good;
  zeros.resize(good.size() + 4086, 0);
  odd.insert(odd.end(), {0x5A, 0xFF, 0x0F});
  for (const Bytes& code : {zeros, odd}) {
    SCOPED_TRACE(code.size());
    mrvtest::DialogLog log;
    EXPECT_EQ(Load(SnbFile(code, 0x5A)), code);
    EXPECT_TRUE(log.boxes().empty());
  }
}

TEST_F(LoadTest, ChunksMayStandInAnyOrder) {
  const Bytes code = Padded(Std("F", {}) + Bytes{TOK_END});
  mrvtest::DialogLog log;
  EXPECT_EQ(Load(SnbFile(code, 0x42, /*codeFirst=*/true)), code);
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(LoadTest, TruncatedFileFailsAtEveryLength) {
  const std::string ok = SnbFile(Padded(Std("F", {{TOK_INT8, 1}}) + Bytes{TOK_END}), 0x21);
  for (size_t len = 0; len < ok.size(); ++len) {
    SCOPED_TRACE(len);
    mrvtest::DialogLog log;
    EXPECT_FALSE(Load(ok.substr(0, len)).has_value());
    EXPECT_EQ(log.boxes().size(), 1u) << "a refused file is reported once";
  }
}

TEST_F(LoadTest, RandomlyDamagedFilesNeverCrash) {
  Bytes code = RichCode();
  const std::string ok = SnbFile(Padded(code), 0x77);
  ASSERT_TRUE(Load(ok).has_value());
  // The boxes of hundreds of refusals are not worth reading.
  std::fflush(stderr);
  const int saved = dup(2);
  std::FILE* null = std::fopen("/dev/null", "w");
  dup2(fileno(null), 2);
  std::mt19937 rng(777);
  int refused = 0;
  {
    mrvtest::DialogLog log;
    for (int i = 0; i < 400; ++i) {
      std::string file = ok;
      const int flips = 1 + int(rng() % 3);
      for (int f = 0; f < flips; ++f) file[rng() % file.size()] ^= char(1 + rng() % 255);
      const std::optional<Bytes> got = Load(file);
      if (!got) {
        ++refused;
        continue;
      }
      // Whatever loads is code that walks.
      const codewalk::Result r = CheckExact(*got);
      EXPECT_TRUE(r.ok()) << codewalk::describe(r.fault) << " at " << r.at;
    }
  }
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::fclose(null);
  EXPECT_GT(refused, 100);
}

}  // namespace
