// Text output into windows, typewriter style, and the mouse position in a
// window's drawing coordinates. The drawing itself is the drawing library's
// (korvex); what is drawn where, the cursor, wrapping, scrolling, pauses and
// the escape sequences are decided here from the window's system variables.
#include "platform/text.h"

#include <cstring>
#include <vector>

#include "internal.h"
#include "korvex.h"
#include "platform/memory.h"
#include "platform/window.h"

namespace mrvexec {
namespace {

constexpr int32_t kCellWindow = 9;  // draws into the picture cell of #14
constexpr int32_t kGlyphSheet = MRV_SV_GLYPHS;
constexpr int32_t kCellTarget = MRV_SV_TARGET_CELL;
constexpr std::size_t kFontName = 31;
constexpr std::size_t kDescriptorSize = 40;
constexpr int32_t kNoMouse = -32767;

KorvexRect korvex_rect(const MRVRECT& r) {
  return KorvexRect{r.left, r.top, r.right, r.bottom};
}

// Width, height and key colour of a picture cell's descriptor; false when it
// is not a descriptor block.
bool cell_shape(uint32_t cell, int32_t* width, int32_t* height, uint32_t* key) {
  const void* desc = MRV_PTR(cell);
  if (cell == 0 || plat::mem_size(desc) < kDescriptorSize) return false;
  uint32_t words[8];
  std::memcpy(words, desc, sizeof words);
  *width = static_cast<int32_t>(words[1]);
  *height = static_cast<int32_t>(words[2]);
  *key = words[7];
  return true;
}

// The window's font name (#(50+w)), at most 31 bytes; "" when it holds none.
void font_name(SystemContext* ctx, int32_t w, char* out) {
  out[0] = '\0';
  FAQ name = sysvar(ctx, MRV_SV_FONT + w);
  if (name.type != TYPE_STRING) return;
  std::vector<char> text(MRV_MSGBUF);
  if (!MRVSTR_GetByte(ctx, &name, text.data())) return;
  const std::size_t n = plat::cut_length(text.data(), kFontName);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// One piece of text in the window's font, size, colour and style: 0 when
// there is no window (or no target cell for window 9).
int32_t draw_piece(SystemContext* ctx, int32_t w, const MRVRECT& r, const char* text) {
  char font[kFontName + 1];
  font_name(ctx, w, font);
  const FAQ& size = sysvar(ctx, MRV_SV_CURSOR + w);
  const FAQ& attr = sysvar(ctx, MRV_SV_TEXT_STYLE + w);
  const KorvexRect kr = korvex_rect(r);
  const auto ch = static_cast<int32_t>(size.word4), cw = static_cast<int32_t>(size.word3);
  const auto colour = static_cast<uint16_t>(attr.word1);
  if (w == kCellWindow) {
    const FAQ& target = sysvar(ctx, kCellTarget);
    if (target.type != TYPE_CELL) return 0;
    korvex_ordinal_36(target.word1, &kr, font, ch, cw, text, colour, attr.word4);
    return 1;
  }
  const FAQ& win = sysvar(ctx, MRV_SV_WINDOW + w);
  if (load_gate(win.word1) == 0) return 0;
  korvex_ordinal_24(load_gate(win.word2), &kr, font, ch, cw, text, colour, attr.word4);
  return 1;
}

void fill(SystemContext* ctx, int32_t w, const MRVRECT& r, uint32_t colour) {
  const KorvexRect kr = korvex_rect(r);
  if (w == kCellWindow) {
    const FAQ& target = sysvar(ctx, kCellTarget);
    if (target.type == TYPE_CELL) korvex_ordinal_30(target.word1, &kr, uint16_t(colour));
    return;
  }
  const FAQ& win = sysvar(ctx, MRV_SV_WINDOW + w);
  if (load_gate(win.word1) != 0) korvex_ordinal_17(load_gate(win.word2), &kr, uint16_t(colour));
}

void move_block(SystemContext* ctx, int32_t w, int32_t x, int32_t y, const MRVRECT& source) {
  const KorvexRect kr = korvex_rect(source);
  if (w == kCellWindow) {
    const uint32_t cell = sysvar(ctx, kCellTarget).word1;
    korvex_ordinal_29(cell, x, y, cell, &kr, KORVEX_NO_KEY);
  } else {
    korvex_ordinal_20(load_gate(sysvar(ctx, MRV_SV_WINDOW + w).word2), x, y, &kr);
  }
}

// Glyph n of the sheet in #12 at (x, y), when #12 holds a picture cell.
void draw_glyph(SystemContext* ctx, int32_t w, int32_t x, int32_t y, int32_t n) {
  const FAQ& sheet = sysvar(ctx, kGlyphSheet);
  int32_t width, height;
  uint32_t key;
  if (sheet.type != TYPE_CELL || !cell_shape(sheet.word1, &width, &height, &key)) return;
  const int32_t gw = width / 16, gh = height / 16;
  const KorvexRect source{(n % 16) * gw, (n / 16) * gh, (n % 16) * gw + gw, (n / 16) * gh + gh};
  if (w == kCellWindow)
    korvex_ordinal_29(sysvar(ctx, kCellTarget).word1, x, y, sheet.word1, &source, key);
  else
    korvex_ordinal_18(load_gate(sysvar(ctx, MRV_SV_WINDOW + w).word2), x, y, sheet.word1, &source,
                      key);
}

// Space, tab and the full-width space.
const char* skip_blanks(const char* p) {
  for (;;) {
    if (*p == ' ' || *p == '\t') {
      ++p;
    } else if (static_cast<uint8_t>(p[0]) == 0x81 && static_cast<uint8_t>(p[1]) == 0x40) {
      p += 2;
    } else {
      return p;
    }
  }
}

// The parameters [a], [a,b] or [a,b,c] of a sequence at *pp, as integers;
// *pp moves past the closing bracket. False after a report.
bool parameters(SystemContext* ctx, const char** pp, int32_t* out, int count) {
  const char* p = *pp;
  if (*p != '[') {
    report(ctx, "%s", MRV_CP932("シーケンス・パラメータ開始の括弧がありません。"));
    return false;
  }
  ++p;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (*p != ',') {
        report(ctx, "%s",
               i == 1 ? MRV_CP932("シーケンス第２パラメータが指定されていません。")
                      : MRV_CP932("シーケンス第３パラメータが指定されていません。"));
        return false;
      }
      ++p;
    }
    FAQ v{};
    p = MRVFAQ_GetNumber(ctx, &v, p);
    if (p == nullptr || !MRVFAQ_Int(ctx, &v, &out[i])) return false;
    p = skip_blanks(p);
  }
  if (*p != ']') {
    report(ctx, "%s", MRV_CP932("シーケンス・パラメータ終了の括弧がありません。"));
    return false;
  }
  *pp = p + 1;
  return true;
}

uint32_t colour_of(const int32_t* rgb) {
  return (uint32_t(rgb[0]) & 0xFFFF) * 1024 + (uint32_t(rgb[1]) & 0xFFFF) * 32 +
         (uint32_t(rgb[2]) & 0xFFFF);
}

// While the host has paused the running task (its close question), text
// output stands still without passing the turn.
void wait_while_paused(SystemContext* ctx) {
  const int32_t t = ctx->currentTask;
  if (t < 0 || t >= MRV_TASKS) return;
  while ((load_flags(ctx->taskFlags[t]) & TASK_PAUSED) != 0) nap(ctx, kNapSlice);
}

// A value embedded with @V may embed another, itself for one: texts are
// expanded this many levels deep, and an @V[n] below that draws nothing, so
// that no text can recurse without end.
constexpr int kEmbedDepth = 8;

int32_t draw_text(SystemContext* ctx, int32_t w, const MRVRECT& r, const char* text, int depth) {
  static const plat::LeadBytes lead = plat::country_lead_bytes();
  FAQ& cursor = sysvar(ctx, MRV_SV_CURSOR + w);
  FAQ& attr = sysvar(ctx, MRV_SV_TEXT_STYLE + w);
  const auto cw = static_cast<int32_t>(cursor.word3), ch = static_cast<int32_t>(cursor.word4);
  // A cell size of 0 would divide by zero: no column and no row then fit.
  const int32_t columns = cw > 0 ? (r.right - r.left) / cw : 0;
  const int32_t rows = ch > 0 ? (r.bottom - r.top) / ch : 0;
  auto column = static_cast<int32_t>(cursor.word1), row = static_cast<int32_t>(cursor.word2);
  auto keep = [&] {
    cursor.word1 = static_cast<uint32_t>(column);
    cursor.word2 = static_cast<uint32_t>(row);
  };
  const char* p = text;
  while (*p != '\0') {
    wait_while_paused(ctx);
    const int32_t x = r.left + cw * column, y = r.top + ch * row;
    bool drawn = false;
    if (*p == '@') {
      const char code = p[1];
      if (code == '\0') break;  // a lone '@' ends the text
      p += 2;
      int32_t v[3] = {};
      switch (code) {
        case 'C':
        case 'E':
          if (!parameters(ctx, &p, v, 3)) return keep(), 0;
          if (code == 'C') {
            attr.word1 = colour_of(v);
          } else {
            attr.word2 = colour_of(v);
            fill(ctx, w, r, attr.word2);
            column = row = 0;
          }
          break;
        case 'G':
          if (!parameters(ctx, &p, v, 1)) return keep(), 0;
          draw_glyph(ctx, w, x, y, v[0]);
          column += 2;
          drawn = true;
          break;
        case 'L':
          column = 0;
          ++row;
          break;
        case 'P':
          if (!parameters(ctx, &p, v, 2)) return keep(), 0;
          column = v[0];
          row = v[1];
          break;
        case 'V': {
          if (!parameters(ctx, &p, v, 1)) return keep(), 0;
          if (depth + 1 >= kEmbedDepth) break;
          FAQ value{};
          if (!MRVVAL_Get(ctx, &ctx->commonVars, v[0], &value)) return keep(), 0;
          if (value.type == TYPE_STRING) value.type = CELL_TYPE_RAW_STRING;
          // The display form may fill a whole message buffer.
          std::vector<char> shown(MRV_MSGBUF);
          MRVVAL_DisplayValue(ctx, &value, shown.data());
          keep();
          if (!draw_text(ctx, w, r, shown.data(), depth + 1)) return 0;
          column = static_cast<int32_t>(cursor.word1);
          row = static_cast<int32_t>(cursor.word2);
          break;
        }
        case 'W':
          if (!parameters(ctx, &p, v, 1)) return keep(), 0;
          attr.word3 = static_cast<uint32_t>(v[0]);
          break;
        default:  // any other letter does nothing
          break;
      }
    } else {
      // A lead byte right before the end is drawn as a character of its own.
      const bool wide = lead(static_cast<uint8_t>(*p)) && p[1] != '\0';
      const char piece[3] = {p[0], wide ? p[1] : '\0', '\0'};
      const int32_t span = wide ? 2 : 1;
      column += span;
      draw_piece(ctx, w, MRVRECT{x, y, x + span * cw, y + ch}, piece);
      p += span;
      drawn = true;
    }
    if (drawn && w != kCellWindow && attr.word3 != 0) {
      keep();
      if (!MRVEXEC_Wait(ctx, static_cast<int32_t>(attr.word3))) return 0;
    }
    if (column >= columns - 1) {
      column = 0;
      ++row;
    }
    if (row >= rows) {
      move_block(ctx, w, r.left, r.top, MRVRECT{r.left, r.top + ch, r.right, r.bottom});
      fill(ctx, w, MRVRECT{r.left, r.bottom - ch, r.right, r.bottom}, attr.word2);
      column = 0;
      row = rows - 1;
    }
    keep();
  }
  keep();
  return 1;
}

}  // namespace
}  // namespace mrvexec

using namespace mrvexec;

extern "C" {

int32_t MRVEXEC_Text(SystemContext* ctx, int32_t w, const MRVRECT* rect, const char* text) {
  if (ctx == nullptr || rect == nullptr || text == nullptr || w < 0 || w > kCellWindow) return 0;
  return draw_text(ctx, w, *rect, text, 0);
}

int32_t MRVEXEC_String(SystemContext* ctx, int32_t w, const MRVRECT* rect, const char* text,
                       int32_t colour, int32_t style) {
  if (ctx == nullptr || rect == nullptr || text == nullptr || w < 0 || w > kCellWindow) return 0;
  FAQ& attr = sysvar(ctx, MRV_SV_TEXT_STYLE + w);
  const uint32_t saved_colour = attr.word1, saved_style = attr.word4;
  attr.word1 = static_cast<uint32_t>(colour);
  attr.word4 = static_cast<uint32_t>(style);
  const int32_t drawn = draw_piece(ctx, w, *rect, text);
  attr.word1 = saved_colour;
  attr.word4 = saved_style;
  return drawn;
}

int32_t MRVEXEC_GetMousePos(SystemContext* ctx, int32_t w, MRVPOINT* point) {
  if (point == nullptr) return 0;
  point->x = point->y = kNoMouse;
  if (ctx == nullptr || w < 0 || w > kCellWindow) return 0;
  const FAQ& win = sysvar(ctx, MRV_SV_WINDOW + w);
  const uint32_t hwnd = load_gate(win.word1);
  int32_t x = 0, y = 0;
  plat::cursor_pos(&x, &y);
  if (hwnd == 0 || plat::window_from_point(x, y) != hwnd) return 0;
  plat::Rect client{};
  if (!plat::screen_to_client(hwnd, &x, &y) || !plat::client_rect(hwnd, &client)) return 0;
  if (x < client.left || y < client.top || x >= client.right || y >= client.bottom) return 0;
  korvex_ordinal_62(load_gate(win.word2), &point->x, &point->y);
  return 1;
}

}  // extern "C"
