// Value files: every record kind written and read back byte for byte, files
// as the original system wrote them, a picture of the drawing library carried
// from one process to the next, skipping, appending, replacing, and the
// refusal of broken records.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "fixtures.h"
#include "korvex.h"
#include "mrvfile.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "tempdir.h"

namespace {

using fixture::chunk;
using fixture::le32;
using fixture::riff;
using mrvtest::DialogLog;
using mrvtest::TempDir;

// Bytes from hexadecimal pairs separated by spaces.
std::string unhex(const char* pairs) {
  std::string out;
  for (const char* p = pairs; *p != 0; p += p[2] == ' ' ? 3 : 2)
    out += char(std::stoi(std::string(p, 2), nullptr, 16));
  return out;
}

// String records as stored: the 16-bit units and the terminator, locked with
// the key (size mod 256, or 255 when that is 0). Worked out by hand: from
// the last byte down to byte 1, each byte is XORed with the key and with the
// locked byte after it, byte 0 only with locked byte 1; so "AB" (41 00 42 00
// 00 00, key 6) gives 05 44 42 06 00 06.
const std::string kStrAB = chunk("STR ", unhex("05 44 42 06 00 06"));
const std::string kStrEmpty = chunk("STR ", unhex("02 02"));                  // key 2
const std::string kStrNew = chunk("STR ", unhex("74 1a 12 7f 77 08 00 08"));  // key 8
const std::string kStrHi = chunk("STR ", unhex("07 6f 69 06 00 06"));         // key 6
// "表示テスト": units 955C 8EA6 8365 8358 8367, key 12.
const std::string kStrKanji = chunk("STR ", unhex("34 68 f1 5b d9 b0 3f 6b e4 8f 00 0c"));
// 127 times "y": 256 bytes, key 255. The odd positions alternate between the
// key and the key XOR 0x79, the even ones between 0 and 0x79; the last three
// bytes hold the terminator.
std::string str_y127() {
  std::string data = "\x86";
  for (int i = 0; i < 63; ++i) data += std::string("\xff\x00\x86\x79", 4);
  return chunk("STR ", data + std::string("\xff\x00\xff", 3));
}

// Number of file descriptors the process holds open.
std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

std::string num_record(uint32_t w1, uint32_t w2) {
  return chunk("NUM ", le32(w1) + le32(w2));
}
const std::string kEnd = chunk("END ", "");

// A picture descriptor of the given size with a recognisable colour word.
std::string descriptor(uint32_t w, uint32_t h, uint32_t data_word = 0xDEADBEEF) {
  std::string d = le32(1) + le32(w) + le32(h);
  for (int i = 3; i < 7; ++i) d += le32(0x100 + i);
  return d + le32(0x7C1F) + le32(data_word) + le32(0x55);
}

class ValueFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx_ = MRVVAL_Create(0);
    ASSERT_NE(ctx_, nullptr);
  }
  void TearDown() override { MRVVAL_Delete(ctx_); }

  VarTable* vars() { return &ctx_->commonVars; }
  FAQ get(int32_t i) {
    FAQ v{};
    EXPECT_EQ(MRVVAL_Get(ctx_, vars(), i, &v), 1);
    return v;
  }
  void set(int32_t i, FAQ v) {
    MRVVAL_Clear(ctx_, vars(), i);
    ASSERT_EQ(MRVVAL_Set(ctx_, vars(), i, &v), 1);
  }
  void set_number(int32_t i, uint32_t w1, uint32_t w2 = 0) {
    FAQ v{};
    v.type = TYPE_NUMBER;
    v.word1 = w1;
    v.word2 = w2;
    set(i, v);
  }
  void set_string(int32_t i, const std::string& cp932) {
    FAQ v{};
    ASSERT_EQ(MRVSTR_SetByte(ctx_, &v, cp932.c_str()), 1);
    set(i, v);
  }
  std::string string_of(int32_t i) {
    FAQ v = get(i);
    EXPECT_EQ(v.type, TYPE_STRING);
    char buf[2100] = {};
    EXPECT_EQ(MRVSTR_GetByte(ctx_, &v, buf), 1);
    return buf;
  }
  void set_block(int32_t i, uint16_t type, const std::string& bytes) {
    void* b = MRVTASK_AllocMemory(0, uint32_t(bytes.size()));
    std::memcpy(b, bytes.data(), bytes.size());
    FAQ v{};
    v.type = type;
    v.word1 = MRV_WORD(b);
    v.word2 = uint32_t(bytes.size());
    set(i, v);
  }
  void set_cell(int32_t i, uint32_t w, uint32_t h, const std::string& pixels) {
    set_block(i, TYPE_CELL, descriptor(w, h));
    void* data = MRVTASK_AllocMemory(0, uint32_t(pixels.size()));
    std::memcpy(data, pixels.data(), pixels.size());
    auto* desc = static_cast<uint32_t*>(MRV_PTR(get(i).word1));
    desc[8] = MRV_WORD(data);
  }
  std::string block_bytes(uint32_t word, uint32_t size) {
    return std::string(static_cast<const char*>(MRV_PTR(word)), size);
  }

  SystemContext* ctx_ = nullptr;
  TempDir td_;
};

TEST_F(ValueFile, NumberNullStringToANewFile) {
  const std::string path = td_.file("SAVE.PVF");
  set_number(0, 42, 500000000);
  MRVVAL_Clear(ctx_, vars(), 1);
  set_string(2, "AB");
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 7, 3), 3);
  EXPECT_EQ(mrvtest::read_file(path),
            riff("PVFG", num_record(42, 500000000) + chunk("NULL", "") + kStrAB + kEnd));
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, path.c_str()), 3);

  set_number(11, 9);
  ASSERT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 10, 0, 3), 3);
  EXPECT_EQ(get(10).type, TYPE_NUMBER);
  EXPECT_EQ(get(10).word1, 42u);
  EXPECT_EQ(get(10).word2, 500000000u);
  EXPECT_EQ(get(11).type, TYPE_NULL);
  EXPECT_EQ(string_of(12), "AB");

  // A record of 256 bytes would give the key 0, which changes nothing: 255.
  const std::string key255 = td_.file("KEY.PVF");
  set_string(3, std::string(127, 'y'));
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, key255.c_str(), vars(), 3, 0, 1), 1);
  EXPECT_EQ(mrvtest::read_file(key255), riff("PVFG", str_y127() + kEnd));
}

TEST_F(ValueFile, EveryKindRoundTripsBitIdentical) {
  const std::string first = td_.file("A.PVF"), second = td_.file("B.PVF");
  set_number(0, 0x80000003, 250000000);  // -3.25
  FAQ r{};
  r.type = TYPE_RECT;
  r.word1 = 10;
  r.word2 = uint32_t(-20);
  r.word3 = 300;
  r.word4 = 400;
  set(1, r);
  set_string(2, fixture::cp932("表示テスト"));
  set_string(3, "");
  set_string(4, std::string(999, 'x'));  // the longest string: a 2000-byte record
  set_cell(5, 3, 2, "abcdef");
  set_block(6, TYPE_MEMORY, std::string("\0\1\2\3", 4));
  FAQ p{};
  p.type = TYPE_POINTER;
  p.word2 = 8;
  set(7, p);  // no record of its own: NULL
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, first.c_str(), vars(), 0, 0, 8), 8);

  const std::string bytes = mrvtest::read_file(first);
  // A double-byte character is one unit, lead byte x 256 + trail byte.
  EXPECT_NE(bytes.find(kStrKanji), std::string::npos);
  EXPECT_NE(bytes.find(kStrEmpty), std::string::npos) << "an empty string is a record of size 2";
  EXPECT_NE(bytes.find("CELL" + le32(46) + descriptor(3, 2).substr(0, 32)), std::string::npos)
      << "a picture record: size w x h + 40, then the descriptor as held in memory";
  EXPECT_NE(bytes.find(chunk("RECT", le32(10) + le32(uint32_t(-20)) + le32(300) + le32(400)) +
                       "STR " + le32(12)),
            std::string::npos)
      << "a rectangle record: x, y, width, height";
  EXPECT_NE(bytes.find(chunk("MEM ", std::string("\0\1\2\3", 4)) + chunk("NULL", "") + kEnd),
            std::string::npos)
      << "a memory record holds the block's bytes; a pointer has no record of its own";

  ASSERT_EQ(MRVFILE_ReadFAQ(ctx_, first.c_str(), vars(), 100, 0, 8), 8);
  EXPECT_EQ(get(100).word1, 0x80000003u);
  EXPECT_EQ(get(101).word2, uint32_t(-20));
  EXPECT_EQ(string_of(102), fixture::cp932("表示テスト"));
  EXPECT_EQ(string_of(103), "");
  EXPECT_EQ(string_of(104), std::string(999, 'x'));
  const FAQ cell = get(105);
  ASSERT_EQ(cell.type, TYPE_CELL);
  EXPECT_NE(cell.word1, get(5).word1);
  const auto* desc = static_cast<const uint32_t*>(MRV_PTR(cell.word1));
  EXPECT_EQ(desc[1], 3u);
  EXPECT_EQ(desc[7], 0x7C1Fu);
  EXPECT_EQ(block_bytes(desc[8], 6), "abcdef") << "word 9 is the new data block";
  EXPECT_EQ(get(106).type, TYPE_MEMORY);
  EXPECT_EQ(get(106).word2, 4u);
  EXPECT_EQ(block_bytes(get(106).word1, 4), std::string("\0\1\2\3", 4));
  EXPECT_EQ(get(107).type, TYPE_NULL);

  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, second.c_str(), vars(), 100, -1, 8), 8);
  // Only word 9 of the descriptor (an address, meaningless on disk) differs.
  std::string a = bytes, b = mrvtest::read_file(second);
  const std::size_t word9 = a.find("CELL") + 8 + 32;
  ASSERT_EQ(a.size(), b.size());
  a.replace(word9, 4, "....");
  b.replace(word9, 4, "....");
  EXPECT_EQ(a, b);
}

TEST_F(ValueFile, FileOfTheOriginalSystemWithAnUnknownRecord) {
  const std::string path = td_.file("orig.pvf");
  mrvtest::write_file(path, riff("PVFG", num_record(7, 0) + chunk("CELL", descriptor(2, 1) + "pq") +
                                             chunk("ABCD", "xyz") + chunk("MEM ", "mem") + kEnd));
  for (int i = 0; i < 4; ++i) set_number(i, 1000 + i);
  DialogLog log;
  EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 0, 0, 10), 3);
  EXPECT_EQ(get(0).word1, 7u);
  ASSERT_EQ(get(1).type, TYPE_CELL);
  const auto* desc = static_cast<const uint32_t*>(MRV_PTR(get(1).word1));
  EXPECT_EQ(block_bytes(desc[8], 2), "pq");
  EXPECT_EQ(MRVTASK_SizeMemory(0, MRV_PTR(desc[8])), 2u) << "one byte per pixel, as in the file";
  EXPECT_EQ(korvex_cell_pixel(get(1).word1, 0, 0), -1)
      << "the drawing library does not read 16-bit pixels past that block";
  EXPECT_EQ(get(2).type, TYPE_NULL) << "the unknown record leaves its variable empty";
  EXPECT_EQ(get(3).type, TYPE_MEMORY);
  EXPECT_EQ(block_bytes(get(3).word1, 3), "mem");

  // Block numbers count from the start of the file, skipped records included.
  EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 20, 1, 2), 1);
  EXPECT_EQ(get(20).type, TYPE_CELL);
  EXPECT_EQ(get(21).type, TYPE_NULL);
  auto boxes = log.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& b : boxes) {
    EXPECT_EQ(b.text, "未定義のデータ形式です。(Block=2, Name=ABCD)");
    EXPECT_EQ(b.icon, "warning");
    EXPECT_EQ(b.caption, "『Marovine33』ファイルマネージャ(MRVFILE.DLL）");
  }
}

// A pixel of the test picture: every pixel differs from its neighbours in
// both bytes, so a picture cut to one byte per pixel cannot pass for it.
uint16_t test_pixel(int32_t x, int32_t y) {
  return uint16_t((x * 0x29 + y * 0x3B1 + x * y * 7) & 0x7FFF);
}
constexpr int32_t kPictureSide = 48;  // the ball of the default title
constexpr char kPictureFile[] = "MRV_TEST_PICTURE_FILE";
constexpr char kPictureReport[] = "MRV_TEST_PICTURE_REPORT";

// Saves a picture cell of the drawing library, then runs this program again
// on the check below, which loads it in a fresh process and counts the
// pixels that came back as they were drawn.
TEST_F(ValueFile, APictureSavedInOneProcessLoadsPixelForPixelInTheNext) {
  const uint32_t cell = korvex_cell_create(kPictureSide, kPictureSide, 0x7C1F);
  ASSERT_NE(cell, 0u);
  const auto* desc = static_cast<const uint32_t*>(MRV_PTR(cell));
  auto* px = static_cast<uint16_t*>(MRV_PTR(desc[8]));
  for (int32_t y = 0; y < kPictureSide; ++y)
    for (int32_t x = 0; x < kPictureSide; ++x) px[y * kPictureSide + x] = test_pixel(x, y);
  FAQ v{};
  v.type = TYPE_CELL;
  v.word1 = cell;
  set(0, v);
  const std::string path = td_.file("BALL.PVF"), report = td_.file("report.txt");
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 0, 1), 1);
  const std::string bytes = mrvtest::read_file(path);
  const uint32_t size = kPictureSide * kPictureSide * 2 + 40;
  ASSERT_EQ(bytes.size(), 12 + 8 + size + 8u);
  EXPECT_EQ(bytes.substr(12, 8), "CELL" + le32(size)) << "two bytes a pixel";
  EXPECT_EQ(bytes.substr(12 + 8 + 40 + 2 * (kPictureSide + 1), 2), fixture::le16(test_pixel(1, 1)))
      << "pixels are stored little-endian, row by row";

  setenv(kPictureFile, path.c_str(), 1);
  setenv(kPictureReport, report.c_str(), 1);
  std::string exe = "/proc/self/exe";
  std::string filter = "--gtest_filter=ValueFileInAFreshProcess.DISABLED_LoadsThePicture";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ);
  unsetenv(kPictureFile);
  unsetenv(kPictureReport);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(mrvtest::read_file(report), "48 x 48, key 31775: 2304 of 2304 pixels as drawn");
}

// The loading half of the test above; it runs only when that test starts it.
TEST(ValueFileInAFreshProcess, DISABLED_LoadsThePicture) {
  const char* path = std::getenv(kPictureFile);
  const char* report = std::getenv(kPictureReport);
  ASSERT_TRUE(path != nullptr && report != nullptr);
  SystemContext* ctx = MRVVAL_Create(0);
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(MRVFILE_ReadFAQ(ctx, path, &ctx->commonVars, 0, 0, 1), 1);
  FAQ v{};
  ASSERT_EQ(MRVVAL_Get(ctx, &ctx->commonVars, 0, &v), 1);
  ASSERT_EQ(v.type, TYPE_CELL);
  const auto* desc = static_cast<const uint32_t*>(MRV_PTR(v.word1));
  int32_t same = 0;
  for (int32_t y = 0; y < kPictureSide; ++y)
    for (int32_t x = 0; x < kPictureSide; ++x)
      same += korvex_cell_pixel(v.word1, x, y) == test_pixel(x, y);
  const std::string text = std::to_string(desc[1]) + " x " + std::to_string(desc[2]) + ", key " +
                           std::to_string(desc[7]) + ": " + std::to_string(same) + " of " +
                           std::to_string(kPictureSide * kPictureSide) + " pixels as drawn";
  mrvtest::write_file(report, text);
  MRVVAL_Delete(ctx);
}

TEST_F(ValueFile, SkippingAndShortFiles) {
  const std::string path = td_.file("three.pvf");
  mrvtest::write_file(path,
                      riff("PVFG", num_record(1, 0) + num_record(2, 0) + num_record(3, 0) + kEnd));
  set_number(50, 77);
  struct Case {
    int32_t skip, count, result;
  };
  const Case cases[] = {{0, 10, 3}, {1, 1, 1}, {3, 1, 0}, {5, 1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.skip);
    EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 50, c.skip, c.count), c.result);
  }
  EXPECT_EQ(get(50).word1, 2u) << "the failed reads changed nothing";

  // A file that ends before "END " counts and reads as 0.
  const std::string cut = td_.file("cut.pvf");
  mrvtest::write_file(cut, riff("PVFG", num_record(1, 0) + num_record(2, 0)));
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, cut.c_str()), 0);
  EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, cut.c_str(), vars(), 60, 0, 5), 0);
  EXPECT_EQ(get(60).word1, 1u) << "values read before the end stay";
}

TEST_F(ValueFile, AppendingWithANegativePosition) {
  const std::string path = td_.file("LOG.PVF");
  for (int i = 0; i < 3; ++i) set_number(i, uint32_t(i + 1));
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 0, 3), 3);
  set_string(3, "new");
  set_number(4, 5);
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 3, -1, 2), 2);
  EXPECT_EQ(mrvtest::read_file(path),
            riff("PVFG", num_record(1, 0) + num_record(2, 0) + num_record(3, 0) + kStrNew +
                             num_record(5, 0) + kEnd));
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, path.c_str()), 5);
}

TEST_F(ValueFile, WritingLooksOnDiskNotIntoTheArchive) {
  // An archive SAVE.VFS beside the directory SAVE: reading would look only
  // into the archive, but value files are written in the directory itself.
  mrvtest::write_file(td_.file("SAVE.VFS"), fixture::archive({{"B.PVF", "in the archive"}}));
  mrvtest::write_file(td_.file("SAVE/A.PVF"), riff("PVFG", num_record(1, 0) + kEnd));
  set_number(0, 2);
  DialogLog log;
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, td_.file("SAVE\\A.PVF").c_str(), vars(), 0, -1, 1), 1);
  EXPECT_EQ(mrvtest::read_file(td_.file("SAVE/A.PVF")),
            riff("PVFG", num_record(1, 0) + num_record(2, 0) + kEnd))
      << "the file on disk is appended to, not replaced";
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, td_.file("SAVE\\B.PVF").c_str(), vars(), 0, -1, 1), 1);
  EXPECT_EQ(mrvtest::read_file(td_.file("SAVE/B.PVF")), riff("PVFG", num_record(2, 0) + kEnd));
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(ValueFile, ReplacingAtAPositionKeepsTheRecordsAfterIt) {
  const std::string path = td_.file("slots.pvf");
  const std::string before = riff("PVFG", num_record(1, 0) + kStrHi + num_record(3, 0) + kEnd);
  mrvtest::write_file(path, before);

  set_string(0, "a much longer text than before");
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 1, 1), 1);
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, path.c_str()), 3);
  ASSERT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 10, 0, 3), 3);
  EXPECT_EQ(get(10).word1, 1u);
  EXPECT_EQ(string_of(11), "a much longer text than before");
  EXPECT_EQ(get(12).word1, 3u) << "the record after the replaced one survives";

  // Shrinking again: the following record still reads, whatever is left over
  // behind the new end.
  set_string(0, "x");
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 1, 1), 1);
  ASSERT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 10, 0, 5), 3);
  EXPECT_EQ(string_of(11), "x");
  EXPECT_EQ(get(12).word1, 3u);
  const std::string now = mrvtest::read_file(path);
  EXPECT_EQ(now.substr(4, 4), le32(uint32_t(now.size() - 8)));

  // Replacing past the last record appends; a position beyond that fails
  // and leaves the file as it was.
  set_number(0, 4);
  set_number(1, 5);
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 2, 2), 2);
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, path.c_str()), 4);
  const std::string kept = mrvtest::read_file(path);
  EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 6, 1), 0);
  EXPECT_EQ(mrvtest::read_file(path), kept);
}

TEST_F(ValueFile, BrokenRecordsAreRefusedAndEarlierValuesStay) {
  struct Case {
    const char* what;
    std::string record;
    const char* name;
  };
  const std::string unterminated = unhex("07 66 62 04");  // "ab" locked with the key 4
  const Case cases[] = {
      {"size past the end", "MEM " + le32(100) + "abc", "MEM "},
      {"cell shorter than its descriptor", chunk("CELL", std::string(30, '\0')), "CELL"},
      {"cell data not width x height", chunk("CELL", descriptor(2, 2) + "abc"), "CELL"},
      {"cell data between one and two bytes a pixel",
       chunk("CELL", descriptor(2, 2) + std::string(6, 'p')), "CELL"},
      {"cell data past two bytes a pixel", chunk("CELL", descriptor(2, 2) + std::string(9, 'p')),
       "CELL"},
      {"empty picture with data", chunk("CELL", descriptor(0, 5) + "pq"), "CELL"},
      // 2 x w x h wraps around 64 bits to 65536.
      {"cell of two bytes a pixel overflowing 64 bits",
       chunk("CELL", descriptor(0x80008000, 0xFFFF0001) + std::string(65536, 'p')), "CELL"},
      {"cell size overflowing 32 bits",
       chunk("CELL", descriptor(0x10000, 0x10000) + std::string(4, 'p')), "CELL"},
      {"string over 2000 bytes", chunk("STR ", std::string(2002, '\0')), "STR "},
      {"string of odd size", chunk("STR ", std::string(5, '\0')), "STR "},
      {"empty string record", chunk("STR ", ""), "STR "},
      {"string without terminator", chunk("STR ", unterminated), "STR "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir td;
    const std::string path = td.file("bad.pvf");
    mrvtest::write_file(path, riff("PVFG", num_record(9, 0) + c.record + num_record(8, 0) + kEnd));
    set_number(0, 1);
    set_block(1, TYPE_MEMORY, "old");
    MRVVAL_Clear(ctx_, vars(), 2);
    const std::size_t blocks = plat::mem_live_blocks();
    DialogLog log;
    EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 0, 0, 3), 0);
    EXPECT_EQ(get(0).word1, 9u);
    ASSERT_EQ(get(1).type, TYPE_MEMORY) << "the broken record's variable keeps its value";
    EXPECT_EQ(block_bytes(get(1).word1, 3), "old");
    EXPECT_EQ(get(2).type, TYPE_NULL);
    EXPECT_EQ(plat::mem_live_blocks(), blocks) << "no block of the broken record is left";
    auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    std::string upper_path = path;
    for (char& ch : upper_path) ch = char(toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(boxes[0].text,
              "\"" + upper_path +
                  "\"\n値ファイルの内容が正しくありません。(Block=1, Name=" + c.name + ")");
    // The file is closed again: it can be deleted.
    EXPECT_EQ(MRVFILE_Delete(0, path.c_str()), 1);
  }
}

TEST_F(ValueFile, WritingRefusesAnEndRecordThatClaimsMoreThanTheFileHolds) {
  // The "END " record is read back when records are written before it; its
  // size is checked against the file instead of being allocated.
  struct Case {
    const char* what;
    uint32_t end_size;
    int32_t position, block;
  };
  const Case cases[] = {
      {"appending, a few bytes past the end", 100, -1, 0},
      {"appending, near 4 GiB", 0xFFFFFFFF, -1, 0},
      {"appending, near 2 GiB", 0x7FFFFFF0, -1, 0},
      {"replacing record 0", 0xFFFFFFFF, 0, 1},
  };
  set_number(0, 5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir td;
    const std::string path = td.file("end.pvf");
    const std::string bytes = c.position < 0
                                  ? riff("PVFG", "END " + le32(c.end_size))
                                  : riff("PVFG", num_record(1, 0) + "END " + le32(c.end_size));
    mrvtest::write_file(path, bytes);
    const std::size_t fds = open_fds();
    DialogLog log;
    EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, c.position, 1), 0);
    EXPECT_EQ(mrvtest::read_file(path), bytes) << "nothing is written";
    EXPECT_EQ(open_fds(), fds);
    auto boxes = log.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("値ファイルの内容が正しくありません。(Block=" +
                                 std::to_string(c.block) + ", Name=END )"),
              std::string::npos)
        << boxes[0].text;
  }
}

TEST_F(ValueFile, RecordTooLargeForMemoryClosesTheFile) {
  // Records whose data exceeds the memory region: the file is sparse, so the
  // size checks pass and the allocation is what fails.
  constexpr uint32_t kHuge = 0x60000000;
  struct Case {
    const char* what;
    std::string header;
  };
  const Case cases[] = {
      {"memory block", "MEM " + le32(kHuge)},
      {"picture data", "CELL" + le32(kHuge + 40) + descriptor(0x6000, 0x10000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir td;
    const std::string path = td.file("big.pvf");
    mrvtest::write_file(path, riff("PVFG", num_record(9, 0) + c.header));
    std::filesystem::resize_file(path, 12 + 16 + 8 + uint64_t(kHuge));
    const std::size_t fds = open_fds();
    DialogLog log;  // the memory box takes Cancel
    EXPECT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 0, 0, 2), 0);
    EXPECT_EQ(get(0).word1, 9u);
    EXPECT_EQ(log.boxes().size(), 1u);
    EXPECT_EQ(open_fds(), fds) << "the value file is closed again";
  }
}

TEST_F(ValueFile, WritingNeverDamagesWhatCannotBeWritten) {
  const std::string path = td_.file("keep.pvf");
  const std::string original = riff("PVFG", num_record(1, 0) + kEnd);
  mrvtest::write_file(path, original);
  DialogLog log;

  // A memory value whose block does not exist is refused before the file is
  // touched.
  FAQ bad{};
  bad.type = TYPE_MEMORY;
  bad.word1 = 0x1234;
  bad.word2 = 16;
  MRVVAL_Clear(ctx_, vars(), 0);
  MRVVAL_Set(ctx_, vars(), 0, &bad);
  EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, -1, 1), 0);
  EXPECT_EQ(mrvtest::read_file(path), original);
  MRVVAL_NULL(ctx_, vars(), 0);

  // A file that is no value file is not overwritten.
  const std::string text = td_.file("notes.txt");
  mrvtest::write_file(text, "just text, keep me");
  set_number(0, 2);
  EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, text.c_str(), vars(), 0, 0, 1), 0);
  EXPECT_EQ(mrvtest::read_file(text), "just text, keep me");
  EXPECT_EQ(log.boxes().size(), 2u);
}

// Makes the disk refuse writes past `bytes` in this process (as a full disk
// would) until the end of the scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = old_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

TEST_F(ValueFile, ARefusedWriteReportsAndKeepsTheRecordsThatWereThere) {
  const std::string path = td_.file("FULL.PVF");
  set_number(0, 7);
  ASSERT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 0, 0, 1), 1);
  const std::string before = mrvtest::read_file(path);

  set_string(1, std::string(900, 'z'));
  DialogLog log;  // no answers: the retry box takes Cancel
  {
    FileSizeLimit limit(before.size() + 600);  // room for the dialog log, not the record
    EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, path.c_str(), vars(), 1, -1, 1), 0);
  }
  const auto boxes = log.boxes();
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes[0].text, "書き込みに失敗しました。");
  EXPECT_EQ(boxes[0].buttons, "retrycancel");

  // The record written before is still there and still reads.
  EXPECT_EQ(MRVFILE_CountFAQ(ctx_, path.c_str()), 1);
  set_number(20, 0);
  ASSERT_EQ(MRVFILE_ReadFAQ(ctx_, path.c_str(), vars(), 20, 0, 1), 1);
  EXPECT_EQ(get(20).word1, 7u);

  // A new file that the disk refuses is not left behind half written.
  const std::string fresh = td_.file("NEW.PVF");
  {
    FileSizeLimit limit(600);
    EXPECT_EQ(MRVFILE_WriteFAQ(ctx_, fresh.c_str(), vars(), 1, 0, 1), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
}

}  // namespace
