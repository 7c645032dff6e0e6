// The drawing stand-in: fills and block moves clipped to their target, glyph
// copies that leave out the key colour, text with a real Japanese font and
// with the built-in one, mouse positions through the scale, PNG output.
#include "korvex.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/text.h"
#include "platform/window.h"
#include "tempdir.h"

namespace {

constexpr uint16_t kRed = 31 << 10, kGreen = 31 << 5, kBlue = 31;

int count(uint32_t s, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t colour) {
  int n = 0;
  for (int32_t y = y0; y < y1; ++y)
    for (int32_t x = x0; x < x1; ++x) n += korvex_surface_pixel(s, x, y) == colour;
  return n;
}

TEST(Korvex, FillsAndMovesBlocksWithinTheSurface) {
  const uint32_t s = korvex_surface_create(0, 20, 10);
  ASSERT_NE(s, 0u);
  const KorvexRect beyond{-5, -5, 4, 3};
  korvex_ordinal_17(s, &beyond, kRed);  // clipped to the surface
  EXPECT_EQ(count(s, 0, 0, 20, 10, kRed), 12);
  // Overlapping moves keep the block intact, downwards and upwards.
  const KorvexRect block{0, 0, 4, 3};
  korvex_ordinal_20(s, 1, 1, &block);
  EXPECT_EQ(count(s, 1, 1, 5, 4, kRed), 12);
  EXPECT_EQ(korvex_surface_pixel(s, 0, 0), kRed);  // the source stays where not covered
  korvex_ordinal_17(s, nullptr, kBlue);
  const KorvexRect line{0, 5, 20, 6};
  korvex_ordinal_17(s, &line, kGreen);
  const KorvexRect lower{0, 5, 20, 10};
  korvex_ordinal_20(s, 0, 4, &lower);
  EXPECT_EQ(count(s, 0, 4, 20, 5, kGreen), 20);
  EXPECT_EQ(count(s, 0, 5, 20, 6, kBlue), 20);
  korvex_ordinal_4(s);
  EXPECT_EQ(korvex_surface_pixel(s, 0, 0), -1);
}

TEST(Korvex, GlyphCopiesLeaveOutTheKeyColour) {
  const uint32_t sheet = korvex_cell_create(8, 8, kGreen);
  const uint32_t target = korvex_cell_create(8, 8, 0);
  const uint32_t s = korvex_surface_create(0, 8, 8);
  const KorvexRect left{0, 0, 4, 8}, right{4, 0, 8, 8}, all{0, 0, 8, 8};
  korvex_ordinal_30(sheet, &left, kRed);
  korvex_ordinal_30(sheet, &right, kGreen);
  korvex_ordinal_17(s, nullptr, kBlue);
  korvex_ordinal_18(s, 0, 0, sheet, &all, kGreen);
  EXPECT_EQ(count(s, 0, 0, 4, 8, kRed), 32);
  EXPECT_EQ(count(s, 4, 0, 8, 8, kBlue), 32);
  korvex_ordinal_29(target, 2, 2, sheet, &all, KORVEX_NO_KEY);  // every pixel, clipped
  EXPECT_EQ(korvex_cell_pixel(target, 2, 2), kRed);
  EXPECT_EQ(korvex_cell_pixel(target, 7, 7), kGreen);
  EXPECT_EQ(korvex_cell_pixel(target, 1, 1), 0);
  korvex_ordinal_4(s);
  for (uint32_t c : {sheet, target}) {
    void* desc = reinterpret_cast<void*>(static_cast<uintptr_t>(c));
    uint32_t data;
    std::memcpy(&data, static_cast<char*>(desc) + 32, 4);
    EXPECT_TRUE(plat::mem_free(reinterpret_cast<void*>(static_cast<uintptr_t>(data))));
    EXPECT_TRUE(plat::mem_free(desc));
  }
}

TEST(Korvex, WindowsFontNamesMapToAnInstalledJapaneseFont) {
  char file[512];
  if (!korvex_font_file(plat::utf8_to_cp932("ＭＳ ゴシック").c_str(), file, sizeof file))
    GTEST_SKIP() << "no font installed";
  EXPECT_NE(std::filesystem::canonical(file).string().find("ipag"), std::string::npos) << file;
  ASSERT_TRUE(korvex_font_file(plat::utf8_to_cp932("ＭＳ 明朝").c_str(), file, sizeof file));
  EXPECT_NE(std::filesystem::canonical(file).string().find("ipam"), std::string::npos) << file;
  // A character drawn with it stays inside its cell.
  const uint32_t s = korvex_surface_create(0, 64, 32);
  const KorvexRect r{16, 8, 48, 24};
  korvex_ordinal_24(s, &r, plat::utf8_to_cp932("ＭＳ ゴシック").c_str(), 16, 8,
                    plat::utf8_to_cp932("あ").c_str(), kRed, 0);
  const int inside = count(s, 16, 8, 32, 24, kRed);
  EXPECT_GT(inside, 20);
  EXPECT_EQ(count(s, 0, 0, 64, 32, kRed), inside);
  korvex_ordinal_4(s);
}

TEST(Korvex, TheBuiltInFontDrawsWhenAskedFor) {
  setenv("MRV_KORVEX_FONT", "builtin", 1);
  char file[64];
  EXPECT_EQ(korvex_font_file("any", file, sizeof file), 0);
  EXPECT_STREQ(file, "");
  const uint32_t s = korvex_surface_create(0, 24, 16);
  const KorvexRect r{0, 0, 24, 16};
  // Cells of 6 x 8: one pixel per dot. '!' is dots 0-4 and 6 of column 2;
  // a double-byte character is a frame.
  korvex_ordinal_24(s, &r, "", 8, 6, plat::utf8_to_cp932("!あ").c_str(), kRed, 0);
  for (int y = 0; y < 8; ++y)
    EXPECT_EQ(korvex_surface_pixel(s, 2, y) == kRed, y != 5 && y != 7) << y;
  EXPECT_EQ(count(s, 0, 0, 6, 8, kRed), 6);
  EXPECT_EQ(count(s, 6, 0, 18, 8, kRed), 2 * 10 + 2 * 4);  // the frame of 10 x 6 inside 12 x 8
  unsetenv("MRV_KORVEX_FONT");
  korvex_ordinal_4(s);
}

intptr_t plain_proc(uint32_t h, uint32_t m, uintptr_t w, intptr_t l) {
  return plat::def_window_proc(h, m, w, l);
}

TEST(Korvex, TheMousePositionGoesThroughTheScale) {
  plat::register_class("KorvexTestWin", plain_proc);
  const uint32_t w = plat::create_window("KorvexTestWin", "k", 0, {100, 50, 400, 250});
  const uint32_t s = korvex_surface_create(w, 300, 200);
  korvex_ordinal_8(s, 50, 200);
  plat::set_cursor_pos(250, 130);  // client (150, 80)
  int32_t x = 0, y = 0;
  EXPECT_EQ(korvex_ordinal_62(s, &x, &y), 1);
  EXPECT_EQ(x, 300);
  EXPECT_EQ(y, 40);
  EXPECT_EQ(korvex_ordinal_62(0, &x, &y), 0);
  korvex_ordinal_4(s);
  plat::destroy_window(w);
}

TEST(Korvex, SavesTheSurfaceAsAnRgbImage) {
  mrvtest::TempDir dir;
  const uint32_t s = korvex_surface_create(0, 3, 2);
  const KorvexRect one{1, 0, 2, 1};
  korvex_ordinal_17(s, nullptr, kBlue);
  korvex_ordinal_17(s, &one, (16 << 10) | (8 << 5));
  ASSERT_EQ(korvex_surface_save_png(s, dir.file("s.png").c_str()), 1);
  png_image pi{};
  pi.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&pi, dir.file("s.png").c_str()));
  pi.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(pi));
  ASSERT_TRUE(png_image_finish_read(&pi, nullptr, rgb.data(), 0, nullptr));
  ASSERT_EQ(pi.width, 3u);
  ASSERT_EQ(pi.height, 2u);
  EXPECT_EQ(std::vector<uint8_t>(rgb.begin(), rgb.begin() + 6),
            (std::vector<uint8_t>{0, 0, 255, 132, 66, 0}));  // 5 bits widened: v << 3 | v >> 2
  EXPECT_EQ(korvex_surface_save_png(0, dir.file("t.png").c_str()), 0);
  korvex_ordinal_4(s);
}

}  // namespace
