/* Stand-in for the outside drawing library.
 *
 * The system calls twelve functions of the drawing library, identified by
 * their ordinal numbers; this stand-in exports one function per ordinal and
 * draws for real into software surfaces of 15-bit pixels (red in bits 10-14,
 * green in bits 5-9, blue in bits 0-4), so that what a title drew can be
 * read back pixel by pixel and saved as a PNG image. Every ordinal call is
 * also recorded in a log that tests read.
 *
 * Surfaces belong to windows: a title's command library makes one per window
 * (korvex_surface_create) and keeps its handle in the window record. Picture
 * cells are the system's picture values: a 40-byte descriptor block whose
 * 32-bit words 2 and 3 (counting from 1) are width and height, word 8 the key
 * colour and word 9 the address of the data block, which holds width x height
 * pixels of 16 bits, row by row. Both blocks are memory-region blocks, so the
 * value manager frees and copies them like any picture value.
 *
 * Text is drawn with a real font through fontconfig and FreeType: Windows
 * font names that titles pass ("ＭＳ ゴシック", "ＭＳ 明朝", "MS Gothic", ...)
 * are mapped to installed Japanese fonts (IPA Gothic, IPA Mincho), other
 * names are looked up as they are. Without a usable font, or with the
 * environment variable MRV_KORVEX_FONT=builtin, a small built-in bitmap font
 * draws ASCII (5 x 7 dots scaled to the character cell) and a frame for any
 * other character. Glyphs are rendered without smoothing: a pixel is either
 * the text colour or left as it was.
 *
 * On the display (the platform's graphical backend) each surface is its
 * window's picture: every drawing and every ordinal 16 marks the window as
 * changed, and the platform's video thread presents it, scaled by the
 * surface's display scale, at its next pump (at most once per pump, and only
 * when something changed).
 *
 * Rectangles are left, top, right (exclusive), bottom (exclusive). Every
 * drawing is clipped to its target. All functions are thread-safe. */
#ifndef KORVEX_H
#define KORVEX_H

#include <stdint.h>

#define KORVEX_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KorvexRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
} KorvexRect;

/* Key colour of a copy without a key: every pixel is copied. */
#define KORVEX_NO_KEY 0x80000000u

/* ---- The ordinals the system calls -------------------------------------- */

/* 4: the surface's window is destroyed: the surface is released. */
KORVEX_API void korvex_ordinal_4(uint32_t surface);
/* 8: display scale in percent (mouse positions are divided by it). */
KORVEX_API void korvex_ordinal_8(uint32_t surface, int32_t scale_x, int32_t scale_y);
/* 15: the window's client area is now width x height at (x, y); the two
 * words are the title's own and are kept with the surface. The surface keeps
 * its drawing size. */
KORVEX_API void korvex_ordinal_15(uint32_t surface, int32_t x, int32_t y, int32_t width,
                                  int32_t height, uint32_t word1, uint32_t word2);
/* 16: paint the surface into its window (device context `dc`): counts the
 * presentations and marks the window for the display. */
KORVEX_API void korvex_ordinal_16(uint32_t surface, uint32_t dc, uint32_t flags);
/* 17: fills `rect` (null: the whole surface) with a colour. */
KORVEX_API void korvex_ordinal_17(uint32_t surface, const KorvexRect* rect, uint32_t colour);
/* 18: copies `source` of picture cell `cell` to (x, y) of the surface,
 * leaving out pixels of the key colour (KORVEX_NO_KEY: none left out). */
KORVEX_API void korvex_ordinal_18(uint32_t surface, int32_t x, int32_t y, uint32_t cell,
                                  const KorvexRect* source, uint32_t key);
/* 20: moves `source` of the surface to (x, y) (overlap allowed). */
KORVEX_API void korvex_ordinal_20(uint32_t surface, int32_t x, int32_t y, const KorvexRect* source);
/* 24: draws code page 932 text into `rect` of the surface, each character
 * cell_width wide (a double-byte character twice that) and cell_height high
 * (the font's pixel size); `style` is kept in the log. */
KORVEX_API void korvex_ordinal_24(uint32_t surface, const KorvexRect* rect, const char* font,
                                  int32_t cell_height, int32_t cell_width, const char* text,
                                  uint16_t colour, uint32_t style);
/* 29: as 18 between two picture cells (they may be the same). */
KORVEX_API void korvex_ordinal_29(uint32_t target, int32_t x, int32_t y, uint32_t cell,
                                  const KorvexRect* source, uint32_t key);
/* 30: as 17 on a picture cell. */
KORVEX_API void korvex_ordinal_30(uint32_t cell, const KorvexRect* rect, uint16_t colour);
/* 36: as 24 on a picture cell. */
KORVEX_API void korvex_ordinal_36(uint32_t cell, const KorvexRect* rect, const char* font,
                                  int32_t cell_height, int32_t cell_width, const char* text,
                                  uint16_t colour, uint32_t style);
/* 62: the mouse position in the surface's drawing coordinates: the cursor in
 * the window's client coordinates times 100 divided by the scale (rounded).
 * 1, or 0 for an unknown surface (x and y then untouched). */
KORVEX_API int32_t korvex_ordinal_62(uint32_t surface, int32_t* x, int32_t* y);

/* ---- Surfaces and picture cells for titles and tests -------------------- */

/* A new surface of width x height pixels (all 0, black) for window `hwnd`,
 * scale 100 %; its handle, or 0 for a size outside 1..4096. */
KORVEX_API uint32_t korvex_surface_create(uint32_t hwnd, int32_t width, int32_t height);
/* 1 and the size while the surface exists, else 0. */
KORVEX_API int32_t korvex_surface_size(uint32_t surface, int32_t* width, int32_t* height);
/* The 15-bit pixel at (x, y), or -1 outside the surface or for no surface. */
KORVEX_API int32_t korvex_surface_pixel(uint32_t surface, int32_t x, int32_t y);
/* How often the surface was presented (ordinal 16). */
KORVEX_API int32_t korvex_surface_presented(uint32_t surface);
/* Saves the surface as an 8-bit RGB PNG image; 1 on success. */
KORVEX_API int32_t korvex_surface_save_png(uint32_t surface, const char* path);

/* A new picture cell of width x height pixels, all of colour 0, with a key
 * colour: the address of its descriptor block, or 0. */
KORVEX_API uint32_t korvex_cell_create(int32_t width, int32_t height, uint32_t key);
KORVEX_API int32_t korvex_cell_pixel(uint32_t cell, int32_t x, int32_t y);
KORVEX_API int32_t korvex_cell_save_png(uint32_t cell, const char* path);

/* The font file that text in `font` (a code page 932 name) is drawn with,
 * written into `out` (`size` bytes) as UTF-8; 0 and "" when the built-in
 * font draws it. */
KORVEX_API int32_t korvex_font_file(const char* font, char* out, int32_t size);

/* ---- The call log ------------------------------------------------------- */

/* One recorded ordinal call: its arguments in order (addresses and handles
 * as integers, rectangles as the address passed) and, for 24 and 36, the
 * text drawn (code page 932, cut to 63 bytes). */
typedef struct KorvexCall {
  int32_t ordinal;
  int32_t argc;
  int64_t args[8];
  char text[64];
} KorvexCall;

KORVEX_API int32_t korvex_call_count(void);
/* Copies record `i` (0 = oldest) into `out`; 0 when there is none. */
KORVEX_API int32_t korvex_call(int32_t i, KorvexCall* out);
KORVEX_API void korvex_clear_calls(void);

#ifdef __cplusplus
}
#endif

#endif
