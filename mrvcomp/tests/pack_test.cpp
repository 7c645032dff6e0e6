// Writing and reading compiled scenario files: the exact bytes of the file,
// the round trip of the code with its padding, the keys, and the refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dialog_log.h"
#include "fixtures.h"
#include "mrvcomp.h"
#include "mrvtask.h"
#include "tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The code of "F();": one call record of 41 bytes and the scenario's end.
const Bytes kCallF = {
    0x0F,                    // TOK_CALL
    0x1D, 0x00, 0x00, 0x00,  // library name at 29
    0x26, 0x00, 0x00, 0x00,  // command name at 38
    0x28, 0x00, 0x00, 0x00,  // argument code at 40
    0x00, 0x00, 0x00, 0x00,  // no arguments
    0x00, 0x00, 0x00, 0x00,  // no block
    0x00, 0x00, 0x00, 0x00,  // no else block
    0x29, 0x00, 0x00, 0x00,  // 41 bytes long
    'S',  'T',  'A',  'N',  'D', 'A', 'R', 'D', 0, 'F', 0,
    0x00,  // the empty argument code
    0x00,  // end of the scenario
};

// kCallF padded to 44 bytes and locked with the key k, worked out by hand:
// from the last byte down to byte 1 each byte is XORed with k and with the
// locked byte after it, byte 0 only with locked byte 1. So locked byte i is
// the XOR of bytes i..43, with k at the odd positions (an odd number of keys
// reaches them) and at position 0 (it takes byte 1's).
Bytes LockedCallF(uint8_t k) {
  static const uint8_t kTailXor[44] = {
      0x68, 0x67, 0x7A, 0x7A, 0x7A, 0x7A, 0x5C, 0x5C, 0x5C, 0x5C, 0x74, 0x74, 0x74, 0x74, 0x74,
      0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x74, 0x5D, 0x5D, 0x5D, 0x5D,
      0x0E, 0x5A, 0x1B, 0x55, 0x11, 0x50, 0x02, 0x46, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00};
  Bytes out(44);
  for (size_t i = 0; i < 44; ++i) out[i] = kTailXor[i] ^ (i == 0 || i % 2 == 1 ? k : 0);
  return out;
}

void Append(Bytes& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}
void Append32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

Bytes FileBytes(const std::string& path) {
  const std::string s = mrvtest::read_file(path);
  return Bytes(s.begin(), s.end());
}

// A memory block holding `code`, with `fill` in the rest of its `size` bytes.
void* Block(const Bytes& code, uint32_t size, uint8_t fill) {
  auto* b = static_cast<uint8_t*>(MRVTASK_AllocMemory(0, size));
  std::memset(b, fill, size);
  std::memcpy(b, code.data(), code.size());
  return b;
}

Bytes Unpacked(const std::string& path) {
  void* block = MRVCOMP_Unpack(0, path.c_str());
  if (block == nullptr) return {};
  const auto* p = static_cast<const uint8_t*>(block);
  Bytes out(p, p + MRVTASK_SizeMemory(0, block));
  MRVTASK_FreeMemory(0, block);
  return out;
}

class PackTest : public ::testing::Test {
 protected:
  mrvtest::TempDir dir_;
  std::string path_ = dir_.file("F.SNB");
};

TEST_F(PackTest, WritesTheFileByteForByte) {
  void* block = Block(kCallF, 64, 0);
  ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), block, uint32_t(kCallF.size())), 1);
  const Bytes file = FileBytes(path_);
  ASSERT_EQ(file.size(), 88u + 44u);
  const uint8_t key = file[20];

  Bytes expected;
  Append(expected, "RIFF");
  Append32(expected, 88 + 44 - 8);
  Append(expected, "SNB INFO");
  Append32(expected, 60);
  expected.push_back(key);
  expected.push_back(uint8_t(~key));
  Append(expected, std::string("Marovine \0", 10));
  // The notice's wording is free; it is 39 printable characters and a 0.
  expected.insert(expected.end(), file.begin() + 32, file.begin() + 71);
  expected.push_back(0);
  expected.insert(expected.end(), {0x03, 0x03, 0, 0, 0, 0, 0, 0});
  Append(expected, "CODE");
  Append32(expected, 44);
  const Bytes locked = LockedCallF(key);
  expected.insert(expected.end(), locked.begin(), locked.end());
  EXPECT_EQ(file, expected);

  EXPECT_GE(key, 1);
  EXPECT_LE(key, 254);
  for (size_t i = 32; i < 71; ++i) {
    EXPECT_GE(file[i], 0x20) << i;
    EXPECT_LT(file[i], 0x7F) << i;
  }
  // The caller's block now holds the locked code.
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + 44), locked);
  MRVTASK_FreeMemory(0, block);
}

TEST_F(PackTest, RoundTripGivesTheCodeBackWithItsPadding) {
  // Bytes after the code travel as padding, whatever they are.
  void* block = Block(kCallF, 48, 0xAA);
  ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), block, uint32_t(kCallF.size())), 1);
  MRVTASK_FreeMemory(0, block);
  Bytes expected = kCallF;
  expected.insert(expected.end(), {0xAA, 0xAA});
  const Bytes got = Unpacked(path_);
  ASSERT_GE(got.size(), 44u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 44), expected);
}

TEST_F(PackTest, EmptyScenarioIsOneChunkOfFourBytes) {
  void* block = Block({0x00}, 16, 0);
  ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), block, 1), 1);
  MRVTASK_FreeMemory(0, block);
  const Bytes file = FileBytes(path_);
  ASSERT_EQ(file.size(), 92u);
  EXPECT_EQ(Bytes(file.begin() + 80, file.begin() + 88), (Bytes{'C', 'O', 'D', 'E', 4, 0, 0, 0}));
  void* code = MRVCOMP_Unpack(0, path_.c_str());
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(MRVTASK_SizeMemory(0, code), 4u);
  EXPECT_EQ(static_cast<uint8_t*>(code)[0], 0x00);
  MRVTASK_FreeMemory(0, code);
}

TEST_F(PackTest, CodeOutsideABlockIsNotReadPastItsLength) {
  // Exactly 42 bytes of ordinary memory: the two bytes of padding must not
  // be read from beyond them.
  std::unique_ptr<uint8_t[]> code(new uint8_t[kCallF.size()]);
  std::memcpy(code.get(), kCallF.data(), kCallF.size());
  ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), code.get(), uint32_t(kCallF.size())), 1);
  Bytes expected = kCallF;
  expected.resize(44, 0);
  const Bytes got = Unpacked(path_);
  ASSERT_GE(got.size(), 44u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 44), expected);
}

TEST_F(PackTest, FilesWrittenAtDifferentTimesHaveDifferentKeys) {
  std::vector<uint8_t> keys;
  for (int i = 0; i < 2; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    void* block = Block(kCallF, 64, 0);
    ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), block, uint32_t(kCallF.size())), 1);
    MRVTASK_FreeMemory(0, block);
    const Bytes file = FileBytes(path_);
    ASSERT_EQ(file.size(), 132u);
    EXPECT_EQ(file[21], uint8_t(~file[20]));
    keys.push_back(file[20]);
    // Each file opens with its own key.
    const Bytes got = Unpacked(path_);
    ASSERT_GE(got.size(), kCallF.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + long(kCallF.size())), kCallF);
  }
  EXPECT_NE(keys[0], keys[1]);
}

TEST_F(PackTest, RefusesWhatIsNoCompiledScenario) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::string value = std::string("RIFF\x04\x00\x00\x00PVFG", 12);
  const std::vector<Case> cases = {
      {"big-endian RIFX", std::string("RIFX\x00\x00\x00\x04SNB ", 12)},
      {"a value file", value},
      {"text", "F();\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mrvtest::write_file(path_, c.bytes);
    mrvtest::DialogLog log;
    EXPECT_EQ(MRVCOMP_Unpack(0, path_.c_str()), nullptr);
    EXPECT_EQ(log.boxes().size(), 1u);
  }
}

// A compiled file inside an archive loads as from its own file; a damaged
// one is refused with one report, whatever part of it is wrong.
TEST_F(PackTest, ACompiledFileLoadsFromAnArchive) {
  void* block = Block(kCallF, 44, 0);
  ASSERT_EQ(MRVCOMP_Pack(0, path_.c_str(), block, uint32_t(kCallF.size())), 1);
  MRVTASK_FreeMemory(0, block);
  const std::string file = mrvtest::read_file(path_);
  void* call = Block({0x0F}, 4, 0);  // a call record cut after its token
  ASSERT_EQ(MRVCOMP_Pack(0, dir_.file("B.SNB").c_str(), call, 1), 1);
  MRVTASK_FreeMemory(0, call);
  const std::string broken = mrvtest::read_file(dir_.file("B.SNB"));
  Bytes padded = kCallF;
  padded.resize(44, 0);

  const std::string code = file.substr(88 - 8);  // the "CODE" chunk, header and all
  struct Case {
    const char* name;
    std::string bytes;
    bool loads;
  };
  const std::vector<Case> cases = {
      {"whole", file, true},
      {"chunks in another order", fixture::riff("SNB ", code + file.substr(12, 68)), true},
      {"a value file", fixture::riff("PVFG", file.substr(12)), false},
      {"not RIFF", "F();\r\n", false},
      {"no INFO", fixture::riff("SNB ", code), false},
      {"short INFO", fixture::riff("SNB ", fixture::chunk("INFO", "x") + code), false},
      {"CODE cut short", file.substr(0, file.size() - 3), false},
      {"code that does not walk", broken, false},
  };
  const std::string archive = dir_.file("SCN.vfs");
  const std::string inside = dir_.file("SCN") + "\\F.SNB";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mrvtest::write_file(archive, fixture::archive({{"F.SNB", c.bytes}, {"G.SNA", "F();"}}));
    mrvtest::DialogLog log;
    const Bytes got = Unpacked(inside);
    if (c.loads) {
      EXPECT_EQ(got, padded);
      EXPECT_TRUE(log.boxes().empty());
    } else {
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(log.boxes().size(), 1u);
    }
  }
}

TEST_F(PackTest, UnwritablePathFails) {
  mrvtest::DialogLog log;
  void* block = Block(kCallF, 64, 0);
  EXPECT_EQ(MRVCOMP_Pack(0, dir_.file("no/such/dir/F.SNB").c_str(), block, uint32_t(kCallF.size())),
            0);
  MRVTASK_FreeMemory(0, block);
  EXPECT_EQ(log.boxes().size(), 1u);
}

}  // namespace
