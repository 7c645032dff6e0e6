// File access: archive lookup, reads and writes with their dialogs, whole
// files, the name buffer, paths and locking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "fixtures.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "tempdir.h"

namespace {

using fixture::archive;
using mrvtest::DialogLog;
using mrvtest::TempDir;

const char* kCaption = "『Marovine33』ファイルマネージャ(MRVFILE.DLL）";

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

std::string read_all(uint32_t h, uint32_t count) {
  std::string buf(count, '\0');
  EXPECT_EQ(MRVFILE_Read(0, h, buf.data(), count), 1);
  return buf;
}

// Scenario-style path: the temporary directory, then backslashes.
std::string scen(const TempDir& td, const std::string& rest) {
  return td.path().string() + "/" + rest;
}

TEST(FileArchive, EntryIsReadFromArchiveAndDirectoryIsNotTried) {
  TempDir td;
  // The archive's case on disk and in its directory differs from the path's.
  mrvtest::write_file(td.file("data.vfs"),
                      archive({{"first.bin", "0123456789"}, {"a.txt", "hello"}}));
  mrvtest::write_file(td.file("data/B.TXT"), "on disk");
  DialogLog log;

  uint32_t h = MRVFILE_ReadOpen(0, scen(td, "Data\\A.txt").c_str());
  ASSERT_NE(h, 0u);
  // Positioned at the entry; the next member's data is not part of it.
  EXPECT_EQ(read_all(h, 5), "hello");
  EXPECT_EQ(MRVFILE_Close(0, h), 1);
  EXPECT_EQ(MRVFILE_Size(0, scen(td, "DATA\\A.TXT").c_str()), 5u);
  EXPECT_EQ(MRVFILE_Exist(0, scen(td, "DATA\\A.TXT").c_str()), 1);

  auto* block = static_cast<char*>(MRVFILE_ReadBlock(0, scen(td, "DATA\\FIRST.BIN").c_str(), 1));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(MRVTASK_SizeMemory(0, block), 12u);
  EXPECT_EQ(std::string(block, 12), std::string("0123456789\x1A", 12));
  MRVTASK_FreeMemory(0, block);

  // The archive hides the directory of the same name.
  EXPECT_EQ(MRVFILE_Exist(0, scen(td, "DATA\\B.TXT").c_str()), 0);
  EXPECT_EQ(MRVFILE_ReadOpen(0, scen(td, "DATA\\B.TXT").c_str()), 0u);
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 1u);  // only the failed open reports, Exist never does
  EXPECT_EQ(boxes[0].caption, kCaption);
  EXPECT_EQ(boxes[0].text,
            "\"" + upper(scen(td, "DATA\\B.TXT")) + "\"\n0x0002:ファイルが見つかりません。");
  EXPECT_EQ(boxes[0].buttons, "retrycancel");
}

TEST(FileArchive, ShortEntriesAndTruncatedDirectoryTail) {
  TempDir td;
  // 27 bytes copied per entry and a directory that ends right after them.
  std::string a = archive({{"X.TXT", "xy"}, {"Y.TXT", "abc"}});
  a.replace(8, 4, fixture::le32(32 + 27));
  mrvtest::write_file(td.file("D.VFS"), a);
  EXPECT_EQ(MRVFILE_Size(0, scen(td, "D\\Y.TXT").c_str()), 3u);
}

TEST(FileArchive, BrokenArchivesAreRefusedCleanly) {
  const std::string good = archive({{"A.TXT", "hello"}});
  struct Case {
    const char* what;
    std::string bytes;
  };
  auto patched = [&](std::size_t at, const std::string& with) {
    std::string s = good;
    s.replace(at, with.size(), with);
    return s;
  };
  const Case cases[] = {
      {"header shorter than 16 bytes", good.substr(0, 10)},
      {"directory larger than the file", patched(8, fixture::le32(4096))},
      {"more entries than the directory holds", patched(4, fixture::le16(3))},
      {"more than 32 bytes per entry", patched(6, fixture::le16(33))},
      {"entry data past the end", patched(16 + 23, fixture::le32(6))},
      {"entry offset past the end", patched(16 + 19, fixture::le32(0xFFFFFFF0))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir td;
    mrvtest::write_file(td.file("DATA.VFS"), c.bytes);
    DialogLog log("retry");  // a retry would loop: the refusal is final
    EXPECT_EQ(MRVFILE_Exist(0, scen(td, "DATA\\A.TXT").c_str()), 0);
    EXPECT_EQ(MRVFILE_ReadOpen(0, scen(td, "DATA\\A.TXT").c_str()), 0u);
    EXPECT_EQ(MRVFILE_ReadBlock(0, scen(td, "DATA\\A.TXT").c_str(), 1), nullptr);
    auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "\"" + upper(scen(td, "DATA")) +
                                 ".VFS\"\nアーカイブファイルの内容が正しくありません。");
    EXPECT_EQ(boxes[0].buttons, "ok");
  }
}

TEST(FilePlain, EmptyFileAndWholeFileRoundTrip) {
  TempDir td;
  mrvtest::write_file(td.file("empty.sna"), "");
  EXPECT_EQ(MRVFILE_Size(0, td.file("empty.sna").c_str()), 0u);
  auto* block = static_cast<uint8_t*>(MRVFILE_ReadBlock(0, td.file("EMPTY.SNA").c_str(), 1));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(MRVTASK_SizeMemory(0, block), 2u);
  EXPECT_EQ(block[0], 0x1A);
  EXPECT_EQ(block[1], 0x00);
  MRVTASK_FreeMemory(0, block);

  const std::string data("x\0y\x1Az", 5);
  ASSERT_EQ(MRVFILE_WriteBlock(0, td.file("Out.Bin").c_str(), data.data(), 5), 1);
  // Created under the normalised (upper-case) name, found again in any case.
  EXPECT_EQ(mrvtest::read_file(td.file("OUT.BIN")), data);
  EXPECT_FALSE(std::filesystem::exists(td.file("Out.Bin")));
  block = static_cast<uint8_t*>(MRVFILE_ReadBlock(0, td.file("OUT.BIN").c_str(), 0));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(MRVTASK_SizeMemory(0, block), 5u);
  EXPECT_EQ(std::memcmp(block, data.data(), 5), 0);
  MRVTASK_FreeMemory(0, block);

  // A short read at the end of the file is no failure.
  uint32_t h = MRVFILE_ReadOpen(0, td.file("out.bin").c_str());
  ASSERT_NE(h, 0u);
  char buf[16] = {};
  EXPECT_EQ(MRVFILE_Read(0, h, buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf, 5), data);
  MRVFILE_Close(0, h);
}

TEST(FileOpen, FailuresShowNameAndErrorTextAndRetry) {
  TempDir td;
  struct Case {
    std::string path;
    int32_t style;
    const char* text;
  };
  const Case cases[] = {
      {td.file("missing.txt"), MRVFILE_STYLE_READ, "0x0002:ファイルが見つかりません。"},
      {td.file("missing.txt"), MRVFILE_STYLE_READWRITE, "0x0002:ファイルが見つかりません。"},
      {td.file("nodir/new.txt"), MRVFILE_STYLE_CREATE, "0x0003:パスが見つかりません。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    DialogLog log("retry,cancel");
    EXPECT_EQ(MRVFILE_Open(0, c.path.c_str(), c.style), 0u);
    auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 2u);  // Retry tried again, Cancel gave up
    for (const auto& b : boxes) {
      EXPECT_EQ(b.caption, kCaption);
      EXPECT_EQ(b.text, "\"" + upper(c.path) + "\"\n" + c.text);
      EXPECT_EQ(b.buttons, "retrycancel");
    }
  }
}

TEST(FileOpen, DeleteReportsOnce) {
  TempDir td;
  mrvtest::write_file(td.file("gone.txt"), "x");
  DialogLog log("retry,retry");
  EXPECT_EQ(MRVFILE_Delete(0, td.file("GONE.TXT").c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(td.file("gone.txt")));
  EXPECT_EQ(MRVFILE_Delete(0, td.file("gone.txt").c_str()), 0);
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].buttons, "ok");
  EXPECT_EQ(boxes[0].text,
            "\"" + upper(td.file("gone.txt")) + "\"\n0x0002:ファイルが見つかりません。");
}

TEST(FileOpen, NameBufferHolds255BytesAndRefusesLonger) {
  TempDir td;
  // Build a directory chain so that the whole path is exactly 255 bytes.
  std::string dir = td.path().string();
  while (dir.size() + 1 + 100 < 255 - 10) {
    dir += "/" + std::string(100, 'd');
    std::filesystem::create_directory(dir);
  }
  std::string fits = dir + "/" + std::string(255 - dir.size() - 1, 'f');
  ASSERT_EQ(fits.size(), 255u);
  ASSERT_EQ(MRVFILE_WriteBlock(0, fits.c_str(), "ok", 2), 1);
  EXPECT_EQ(MRVFILE_Size(0, fits.c_str()), 2u);

  const std::string longer = fits + "g";
  DialogLog log("retry,cancel");
  EXPECT_EQ(MRVFILE_Exist(0, longer.c_str()), 0);
  EXPECT_EQ(MRVFILE_WriteBlock(0, longer.c_str(), "no", 2), 0);
  EXPECT_FALSE(std::filesystem::exists(longer));
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  // The message shows as much of the name as the buffer holds.
  EXPECT_EQ(boxes[0].text, "\"" + upper(fits) + "\"\n0x00CE:ファイル名が長すぎます。");
}

TEST(FileIo, ReadAndWriteErrorsAskAndCloseOnCancel) {
  DialogLog log("retry,cancel,retry,cancel");
  // /dev/full refuses every byte: a write the disk does not take fails.
  uint32_t h = MRVFILE_WriteOpen(0, "/dev/full");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(MRVFILE_Write(0, h, "abc", 3), 0);
  EXPECT_EQ(MRVFILE_Close(0, h), 0);  // already closed by the cancel

  h = MRVFILE_ReadOpen(0, "/dev/null");
  ASSERT_NE(h, 0u);
  ASSERT_EQ(MRVFILE_Close(0, h), 1);
  char buf[4];
  EXPECT_EQ(MRVFILE_Read(0, h, buf, sizeof buf), 0);  // a handle no longer open

  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].text, "書き込みに失敗しました。");
  EXPECT_EQ(boxes[1].text, "書き込みに失敗しました。");
  EXPECT_EQ(boxes[2].text, "読み込みに失敗しました。");
  EXPECT_EQ(boxes[3].buttons, "retrycancel");
}

TEST(FilePath, SplitAndMerge) {
  struct Case {
    std::string path, dir, name;
  };
  const std::string hyou = fixture::cp932("表");  // trail byte 0x5C, a backslash
  ASSERT_EQ(hyou[1], '\\');
  const Case cases[] = {
      {"C:\\game\\a.sna", "C:\\GAME", "A.SNA"},
      {"a.sna", "", "A.SNA"},
      {"C:\\" + hyou + "\\x.sna", "C:\\" + hyou, "X.SNA"},
      {"dir\\" + hyou, "DIR", hyou},
      {"data/sub\\z", "DATA/SUB", "Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string path = c.path;
    char dir[64], name[64];
    MRVFILE_Sprit(dir, name, path.data());
    EXPECT_EQ(dir, c.dir);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(path, upper(c.path)) << "the path is upper-cased in place";
  }
  char out[64];
  EXPECT_STREQ(MRVFILE_Merge(out, "C:\\game", "a.sna"), "C:\\GAME\\A.SNA");
}

// Names, paths and messages follow code page 932 whatever the country: with
// country 1 the katakana 0xB1 before a backslash is still one character, so
// the path is upper-cased and split by one rule, and the archive of its
// directory is found. Checked with the default country and, in a process of
// its own, with country 1.
TEST(FileCountry, PathsFollowTheCodePageWhateverTheCountry) {
  auto check = [] {
    TempDir td;
    mrvtest::write_file(td.file("K\xB1.vfs"), archive({{"A.TXT", "hello"}}));
    const std::string path = td.path().string() + "/k\xB1\\a.txt";
    auto* block = static_cast<char*>(MRVFILE_ReadBlock(0, path.c_str(), 0));
    bool ok = block != nullptr && std::string(block, 5) == "hello";
    MRVTASK_FreeMemory(0, block);
    std::string whole = "x\xB1\\n\xB1z.txt";
    char dir[64], name[64];
    MRVFILE_Sprit(dir, name, whole.data());
    return ok && std::string(dir) == "X\xB1" && std::string(name) == "N\xB1Z.TXT";
  };
  DialogLog log;
  EXPECT_TRUE(check());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("MRV_COUNTRY", "1", 1);
        std::exit(check() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(log.boxes().empty());
}

TEST(FileLock, ChainedXorMatchesStoredFiles) {
  uint8_t b[3] = {1, 2, 3};
  MRVFILE_LockCode(b, 3, 5);
  // Worked by hand: b2 = 3^5 = 6, b1 = 2^6^5 = 1, b0 = 1^1 = 0.
  EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0, 1, 6}));
  MRVFILE_UnlockCode(b, 3, 5);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{1, 2, 3}));

  uint8_t one = 7;
  MRVFILE_LockCode(&one, 1, 9);
  MRVFILE_LockCode(nullptr, 0, 9);
  EXPECT_EQ(one, 7);

  std::vector<uint8_t> data(1001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37 + 11);
  for (int key = 1; key < 255; key += 23) {
    std::vector<uint8_t> copy = data;
    MRVFILE_LockCode(copy.data(), uint32_t(copy.size()), key);
    EXPECT_NE(copy, data);
    MRVFILE_UnlockCode(copy.data(), uint32_t(copy.size()), key);
    EXPECT_EQ(copy, data) << "key " << key;
  }
}

TEST(FileLock, KeysAvoidZeroAnd255) {
  for (int i = 0; i < 5; ++i) {
    int32_t k = MRVFILE_MakeCode();
    EXPECT_GE(k, 1);
    EXPECT_LE(k, 254);
  }
}

}  // namespace
