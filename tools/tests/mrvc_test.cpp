// The mrvc tool as an author uses it: compiling, checking, listing sources
// and compiled files, compile errors, definition files and usage errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text.h"
#include "shell.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;

using Result = mrvtest::ShellResult;

class MrvcTest : public ::testing::Test {
 protected:
  // Runs mrvc with `args` (already quoted where needed) in the scratch
  // directory, with no box answers and a box log.
  Result Run(const std::string& args) {
    const char* bin = std::getenv("MRV_TEST_BIN_DIR");
    const std::string exe = std::string(bin ? bin : ".") + "/mrvc";
    return mrvtest::shell("cd '" + dir_.path().string() + "' && env -u MRV_DIALOG_ANSWERS " +
                              "MRV_DIALOG_LOG='" + boxes_ + "' '" + exe + "' " + args,
                          io_);
  }
  // A source file in code page 932, written from UTF-8.
  std::string Source(const std::string& name, const std::string& utf8) {
    const std::string path = dir_.file(name);
    mrvtest::write_file(path, plat::utf8_to_cp932(utf8));
    return path;
  }
  bool Exists(const std::string& name) { return fs::exists(dir_.file(name)); }
  std::string Boxes() { return mrvtest::read_file(boxes_); }

  mrvtest::TempDir dir_, io_;
  std::string boxes_ = io_.file("boxes");
};

// The listing after its first line (which names the file and its kind).
std::string Body(const std::string& listing) {
  return listing.substr(listing.find('\n') + 1);
}

TEST_F(MrvcTest, ListsASourceAsTheEngineWillRunIt) {
  Source("S.SNA", "WAIT(30);\n$A = -5;");
  const Result r = Run("--list S.SNA");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out,
            "; S.SNA: source\n"
            "000000  WAIT(30)\n"
            "000000    call STANDARD:WAIT, 1 argument at 00002B, next at 00002E\n"
            "00002B      arg 1: 30\n"
            "00002E  line 1\n"
            "000031  $A = -5\n"
            "000037  end\n");
}

TEST_F(MrvcTest, CallsInArgumentsListUnderTheirArgument) {
  // The string holds a tab and a backslash, which the language takes as
  // they stand.
  Source("N.SNA", "F(G(1){H();}, \"a\tb\\c\");");
  const Result r = Run("--list N.SNA");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out,
            "; N.SNA: source\n"
            "000000  F(G(1) {...}, \"a\tb\\c\")\n"
            "000000    call STANDARD:F, 2 arguments at 000028, next at 00008E\n"
            "000028      arg 1: G(1) {...}\n"
            "000028        call STANDARD:G, 1 argument at 000050, block at 000053, next at 00007D\n"
            "000050          arg 1: 1\n"
            "000053          {\n"
            "000053            H()\n"
            "000053              call STANDARD:H, 0 arguments at 00007B, next at 00007C\n"
            "00007C          }\n"
            "00007E      arg 2: \"a\tb\\c\"\n"
            "00008E  end\n");
}

TEST_F(MrvcTest, ListingShowsBlocksLibrariesAndStringsInUtf8) {
  Source("B.SNA", "IF($A){\n  LIB:SAY(\"日本語\", , 0.5);\n}ELSE{\n  $B[1]++;\n};");
  const Result r = Run("--list B.SNA");
  ASSERT_EQ(r.rc, 0) << r.err;
  const std::string expected_lines[] = {
      "000000  IF($A) {...} ELSE {...}\n",
      "    call STANDARD:IF, 1 argument at 000029, block at 00002C, else at 00006C, next at "
      "00007A\n",
      "  {\n",
      "    LIB:SAY(\"日本語\", , 0.5)\n",
      "      call LIB:SAY, 3 arguments at 000051, next at 000068\n",
      "        arg 2: (omitted)\n",
      "  }\n",
      "  ELSE {\n",
      "    line 3\n",
      "    $B[1]++\n",
      "  end\n",
  };
  size_t from = 0;
  for (const std::string& line : expected_lines) {
    const size_t at = r.out.find(line, from);
    ASSERT_NE(at, std::string::npos) << "missing in order: " << line << "in:\n" << r.out;
    from = at + line.size();
  }
}

TEST_F(MrvcTest, CompiledFileListsLikeItsSource) {
  Source("HELLO.SNA", "$A = 1;\nFOR(\\$B, 1, 3, 1) {\n  $A = $A * 2;\n};\nS(\"こんにちは\");\n");
  const Result compiled = Run("HELLO.SNA");
  ASSERT_EQ(compiled.rc, 0) << compiled.err;
  ASSERT_TRUE(Exists("HELLO.SNB"));
  const Result fromFile = Run("--list HELLO.SNB");
  const Result fromSource = Run("--list HELLO.SNA");
  ASSERT_EQ(fromFile.rc, 0) << fromFile.err;
  ASSERT_EQ(fromSource.rc, 0) << fromSource.err;
  EXPECT_EQ(fromFile.out.substr(0, fromFile.out.find('\n')), "; HELLO.SNB: compiled file");
  EXPECT_EQ(Body(fromFile.out), Body(fromSource.out));
  EXPECT_NE(fromFile.out.find("S(\"こんにちは\")"), std::string::npos) << fromFile.out;
  EXPECT_EQ(Boxes(), "");
}

TEST_F(MrvcTest, DefaultOutputKeepsTheSourcesNameAndCase) {
  struct Case {
    const char* source;
    const char* output;
  };
  const Case cases[] = {
      {"low.sna", "low.snb"}, {"Mixed.Sna", "Mixed.snb"},   {"UP.SNA", "UP.SNB"},
      {"noext", "noext.SNB"}, {"日本語.SNA", "日本語.SNB"},  // the last is not ASCII on disk
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Source(c.source, "WAIT(1);");
    const Result r = Run(std::string("'") + c.source + "'");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(Exists(c.output));
    EXPECT_NE(r.out.find(dir_.file(c.output)), std::string::npos) << r.out;
  }
  EXPECT_EQ(Boxes(), "");
}

TEST_F(MrvcTest, OutputNameAndCheck) {
  Source("A.SNA", "WAIT(1);");
  Result r = Run("A.SNA -o OUT.SNB");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(Exists("OUT.SNB"));
  EXPECT_FALSE(Exists("A.SNB"));
  r = Run("A.SNA -o built.snb");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(Exists("built.snb")) << "the name as given, not upper-cased";
  EXPECT_FALSE(Exists("BUILT.SNB"));

  r = Run("--check A.SNA");
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_FALSE(Exists("A.SNB")) << "--check writes nothing";
  EXPECT_NE(r.out.find("ok"), std::string::npos);
}

TEST_F(MrvcTest, CompileErrorIsTheCompilersMessageOnStderrOnly) {
  struct Case {
    const char* source;
    const char* message;  // after the name
    const char* located;  // the line for editors, after the name
  };
  const Case cases[] = {
      {"WAIT(1);\nF() G();\n", ":PASS(3):LINE(1):関数あるいは式の終端記号「;」がありません。(7)",
       ":2:1: error: 関数あるいは式の終端記号「;」がありません。(7)"},
      {"\n\nF(1;\n", ":PASS(2):LINE(3):括弧の階層が誤っています。(4)",
       ":4:1: error: 括弧の階層が誤っています。(4)"},
      {"F(1);\nあ;\n", ":PASS(1):LINE(1):コード中に全角コードが混在しています。(1)",
       ":2:1: error: コード中に全角コードが混在しています。(1)"},
      {"あ;\n", ":PASS(1):LINE(0):コード中に全角コードが混在しています。(1)",
       ":1:1: error: コード中に全角コードが混在しています。(1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Source("E.SNA", c.source);
    for (const char* mode : {"", "--check ", "--list "}) {
      const Result r = Run(std::string(mode) + "E.SNA");
      EXPECT_EQ(r.rc, 1);
      EXPECT_EQ(r.err, std::string("E.SNA") + c.message + "\nE.SNA" + c.located + "\n");
      EXPECT_EQ(r.out.find("000000"), std::string::npos) << "no listing after an error";
      EXPECT_FALSE(Exists("E.SNB"));
      EXPECT_EQ(Boxes(), "") << "the error is not also shown as a box";
    }
  }
}

TEST_F(MrvcTest, FailureReportedByAnotherLibrarySaysWhereTheCompileStopped) {
  Source("N.SNA", "WAIT(1);\n$A = 0x1FFFFFFFFFF;\n");
  const Result r = Run("--check N.SNA");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("N.SNA:PASS(3):LINE(1):(reported above)\n"
                       "N.SNA:2:1: error: the compile stopped here (reported above)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(Boxes().find("MRVVAL.DLL"), std::string::npos) << "the number parser's own report";
}

TEST_F(MrvcTest, DefinitionFileBesideTheSourceOrNamed) {
  Source("D.SNA", "F(GREETING);");
  Source("mrv.def", "#define \"GREETING\" \"1\"\n");
  Source("other.def", "#define \"GREETING\" \"2\"\n");
  Result r = Run("--list D.SNA");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("F(1)"), std::string::npos) << r.out;
  r = Run("--list D.SNA -d other.def");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("F(2)"), std::string::npos) << r.out;
  r = Run("--check D.SNA -d missing.def");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("missing.def"), std::string::npos);
  // A broken definition file is reported with the compiler's message.
  Source("bad.def", "#undef \"X\"\n");
  r = Run("--check D.SNA -d bad.def");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("定義ファイルに不正なコマンドがあります。(line1)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("bad.def:1:1: error: "), std::string::npos) << r.err;
  // A source in another directory is named as it was given.
  Source("sub/S.SNA", "\nWAIT(1)");
  r = Run("--check sub/S.SNA");
  EXPECT_NE(r.err.find("sub/S.SNA:2:1: error: 関数あるいは式の終端記号"), std::string::npos)
      << r.err;
}

TEST_F(MrvcTest, BrokenCompiledFileAndMissingFilesFail) {
  Source("C.SNA", "WAIT(1);");
  ASSERT_EQ(Run("C.SNA").rc, 0);
  std::string snb = mrvtest::read_file(dir_.file("C.SNB"));
  snb.resize(snb.size() - 3);
  mrvtest::write_file(dir_.file("C.SNB"), snb);
  Result r = Run("--list C.SNB");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("コンパイル済みシナリオファイルが壊れています。"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");

  // A file named as compiled is read as one, never compiled as a source.
  Source("T.snb", "WAIT(1);");
  r = Run("--list T.snb");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("指定されたファイルは RIFF 形式ファイルではありません。"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  r = Run("T.snb");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("compiled file"), std::string::npos) << r.err;
  EXPECT_EQ(mrvtest::read_file(dir_.file("T.snb")), "WAIT(1);") << "not compiled over itself";

  struct Case {
    const char* args;
    const char* err;
  } cases[] = {
      {"NOPE.SNA", "mrvc: NOPE.SNA: no such file\n"},
      {"SUB", "mrvc: SUB: is a directory\n"},
      {"-d SUB C.SNA", "mrvc: SUB: is a directory\n"},
      {"-d NONE.DEF C.SNA", "mrvc: NONE.DEF: no such definition file\n"},
  };
  fs::create_directory(dir_.file("SUB"));
  for (const Case& c : cases) {
    r = Run(c.args);
    EXPECT_EQ(r.rc, 1) << c.args;
    EXPECT_EQ(r.err, c.err) << c.args;
  }
}

TEST_F(MrvcTest, UsageErrorsAndHelp) {
  Source("U.SNA", "WAIT(1);");
  const char* wrong[] = {
      "",         "--frobnicate U.SNA",   "U.SNA U.SNA", "--check U.SNA -o X.SNB",
      "U.SNA -o", "--check --list U.SNA", "-d",          "U.SNA -o u.sna",
  };
  for (const char* args : wrong) {
    SCOPED_TRACE(args);
    const Result r = Run(args);
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("usage: mrvc"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists("U.SNB"));
    EXPECT_EQ(mrvtest::read_file(dir_.file("U.SNA")), "WAIT(1);");
  }
  const Result help = Run("--help");
  EXPECT_EQ(help.rc, 0);
  for (const char* word : {"--check", "--list", "-o", "-d", "mrv.def", "from 0", "Exit status"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

}  // namespace
