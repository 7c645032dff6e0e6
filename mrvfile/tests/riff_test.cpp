// RIFF chunk files: opening with the two refusals, the header, chunk headers
// and the search.
#include <gtest/gtest.h>

#include <string>

#include "dialog_log.h"
#include "fixtures.h"
#include "mrvfile.h"
#include "platform/file.h"
#include "tempdir.h"

namespace {

using fixture::chunk;
using fixture::le32;
using fixture::riff;
using mrvtest::DialogLog;
using mrvtest::TempDir;

TEST(Riff, WrongFilesAreRefusedWithThePathAsGiven) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* text;
  };
  const char* kNotRiff = "指定されたファイルは RIFF 形式ファイルではありません。";
  const char* kOtherForm = "指定されたファイルは種類が一致しません。";
  const Case cases[] = {
      {"big-endian RIFX", "RIFX" + le32(4) + "PVFG", kNotRiff},
      {"shorter than the tag", "RIF", kNotRiff},
      {"empty", "", kNotRiff},
      {"form cut short", "RIFF" + le32(4) + "PV", kOtherForm},
      {"other form", riff("SNB ", ""), kOtherForm},
      {"form differs in case", riff("pvfg", ""), kOtherForm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir td;
    mrvtest::write_file(td.file("v.dat"), c.bytes);
    DialogLog log;
    EXPECT_EQ(MRVFILE_OpenRIFF(0, td.file("v.dat").c_str(), "PVFG"), 0u);
    auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    // Not upper-cased: the caller's own spelling.
    EXPECT_EQ(boxes[0].text, "\"" + td.file("v.dat") + "\"\n" + c.text);
    EXPECT_EQ(boxes[0].buttons, "ok");
    // The refused file was closed again: it can be deleted and recreated.
    EXPECT_EQ(MRVFILE_Delete(0, td.file("v.dat").c_str()), 1);
  }
}

TEST(Riff, OpenOnAMissingFileAsksToRetry) {
  TempDir td;
  DialogLog log("retry,cancel");
  EXPECT_EQ(MRVFILE_OpenRIFF(0, td.file("none.pvf").c_str(), "PVFG"), 0u);
  EXPECT_EQ(log.boxes().size(), 2u);
}

TEST(Riff, SearchFindsChunksInAnyOrderWithoutPadding) {
  TempDir td;
  // "ODD " has 3 data bytes; the next chunk follows directly.
  mrvtest::write_file(
      td.file("c.snb"),
      riff("SNB ", chunk("ODD ", "abc") + chunk("INFO", "12345678") + chunk("CODE", "")));
  DialogLog log;
  uint32_t h = MRVFILE_OpenRIFF(0, td.file("C.SNB").c_str(), "SNB ");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::file_seek(h, 0, 1), 12);

  uint32_t size = 99;
  ASSERT_EQ(MRVFILE_SearchChunk(0, h, "INFO", &size), 1);
  EXPECT_EQ(size, 8u);
  char buf[9] = {};
  ASSERT_EQ(MRVFILE_Read(0, h, buf, 8), 1);
  EXPECT_STREQ(buf, "12345678");

  ASSERT_EQ(MRVFILE_SearchChunk(0, h, "ODD ", &size), 1);
  EXPECT_EQ(size, 3u);
  ASSERT_EQ(MRVFILE_SearchChunk(0, h, "CODE", &size), 1);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(MRVFILE_SearchChunk(0, h, "MISS", &size), 0);
  EXPECT_EQ(MRVFILE_SearchChunk(0, h, "code", &size), 0);

  // At the end of the file a chunk header cannot be read.
  plat::file_seek(h, 0, 2);
  char id[5] = "xxxx";
  EXPECT_EQ(MRVFILE_GetChunk(0, h, id, &size), 0);
  MRVFILE_Close(0, h);
  EXPECT_TRUE(log.boxes().empty()) << "a missing chunk is not reported";
}

TEST(Riff, MakeRiffWritesTheHeaderForThePresentSize) {
  TempDir td;
  const std::string path = td.file("NEW.PVF");
  uint32_t h = MRVFILE_WriteOpen(0, path.c_str());
  ASSERT_NE(h, 0u);
  ASSERT_EQ(plat::file_seek(h, 12, 0), 12);
  ASSERT_EQ(MRVFILE_SetChunk(0, h, "DATA", 80), 1);
  ASSERT_EQ(MRVFILE_Write(0, h, std::string(80, 'z').data(), 80), 1);
  ASSERT_EQ(MRVFILE_MakeRIFF(0, h, "PVFG"), 1);
  EXPECT_EQ(plat::file_seek(h, 0, 1), 100) << "the position is kept";
  MRVFILE_Close(0, h);
  EXPECT_EQ(mrvtest::read_file(path), riff("PVFG", chunk("DATA", std::string(80, 'z'))));
  EXPECT_EQ(mrvtest::read_file(path).substr(4, 4), le32(92));

  // A chunk written and read back through the chunk functions.
  h = MRVFILE_OpenRIFF(0, path.c_str(), "PVFG");
  ASSERT_NE(h, 0u);
  char id[5];
  uint32_t size = 0;
  ASSERT_EQ(MRVFILE_GetChunk(0, h, id, &size), 1);
  EXPECT_STREQ(id, "DATA");
  EXPECT_EQ(size, 80u);
  MRVFILE_Close(0, h);
}

// A failed MakeRIFF has closed the handle, as Read and Write do: the caller
// never closes it twice.
TEST(Riff, MakeRiffThatFailsHasClosedTheHandle) {
  TempDir td;
  const std::string path = td.file("RO.PVF");
  mrvtest::write_file(path, riff("PVFG", ""));
  const uint32_t h = MRVFILE_ReadOpen(0, path.c_str());  // the header write is refused
  ASSERT_NE(h, 0u);
  DialogLog log;  // the write error box takes Cancel
  EXPECT_EQ(MRVFILE_MakeRIFF(0, h, "PVFG"), 0);
  EXPECT_EQ(MRVFILE_Close(0, h), 0) << "the handle is closed already";
  EXPECT_EQ(log.boxes().size(), 1u);
}

}  // namespace
