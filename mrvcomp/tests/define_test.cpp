// The definition file, and compiles that use what it defines. The tables are
// shared by the whole process, so every test defines names of its own.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "comp_support.h"
#include "dialog_log.h"
#include "tempdir.h"

using namespace comptest;

namespace {

const char* const kTitle = "『Marovine33』コンパイルマネージャ(MRVCOMP.dll)";

// Include items hold at most 63 bytes, so the files they name are reached by
// a short path relative to the test's own directory, its working directory.
class DefineFile : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(saved_); }

  // Writes `body` as a definition file and reads it.
  int32_t Define(const std::string& body) {
    const std::string path = dir_.file("mrv" + std::to_string(files_++) + ".def");
    mrvtest::write_file(path, body);
    return MRVCOMP_DefineFile(0, path.c_str());
  }
  // Writes a file for an include item; its name relative to the directory.
  std::string File(const std::string& name, const std::string& bytes) {
    mrvtest::write_file(dir_.file(name), bytes);
    return name;
  }

  mrvtest::TempDir dir_;
  std::filesystem::path saved_;
  int files_ = 0;
};

Bytes AssignA(const Bytes& operand) {
  return Bytes{TOK_LOCALVAR, 'A', OP_ASSIGN} + operand;
}

TEST_F(DefineFile, MissingFileIsNoErrorAndBuiltInsStay) {
  mrvtest::DialogLog log;
  EXPECT_EQ(MRVCOMP_DefineFile(0, dir_.file("none.def").c_str()), 1);
  EXPECT_TRUE(log.boxes().empty());
  Compiled r = Compile("$A=MRVVREV|MRVWHITE;");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code,
            AssignA(Bytes{TOK_INT32} + Le32(0x20000000) + Bytes{OP_OR, TOK_INT16, 0xFF, 0x7F}) +
                Bytes{0});
}

// The syntax: any delimiter, blanks and line feeds between items, comments,
// commands in any case, empty texts, the longest name winning.
TEST_F(DefineFile, SyntaxAndReplacement) {
  mrvtest::DialogLog log;
  const std::string name31 = "Q" + std::string(30, 'N');
  ASSERT_EQ(Define("// definitions\r\n"
                   "#DEFINE 'qhp' '999'   // a comment after an entry\r\n"
                   "#define /QSL/ /7/\n"
                   "#define 'QE' ''\n"
                   "#define \"QAB\" \"1\"\n"
                   "#Define \"QABC\" \"2\"\n"
                   "#define 'QM1' 'QM2'\n"
                   "#define 'QM2' 'TRUE'\n"
                   "#define\n'QSP'\n\t'1 + 2'\n"
                   "#define '" +
                   name31 + "' '0." + std::string(97, '8') + "'\n"),
            1);
  EXPECT_TRUE(log.boxes().empty());
  // Run 1 replaces QHP, QSL, QABC (not QAB then C), QAB, QM1, QSP and QE; run 2
  // QM2; run 3 TRUE.
  Compiled r = Compile("$A=QHP+QSL+QABC+QAB+QM1+QSP;F(QE);");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code,
            AssignA({TOK_INT16, 0xE7,     0x03,     OP_ADD, TOK_INT8, 7,       OP_ADD,   TOK_INT8,
                     2,         OP_ADD,   TOK_INT8, 1,      OP_ADD,   TOK_NEG, TOK_INT8, 1,
                     OP_ADD,    TOK_INT8, 1,        OP_ADD, TOK_INT8, 2}) +
                Std("F", {}) + Bytes{0});

  // A name written in lower case is replaced only when the run that
  // upper-cased it replaced something else.
  EXPECT_EQ(Compile("$A=qhp;").error, MRVCOMP_ERR_NOPAREN);
  r = Compile("$A=qhp+TRUE;");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, AssignA({TOK_INT16, 0xE7, 0x03, OP_ADD, TOK_NEG, TOK_INT8, 1}) + Bytes{0});
  // The 31-character name with its 99-character text.
  r = Compile("$A=" + name31 + ";");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, AssignA(Bytes{TOK_DECIMAL} + Le32(0) + Le32(888888888)) + Bytes{0});
}

// A shorter name defined after a longer one that starts with it, and the other
// way round: the longer one wins both times.
TEST_F(DefineFile, LongestNameWinsWhateverTheOrder) {
  mrvtest::DialogLog log;
  ASSERT_EQ(Define("#define 'QLONGX' '1'\n#define 'QLONG' '2'\n#define 'QSH' '3'\n"
                   "#define 'QSHX' '4'\n"),
            1);
  Compiled r = Compile("F(QLONGX,QLONG,QSHX,QSH);");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code,
            Std("F", {{TOK_INT8, 1}, {TOK_INT8, 2}, {TOK_INT8, 4}, {TOK_INT8, 3}}) + Bytes{0});
}

struct BadCase {
  const char* what;
  std::string body;
  std::string message;  // UTF-8
  int32_t line;         // MRVCOMP_GetLine afterwards, -1: not checked
};
// Test names show the case, not its bytes.
void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.what;
}

class DefineErrors : public DefineFile, public ::testing::WithParamInterface<BadCase> {};

TEST_P(DefineErrors, ReportedOnceWithTheCompilersCaption) {
  mrvtest::DialogLog log;
  const BadCase& c = GetParam();
  EXPECT_EQ(Define(c.body), 0) << c.what;
  const auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 1u) << c.what;
  EXPECT_EQ(boxes[0].caption, kTitle);
  EXPECT_EQ(boxes[0].text, c.message) << c.what;
  if (c.line >= 0) {
    EXPECT_EQ(MRVCOMP_GetLine(), c.line) << c.what;
  }
}

const std::string kIllegal = "定義ファイルに不正なコマンドが記述されています。(line";
const std::string kLength = "項目の文字列長が制限を越えています。(line";

INSTANTIATE_TEST_SUITE_P(
    Cases, DefineErrors,
    ::testing::Values(BadCase{"lone slash", "#define 'QT1' '1'\n/x", kIllegal + "2)", 2},
                      BadCase{"unknown command", "\n\n#undef 'X'",
                              "定義ファイルに不正なコマンドがあります。(line3)", 3},
                      BadCase{"32-character name", "\n#define '" + std::string(32, 'Q') + "' '1'",
                              kLength + "2)", 2},
                      BadCase{"100-character text", "#define 'QT2' '" + std::string(100, '1') + "'",
                              kLength + "1)", 1},
                      BadCase{"64-character file name",
                              "#include 'QT3' '" + std::string(64, 'f') + "'", kLength + "1)", 1},
                      BadCase{"built-in names stay", "#define 'TRUE' '1'",
                              "マクロ名 \"TRUE\" はすでに定義されています。", -1},
                      BadCase{"defined twice, upper-cased first",
                              "#define 'qdup' '1'\n#define 'QDUP' '2'",
                              "マクロ名 \"QDUP\" はすでに定義されています。", -1},
                      BadCase{"include file missing", "#include 'QINC' 'nothere.txt'",
                              "インクルードファイル \"nothere.txt\" が存在しません。", -1},
                      BadCase{"item open at the end", "#define 'QT4' 'abc", kIllegal + "1)", 1},
                      BadCase{"item missing", "#define 'QT5'", kIllegal + "1)", 1},
                      BadCase{"control code in a comment",
                              "// a\x01"
                              "b",
                              kIllegal + "1)", 1},
                      BadCase{"empty name", "#define '' 'x'", kIllegal + "1)", 1}));

TEST_F(DefineFile, EntriesBeforeAnErrorStay) {
  mrvtest::DialogLog log;
  EXPECT_EQ(Define("#define 'QKEPT' '5'\n#bad"), 0);
  Compiled r = Compile("$A=QKEPT;");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, AssignA({TOK_INT8, 5}) + Bytes{0});
}

// An include name stands for the whole file, read at every compile; its line
// feeds are dropped so that the lines of the source stay right, and a
// comment in it runs to the carriage return.
TEST_F(DefineFile, IncludeFiles) {
  mrvtest::DialogLog log;
  const std::string head = File("head.txt", "f(1,\r\n2);\r\n// note\r\ng();\x1A");
  const std::string cut = File("cut.txt", "F();\x1AG();");
  ASSERT_EQ(Define("#include 'QHEAD' '" + head + "'\n#include 'QCUT' '" + cut +
                   "'\n"
                   "#define 'QTWICE' 'QHEAD'\n"),
            1);
  Compiled r = Compile("QHEAD\nH();");
  ASSERT_EQ(r.ok, 1) << r.message;
  const Bytes expected = Std("F", {{TOK_INT8, 1}, {TOK_INT8, 2}}) + Std("G", {}) +
                         Bytes{TOK_LINE, 1, 0} + Std("H", {}) + Bytes{0};
  EXPECT_EQ(r.code, expected);

  // A macro may expand to an include name.
  r = Compile("QTWICE");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, Std("F", {{TOK_INT8, 1}, {TOK_INT8, 2}}) + Std("G", {}) + Bytes{0});

  // The file is read when the source is compiled, not when it was defined.
  mrvtest::write_file(head, "k();");
  r = Compile("QHEAD");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, Std("K", {}) + Bytes{0});

  // A 0x1A inside an include file ends the text there.
  r = Compile("QCUT\nH();");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, Std("F", {}) + Bytes{0});
  EXPECT_TRUE(log.boxes().empty());
}

// An include file far larger than the room left in the output block.
TEST_F(DefineFile, LargeIncludeEnlargesTheBlockFirst) {
  mrvtest::DialogLog log;
  std::string big;
  Bytes expected;
  const Bytes record = Std("F", {});
  for (int i = 0; i < 20000; ++i) {
    big += "F();\n";
    expected.insert(expected.end(), record.begin(), record.end());
  }
  ASSERT_EQ(Define("#include 'QBIG' '" + File("big.txt", big) + "'"), 1);
  Compiled r = Compile("QBIG");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code, expected + Bytes{0});
}

// A name whose text holds the name again, directly or through an include,
// must not make the compiler run for ever.
TEST_F(DefineFile, SelfReferenceIsACompileError) {
  mrvtest::DialogLog log;
  const std::string self = File("self.txt", "QSELF");
  ASSERT_EQ(Define("#define 'QLOOP' 'QLOOP+1'\n#define 'QDBL' 'QDBLQDBL'\n"
                   "#include 'QSELF' '" +
                   self + "'\n"),
            1);
  for (const char* source : {"$A=1;\n$A=QLOOP;", "$A=1;\n$A=QDBL;", "$A=1;\nQSELF"}) {
    Compiled r = Compile(source, 0, "LOOP");
    EXPECT_EQ(r.ok, 0) << source;
    EXPECT_EQ(r.error, MRVCOMP_ERR_RUNAWAY) << source;
    EXPECT_EQ(r.message,
              "LOOP:PASS(1):LINE(1):マクロまたはインクルードの置き換えが終わりません。(17)")
        << source;
  }
  EXPECT_TRUE(log.boxes().empty());
}

// Counts the opens of one file while it lives (inotify).
class OpenCounter {
 public:
  explicit OpenCounter(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK)) {
    if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenCounter() {
    if (fd_ >= 0) close(fd_);
  }
  OpenCounter(const OpenCounter&) = delete;
  OpenCounter& operator=(const OpenCounter&) = delete;

  // Opens since the last call.
  int Take() {
    int n = 0;
    alignas(inotify_event) char buf[4096];
    for (ssize_t got; (got = read(fd_, buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + got;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        n += (e->mask & IN_OPEN) != 0;
        p += sizeof(inotify_event) + e->len;
      }
    }
    return n;
  }

 private:
  int fd_;
};

// An include file is read once per compile however often its name is
// replaced, so a runaway include ends as fast as a runaway macro.
TEST_F(DefineFile, AnIncludeFileIsReadOncePerCompile) {
  mrvtest::DialogLog log;
  const std::string once = File("once.txt", "F();\n");
  const std::string dbl = File("dbl.txt", "QIDBLQIDBL");
  const std::string self = "self.def";
  mrvtest::write_file(self, "#include 'QISELF' '" + self + "'\n");
  ASSERT_EQ(Define("#include 'QIONCE' '" + once + "'\n#define 'QITWICE' 'QIONCE QIONCE'\n" +
                   "#include 'QIDBL' '" + dbl + "'\n"),
            1);
  ASSERT_EQ(MRVCOMP_DefineFile(0, self.c_str()), 1);

  OpenCounter opens(once);
  ASSERT_EQ(Compile("QIONCE").ok, 1);
  const int single = opens.Take();
  ASSERT_GT(single, 0);
  Compiled r = Compile("QIONCE QIONCE QITWICE QITWICE");
  ASSERT_EQ(r.ok, 1) << r.message;
  EXPECT_EQ(r.code.size(), 6 * Std("F", {}).size() + 1);
  EXPECT_EQ(opens.Take(), single) << "six uses over two runs read the file once";
  ASSERT_EQ(Compile("QIONCE").ok, 1);
  EXPECT_EQ(opens.Take(), single) << "the next compile reads the file again";

  for (const auto& [source, file] : {std::pair{"QISELF", self}, std::pair{"QIDBL", dbl}}) {
    OpenCounter runaway(file);
    r = Compile(source, 0, "LOOP");
    EXPECT_EQ(r.error, MRVCOMP_ERR_RUNAWAY) << source;
    EXPECT_EQ(runaway.Take(), single) << source;
  }
  EXPECT_TRUE(log.boxes().empty());
}

}  // namespace

namespace {

// Every entry of one table as name -> text, read through MRVCOMP_GetEntry.
std::map<std::string, std::string> Entries(int32_t kind) {
  std::map<std::string, std::string> out;
  char name[32], text[100];
  for (int32_t i = 0; MRVCOMP_GetEntry(kind, i, name, text); ++i) out[name] = text;
  return out;
}

// Tools read the tables as the compiler holds them: built-ins, names upper-cased,
// texts as written, includes by file name; nothing past the end.
TEST_F(DefineFile, EntriesAreReadBackAsStored) {
  mrvtest::DialogLog log;
  const std::string head = File("gehead.txt", "F();");
  ASSERT_EQ(Define("#define 'qgeMac' 'Ab c'\n#include 'qgeinc' '" + head + "'\n"), 1);
  const auto macros = Entries(MRVCOMP_ENTRY_MACRO);
  EXPECT_EQ(macros.at("TRUE"), "-1");
  EXPECT_EQ(macros.at("NULL"), "");
  EXPECT_EQ(macros.at("QGEMAC"), "Ab c");
  EXPECT_EQ(macros.count("qgeMac"), 0u);
  const auto includes = Entries(MRVCOMP_ENTRY_INCLUDE);
  EXPECT_EQ(includes.at("QGEINC"), head);

  char name[32] = "x", text[100] = "y";
  const int32_t count = static_cast<int32_t>(macros.size());
  EXPECT_EQ(MRVCOMP_GetEntry(MRVCOMP_ENTRY_MACRO, count, name, text), 0);
  EXPECT_EQ(MRVCOMP_GetEntry(MRVCOMP_ENTRY_MACRO, -1, name, text), 0);
  EXPECT_EQ(MRVCOMP_GetEntry(2, 0, name, text), 0);
  EXPECT_EQ(MRVCOMP_GetEntry(MRVCOMP_ENTRY_MACRO, 0, nullptr, text), 0);
  EXPECT_STREQ(name, "x");
}

}  // namespace
