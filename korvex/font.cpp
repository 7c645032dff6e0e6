// Text for the drawing stand-in: fonts found through fontconfig and drawn
// with FreeType without smoothing, and a small built-in bitmap font for
// machines without one.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include FT_FREETYPE_H

#include "image.h"
#include "platform/text.h"

namespace korvex {
namespace {

// 5 x 7 dots for 0x20..0x7E, one byte per column, bit 0 at the top.
constexpr uint8_t kDots[95][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x08, 0x2A, 0x1C, 0x2A, 0x08}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x01, 0x01},
    {0x3E, 0x41, 0x41, 0x51, 0x32}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x04, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x7F, 0x20, 0x18, 0x20, 0x7F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x03, 0x04, 0x78, 0x04, 0x03}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x00, 0x7F, 0x41, 0x41},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x41, 0x41, 0x7F, 0x00, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x08, 0x14, 0x54, 0x54, 0x3C},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x00, 0x7F, 0x10, 0x28, 0x44}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x02, 0x01, 0x02, 0x04, 0x02},
};

struct Fonts {
  FT_Library lib = nullptr;
  bool ft_tried = false;
  std::map<std::string, std::string> files;  // font name -> file ("" built-in)
  std::map<std::string, FT_Face> faces;      // file -> face (null: unusable)
};
Fonts& fonts() {
  static auto* f = new Fonts;  // kept for the life of the process
  return *f;
}

bool builtin_forced() {
  const char* e = std::getenv("MRV_KORVEX_FONT");
  return e != nullptr && std::strcmp(e, "builtin") == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The family to ask fontconfig for: the Windows Japanese faces titles name
// go to the IPA fonts, anything else is asked for as it is.
std::string family_of(const std::string& utf8) {
  const std::string l = lower(utf8);
  if (utf8.find("明朝") != std::string::npos || l.find("mincho") != std::string::npos)
    return "IPAMincho";
  if (utf8.empty() || utf8.find("ゴシック") != std::string::npos ||
      l.find("gothic") != std::string::npos)
    return "IPAGothic";
  return utf8;
}

std::string match_file(const std::string& family) {
  if (!FcInit()) return "";
  FcPattern* p = FcPatternCreate();
  FcPatternAddString(p, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddString(p, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
  FcPatternAddBool(p, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, p, FcMatchPattern);
  FcDefaultSubstitute(p);
  FcResult result;
  std::string file;
  if (FcPattern* m = FcFontMatch(nullptr, p, &result)) {
    FcChar8* f = nullptr;
    if (FcPatternGetString(m, FC_FILE, 0, &f) == FcResultMatch && f != nullptr)
      file = reinterpret_cast<const char*>(f);
    FcPatternDestroy(m);
  }
  FcPatternDestroy(p);
  return file;
}

FT_Face face_of(const std::string& file) {
  Fonts& f = fonts();
  if (file.empty()) return nullptr;
  auto it = f.faces.find(file);
  if (it != f.faces.end()) return it->second;
  if (!f.ft_tried) {
    f.ft_tried = true;
    if (FT_Init_FreeType(&f.lib) != 0) f.lib = nullptr;
  }
  FT_Face face = nullptr;
  if (f.lib == nullptr || FT_New_Face(f.lib, file.c_str(), 0, &face) != 0 ||
      !FT_IS_SCALABLE(face)) {
    if (face != nullptr) FT_Done_Face(face);
    face = nullptr;
  }
  f.faces.emplace(file, face);
  return face;
}

void put(const View& v, const KorvexRect& clipr, int32_t x, int32_t y, uint16_t colour) {
  if (x >= clipr.left && x < clipr.right && y >= clipr.top && y < clipr.bottom)
    *v.at(x, y) = colour;
}

// Draws the built-in shape of a character into its cell (x, y, width, height).
void draw_builtin(const View& v, const KorvexRect& clipr, int32_t x, int32_t y, int32_t width,
                  int32_t height, uint32_t code, uint16_t colour) {
  if (width <= 0 || height <= 0) return;
  if (code >= 0x20 && code <= 0x7E) {
    const uint8_t* cols = kDots[code - 0x20];
    for (int32_t py = 0; py < height; ++py) {
      const int32_t gy = py * 8 / height;  // 7 rows of dots and one of space
      if (gy >= 7) continue;
      for (int32_t px = 0; px < width; ++px) {
        const int32_t gx = px * 6 / width;  // 5 columns of dots and one of space
        if (gx < 5 && (cols[gx] >> gy) & 1) put(v, clipr, x + px, y + py, colour);
      }
    }
    return;
  }
  if (code < 0x20) return;
  // Anything else: a frame one pixel inside the cell.
  for (int32_t px = x + 1; px < x + width - 1; ++px) {
    put(v, clipr, px, y + 1, colour);
    put(v, clipr, px, y + height - 2, colour);
  }
  for (int32_t py = y + 1; py < y + height - 1; ++py) {
    put(v, clipr, x + 1, py, colour);
    put(v, clipr, x + width - 2, py, colour);
  }
}

// Draws one character with FreeType; false when the face has no glyph for it.
bool draw_glyph(FT_Face face, const View& v, const KorvexRect& clipr, int32_t x, int32_t y,
                int32_t height, uint32_t code, uint16_t colour) {
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(height)) != 0) return false;
  const FT_UInt index = FT_Get_Char_Index(face, code);
  if (index == 0) return false;
  if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) != 0)
    return false;
  FT_GlyphSlot g = face->glyph;
  if (g->bitmap.pixel_mode != FT_PIXEL_MODE_MONO && FT_Render_Glyph(g, FT_RENDER_MODE_MONO) != 0)
    return false;
  // The baseline sits at the font's ascent, scaled so that ascent and descent
  // fill the cell's height.
  const long asc = face->size->metrics.ascender;
  const long desc = -face->size->metrics.descender;
  const int32_t baseline =
      y + static_cast<int32_t>(asc + desc > 0 ? asc * height / (asc + desc) : height * 7 / 8);
  const int32_t ox = x + g->bitmap_left;
  const int32_t oy = baseline - g->bitmap_top;
  const FT_Bitmap& b = g->bitmap;
  for (unsigned row = 0; row < b.rows; ++row) {
    const unsigned char* line = b.buffer + static_cast<long>(row) * b.pitch;
    for (unsigned col = 0; col < b.width; ++col) {
      if (line[col / 8] & (0x80 >> (col % 8)))
        put(v, clipr, ox + static_cast<int32_t>(col), oy + static_cast<int32_t>(row), colour);
    }
  }
  return true;
}

// The Unicode code point of one code page 932 character.
uint32_t code_point(const char* bytes, std::size_t n) {
  const std::string u = plat::cp932_to_utf8(std::string_view(bytes, n));
  const auto* s = reinterpret_cast<const unsigned char*>(u.data());
  if (u.empty()) return 0;
  if (s[0] < 0x80) return s[0];
  if ((s[0] & 0xE0) == 0xC0 && u.size() >= 2) return (s[0] & 0x1Fu) << 6 | (s[1] & 0x3Fu);
  if ((s[0] & 0xF0) == 0xE0 && u.size() >= 3)
    return (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
  return 0xFFFD;
}

}  // namespace

std::string font_file(const char* font) {
  if (builtin_forced()) return "";
  const std::string name = font ? font : "";
  Fonts& f = fonts();
  auto it = f.files.find(name);
  if (it != f.files.end()) return it->second;
  std::string file = match_file(family_of(plat::cp932_to_utf8(name)));
  if (face_of(file) == nullptr) file.clear();
  f.files.emplace(name, file);
  return file;
}

void draw_text(const View& v, const KorvexRect& r, const char* font, int32_t cell_height,
               int32_t cell_width, const char* text, uint16_t colour) {
  KorvexRect clipr = r;
  if (text == nullptr || cell_height <= 0 || cell_width <= 0 || !clip(v, &clipr)) return;
  FT_Face face = face_of(font_file(font));
  int32_t x = r.left;
  for (const char* p = text; *p != '\0' && x < r.right;) {
    const bool wide = plat::kCodePage932(static_cast<uint8_t>(*p)) && p[1] != '\0';
    const std::size_t n = wide ? 2 : 1;
    const int32_t width = wide ? 2 * cell_width : cell_width;
    const uint32_t code = code_point(p, n);
    KorvexRect cell{x, r.top, x + width, r.top + cell_height};
    cell.left = std::max(cell.left, clipr.left);
    cell.top = std::max(cell.top, clipr.top);
    cell.right = std::min(cell.right, clipr.right);
    cell.bottom = std::min(cell.bottom, clipr.bottom);
    if (cell.left < cell.right && cell.top < cell.bottom && code > 0x20 &&
        (face == nullptr || !draw_glyph(face, v, cell, x, r.top, cell_height, code, colour)))
      draw_builtin(v, cell, x, r.top, width, cell_height, wide ? 0xFFFD : code, colour);
    x += width;
    p += n;
  }
}

}  // namespace korvex
