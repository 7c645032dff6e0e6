// mrvvfs as an author uses it: archives it packs are read by the file
// manager byte for byte and lists and extracts give the files back; folders
// that do not fit an archive and damaged archives are refused; a title runs
// from its archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/text.h"
#include "scenario.h"
#include "shell.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;
using fixture::archive;
using fixture::le16;
using fixture::le32;
using mrvtest::read_file;
using mrvtest::write_file;

using Result = mrvtest::ShellResult;

class MrvvfsTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("MRV_DIALOG_ANSWERS", "", 1); }

  // Runs mrvvfs with `args` (quoted where needed) in the scratch directory.
  Result Run(const std::string& args) {
    const char* bin = std::getenv("MRV_TEST_BIN_DIR");
    const std::string exe = std::string(bin ? bin : ".") + "/mrvvfs";
    return mrvtest::shell("cd '" + dir_.path().string() + "' && '" + exe + "' " + args, io_);
  }
  std::string Path(const std::string& name) { return dir_.file(name); }

  // The whole entry as the file manager reads it, or "<none>".
  static std::string ReadBack(const std::string& path) {
    auto* block = static_cast<char*>(MRVFILE_ReadBlock(0, path.c_str(), 0));
    if (block == nullptr) return "<none>";
    std::string data(block, MRVFILE_Size(0, path.c_str()));
    MRVTASK_FreeMemory(0, block);
    return data;
  }

  mrvtest::TempDir dir_, io_;
};

// Contents that a careless packer would damage: nothing at all, the end mark
// and NULs, every byte value, and more than one buffer's worth.
std::vector<std::pair<std::string, std::string>> Files() {
  std::string every;
  for (int i = 0; i < 256; ++i) every += char(i);
  std::string large;
  for (int i = 0; i < 200000; ++i) large += char(i * 7 + i / 256);
  return {{"EMPTY.DAT", ""},
          {"MARKS.BIN", std::string("\x1a\0\x1a", 3)},
          {"BYTES.BIN", every},
          {"large.bin", large},
          {"EIGHTEEN_BYTES.TXT", "longest name"},
          {plat::utf8_to_cp932("画像.TXT"), "double-byte name"}};
}

TEST_F(MrvvfsTest, TheFileManagerReadsEveryPackedFileByteForByte) {
  for (const auto& [name, data] : Files()) write_file(dir_.path() / "D" / name, data);
  write_file(dir_.path() / "D" / "SUB" / "INNER.TXT", "not packed");
  ASSERT_EQ(Run("create D.vfs D").rc, 0);
  fs::remove_all(dir_.path() / "D");  // only the archive holds them now

  for (const auto& [name, data] : Files()) {
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& asked : {name, lower}) {
      const std::string path = Path("D") + "\\" + asked;
      EXPECT_EQ(MRVFILE_Exist(0, path.c_str()), 1) << asked;
      EXPECT_EQ(MRVFILE_Size(0, path.c_str()), data.size()) << asked;
      EXPECT_EQ(ReadBack(path), data) << asked;
    }
  }
  EXPECT_EQ(MRVFILE_Exist(0, (Path("D") + "\\INNER.TXT").c_str()), 0);
  EXPECT_EQ(MRVFILE_Exist(0, (Path("D") + "\\SUB").c_str()), 0);
}

TEST_F(MrvvfsTest, ListsAndExtractsWhatItPacked) {
  for (const auto& [name, data] : Files()) write_file(dir_.path() / "D" / name, data);
  ASSERT_EQ(Run("create D.vfs D").rc, 0);

  const Result list = Run("list D.vfs");
  ASSERT_EQ(list.rc, 0) << list.err;
  // In the order of the names' bytes, each with its size.
  EXPECT_EQ(list.out,
            "BYTES.BIN                  256\n"
            "EIGHTEEN_BYTES.TXT          12\n"
            "EMPTY.DAT                    0\n"
            "MARKS.BIN                    3\n"
            "large.bin               200000\n" +
                plat::utf8_to_cp932("画像.TXT") + "                    16\n");

  fs::create_directory(dir_.path() / "all");
  ASSERT_EQ(Run("extract D.vfs -C all").rc, 0);
  for (const auto& [name, data] : Files()) EXPECT_EQ(read_file(dir_.path() / "all" / name), data);

  // Named entries are found without regard to case, as the engine finds them.
  fs::create_directory(dir_.path() / "some");
  const Result some = Run("extract D.vfs marks.bin -C some LARGE.BIN");
  ASSERT_EQ(some.rc, 0) << some.err;
  EXPECT_EQ(read_file(dir_.path() / "some" / "MARKS.BIN"), std::string("\x1a\0\x1a", 3));
  EXPECT_EQ(read_file(dir_.path() / "some" / "large.bin"), Files()[3].second);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path() / "some"), {}), 2);

  const Result missing = Run("extract D.vfs -C some NOTHERE.TXT");
  EXPECT_EQ(missing.rc, 1);
  EXPECT_NE(missing.err.find("no entry NOTHERE.TXT"), std::string::npos) << missing.err;

  // An empty folder packs into an empty archive, which lists nothing.
  fs::create_directory(dir_.path() / "E");
  ASSERT_EQ(Run("create E.vfs E").rc, 0);
  EXPECT_EQ(read_file(Path("E.vfs")), std::string("\0\0\0\0\0\0\x20\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(Run("list E.vfs").out, "");
}

TEST_F(MrvvfsTest, RefusesFoldersThatDoNotFitAnArchive) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    const char* message;
  };
  const Case cases[] = {
      {"a name of 19 bytes", [](const fs::path& d) { write_file(d / "NINETEEN_BYTES.TXT1", "x"); },
       "NINETEEN_BYTES.TXT1: name too long for an archive entry (19 bytes, at most 18)"},
      {"names the engine cannot tell apart",
       [](const fs::path& d) {
         write_file(d / "A.TXT", "1");
         write_file(d / "a.txt", "2");
       },
       "A.TXT and a.txt: names that differ only in case"},
      {"more files than the 16-bit count",
       [](const fs::path& d) {
         fs::create_directories(d);
         for (int i = 0; i < 65536; ++i) std::ofstream(d / std::to_string(i));
       },
       "65536 files, more than an archive holds (65535)"},
      {"data past the 32-bit offsets",
       [](const fs::path& d) {
         write_file(d / "A.BIN", "small");
         write_file(d / "HUGE.BIN", "");
         fs::resize_file(d / "HUGE.BIN", 0xFFFFFFFFull - 16 - 64 - 5 + 1);  // sparse
       },
       "HUGE.BIN: too large for the archive's 32-bit offsets"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_.path() / "D");
    c.make(dir_.path() / "D");
    const Result r = Run("create D.vfs D");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(Path("D.vfs")));
  }
  fs::remove_all(dir_.path() / "D");

  const Result none = Run("create D.vfs NOFOLDER");
  EXPECT_EQ(none.rc, 1);
  EXPECT_NE(none.err.find("NOFOLDER: no such folder"), std::string::npos) << none.err;
}

TEST_F(MrvvfsTest, RefusesDamagedArchivesAsTheFileManagerDoes) {
  const std::string good = archive({{"A.TXT", "hello"}, {"B.TXT", "world"}}, 32);
  std::string beyond = good;
  beyond.replace(16 + 32 + 23, 4, le32(6));  // B.TXT one byte past the end
  std::string wide = good;
  wide.replace(6, 2, le16(33));
  std::string long_dir = good;
  long_dir.replace(8, 4, le32(0x10000));
  std::string many = good;
  many.replace(4, 2, le16(40));
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"shorter than its header", good.substr(0, 15), "shorter than its 16-byte header"},
      {"entries wider than 32 bytes", wide, "entries of 33 bytes (at most 32)"},
      {"a directory larger than the file", long_dir, "the directory of 2 entries does not fit"},
      {"more entries than the directory", many, "the directory of 40 entries does not fit"},
      {"data past the end", beyond, "entry 2 (B.TXT) ends beyond the end of the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(Path("D.vfs"), c.bytes);
    for (const char* cmd : {"list D.vfs", "extract D.vfs"}) {
      const Result r = Run(cmd);
      EXPECT_EQ(r.rc, 1) << cmd;
      EXPECT_NE(r.err.find("D.vfs: damaged archive: " + std::string(c.message)), std::string::npos)
          << r.err;
    }
    // The file manager finds nothing in it either.
    EXPECT_EQ(MRVFILE_Exist(0, (Path("D") + "\\B.TXT").c_str()), 0);
  }
  EXPECT_FALSE(fs::exists(Path("A.TXT")));

  // Names that are no file name are never written outside the directory.
  write_file(Path("D.vfs"), archive({{"../ESCAPE", "x"}}, 32));
  const Result escape = Run("extract D.vfs -C .");
  EXPECT_EQ(escape.rc, 1);
  EXPECT_NE(escape.err.find("the entry name \"../ESCAPE\" is no file name"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "ESCAPE"));

  // Entries shorter than 32 bytes read as the file manager reads them.
  write_file(Path("D.vfs"), archive({{"A.TXT", "hello"}}, 27));
  EXPECT_EQ(Run("list D.vfs").out, "A.TXT                        5\n");
}

TEST_F(MrvvfsTest, UsageErrorsAndHelp) {
  for (const char* args : {"", "create D.vfs", "create D.vfs D E", "list", "list A B", "extract",
                           "extract D.vfs -C", "pack D.vfs D"}) {
    const Result r = Run(args);
    EXPECT_EQ(r.rc, 2) << args;
    EXPECT_NE(r.err.find("usage: mrvvfs create ARCHIVE.vfs FOLDER"), std::string::npos) << args;
  }
  const Result help = Run("--help");
  EXPECT_EQ(help.rc, 0);
  EXPECT_NE(help.out.find("extract ARCHIVE [-C DIR] [NAME...]"), std::string::npos);
  EXPECT_EQ(Run("list NOFILE.vfs").rc, 1);
  EXPECT_EQ(Run("extract NOFILE.vfs").rc, 1);
}

TEST_F(MrvvfsTest, ATitleRunsFromItsArchive) {
  mrvtest::Scenario s;
  s.source("D/MAIN", "DebugMessage(\"main\", 1); Gosub(\"D\\PART\");");
  s.source("D/PART", "DebugMessage(\"part\", 2);");
  ASSERT_EQ(Run("create '" + s.file("D.vfs") + "' '" + s.file("D") + "'").rc, 0);
  fs::remove_all(s.dir() / "D");
  const std::string main = s.file("D") + "\\MAIN.SNA";
  EXPECT_EQ(MRVFILE_Exist(0, main.c_str()), 1);  // the lookup sees archive entries

  ASSERT_TRUE(s.run("D\\MAIN"));
  EXPECT_EQ(s.messages(), mrvtest::Lines{});
  // Both files were entered from the archive and ran.
  const mrvtest::Lines trace = s.trace();
  for (const std::string& line :
       mrvtest::Lines{"1171 @N " + s.dir().string() + "\\D\\MAIN.SNA", "1171 @B main 1",
                      "1171 @N " + s.dir().string() + "\\D\\PART.SNA", "1171 @B part 2"}) {
    EXPECT_NE(std::find(trace.begin(), trace.end(), line), trace.end()) << line;
  }
}

}  // namespace
