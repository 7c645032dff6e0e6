// From a scenario name to running code: the search order, compiled files
// before sources, the messages of files that cannot be found or compiled,
// the file changes sent to the tracer and a restarted scenario.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

#include "fixtures.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "support.h"

namespace {

using namespace exectest;

// Compiles the source file `sna` into the compiled file `snb`.
void compile(const std::string& sna, const std::string& snb) {
  CompileRequest r{};
  std::snprintf(r.name, sizeof r.name, "%s", sna.c_str());
  r.sourceSize = MRVFILE_Size(0, sna.c_str()) + 2;
  r.source = static_cast<char*>(MRVFILE_ReadBlock(0, sna.c_str(), 1));
  ASSERT_NE(r.source, nullptr);
  ASSERT_EQ(MRVCOMP_Comp(&r), 1);
  if (r.source != nullptr) MRVTASK_FreeMemory(0, r.source);
  const uint32_t length = static_cast<uint32_t>(r.outputPos - r.output);
  ASSERT_EQ(MRVCOMP_Pack(0, snb.c_str(), r.output, length), 1);
  MRVTASK_FreeMemory(0, r.output);
}

TEST(ScenarioFile, ACompiledFileIsPreferredAndTheCurrentDirectoryComesFirst) {
  Scenario s({"testcmd.so"});
  s.source("GAME", "TESTCMD:SHOW(\"compiled\");\n");
  compile(s.file("GAME.SNA"), s.file("GAME.SNB"));
  s.source("GAME", "TESTCMD:SHOW(\"source\");\n");
  // A source in the current directory loses to the compiled file in the
  // program directory: every ".SNB" candidate comes before any ".SNA".
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::create_directories(s.dir() / "cur");
  std::filesystem::copy_file(s.dir() / "GAME.SNA", s.dir() / "cur" / "GAME.SNA");
  std::filesystem::current_path(s.dir() / "cur");
  const bool ran = s.run("game");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(ran);
  EXPECT_EQ(reports(s), (Lines{"\"compiled\""}));
  EXPECT_EQ(records(s).front(), "@N " + std::string(s.ctx->programDir) + "\\GAME.SNB");
}

// The compiled file runs even when its source was edited after it; the
// author is told so once, on standard error, and only when it is older.
TEST(ScenarioFile, AnOlderCompiledFileStillRunsAndSaysSoOnce) {
  namespace fs = std::filesystem;
  for (const bool edited : {true, false}) {
    Scenario s({"testcmd.so"});
    s.source("GAME", "TESTCMD:SHOW(\"compiled\");\n");
    compile(s.file("GAME.SNA"), s.file("GAME.SNB"));
    s.source("GAME", "TESTCMD:SHOW(\"source\");\n");
    const fs::path sna = s.dir() / "GAME.SNA", snb = s.dir() / "GAME.SNB";
    fs::last_write_time(sna,
                        fs::last_write_time(snb) + (edited ? 1 : -1) * std::chrono::seconds(5));
    s.source("MAIN", "TESTCMD:RUN(\"GAME\");\nTESTCMD:RUN(\"GAME\");\n");
    testing::internal::CaptureStderr();
    const bool ran = s.run("MAIN");
    // Our own lines only (the sanitizer may add a warning of its own).
    Lines said;
    std::istringstream err(testing::internal::GetCapturedStderr());
    for (std::string l; std::getline(err, l);)
      if (l.rfind("mrv33: ", 0) == 0) said.push_back(l);
    ASSERT_TRUE(ran);
    EXPECT_EQ(reports(s), (Lines{"\"compiled\"", "\"compiled\""}));
    const std::string dir = s.ctx->programDir;
    EXPECT_EQ(said, edited ? Lines{"mrv33: " + dir + "\\GAME.SNB is older than " + dir +
                                   "\\GAME.SNA beside it; the older compiled file is run"}
                           : Lines{})
        << edited;
  }
}

// Everything a title ships can live in its archives: a compiled file is
// found and loaded from SCN.vfs as a source is.
TEST(ScenarioFile, CompiledFilesAndSourcesLoadFromAnArchive) {
  Scenario s({"testcmd.so", "standard.so"});
  s.source("VSUB", "TESTCMD:SHOW(\"compiled\");\n");
  compile(s.file("VSUB.SNA"), s.file("VSUB.SNB"));
  s.source("VSRC", "TESTCMD:SHOW(\"source\");\n");
  const std::string snb = mrvtest::read_file(s.file("VSUB.SNB"));
  const std::string sna = mrvtest::read_file(s.file("VSRC.SNA"));
  for (const char* f : {"VSUB.SNA", "VSUB.SNB", "VSRC.SNA"}) std::filesystem::remove(s.file(f));
  mrvtest::write_file(s.file("SCN.vfs"), fixture::archive({{"VSUB.SNB", snb}, {"VSRC.SNA", sna}}));
  s.source("MAIN", "Gosub(\"SCN\\VSUB\");\nGosub(\"scn\\vsrc\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_TRUE(s.boxes().empty());
  EXPECT_EQ(reports(s), (Lines{"\"compiled\"", "\"source\""}));
}

TEST(ScenarioFile, ANameWithItsExtensionIsUsedAsItStands) {
  Scenario s({"testcmd.so"});
  s.source("GAME", "TESTCMD:SHOW(\"source\");\n");
  compile(s.file("GAME.SNA"), s.file("GAME.SNB"));
  s.source("MAIN", "TESTCMD:RUN(\"GAME.SNA\");\n");
  ASSERT_TRUE(s.run("MAIN"));
  EXPECT_EQ(reports(s), (Lines{"\"source\""}));
}

// The file that runs is named to the tracer, and the caller's file and line
// come back when it ends.
TEST(ScenarioFile, FileChangesAreTracedAndTheCallersPlaceRestored) {
  Scenario s({"testcmd.so"});
  s.ctx->execFlags = EXEC_TRACE;
  s.source("MAIN", "\nTESTCMD:RUN(\"SUB\");\nTESTCMD:NOTHING();\n");
  s.source("SUB", "TESTCMD:NOTHING();\n");
  ASSERT_TRUE(s.run("MAIN"));
  const std::string dir = s.ctx->programDir;
  EXPECT_EQ(records(s),
            (Lines{"@N " + dir + "\\MAIN.SNA", "TASK00    2 TESTCMD:RUN", "@N " + dir + "\\SUB.SNA",
                   "TASK00    1 TESTCMD:NOTHING", "@N " + dir + "\\MAIN.SNA",
                   "TASK00    3 TESTCMD:NOTHING", "@N MAIN"}));
}

TEST(ScenarioFile, AMissingFileIsReportedByTheFileManagerAndEndsTheTask) {
  Scenario s({"testcmd.so"});
  ASSERT_TRUE(s.run("NOPE"));
  ASSERT_EQ(s.boxes().size(), 1u);
  EXPECT_NE(s.boxes()[0].text.find("NOPE"), std::string::npos);
  EXPECT_EQ(s.ctx->taskThread[0], 0u);
}

TEST(ScenarioFile, ACompileErrorIsShownAsTheCompilerComposedIt) {
  Scenario s({"testcmd.so"});
  s.source("MAIN", "TESTCMD:SHOW(1);\nTESTCMD:SHOW(1\n");
  ASSERT_TRUE(s.run("MAIN"));
  ASSERT_EQ(s.boxes().size(), 1u);
  EXPECT_EQ(s.boxes()[0].caption, MRVEXEC_TITLE_UTF8);
  EXPECT_EQ(s.boxes()[0].text.rfind("MAIN:PASS(", 0), 0u) << s.boxes()[0].text;
  EXPECT_TRUE(reports(s).empty());
}

TEST(ScenarioFile, ARestartedScenarioRunsAgain) {
  Scenario s({"testcmd.so"});
  s.source("MAIN",
           "$0 = $0 + 1;\nTESTCMD:SHOW($0);\nTESTCMD:IF($0 < 3) {\n  TESTCMD:FLAG(1);\n};\n");
  s.source("INIT", "$0 = 0;\nTESTCMD:RUN(\"MAIN\");\n");
  ASSERT_TRUE(s.run("INIT"));
  EXPECT_EQ(reports(s), (Lines{"1", "2", "3"}));
}

}  // namespace
