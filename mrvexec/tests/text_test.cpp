// Text output into windows and the mouse position: the cursor, wrapping and
// scrolling, every escape sequence and its errors, window 9's picture cell,
// and the drawing that reaches the drawing library's surfaces.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvex.h"
#include "mrvexec.h"
#include "platform/window.h"
#include "scenario.h"

namespace {

constexpr uint16_t kRed = 31 << 10, kGreen = 31 << 5, kBlue = 31;

intptr_t plain_proc(uint32_t h, uint32_t m, uintptr_t w, intptr_t l) {
  return plat::def_window_proc(h, m, w, l);
}

// A context with window 0: 80 x 32 pixels at (100, 50) of the screen, cells
// of 8 x 16 (ten columns, two rows), white on black.
class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ctx, nullptr);
    plat::register_class("TextTestWin", plain_proc);
    hwnd = plat::create_window("TextTestWin", "t", 0, {100, 50, 180, 82});
    surface = korvex_surface_create(hwnd, 80, 32);
    words(20, hwnd, surface, 0, 0);
    words(30, 0, 0, 8, 16);
    words(40, 0x7FFF, 0, 0, 0);
    korvex_clear_calls();
  }
  void TearDown() override { plat::destroy_window(hwnd); }

  FAQ& var(int32_t n) { return MRV_CELLS(&ctx->systemVars)[n]; }
  void words(int32_t n, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    FAQ& v = var(n);
    v.type = TYPE_RECT;
    v.word1 = a, v.word2 = b, v.word3 = c, v.word4 = d;
  }
  std::pair<uint32_t, uint32_t> cursor(int32_t w = 0) {
    return {var(30 + w).word1, var(30 + w).word2};
  }
  int32_t text(const std::string& utf8, int32_t w = 0) {
    const std::string t = plat::utf8_to_cp932(utf8);
    return MRVEXEC_Text(ctx, w, &area, t.c_str());
  }
  // The ordinal-24 (or 36) calls since the last clear: rectangle left and
  // top are not kept by the log, so the texts and colours are compared.
  std::vector<std::string> drawn(int32_t ordinal = 24) {
    std::vector<std::string> out;
    KorvexCall c;
    for (int32_t i = 0; korvex_call(i, &c); ++i)
      if (c.ordinal == ordinal) out.push_back(plat::cp932_to_utf8(c.text));
    return out;
  }

  mrvtest::Scenario s{{}};
  SystemContext* ctx = s.ctx;
  MRVRECT area{0, 0, 80, 32};
  uint32_t hwnd = 0, surface = 0;
};

TEST_F(Text, TheCursorWrapsBeforeTheLastColumn) {
  // Ten columns: the tenth is never used.
  EXPECT_EQ(text("123456789"), 1);
  EXPECT_EQ(cursor(), std::make_pair(0u, 1u));
  EXPECT_EQ(drawn().size(), 9u);
  // A double-byte character at column 8 is drawn two cells wide, then wraps.
  var(30).word1 = 8;
  var(30).word2 = 0;
  korvex_clear_calls();
  EXPECT_EQ(text("あ"), 1);
  EXPECT_EQ(drawn(), std::vector<std::string>{"あ"});
  EXPECT_EQ(cursor(), std::make_pair(0u, 1u));
}

TEST_F(Text, SequencesSetColoursCursorAndPauseAndDrawValues) {
  EXPECT_EQ(text("@C[31,0,0]"), 1);
  EXPECT_EQ(var(40).word1, 31744u);
  EXPECT_EQ(text("@P[3,1]"), 1);
  EXPECT_EQ(cursor(), std::make_pair(3u, 1u));
  EXPECT_EQ(text("@W[0 \t　]@Qx"), 1);  // blanks after a number; @Q does nothing
  EXPECT_EQ(drawn(), std::vector<std::string>{"x"});
  EXPECT_EQ(text("@L"), 1);  // past the last row: scrolled
  EXPECT_EQ(cursor(), std::make_pair(0u, 1u));
  EXPECT_EQ(text("@E[0,0,31]"), 1);
  EXPECT_EQ(var(40).word2, 31u);
  EXPECT_EQ(cursor(), std::make_pair(0u, 0u));
  EXPECT_EQ(korvex_surface_pixel(surface, 79, 31), kBlue);
  FAQ v{};
  MRVSTR_SetByte(ctx, &v, "a@C[0,31,0]b");
  MRVVAL_Set(ctx, &ctx->commonVars, 5, &v);
  korvex_clear_calls();
  EXPECT_EQ(text("@V[5]c"), 1);  // a string without quotes, its sequences applied
  EXPECT_EQ(drawn(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(var(40).word1, kGreen);
  EXPECT_EQ(cursor(), std::make_pair(3u, 0u));
}

// A value that embeds itself, or a chain of values that embed each other, is
// expanded eight levels deep and no further, instead of without end.
TEST_F(Text, EmbeddedValuesStopAtTheirDepthLimit) {
  FAQ v{};
  MRVSTR_SetByte(ctx, &v, "x@V[5]");
  MRVVAL_Set(ctx, &ctx->commonVars, 5, &v);
  korvex_clear_calls();
  EXPECT_EQ(text("@V[5]y"), 1);
  EXPECT_EQ(drawn(), (std::vector<std::string>{"x", "x", "x", "x", "x", "x", "x", "y"}));
}

TEST_F(Text, ASequenceErrorIsReportedAndKeepsWhatWasDrawn) {
  struct Row {
    const char* text;
    const char* message;
  } rows[] = {
      {"ab@P[3]", "シーケンス第２パラメータが指定されていません。"},
      {"ab@C3", "シーケンス・パラメータ開始の括弧がありません。"},
      {"ab@C[1,2]", "シーケンス第３パラメータが指定されていません。"},
      {"ab@P[1,2", "シーケンス・パラメータ終了の括弧がありません。"},
  };
  for (const Row& r : rows) {
    var(30).word1 = var(30).word2 = 0;
    const std::size_t before = s.messages().size();
    EXPECT_EQ(text(r.text), 0) << r.text;
    ASSERT_EQ(s.messages().size(), before + 1) << r.text;
    EXPECT_EQ(s.messages().back(), r.message);
    EXPECT_EQ(cursor(), std::make_pair(2u, 0u)) << r.text;
  }
}

TEST_F(Text, AGlyphComesFromTheSheetWithoutItsKeyColour) {
  // A 256 x 256 sheet: glyph 17 is (16, 16, 32, 32); its left half has the
  // key colour 5 and stays out.
  const uint32_t sheet = korvex_cell_create(256, 256, 5);
  const KorvexRect glyph{16, 16, 32, 32}, keyed{16, 16, 24, 32};
  korvex_ordinal_30(sheet, &glyph, kRed);
  korvex_ordinal_30(sheet, &keyed, 5);
  FAQ& v = var(12);
  v.type = TYPE_CELL;
  v.word1 = sheet;
  korvex_ordinal_17(surface, nullptr, kGreen);
  var(30).word1 = 2;
  EXPECT_EQ(text("@G[17]"), 1);
  EXPECT_EQ(cursor(), std::make_pair(4u, 0u));
  EXPECT_EQ(korvex_surface_pixel(surface, 16 + 7, 0), kGreen);  // key colour left out
  EXPECT_EQ(korvex_surface_pixel(surface, 16 + 8, 0), kRed);    // the glyph's right half
  EXPECT_EQ(korvex_surface_pixel(surface, 16 + 15, 15), kRed);
  EXPECT_EQ(korvex_surface_pixel(surface, 16 + 16, 0), kGreen);  // past the glyph
  MRVVAL_Clear(ctx, &ctx->systemVars, 12);
  EXPECT_EQ(text("@G[1]"), 1);  // no sheet: nothing drawn, the cursor moves all the same
  EXPECT_EQ(cursor(), std::make_pair(6u, 0u));
}

TEST_F(Text, ScrollingMovesTheLinesUpAndClearsTheLastOne) {
  const KorvexRect top{0, 0, 80, 16}, bottom{0, 16, 80, 32};
  korvex_ordinal_17(surface, &top, kRed);
  korvex_ordinal_17(surface, &bottom, kGreen);
  var(40).word2 = kBlue;
  var(30).word2 = 1;
  EXPECT_EQ(text("@L"), 1);
  EXPECT_EQ(korvex_surface_pixel(surface, 40, 8), kGreen);
  EXPECT_EQ(korvex_surface_pixel(surface, 40, 24), kBlue);
  EXPECT_EQ(cursor(), std::make_pair(0u, 1u));
}

TEST_F(Text, WindowNineDrawsIntoThePictureCellOfFourteen) {
  words(39, 0, 0, 8, 16);
  words(49, kRed, 0, 0, 0);
  EXPECT_EQ(text("ab", 9), 1);  // no cell: nothing drawn, the cursor advances
  EXPECT_EQ(cursor(9), std::make_pair(2u, 0u));
  EXPECT_TRUE(drawn(36).empty());
  const uint32_t cell = korvex_cell_create(80, 32, 0x80000000u);
  FAQ& target = var(14);
  target.type = TYPE_CELL;
  target.word1 = cell;
  EXPECT_EQ(text("@E[0,31,0]I", 9), 1);
  EXPECT_EQ(drawn(36), std::vector<std::string>{"I"});
  EXPECT_EQ(korvex_cell_pixel(cell, 79, 31), kGreen);
  int red = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 8; ++x) red += korvex_cell_pixel(cell, x, y) == kRed;
  EXPECT_GT(red, 0);
  MRVVAL_Clear(ctx, &ctx->systemVars, 14);
}

TEST_F(Text, StringDrawsOnceInItsOwnColourAndStyle) {
  var(40).word4 = 7;
  EXPECT_EQ(MRVEXEC_String(ctx, 0, &area, "hi", kRed, 3), 1);
  KorvexCall c{};
  ASSERT_TRUE(korvex_call(0, &c));
  EXPECT_EQ(c.ordinal, 24);
  EXPECT_EQ(c.args[6], kRed);
  EXPECT_EQ(c.args[7], 3);
  EXPECT_EQ(var(40).word1, 0x7FFFu);  // restored
  EXPECT_EQ(var(40).word4, 7u);
  EXPECT_EQ(cursor(), std::make_pair(0u, 0u));
  var(20).word1 = 0;
  EXPECT_EQ(MRVEXEC_String(ctx, 0, &area, "hi", kRed, 3), 0);
}

TEST_F(Text, TheMousePositionIsInDrawingCoordinatesOverTheWindowOnly) {
  korvex_ordinal_8(surface, 50, 200);
  const uint32_t other = plat::create_window("TextTestWin", "o", 0, {170, 70, 200, 90});
  MRVPOINT p{};
  plat::set_cursor_pos(155, 65);  // client (55, 15)
  EXPECT_EQ(MRVEXEC_GetMousePos(ctx, 0, &p), 1);
  EXPECT_EQ(p.x, 110);
  EXPECT_EQ(p.y, 8);              // 15 x 100 / 200, rounded
  plat::set_cursor_pos(175, 75);  // over the other window
  EXPECT_EQ(MRVEXEC_GetMousePos(ctx, 0, &p), 0);
  EXPECT_EQ(p.x, -32767);
  EXPECT_EQ(p.y, -32767);
  plat::set_cursor_pos(10, 10);  // over no window
  EXPECT_EQ(MRVEXEC_GetMousePos(ctx, 0, &p), 0);
  plat::destroy_window(other);
}

}  // namespace
