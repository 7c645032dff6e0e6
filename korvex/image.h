// What the surfaces and the text renderer of the drawing stand-in share.
#pragma once
#include <cstdint>
#include <string>

#include "korvex.h"

namespace korvex {

// A block of 15-bit pixels, row by row, to draw into.
struct View {
  int32_t w = 0;
  int32_t h = 0;
  uint16_t* px = nullptr;
  uint16_t* at(int32_t x, int32_t y) const { return px + static_cast<std::size_t>(y) * w + x; }
};

// `r` cut to the view; false when nothing is left.
bool clip(const View& v, KorvexRect* r);

// Draws code page 932 text into `r` of the view (see korvex_ordinal_24).
// The caller holds the library's lock.
void draw_text(const View& v, const KorvexRect& r, const char* font, int32_t cell_height,
               int32_t cell_width, const char* text, uint16_t colour);

// The font file for a name (code page 932), or "" for the built-in font.
// The caller holds the library's lock.
std::string font_file(const char* font);

}  // namespace korvex
