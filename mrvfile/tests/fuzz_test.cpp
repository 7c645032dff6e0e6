// Randomized robustness of everything the file manager reads from a user's
// disk: archives, RIFF chunk files and value files. Small valid files are
// built here and mutated at random (seeded, so every failure reproduces);
// each mutant must give a success or a clean failure with the library's own
// message, and leave no file open and no memory block behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "fixtures.h"
#include "fuzzing.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "tempdir.h"

namespace {

using mrvtest::generator;
using mrvtest::open_fds;

using fixture::archive;
using fixture::chunk;
using fixture::le32;
using fixture::riff;
using mrvtest::DialogLog;
using mrvtest::TempDir;

constexpr int kIterations = 1000;

const std::string kCaption = "『Marovine33』ファイルマネージャ(MRVFILE.DLL）";

// Values that sizes and counts are set to: the edges of the field types and
// the sizes around the file's own.
std::vector<uint32_t> edge_values(std::size_t file_size) {
  const auto n = uint32_t(file_size);
  return {0,          1,          2,      7,      8,       12,         16,         31,
          32,         33,         39,     40,     41,      0x7F,       0x80,       0xFF,
          0x100,      0x7FFF,     0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF8,
          0xFFFFFFFE, 0xFFFFFFFF, n,      n - 8,  n - 12,  n - 16,     n + 1,      n / 2};
}

// One to four random edits of `bytes`: flipped or replaced bytes, truncation,
// inserted or removed runs, 16- or 32-bit fields set to edge values.
std::string mutate(std::string bytes, std::mt19937& rng) {
  auto pick = [&rng](std::size_t n) { return std::size_t(rng() % (n == 0 ? 1 : n)); };
  const int edits = 1 + int(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    switch (rng() % 7) {
      case 0:  // flip one bit
        if (!bytes.empty()) bytes[pick(bytes.size())] ^= char(1u << (rng() % 8));
        break;
      case 1:  // replace a byte
        if (!bytes.empty()) bytes[pick(bytes.size())] = char(rng());
        break;
      case 2:  // truncate
        bytes.resize(pick(bytes.size() + 1));
        break;
      case 3: {  // insert a run of random bytes
        std::string run(1 + pick(12), '\0');
        for (char& c : run) c = char(rng());
        bytes.insert(pick(bytes.size() + 1), run);
        break;
      }
      case 4: {  // remove a run
        if (bytes.empty()) break;
        const std::size_t at = pick(bytes.size());
        bytes.erase(at, 1 + pick(std::min<std::size_t>(12, bytes.size() - at)));
        break;
      }
      case 5:    // a 32-bit field (sizes, offsets) set to an edge value
      case 6: {  // or a 16-bit one (archive counts), mostly on a field boundary
        const bool wide = rng() % 2 == 0;
        const std::size_t width = wide ? 4 : 2;
        if (bytes.size() < width) break;
        std::size_t at = pick(bytes.size() - width + 1);
        if (rng() % 4 != 0) at -= at % width;
        const auto values = edge_values(bytes.size());
        const uint32_t v = values[pick(values.size())];
        const std::string field = wide ? le32(v) : fixture::le16(uint16_t(v));
        bytes.replace(at, width, field);
        break;
      }
    }
  }
  return bytes;
}

// What every fuzzed call must leave as it found it.
struct Baseline {
  std::size_t fds = open_fds();
  std::size_t blocks = plat::mem_live_blocks();
};

// Every box must be this library's, naming a file in quotes (the value
// file's warning about an unknown record kind is the one box without one).
void expect_own_boxes(const DialogLog& log, const std::string& context) {
  for (const auto& b : log.boxes()) {
    EXPECT_EQ(b.caption, kCaption) << context;
    const bool warning = b.text.rfind("未定義のデータ形式です。", 0) == 0;
    EXPECT_TRUE(warning || (b.text.size() > 1 && b.text[0] == '"')) << context << ": " << b.text;
  }
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

// Reads the member B.BIN of the archive `bytes` every way there is.
void check_archive(const TempDir& td, const std::string& bytes, const std::string& context) {
  const std::string member = td.path().string() + "\\D\\B.BIN";
  mrvtest::write_file(td.file("D.VFS"), bytes);
  Baseline before;
  {
    DialogLog log;
    const int32_t exists = MRVFILE_Exist(0, member.c_str());
    EXPECT_TRUE(log.boxes().empty()) << context;  // Exist never reports
    const uint32_t size = MRVFILE_Size(0, member.c_str());

    const uint32_t h = MRVFILE_ReadOpen(0, member.c_str());
    EXPECT_EQ(h != 0, exists == 1) << context;
    if (h != 0) {
      std::string buf(std::min<uint32_t>(size, 64), '\0');
      EXPECT_EQ(MRVFILE_Read(0, h, buf.data(), uint32_t(buf.size())), 1) << context;
      EXPECT_EQ(MRVFILE_Close(0, h), 1) << context;
    }

    auto* block = static_cast<char*>(MRVFILE_ReadBlock(0, member.c_str(), 1));
    EXPECT_EQ(block != nullptr, exists == 1) << context;
    if (block != nullptr) {
      // The entry's data, taken from the archive itself, and the end mark.
      EXPECT_EQ(MRVTASK_SizeMemory(0, block), size + 2) << context;
      EXPECT_NE(bytes.find(std::string(block, size)), std::string::npos) << context;
      EXPECT_EQ(std::string(block + size, 2), std::string("\x1A\0", 2)) << context;
      MRVTASK_FreeMemory(0, block);
    }
    expect_own_boxes(log, context);
  }
  EXPECT_EQ(open_fds(), before.fds) << context;
  EXPECT_EQ(plat::mem_live_blocks(), before.blocks) << context;
}

TEST(FileFuzz, MutatedArchives) {
  TempDir td;
  // Cases the random runs found, kept as they were.
  const std::string regressions[] = {
      // One entry of which no byte is copied: the directory is empty.
      "VFS " + fixture::le16(1) + fixture::le16(0) + le32(0) + le32(0),
  };
  for (const std::string& bytes : regressions) check_archive(td, bytes, "regression " + hex(bytes));

  // A short member between two others, entries of 27 and of 32 copied bytes.
  const std::vector<std::string> seeds = {
      archive({{"A.TXT", "hello"}, {"B.BIN", std::string("\x01\x02\x1A\x00z", 5)}, {"C", ""}}),
      archive({{"B.BIN", std::string(40, 'b')}, {"LONGER_NAME_18CHAR", "q"}}, 32),
      archive({{"B.BIN", "x"}}, 23),
  };
  std::mt19937 rng = generator(20240601);
  for (int it = 0; it < kIterations; ++it) {
    const std::string bytes = mutate(seeds[it % seeds.size()], rng);
    check_archive(td, bytes, "iteration " + std::to_string(it) + ": " + hex(bytes));
  }
}

TEST(FileFuzz, MutatedRiffFiles) {
  TempDir td;
  const std::string path = td.file("R.BIN");
  const std::vector<std::string> seeds = {
      riff("SNB ", chunk("HEAD", std::string(12, 'h')) + chunk("ODD ", "abc") +
                       chunk("CODE", std::string(20, 'c'))),
      riff("SNB ", chunk("CODE", "")),
      riff("SNB ", ""),
  };
  const char* wanted[] = {"CODE", "HEAD", "ODD ", "NONE"};
  std::mt19937 rng = generator(77);
  for (int it = 0; it < kIterations; ++it) {
    const std::string bytes = mutate(seeds[it % seeds.size()], rng);
    mrvtest::write_file(path, bytes);
    const std::string context = "iteration " + std::to_string(it) + ": " + hex(bytes);
    Baseline before;
    {
      DialogLog log;
      const uint32_t h = MRVFILE_OpenRIFF(0, path.c_str(), "SNB ");
      const bool riff_form = bytes.size() >= 12 && bytes.compare(0, 4, "RIFF") == 0 &&
                             bytes.compare(8, 4, "SNB ") == 0;
      EXPECT_EQ(h != 0, riff_form) << context;
      if (h != 0) {
        // Chunk headers read one after another end at the end of the file.
        char id[5];
        uint32_t size = 0;
        std::size_t headers = 0;
        while (headers <= bytes.size() / 8 && MRVFILE_GetChunk(0, h, id, &size) == 1) ++headers;
        EXPECT_LE(headers, (bytes.size() - 12) / 8) << context;
        for (const char* want : wanted) {
          // Found only where the file holds that identifier.
          if (MRVFILE_SearchChunk(0, h, want, &size) == 1) {
            EXPECT_NE(bytes.find(want, 12), std::string::npos) << context;
          }
        }
        EXPECT_EQ(MRVFILE_Close(0, h), 1) << context;
      }
      expect_own_boxes(log, context);
    }
    EXPECT_EQ(open_fds(), before.fds) << context;
  }
}

// A value file of every record kind, built as the system writes it.
std::string value_file() {
  std::string str = fixture::le16('A') + fixture::le16(0x3042) + fixture::le16(0);
  MRVFILE_LockCode(str.data(), uint32_t(str.size()), int32_t(str.size()));
  std::string cell = le32(1) + le32(2) + le32(3);
  for (int i = 3; i < 10; ++i) cell += le32(0);
  cell += "abcdef";
  return riff("PVFG", chunk("NUM ", le32(5) + le32(0)) + chunk("STR ", str) +
                          chunk("RECT", std::string(16, '\x01')) + chunk("CELL", cell) +
                          chunk("MEM ", "memory") + chunk("NULL", "") + chunk("WHAT", "??") +
                          chunk("END ", ""));
}

TEST(FileFuzz, MutatedValueFiles) {
  TempDir td;
  const std::string path = td.file("V.DAT");
  SystemContext* ctx = MRVVAL_Create(0);
  ASSERT_NE(ctx, nullptr);
  VarTable* vars = &ctx->commonVars;
  constexpr int32_t kVars = 10;
  auto clear_vars = [&] {
    for (int32_t i = 0; i < kVars; ++i) MRVVAL_Clear(ctx, vars, i);
  };
  // One read of the valid file first, so that the table's own storage exists
  // before blocks are counted.
  const std::string seed = value_file();
  mrvtest::write_file(path, seed);
  {
    DialogLog log;
    ASSERT_EQ(MRVFILE_CountFAQ(ctx, path.c_str()), 7);
    ASSERT_EQ(MRVFILE_ReadFAQ(ctx, path.c_str(), vars, 0, 0, kVars), 6);
    clear_vars();
  }
  std::mt19937 rng = generator(31337);
  for (int it = 0; it < kIterations; ++it) {
    const std::string bytes = mutate(seed, rng);
    mrvtest::write_file(path, bytes);
    const std::string context = "iteration " + std::to_string(it) + ": " + hex(bytes);
    Baseline before;
    {
      DialogLog log;
      const int32_t records = MRVFILE_CountFAQ(ctx, path.c_str());
      EXPECT_GE(records, 0) << context;
      EXPECT_LE(records, int32_t(bytes.size() / 8)) << context;
      const int32_t skip = int32_t(rng() % 3);
      const int32_t stored = MRVFILE_ReadFAQ(ctx, path.c_str(), vars, 0, skip, kVars);
      EXPECT_GE(stored, 0) << context;
      EXPECT_LE(stored, kVars) << context;
      // Every record that was counted can be read again; a file that counted
      // completely never stores more than it counted.
      if (records > 0) {
        EXPECT_LE(stored, std::max(0, records - skip)) << context;
      }
      for (int32_t i = 0; i < kVars; ++i) {
        FAQ v{};
        ASSERT_EQ(MRVVAL_Get(ctx, vars, i, &v), 1) << context;
        if (v.type == TYPE_MEMORY) {
          EXPECT_GE(MRVTASK_SizeMemory(0, MRV_PTR(v.word1)), v.word2) << context;
        }
        if (v.type == TYPE_CELL) {
          auto* desc = static_cast<uint32_t*>(MRV_PTR(v.word1));
          ASSERT_GE(MRVTASK_SizeMemory(0, desc), 40u) << context;
          EXPECT_GE(MRVTASK_SizeMemory(0, MRV_PTR(desc[8])), uint64_t(desc[1]) * desc[2])
              << context;
        }
      }
      clear_vars();
      expect_own_boxes(log, context);
    }
    EXPECT_EQ(open_fds(), before.fds) << context;
    EXPECT_EQ(plat::mem_live_blocks(), before.blocks) << context;
  }
  MRVVAL_Delete(ctx);
}

}  // namespace
