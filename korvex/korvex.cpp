// Drawing library stand-in: software surfaces of 15-bit pixels per window,
// picture cells in memory-region blocks, the ordinals the system calls, PNG
// output and a log of every ordinal call.
#include "korvex.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <vector>

#include "image.h"
#include "platform/memory.h"
#include "platform/window.h"

namespace korvex {

bool clip(const View& v, KorvexRect* r) {
  r->left = std::max(r->left, 0);
  r->top = std::max(r->top, 0);
  r->right = std::min(r->right, v.w);
  r->bottom = std::min(r->bottom, v.h);
  return r->left < r->right && r->top < r->bottom;
}

namespace {

constexpr int32_t kMaxSide = 4096;
constexpr std::size_t kDescriptorSize = 40;

struct Surface {
  uint32_t hwnd = 0;
  int32_t w = 0, h = 0;
  std::vector<uint16_t> px;
  int32_t scale_x = 100, scale_y = 100;
  KorvexRect client{};
  uint32_t words[2] = {};
  int32_t presented = 0;
  View view() { return View{w, h, px.data()}; }
};

struct State {
  std::mutex mu;
  std::map<uint32_t, Surface> surfaces;
  uint32_t last = 0;
  std::deque<KorvexCall> calls;
};

// The log keeps the newest calls: a title that draws for hours must not grow it
// without end.
constexpr std::size_t kLogLimit = 1u << 16;
State& st() {
  static auto* s = new State;  // threads may draw until the process ends
  return *s;
}

// Records a call; needs the lock.
void record(State& s, int32_t ordinal, std::initializer_list<int64_t> args,
            const char* text = nullptr) {
  KorvexCall c{};
  c.ordinal = ordinal;
  for (int64_t a : args) c.args[c.argc++] = a;
  if (text != nullptr) std::snprintf(c.text, sizeof c.text, "%s", text);
  s.calls.push_back(c);
  if (s.calls.size() > kLogLimit) s.calls.pop_front();
}

int64_t addr(const void* p) {
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(p));
}

Surface* surface_of(State& s, uint32_t h) {
  auto it = s.surfaces.find(h);
  return it == s.surfaces.end() ? nullptr : &it->second;
}

// The pixels of a picture cell, or an empty view when the descriptor or its
// data block is not what a cell holds.
View cell_view(uint32_t cell) {
  void* desc = reinterpret_cast<void*>(static_cast<uintptr_t>(cell));
  if (cell == 0 || plat::mem_size(desc) < kDescriptorSize) return {};
  uint32_t words[10];
  std::memcpy(words, desc, sizeof words);
  const int32_t w = static_cast<int32_t>(words[1]);
  const int32_t h = static_cast<int32_t>(words[2]);
  void* data = reinterpret_cast<void*>(static_cast<uintptr_t>(words[8]));
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide ||
      plat::mem_size(data) < static_cast<std::size_t>(w) * h * 2)
    return {};
  return View{w, h, static_cast<uint16_t*>(data)};
}

void fill(const View& v, const KorvexRect* rect, uint16_t colour) {
  if (v.px == nullptr) return;
  KorvexRect r = rect ? *rect : KorvexRect{0, 0, v.w, v.h};
  if (!clip(v, &r)) return;
  for (int32_t y = r.top; y < r.bottom; ++y) std::fill(v.at(r.left, y), v.at(r.right, y), colour);
}

// Copies `source` of `from` to (x, y) of `to`; pixels of the key colour stay
// out unless the key is KORVEX_NO_KEY. Rows go in the order that keeps an
// overlapping move within one view intact.
void copy(const View& to, int32_t x, int32_t y, const View& from, const KorvexRect* source,
          uint32_t key) {
  if (to.px == nullptr || from.px == nullptr || source == nullptr) return;
  KorvexRect s = *source;
  if (!clip(from, &s)) return;
  // Shift the source by what falls outside the target.
  int32_t dx = x + (s.left - source->left), dy = y + (s.top - source->top);
  if (dx < 0) s.left -= dx, dx = 0;
  if (dy < 0) s.top -= dy, dy = 0;
  s.right = std::min(s.right, s.left + (to.w - dx));
  s.bottom = std::min(s.bottom, s.top + (to.h - dy));
  if (s.left >= s.right || s.top >= s.bottom) return;
  const int32_t rows = s.bottom - s.top, cols = s.right - s.left;
  const bool up = to.px == from.px && dy > s.top;
  std::vector<uint16_t> line(static_cast<std::size_t>(cols));
  for (int32_t i = 0; i < rows; ++i) {
    const int32_t r = up ? rows - 1 - i : i;
    std::copy(from.at(s.left, s.top + r), from.at(s.left, s.top + r) + cols, line.begin());
    uint16_t* out = to.at(dx, dy + r);
    for (int32_t c = 0; c < cols; ++c) {
      if (key == KORVEX_NO_KEY || line[c] != static_cast<uint16_t>(key)) out[c] = line[c];
    }
  }
}

int32_t save_png(const View& v, const char* path) {
  if (v.px == nullptr || path == nullptr) return 0;
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 0;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_byte> row(static_cast<std::size_t>(v.w) * 3);
  int32_t ok = 0;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(v.w), static_cast<png_uint_32>(v.h), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int32_t y = 0; y < v.h; ++y) {
      for (int32_t x = 0; x < v.w; ++x) {
        const uint16_t p = *v.at(x, y);
        for (int k = 0; k < 3; ++k) {
          const unsigned c = (p >> (10 - 5 * k)) & 31u;  // red, green, blue
          row[static_cast<std::size_t>(x) * 3 + k] = static_cast<png_byte>(c << 3 | c >> 2);
        }
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    ok = 1;
  }
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  return std::fclose(f) == 0 ? ok : 0;
}

// The picture of a surface for its window on the display (the user word is
// the surface handle, so a surface released meanwhile gives nothing).
bool paint_source(uint32_t, void* user, plat::Frame* out) {
  State& s = st();
  std::lock_guard lock(s.mu);
  Surface* f = surface_of(s, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user)));
  if (f == nullptr) return false;
  out->w = f->w;
  out->h = f->h;
  out->scale_x = f->scale_x > 0 ? f->scale_x : 100;
  out->scale_y = f->scale_y > 0 ? f->scale_y : 100;
  out->px = f->px;
  return true;
}

// The surface's window shows the change at its next presentation.
void changed(const Surface* f) {
  if (f != nullptr) plat::invalidate_window(f->hwnd);
}

// MulDiv: a * b / c rounded to the nearest integer, -1 when c is 0.
int32_t mul_div(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  const int64_t n = static_cast<int64_t>(a) * b;
  const int64_t q = (n >= 0) == (c > 0) ? (std::abs(n) + std::abs(c) / 2) / std::abs(c)
                                        : -((std::abs(n) + std::abs(c) / 2) / std::abs(c));
  return static_cast<int32_t>(q);
}

}  // namespace
}  // namespace korvex

using namespace korvex;

extern "C" {

void korvex_ordinal_4(uint32_t surface) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 4, {surface});
  if (Surface* f = surface_of(s, surface)) plat::set_paint_source(f->hwnd, nullptr, nullptr);
  s.surfaces.erase(surface);
}

void korvex_ordinal_8(uint32_t surface, int32_t scale_x, int32_t scale_y) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 8, {surface, scale_x, scale_y});
  if (Surface* f = surface_of(s, surface)) {
    f->scale_x = scale_x;
    f->scale_y = scale_y;
    changed(f);
  }
}

void korvex_ordinal_15(uint32_t surface, int32_t x, int32_t y, int32_t width, int32_t height,
                       uint32_t word1, uint32_t word2) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 15, {surface, x, y, width, height, word1, word2});
  if (Surface* f = surface_of(s, surface)) {
    f->client = KorvexRect{x, y, x + width, y + height};
    f->words[0] = word1;
    f->words[1] = word2;
  }
}

void korvex_ordinal_16(uint32_t surface, uint32_t dc, uint32_t flags) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 16, {surface, dc, flags});
  if (Surface* f = surface_of(s, surface)) {
    ++f->presented;
    changed(f);
  }
}

void korvex_ordinal_17(uint32_t surface, const KorvexRect* rect, uint32_t colour) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 17, {surface, addr(rect), colour});
  if (Surface* f = surface_of(s, surface)) {
    fill(f->view(), rect, static_cast<uint16_t>(colour));
    changed(f);
  }
}

void korvex_ordinal_18(uint32_t surface, int32_t x, int32_t y, uint32_t cell,
                       const KorvexRect* source, uint32_t key) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 18, {surface, x, y, cell, addr(source), key});
  if (Surface* f = surface_of(s, surface)) {
    copy(f->view(), x, y, cell_view(cell), source, key);
    changed(f);
  }
}

void korvex_ordinal_20(uint32_t surface, int32_t x, int32_t y, const KorvexRect* source) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 20, {surface, x, y, addr(source)});
  if (Surface* f = surface_of(s, surface)) {
    copy(f->view(), x, y, f->view(), source, KORVEX_NO_KEY);
    changed(f);
  }
}

void korvex_ordinal_24(uint32_t surface, const KorvexRect* rect, const char* font,
                       int32_t cell_height, int32_t cell_width, const char* text, uint16_t colour,
                       uint32_t style) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 24,
         {surface, addr(rect), addr(font), cell_height, cell_width, addr(text), colour, style},
         text);
  if (Surface* f = surface_of(s, surface); f != nullptr && rect != nullptr) {
    draw_text(f->view(), *rect, font, cell_height, cell_width, text, colour);
    changed(f);
  }
}

void korvex_ordinal_29(uint32_t target, int32_t x, int32_t y, uint32_t cell,
                       const KorvexRect* source, uint32_t key) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 29, {target, x, y, cell, addr(source), key});
  copy(cell_view(target), x, y, cell_view(cell), source, key);
}

void korvex_ordinal_30(uint32_t cell, const KorvexRect* rect, uint16_t colour) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 30, {cell, addr(rect), colour});
  fill(cell_view(cell), rect, colour);
}

void korvex_ordinal_36(uint32_t cell, const KorvexRect* rect, const char* font, int32_t cell_height,
                       int32_t cell_width, const char* text, uint16_t colour, uint32_t style) {
  State& s = st();
  std::lock_guard lock(s.mu);
  record(s, 36, {cell, addr(rect), addr(font), cell_height, cell_width, addr(text), colour, style},
         text);
  const View v = cell_view(cell);
  if (v.px != nullptr && rect != nullptr)
    draw_text(v, *rect, font, cell_height, cell_width, text, colour);
}

int32_t korvex_ordinal_62(uint32_t surface, int32_t* x, int32_t* y) {
  uint32_t hwnd;
  int32_t sx, sy;
  {
    State& s = st();
    std::lock_guard lock(s.mu);
    record(s, 62, {surface, addr(x), addr(y)});
    Surface* f = surface_of(s, surface);
    if (f == nullptr) return 0;
    hwnd = f->hwnd;
    sx = f->scale_x;
    sy = f->scale_y;
  }
  int32_t cx = 0, cy = 0;
  plat::cursor_pos(&cx, &cy);
  plat::screen_to_client(hwnd, &cx, &cy);
  if (x != nullptr) *x = mul_div(cx, 100, sx);
  if (y != nullptr) *y = mul_div(cy, 100, sy);
  return 1;
}

uint32_t korvex_surface_create(uint32_t hwnd, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return 0;
  State& s = st();
  std::lock_guard lock(s.mu);
  do {
    ++s.last;
  } while (s.last == 0 || s.surfaces.count(s.last) != 0);
  Surface& f = s.surfaces[s.last];
  f.hwnd = hwnd;
  f.w = width;
  f.h = height;
  f.px.assign(static_cast<std::size_t>(width) * height, 0);
  f.client = KorvexRect{0, 0, width, height};
  plat::set_paint_source(hwnd, paint_source, reinterpret_cast<void*>(uintptr_t{s.last}));
  return s.last;
}

int32_t korvex_surface_size(uint32_t surface, int32_t* width, int32_t* height) {
  State& s = st();
  std::lock_guard lock(s.mu);
  Surface* f = surface_of(s, surface);
  if (f == nullptr) return 0;
  if (width) *width = f->w;
  if (height) *height = f->h;
  return 1;
}

int32_t korvex_surface_pixel(uint32_t surface, int32_t x, int32_t y) {
  State& s = st();
  std::lock_guard lock(s.mu);
  Surface* f = surface_of(s, surface);
  if (f == nullptr || x < 0 || y < 0 || x >= f->w || y >= f->h) return -1;
  return *f->view().at(x, y);
}

int32_t korvex_surface_presented(uint32_t surface) {
  State& s = st();
  std::lock_guard lock(s.mu);
  Surface* f = surface_of(s, surface);
  return f ? f->presented : 0;
}

int32_t korvex_surface_save_png(uint32_t surface, const char* path) {
  State& s = st();
  std::lock_guard lock(s.mu);
  Surface* f = surface_of(s, surface);
  return f ? save_png(f->view(), path) : 0;
}

uint32_t korvex_cell_create(int32_t width, int32_t height, uint32_t key) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return 0;
  auto* desc = static_cast<uint32_t*>(plat::mem_alloc(kDescriptorSize));
  void* data = plat::mem_alloc(static_cast<std::size_t>(width) * height * 2);
  if (desc == nullptr || data == nullptr) {
    if (desc) plat::mem_free(desc);
    if (data) plat::mem_free(data);
    return 0;
  }
  desc[1] = static_cast<uint32_t>(width);
  desc[2] = static_cast<uint32_t>(height);
  desc[7] = key;
  desc[8] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(desc));
}

int32_t korvex_cell_pixel(uint32_t cell, int32_t x, int32_t y) {
  std::lock_guard lock(st().mu);
  const View v = cell_view(cell);
  if (v.px == nullptr || x < 0 || y < 0 || x >= v.w || y >= v.h) return -1;
  return *v.at(x, y);
}

int32_t korvex_cell_save_png(uint32_t cell, const char* path) {
  std::lock_guard lock(st().mu);
  return save_png(cell_view(cell), path);
}

int32_t korvex_font_file(const char* font, char* out, int32_t size) {
  std::lock_guard lock(st().mu);
  const std::string file = font_file(font);
  if (out != nullptr && size > 0)
    std::snprintf(out, static_cast<std::size_t>(size), "%s", file.c_str());
  return file.empty() ? 0 : 1;
}

int32_t korvex_call_count(void) {
  State& s = st();
  std::lock_guard lock(s.mu);
  return static_cast<int32_t>(s.calls.size());
}

int32_t korvex_call(int32_t i, KorvexCall* out) {
  State& s = st();
  std::lock_guard lock(s.mu);
  if (i < 0 || static_cast<std::size_t>(i) >= s.calls.size() || out == nullptr) return 0;
  *out = s.calls[static_cast<std::size_t>(i)];
  return 1;
}

void korvex_clear_calls(void) {
  State& s = st();
  std::lock_guard lock(s.mu);
  s.calls.clear();
}

}  // extern "C"
