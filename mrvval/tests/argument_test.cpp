// Argument checking of commands and the display text of values.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dialog_log.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "platform/text.h"

using ::testing::HasSubstr;

namespace {

const bool kJapanese = (setenv("MRV_COUNTRY", "81", 1), true);

std::string utf8(const char* cp932) {
  return plat::cp932_to_utf8(cp932);
}

class ArgumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kJapanese);
    ctx = MRVVAL_Create(0);
    ASSERT_NE(ctx, nullptr);
    cells = static_cast<FAQ*>(MRVTASK_AllocMemory(0, 27 * sizeof(FAQ)));
    ASSERT_NE(cells, nullptr);
    list = VarTable{MRV_WORD(cells), 27, 0};
  }
  void TearDown() override {
    for (FAQ& f : owned) MRVFAQ_Clear(ctx, &f);
    MRVTASK_FreeMemory(0, cells);
    MRVVAL_Delete(ctx);
  }

  FAQ number(int32_t integer, uint32_t fraction = 0, int32_t mode = 1) {
    FAQ f{};
    MRVFAQ_Number(ctx, &f, mode, integer, fraction);
    return f;
  }
  FAQ string(const char* text) {
    FAQ f{};
    MRVSTR_SetByte(ctx, &f, text);
    owned.push_back(f);
    return f;
  }
  FAQ omitted() {
    FAQ f{};
    f.type = TYPE_OMITTED;
    return f;
  }
  FAQ reference(VarTable* table, int32_t index) {
    FAQ f{};
    f.type = TYPE_VARIABLE;
    f.word1 = table->cells;
    f.word2 = static_cast<uint32_t>(table->count);
    f.word3 = static_cast<uint32_t>(table->base);
    f.word4 = static_cast<uint32_t>(index);
    return f;
  }
  // Lays out an argument list as the interpreter does: the count cell, the
  // arguments, an empty terminator.
  void arguments(const std::vector<FAQ>& args) {
    std::memset(cells, 0, 27 * sizeof(FAQ));
    MRVFAQ_Number(ctx, &cells[0], 1, static_cast<int32_t>(args.size()) + 1, 0);
    for (std::size_t i = 0; i < args.size(); ++i) cells[i + 1] = args[i];
    cells[args.size() + 1].type = TYPE_OMITTED;
  }
  std::string display(FAQ f) {
    char out[MRV_MSGBUF];
    std::memset(out, 'X', sizeof out);
    MRVVAL_DisplayValue(ctx, &f, out);
    return out;
  }

  mrvtest::DialogLog log;
  SystemContext* ctx = nullptr;
  FAQ* cells = nullptr;
  VarTable list{};
  std::vector<FAQ> owned;
};

TEST_F(ArgumentTest, SignaturesAcceptAndRejectAsTheyShould) {
  // $3 holds a number and $4 a string, for the by-reference codes.
  FAQ n = number(1), s = string("s");
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 3, &n), 1);
  ASSERT_EQ(MRVVAL_Set(ctx, &ctx->commonVars, 4, &s), 1);
  owned.pop_back();  // $4 owns the string now
  FAQ ref_n = reference(&ctx->commonVars, 3), ref_s = reference(&ctx->commonVars, 4);
  const uint16_t kByRef = SIG_BYREF;
  struct Row {
    std::vector<uint16_t> sig;
    std::vector<FAQ> args;
    const char* message;  // nullptr: accepted
  } rows[] = {
      {{'N', 'S', '~', 0}, {n, s}, nullptr},
      {{'N', 'S', '~', 0}, {n, s, n, omitted()}, nullptr},
      {{'N', 'S', '~', 0}, {n}, "関数(CMD)において引数が足りません。"},
      {{'N', 'N', 0}, {n, n, n}, "関数(CMD)において引数の数が多すぎます。"},
      {{'N', 0x7F, 0}, {n, omitted()}, nullptr},
      {{'N', 0x7F, 0}, {n}, "関数(CMD)において引数が足りません。"},
      {{0x17F, 0x17F, 0}, {n, ref_n}, "関数(CMD)において、第1引数は不明型でなければなりません。"},
      {{0x17F, 0x17F, 0}, {ref_s, ref_n}, nullptr},
      {{'N', 'N', 0}, {n, s}, "関数(CMD)において、第2引数は数値型でなければなりません。"},
      {{'S', 0}, {omitted()}, "関数(CMD)において、第1引数は文字型でなければなりません。"},
      {{'N', 'Z', 0}, {n, n}, "関数(CMD)において第2引数は省略できません。"},
      {{static_cast<uint16_t>(kByRef + 'N'), 0}, {ref_n}, nullptr},
      {{static_cast<uint16_t>(kByRef + 'N'), 0},
       {ref_s},
       "関数(CMD)において、第1引数は数値型でなければなりません。"},
      {{static_cast<uint16_t>(kByRef + 'S'), 0},
       {s},
       "関数(CMD)において、第1引数は文字型でなければなりません。"},
      {{'~'}, {}, nullptr},
      {{0}, {}, nullptr},
      {{'W', 0}, {n}, "関数(CMD)において、第1引数はウェーブ型でなければなりません。"},
  };
  for (const Row& r : rows) {
    arguments(r.args);
    std::size_t boxes = log.boxes().size();
    std::vector<FAQ> before(cells, cells + 27);
    int32_t got = MRVVAL_CheckArgument(ctx, "CMD", r.sig.data(), &list);
    EXPECT_EQ(got, r.message ? 0 : 1) << (r.message ? r.message : "accepted");
    EXPECT_EQ(std::memcmp(before.data(), cells, 27 * sizeof(FAQ)), 0);
    if (r.message) {
      auto all = log.boxes();
      ASSERT_EQ(all.size(), boxes + 1) << r.message;
      EXPECT_THAT(all.back().text, HasSubstr(r.message));
      EXPECT_EQ(all.back().caption, "『Marovine33』変数マネージャ(MRVVAL.DLL)");
    } else {
      EXPECT_EQ(log.boxes().size(), boxes);
    }
  }
}

TEST_F(ArgumentTest, OptionalArgumentsKeepTheirDefaults) {
  FAQ s = string(plat::utf8_to_cp932("あい").c_str());
  FAQ rect{};
  MRVRAQ_Rect(ctx, &rect, 1, 2, 3, 4);
  arguments({omitted(), number(3, 700000000), number(3, 700000000, -1), rect, s});
  int32_t value = 42;
  EXPECT_EQ(MRVVAL_ArgNumber(ctx, &list, 1, &value), 1);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(MRVVAL_ArgNumber(ctx, &list, 2, &value), 1);
  EXPECT_EQ(value, 3);
  EXPECT_EQ(MRVVAL_ArgNumber(ctx, &list, 3, &value), 1);
  EXPECT_EQ(value, -3);
  MRVRECT r{9, 9, 9, 9};
  EXPECT_EQ(MRVVAL_ArgRect(ctx, &list, 1, &r), 1);
  EXPECT_EQ(r.right, 9);
  EXPECT_EQ(MRVVAL_ArgRect(ctx, &list, 4, &r), 1);
  EXPECT_EQ(r.right, 4);
  EXPECT_EQ(r.bottom, 6);
  char text[2000] = "default";
  EXPECT_EQ(MRVVAL_ArgString(ctx, &list, 1, text), 1);
  EXPECT_STREQ(text, "default");
  EXPECT_EQ(MRVVAL_ArgString(ctx, &list, 5, text), 1);
  EXPECT_EQ(utf8(text), "あい");
  EXPECT_TRUE(log.boxes().empty());
  // Wrong types are reported by the conversions.
  EXPECT_EQ(MRVVAL_ArgNumber(ctx, &list, 5, &value), 0);
  EXPECT_EQ(MRVVAL_ArgRect(ctx, &list, 2, &r), 0);
  EXPECT_EQ(MRVVAL_ArgString(ctx, &list, 2, text), 0);
  EXPECT_EQ(log.boxes().size(), 3u);
  // A cell outside the list cannot be read.
  EXPECT_EQ(MRVVAL_ArgNumber(ctx, &list, 27, &value), 0);
  EXPECT_EQ(value, -3);

  FAQ def = number(8);
  def.setCount = 5;
  EXPECT_EQ(MRVVAL_OmitArgument(ctx, &list, 1, &def), 1);
  EXPECT_EQ(cells[1].type, TYPE_NUMBER);
  EXPECT_EQ(cells[1].word1, 8u);
  EXPECT_EQ(cells[1].setCount, 6);
  FAQ before = cells[2];
  EXPECT_EQ(MRVVAL_OmitArgument(ctx, &list, 2, &def), 1);
  EXPECT_EQ(std::memcmp(&before, &cells[2], sizeof before), 0);
  EXPECT_EQ(MRVVAL_OmitArgument(ctx, &list, 30, &def), 0);
}

TEST_F(ArgumentTest, DisplayFormsOfEveryType) {
  FAQ rect{}, ptr{}, mem{}, wave{}, nul{}, handle{}, cell{}, bad_cell{};
  MRVRAQ_Rect(ctx, &rect, 1, 2, 3, -4);
  ptr.type = TYPE_POINTER;
  ptr.word2 = static_cast<uint32_t>(-16);
  mem.type = TYPE_MEMORY;
  mem.word2 = 100;
  mem.word3 = 8;
  wave.type = TYPE_WAVE;
  handle.type = TYPE_HANDLE;
  handle.word1 = 0x2A;
  handle.word3 = 5;
  handle.word4 = static_cast<uint32_t>(-6);
  FAQ button = handle, edit = handle;
  button.word2 = 0x100;
  edit.word2 = 0x2FF;
  handle.word2 = 0x301;
  uint32_t* desc = static_cast<uint32_t*>(MRVTASK_AllocMemory(0, 40));
  ASSERT_NE(desc, nullptr);
  desc[1] = 640;
  desc[2] = 480;
  desc[7] = (3u << 10) | (17u << 5) | 31u;
  cell.type = TYPE_CELL;
  cell.word1 = MRV_WORD(desc);
  bad_cell.type = TYPE_CELL;
  bad_cell.word1 = MRV_WORD(desc) + 4;  // not a block start
  FAQ zero_cell{};
  zero_cell.type = TYPE_CELL;
  FAQ unknown{};
  unknown.type = 'Q';
  struct Row {
    FAQ faq;
    std::string text;  // UTF-8
  } rows[] = {
      {rect, "{1,2,3,-4}"},
      {number(2, 500000000), "2.5"},
      {number(0, 500000000, -1), "-0.5"},
      {string("ab"), "\"ab\""},
      {string(plat::utf8_to_cp932("漢字").c_str()), "\"漢字\""},
      {string(""), "\"\""},
      {reference(&ctx->commonVars, 12), "\\$12"},
      {reference(&ctx->systemVars, 199), "\\#199"},
      {nul, "NULL"},
      {omitted(), "NULL"},
      {unknown, "NULL"},
      {mem, "{100(+8)}"},
      {ptr, "{+-16}"},
      {wave, "{WAVE}"},
      {button, "{0x002a,button(5,-6)}"},
      {edit, "{0x002a,edit(5,-6)}"},
      {handle, "{0x002a,0x0301(5,-6)}"},
      {cell, "{640×480(3,17,31)}"},
      {zero_cell, "{bmpなし}"},
      {bad_cell, "{bmpなし}"},
  };
  for (const Row& r : rows) EXPECT_EQ(utf8(display(r.faq).c_str()), r.text) << r.text;
  EXPECT_TRUE(log.boxes().empty());
  MRVTASK_FreeMemory(0, desc);
}

TEST_F(ArgumentTest, RawStringDisplayDropsTheQuotesAndTheMark) {
  FAQ s = string("plain");
  FAQ marked = s;
  marked.type = CELL_TYPE_RAW_STRING;
  char out[MRV_MSGBUF];
  MRVVAL_DisplayValue(ctx, &marked, out);
  EXPECT_STREQ(out, "plain");
  EXPECT_EQ(marked.type, TYPE_STRING);
  EXPECT_EQ(marked.word2, s.word2);
}

TEST_F(ArgumentTest, DisplayOfLongOrBogusStringsStaysInBounds) {
  // 999 double-byte characters do not fit beside two quotes in 2000 bytes:
  // the text is cut after its last whole character.
  std::string wide;
  for (int i = 0; i < 999; ++i) wide += "\x82\xA0";
  FAQ s = string(wide.c_str());
  ASSERT_EQ(s.word3, 999u);
  std::vector<char> out(MRV_MSGBUF);
  MRVVAL_DisplayValue(ctx, &s, out.data());
  std::string shown(out.data());
  EXPECT_EQ(shown, "\"" + wide.substr(0, 1996) + "\"");
  FAQ bogus = s;
  bogus.word2 += 2;
  MRVVAL_DisplayValue(ctx, &bogus, out.data());
  EXPECT_STREQ(out.data(), "NULL");
  EXPECT_TRUE(log.boxes().empty());
}

// The value viewer calls the display from another thread while a task works
// with its scratch text: the display must leave the context's buffers alone.
TEST_F(ArgumentTest, DisplayLeavesTheScratchBuffersAlone) {
  std::vector<FAQ> values = {string("text"), number(7, 250000000), reference(&ctx->commonVars, 1)};
  FAQ raw = string("raw");
  raw.type = CELL_TYPE_RAW_STRING;
  values.push_back(raw);
  std::memset(ctx->wordBuf1, 0x5A, sizeof ctx->wordBuf1);
  std::memset(ctx->wordBuf2, 0x5B, sizeof ctx->wordBuf2);
  std::memset(ctx->msgBuf, 0x5C, sizeof ctx->msgBuf);
  std::memset(ctx->msgBuf2, 0x5D, sizeof ctx->msgBuf2);
  std::vector<char> snapshot(reinterpret_cast<char*>(ctx->wordBuf1),
                             reinterpret_cast<char*>(ctx->msgBuf2) + sizeof ctx->msgBuf2);
  for (FAQ& v : values) display(v);
  EXPECT_EQ(std::memcmp(snapshot.data(), ctx->wordBuf1, snapshot.size()), 0);
}

// A viewer thread displays a string over and over while this thread makes
// the heap grow (and possibly move): every display must read the right text.
TEST_F(ArgumentTest, DisplayFromAnotherThreadWhileTheHeapGrows) {
  FAQ watched = string("watched");
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, shown{0};
  std::thread viewer([&] {
    char out[MRV_MSGBUF];
    while (!done.load()) {
      FAQ copy = watched;
      MRVVAL_DisplayValue(ctx, &copy, out);
      if (std::strcmp(out, "\"watched\"") != 0) wrong++;
      shown++;
    }
  });
  while (shown.load() == 0) std::this_thread::yield();
  std::string big(900, 'g');
  for (int i = 0; i < 400; ++i) string(big.c_str());  // about 11 growths
  done = true;
  viewer.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(shown.load(), 0);
  EXPECT_TRUE(log.boxes().empty());
}

}  // namespace
