// Rectangles, string conversions, the string heap and its refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "heap_check.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "platform/text.h"

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

// These tests run with the Japanese lead-byte rule unless a test says else.
const bool kJapanese = (setenv("MRV_COUNTRY", "81", 1), true);

std::string cp932(const char* utf8) {
  return plat::utf8_to_cp932(utf8);
}

class StringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kJapanese);
    ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
  }
  void TearDown() override {
    if (ctx) MRVVAL_Delete(ctx);
  }

  FAQ store(const std::string& bytes) {
    FAQ f{};
    EXPECT_EQ(MRVSTR_SetByte(ctx, &f, bytes.c_str()), 1);
    return f;
  }
  std::string read(FAQ f) {
    char out[2000];
    if (!MRVSTR_GetByte(ctx, &f, out)) return "<refused>";
    return out;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& b : log.boxes()) out.push_back(b.text);
    return out;
  }
  std::string last_text() {
    auto boxes = log.boxes();
    return boxes.empty() ? "" : boxes.back().text;
  }

  mrvtest::DialogLog log;
  SystemContext* ctx = nullptr;
};

TEST_F(StringTest, RectanglesConvertWithoutNormalising) {
  struct Row {
    MRVRECT rect;
    int32_t x, y, w, h;
  } rows[] = {
      {{10, 20, 110, 70}, 10, 20, 100, 50},
      {{50, 60, 40, 30}, 50, 60, -10, -30},  // right left of left stays so
      {{-5, -5, 0, 0}, -5, -5, 5, 5},
  };
  for (const Row& r : rows) {
    FAQ f{};
    f.setCount = 7;
    f.word5 = 99;
    ASSERT_EQ(MRVRAQ_RectToRaq(ctx, &f, &r.rect), 1);
    EXPECT_EQ(f.type, TYPE_RECT);
    EXPECT_EQ(static_cast<int32_t>(f.word1), r.x);
    EXPECT_EQ(static_cast<int32_t>(f.word2), r.y);
    EXPECT_EQ(static_cast<int32_t>(f.word3), r.w);
    EXPECT_EQ(static_cast<int32_t>(f.word4), r.h);
    EXPECT_EQ(f.setCount, 7);
    EXPECT_EQ(f.word5, 99u);
    MRVRECT back{};
    ASSERT_EQ(MRVRAQ_RaqToRect(ctx, &back, &f), 1);
    EXPECT_EQ(back.left, r.rect.left);
    EXPECT_EQ(back.top, r.rect.top);
    EXPECT_EQ(back.right, r.rect.right);
    EXPECT_EQ(back.bottom, r.rect.bottom);
  }
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(StringTest, CheckModesRefuseOtherTypes) {
  FAQ number{};
  MRVFAQ_Number(ctx, &number, 1, 5, 0);
  MRVRECT out{1, 2, 3, 4};
  EXPECT_EQ(MRVRAQ_RaqToRect(ctx, &out, &number), 0);
  EXPECT_EQ(out.left, 1);
  EXPECT_THAT(last_text(), HasSubstr("指定されたRAQは領域ではありません。"));
  uint16_t units[4] = {9, 9, 9, 9};
  EXPECT_EQ(MRVSTR_GetWord(ctx, &number, units), 0);
  EXPECT_EQ(units[0], 9);
  EXPECT_THAT(last_text(), HasSubstr("指定されたSAQは文字列ではありません。"));
  EXPECT_EQ(MRVSTR_Clear(ctx, &number), 0);
  EXPECT_EQ(number.type, TYPE_NUMBER);
  EXPECT_EQ(log.boxes().size(), 3u);
}

// Bytes to units and back, with input buffers of exactly their size so that
// a read past the terminator is caught.
TEST_F(StringTest, JapaneseBytesAndUnitsRoundTrip) {
  struct Row {
    std::string bytes;
    std::vector<uint16_t> units;
  } rows[] = {
      {"\x82\xA0", {0x82A0}},
      {"\xA0", {0xA0}},        // not a lead byte in Japan
      {"a\x82", {'a', 0x82}},  // a lead byte before the terminator stays one unit
      {"\x82\xA0z\xE0\x40\x9F\xFC", {0x82A0, 'z', 0xE040, 0x9FFC}},
      {"\x80\xFD\xA1", {0x80, 0xFD, 0xA1}},
      {"", {}},
  };
  for (const Row& r : rows) {
    std::vector<char> in(r.bytes.begin(), r.bytes.end());
    in.push_back(0);
    std::vector<uint16_t> out(r.units.size() + 2, 0xEEEE);
    ASSERT_EQ(MRVSTR_Word(ctx, out.data(), in.data()), 1);
    std::vector<uint16_t> want = r.units;
    want.push_back(0);
    want.push_back(0xEEEE);
    EXPECT_THAT(out, ElementsAreArray(want)) << r.bytes;
    std::vector<uint16_t> units_in = r.units;
    units_in.push_back(0);
    std::vector<char> back(r.bytes.size() + 1);
    ASSERT_EQ(MRVSTR_Byte(ctx, back.data(), units_in.data()), 1);
    EXPECT_EQ(std::string(back.data()), r.bytes);
  }
}

// The rule is taken once per process; the child process starts without it.
TEST(StringCountry, OtherCountryRuleIsReadOnceAndKept) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("MRV_COUNTRY", "1", 1);
        SystemContext* c = MRVVAL_Create(0);
        uint16_t out[4] = {};
        MRVSTR_Word(c, out, "\xA0\x41");
        bool other = out[0] == 0xA041 && out[1] == 0;
        setenv("MRV_COUNTRY", "81", 1);
        MRVSTR_Word(c, out, "\xA0\x41");
        bool kept = out[0] == 0xA041 && out[1] == 0;
        MRVVAL_Delete(c);
        std::exit(other && kept ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(StringTest, StoresCountCharactersAndReadBack) {
  std::string jp = cp932("あいうabc");
  FAQ s = store(jp);
  EXPECT_EQ(s.type, TYPE_STRING);
  EXPECT_EQ(s.word1, ctx->stringHeap);
  EXPECT_EQ(s.word2, 12u);  // the first block's data
  EXPECT_EQ(s.word3, 6u);
  EXPECT_EQ(read(s), jp);
  std::vector<uint16_t> units(7, 0xEEEE);
  ASSERT_EQ(MRVSTR_GetWord(ctx, &s, units.data()), 1);
  EXPECT_EQ(units[0], 0x82A0);
  EXPECT_EQ(units[3], 'a');
  EXPECT_EQ(units[6], 0);

  FAQ empty{}, null_text{};
  empty.word4 = 44;
  ASSERT_EQ(MRVSTR_SetByte(ctx, &empty, ""), 1);
  ASSERT_EQ(MRVSTR_SetWord(ctx, &null_text, nullptr), 1);
  EXPECT_EQ(empty.word3, 0u);
  EXPECT_EQ(empty.word4, 44u);  // not touched
  EXPECT_EQ(null_text.word3, 0u);
  const uint8_t* heap = heaptest::heap_bytes(ctx);
  EXPECT_EQ(heaptest::block_at(heap, empty.word2 - 12).size, -2);
  EXPECT_EQ(null_text.word2, empty.word2 + 2 + 12);
  EXPECT_EQ(read(empty), "");
  EXPECT_EQ(heaptest::problems(ctx), "");
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(StringTest, FreedBlocksAreReusedAndMergeBack) {
  FAQ a = store("aaaaa"), b = store("bbbbbbb"), c = store("ccccccccc");
  ASSERT_EQ(MRVSTR_Clear(ctx, &b), 1);
  EXPECT_EQ(b.type, 0);
  EXPECT_EQ(b.word2, 0u);
  FAQ d = store("ddddddd");
  EXPECT_EQ(d.word2, 12u + 12 + 12);  // b's block: after a's 12 data bytes
  FAQ e = store("e");
  EXPECT_GT(e.word2, c.word2);
  EXPECT_EQ(read(a), "aaaaa");
  EXPECT_EQ(read(c), "ccccccccc");
  EXPECT_EQ(read(d), "ddddddd");
  // Release in an order that leaves the first block free before its
  // neighbour is released: everything must still merge into one block.
  for (FAQ* f : {&a, &c, &d, &e}) ASSERT_EQ(MRVSTR_Clear(ctx, f), 1);
  EXPECT_EQ(heaptest::problems(ctx), "");
  auto blocks = heaptest::blocks(ctx);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].size, 65524);
  EXPECT_EQ(blocks[0].prev, 0);
}

TEST_F(StringTest, HeapGrowsAndOlderStringsSurvive) {
  std::vector<FAQ> held;
  std::vector<std::string> want;
  // 999 double-byte characters: 2000 data bytes a block, 32 blocks a region.
  for (int i = 0; i < 70; ++i) {
    std::string text;
    for (int k = 0; k < 999; ++k)
      text += static_cast<char>(0x82), text += static_cast<char>(0x9F + i % 40);
    want.push_back(text);
    held.push_back(store(text));
    ASSERT_EQ(held.back().word3, 999u);
  }
  EXPECT_EQ(heaptest::length(ctx), 3u * 65536);
  EXPECT_EQ(heaptest::problems(ctx), "");
  for (std::size_t i = 0; i < held.size(); ++i) ASSERT_EQ(read(held[i]), want[i]) << i;
  EXPECT_TRUE(log.boxes().empty());
}

TEST_F(StringTest, TextsAreLimitedTo999Characters) {
  // The conversions cut, into buffers of exactly the allowed size.
  std::string bytes(1500, 'x');
  std::vector<uint16_t> units(1000, 0xEEEE);
  MRVSTR_Word(ctx, units.data(), bytes.c_str());
  EXPECT_EQ(units[998], 'x');
  EXPECT_EQ(units[999], 0);
  std::vector<uint16_t> wide(1500, 0x82A0);
  wide.push_back(0);
  std::vector<char> narrow(1999);
  MRVSTR_Byte(ctx, narrow.data(), wide.data());
  EXPECT_EQ(std::string(narrow.data()).size(), 1998u);

  // Storing refuses and leaves the target alone.
  struct Row {
    std::string text;
    bool stored;
  } rows[] = {{std::string(999, 'y'), true},
              {std::string(1000, 'y'), false},
              {std::string(1998, '\x82'), true},  // 999 double-byte characters
              {std::string(2000, '\x82'), false}};
  for (const Row& r : rows) {
    FAQ f{};
    std::size_t boxes = log.boxes().size();
    EXPECT_EQ(MRVSTR_SetByte(ctx, &f, r.text.c_str()), r.stored ? 1 : 0);
    if (r.stored) {
      EXPECT_EQ(f.word3, 999u);
      EXPECT_EQ(read(f), r.text);
    } else {
      EXPECT_EQ(f.type, 0);
      ASSERT_EQ(log.boxes().size(), boxes + 1);
      EXPECT_THAT(last_text(), HasSubstr("文字列の長さが1000文字を超えました。"));
    }
  }
  std::vector<uint16_t> too_many(1000, 'z');
  too_many.push_back(0);
  FAQ f{};
  EXPECT_EQ(MRVSTR_SetWord(ctx, &f, too_many.data()), 0);
  EXPECT_EQ(f.type, 0);
  EXPECT_EQ(heaptest::problems(ctx), "");
}

TEST_F(StringTest, AppendJoinsUpTo999Characters) {
  FAQ a = store(std::string(500, 'a')), b = store(std::string(499, 'b'));
  ASSERT_EQ(MRVSTR_Append(ctx, &a, &b), 1);
  EXPECT_EQ(a.word3, 999u);
  EXPECT_EQ(read(a), std::string(500, 'a') + std::string(499, 'b'));
  EXPECT_EQ(read(b), std::string(499, 'b'));

  FAQ c = store(std::string(500, 'c')), d = store(std::string(500, 'd'));
  EXPECT_EQ(MRVSTR_Append(ctx, &c, &d), 0);
  EXPECT_THAT(last_text(), HasSubstr("文字列の連結で1000文字を超えました。"));
  EXPECT_EQ(c.type, 0);  // the first operand is released
  EXPECT_EQ(read(d), std::string(500, 'd'));

  FAQ number{};
  MRVFAQ_Number(ctx, &number, 1, 1, 0);
  EXPECT_EQ(MRVSTR_Append(ctx, &b, &number), 0);
  EXPECT_THAT(last_text(), HasSubstr("接続される2つのSAQは文字列ではありません。"));
  EXPECT_EQ(read(b), std::string(499, 'b'));
  // Through the generic addition, with Japanese text.
  FAQ x = store(cp932("あい")), y = store(cp932("う"));
  ASSERT_EQ(MRVFAQ_Add(ctx, &x, &y), 1);
  EXPECT_EQ(x.word3, 3u);
  EXPECT_EQ(read(x), cp932("あいう"));
  EXPECT_EQ(heaptest::problems(ctx), "");
}

TEST_F(StringTest, CompareTellsEqualPrefixAndDifferent) {
  struct Row {
    const char *a, *b;
    int32_t want;
  } rows[] = {{"abc", "abc", 0},  {"ab", "abc", 1},   {"abc", "ab", 1}, {"", "a", 1},
              {"abc", "abd", -1}, {"abd", "abc", -1}, {"", "", 0}};
  for (const Row& r : rows) {
    FAQ a = store(r.a), b = store(r.b);
    int32_t out = 99;
    ASSERT_EQ(MRVFAQ_Comp(ctx, &a, &b, &out), 1);
    EXPECT_EQ(out, r.want) << r.a << " / " << r.b;
    EXPECT_EQ(read(a), r.a);
    MRVSTR_Clear(ctx, &a);
    MRVSTR_Clear(ctx, &b);
  }
}

TEST_F(StringTest, CopiesAreIndependent) {
  FAQ src = store("original"), copy{};
  src.setCount = 3;
  src.word4 = 4;
  src.word5 = 5;
  // Like every string function, the duplicate sets type and words 1 to 3
  // only: the target keeps its count and its words 4 and 5.
  copy.setCount = 9;
  copy.word4 = 0x44;
  copy.word5 = 0x55;
  ASSERT_EQ(MRVFAQ_Copy(ctx, &copy, &src), 1);
  EXPECT_EQ(copy.type, TYPE_STRING);
  EXPECT_EQ(copy.word1, src.word1);
  EXPECT_NE(copy.word2, src.word2);
  EXPECT_EQ(copy.word3, src.word3);
  EXPECT_EQ(copy.setCount, 9);
  EXPECT_EQ(copy.word4, 0x44u);
  EXPECT_EQ(copy.word5, 0x55u);
  EXPECT_EQ(read(copy), "original");
  ASSERT_EQ(MRVFAQ_Clear(ctx, &copy), 1);
  EXPECT_EQ(read(src), "original");
  EXPECT_EQ(heaptest::problems(ctx), "");
}

// A SAQ handed in with a wrong handle, offset or length is refused with a
// message and never read or freed.
TEST_F(StringTest, BogusStringsAreRefused) {
  FAQ good = store("hello"), other = store("world!!");
  FAQ stale = store("gone");
  FAQ freed = stale;
  ASSERT_EQ(MRVSTR_Clear(ctx, &stale), 1);
  uint32_t vars_handle = plat::mem_handle(MRV_PTR(ctx->commonVars.cells));
  ASSERT_NE(vars_handle, 0u);
  struct Row {
    const char* what;
    FAQ faq;
  } rows[] = {
      {"no handle", FAQ{TYPE_STRING, 0, 0, good.word2, good.word3, 0, 0}},
      {"another block's handle", FAQ{TYPE_STRING, 0, vars_handle, good.word2, good.word3, 0, 0}},
      {"offset 0", FAQ{TYPE_STRING, 0, good.word1, 0, good.word3, 0, 0}},
      {"inside the text", FAQ{TYPE_STRING, 0, good.word1, good.word2 + 2, good.word3 - 1, 0, 0}},
      {"offset past the heap", FAQ{TYPE_STRING, 0, good.word1, 0xFFFFFFF0u, 1, 0, 0}},
      {"length too long", FAQ{TYPE_STRING, 0, good.word1, good.word2, good.word3 + 1, 0, 0}},
      {"length huge", FAQ{TYPE_STRING, 0, good.word1, good.word2, 0x7FFFFFFFu, 0, 0}},
      {"freed block", freed},
      {"the free tail", FAQ{TYPE_STRING, 0, good.word1, other.word2 + 16 + 12, 0, 0, 0}},
  };
  auto before = heaptest::blocks(ctx);
  for (const Row& r : rows) {
    std::size_t boxes = log.boxes().size();
    FAQ f = r.faq;
    std::vector<uint16_t> out(1000, 0xEEEE);
    EXPECT_EQ(MRVSTR_GetWord(ctx, &f, out.data()), 0) << r.what;
    EXPECT_EQ(MRVSTR_Clear(ctx, &f), 0) << r.what;
    EXPECT_EQ(f.type, TYPE_STRING) << r.what;
    ASSERT_EQ(log.boxes().size(), boxes + 2) << r.what;
    EXPECT_THAT(last_text(), HasSubstr("指定されたSAQの文字列は文字列ヒープにありません。"));
  }
  auto after = heaptest::blocks(ctx);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].size, before[i].size);
  EXPECT_EQ(read(good), "hello");
  EXPECT_EQ(read(other), "world!!");
}

// With a small memory region the heap runs out: the store is refused with
// the overflow message and everything stored before stays readable.
TEST(StringOverflow, FullHeapRefusesAndKeepsOlderStrings) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("MRV_MEMORY_MB", "2", 1);
        setenv("MRV_COUNTRY", "81", 1);
        mrvtest::DialogLog log;
        SystemContext* c = MRVVAL_Create(0);
        if (!c) std::exit(2);
        std::string text(999, 'q');
        std::vector<FAQ> held;
        for (int i = 0; i < 2000; ++i) {
          FAQ f{};
          f.word4 = 5;
          if (!MRVSTR_SetByte(c, &f, text.c_str())) {
            if (f.type != 0 || f.word4 != 5) std::exit(3);
            break;
          }
          held.push_back(f);
        }
        if (held.size() < 32 || held.size() == 2000) std::exit(4);
        auto boxes = log.boxes();
        if (boxes.empty() ||
            boxes.back().text.find("文字列ヒープがオーバーフローしました。") == std::string::npos)
          std::exit(5);
        char out[2000];
        for (FAQ& f : held)
          if (!MRVSTR_GetByte(c, &f, out) || text != out) std::exit(6);
        if (!heaptest::problems(c).empty()) std::exit(7);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
