// mrvpack as an author uses it: a title whose scenarios, pictures and
// folders go into compiled files and archives runs from its unpacked folder
// as it ran from the author's; sources only when asked; usage and failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "shell.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;

using Result = mrvtest::ShellResult;

std::string bin_dir() {
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  return bin ? bin : ".";
}

class MrvpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A title using a macro of its mrv.def, a scenario in a folder, a
    // picture in a folder, a folder of folders and a folder it writes to.
    Put("MRV.SNA",
        "MRVWIN:PRINT(\"start \", GREETING);\n"
        "Gosub(\"SCN\\VSUB\");\n"
        "MRVWIN:OPEN(32, 16, \"pack\");\n"
        "MRVWIN:PRINT(\"picture \", MRVWIN:DRAW(MRVWIN:PICTURE(\"DATA\\TILE.BMP\", -1), 0, 0));\n");
    Put("mrv.def", "#define 'GREETING' '\"hello\"'\n");
    Put("SCN/VSUB.SNA", "MRVWIN:PRINT(\"sub \", GREETING);\n");
    fs::create_directories(title_ / "DATA");
    fs::copy_file(bin_dir() + "/TILE.BMP", title_ / "DATA" / "TILE.BMP");
    Put("NEST/INNER/A.TXT", "a");
    Put("SAVE/S.TXT", "s");
  }
  void Put(const std::string& name, const std::string& text) {
    fs::create_directories((title_ / name).parent_path());
    mrvtest::write_file(title_ / name, text);
  }
  // Runs `command` in the scratch directory, headless, without box answers.
  Result Sh(const std::string& command) {
    return mrvtest::shell(
        "cd '" + dir_.path().string() + "' && MRV_BACKEND=headless MRV_DIALOG_ANSWERS= " + command,
        io_);
  }
  Result Pack(const std::string& args) {
    return Sh(std::string("'") + MRVPACK + "' --runtime '" + bin_dir() + "' -o out " + args);
  }
  // The names of an archive's entries.
  std::string Entries(const fs::path& archive) {
    const Result r = Sh("'" + bin_dir() + "/mrvvfs' list '" + archive.string() + "'");
    EXPECT_EQ(r.rc, 0) << r.err;
    std::string names;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
      names += r.out.substr(at, r.out.find(' ', at) - at) + "\n";
    return names;
  }

  mrvtest::TempDir dir_, io_;
  fs::path title_ = dir_.path() / "demo";
};

TEST_F(MrvpackTest, ThePackedTitleRunsFromItsArchivesAsTheOriginalRuns) {
  // The original, run from the author's folder by the SDK's runner.
  const Result original =
      Sh("cd demo && MRV33_PROGRAM_DIR='" + bin_dir() + "' '" + MRV33_RUNNER + "'");
  ASSERT_EQ(original.rc, 0) << original.err;
  EXPECT_EQ(original.out, "start hello\nsub hello\npicture -1\n");

  const Result packed = Pack("--keep save demo");
  ASSERT_EQ(packed.rc, 0) << packed.err;
  const fs::path out = dir_.path() / "out";
  ASSERT_TRUE(fs::exists(out / "demo.tar.gz"));
  fs::remove_all(out / "demo");
  ASSERT_EQ(Sh("mkdir elsewhere && tar -xzf out/demo.tar.gz -C elsewhere").rc, 0);
  const fs::path d = dir_.path() / "elsewhere" / "demo";

  for (const char* f :
       {"mrv33", "starter", "standard.so", "mrvwin.so", "libmrvexec.so", "platform_sdl.so",
        "MRV.SNB", "mrv.def", "SCN.vfs", "DATA.vfs", "NEST/INNER.vfs", "SAVE/S.TXT", "demo.sh",
        "demo.desktop", "demo.png", "README.txt"})
    EXPECT_TRUE(fs::exists(d / f)) << f;
  for (const char* f : {"MRV.SNA", "SCN", "DATA", "NEST/INNER"})
    EXPECT_FALSE(fs::exists(d / f)) << f;
  EXPECT_EQ(Entries(d / "SCN.vfs"), "VSUB.SNB\n");
  EXPECT_EQ(Entries(d / "DATA.vfs"), "TILE.BMP\n");
  EXPECT_NE(mrvtest::read_file(d / "demo.desktop").find("Exec="), std::string::npos);

  const Result run = Sh("elsewhere/demo/demo.sh");
  EXPECT_EQ(run.rc, 0) << run.err;
  EXPECT_EQ(run.out, original.out);
}

TEST_F(MrvpackTest, SourcesAreShippedOnlyWhenAsked) {
  ASSERT_EQ(Pack("-n plain demo").rc, 0);
  ASSERT_EQ(Pack("-n withsources --sources demo").rc, 0);
  const fs::path out = dir_.path() / "out";
  EXPECT_FALSE(fs::exists(out / "plain" / "MRV.SNA"));
  EXPECT_TRUE(fs::exists(out / "withsources" / "MRV.SNA"));
  EXPECT_EQ(Entries(out / "withsources" / "SCN.vfs"), "VSUB.SNA\nVSUB.SNB\n");
}

TEST_F(MrvpackTest, RefusesWhatItCannotPackAndLeavesNothingHalfMade) {
  struct Case {
    const char* what;
    std::string args;
    int rc;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"no folder", "", 2, "no title folder given"},
      {"unknown option", "--fast demo", 2, "unknown option --fast"},
      {"missing folder", "nowhere", 1, "nowhere: no such folder"},
      {"no start scenario", "-s intro demo", 1, "no scenario intro"},
      {"a scenario that does not compile", "-n broken demo", 1, "does not compile"},
      {"an earlier pack", "demo", 1, "-f replaces them"},
  };
  ASSERT_EQ(Pack("demo").rc, 0);
  Put("SCN/BAD.SNA", "MRVWIN:PRINT(\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = Pack(c.args);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "out" / "broken"));
  EXPECT_FALSE(fs::exists(dir_.path() / "out" / "broken.tar.gz"));
  // -f replaces the earlier pack, once the title compiles again.
  fs::remove(title_ / "SCN" / "BAD.SNA");
  EXPECT_EQ(Pack("-f demo").rc, 0);
}

}  // namespace
