// mrvwin: a sample command library of the kind a title brings along. It opens
// the title's main window through the host (host request 1), gives it a
// drawing surface of the drawing library, and offers text output, clearing,
// waiting for a key or a click, printing a line for the person at the
// terminal, and saving the window as a PNG image.
//
//   MRVWIN:OPEN(width, height, "title")   the main window (number 0)
//   MRVWIN:TEXT("text")                   typewriter text with @-sequences
//   MRVWIN:CLEAR(0)                       background colour, cursor home
//   MRVWIN:WAITINPUT(ms)                  1 key, 2 click, 0 nothing within ms
//   MRVWIN:PRINT(values...)               one line on standard output
//   MRVWIN:SAVE("file.png")               TRUE when saved
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "korvex.h"
#include "mrvexec.h"
#include "mrvval.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/window.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int32_t kMain = 0;  // window number of the main window

FAQ* cells(VarTable* args) {
  return static_cast<FAQ*>(MRV_PTR(args->cells));
}

FAQ& sysvar(SystemContext* ctx, int32_t n) {
  return MRV_CELLS(&ctx->systemVars)[n + ctx->systemVars.base];
}

uint32_t load(const uint32_t& w) {
  return std::atomic_ref<const uint32_t>(w).load(std::memory_order_acquire);
}
void store(uint32_t& w, uint32_t v) {
  std::atomic_ref<uint32_t>(w).store(v, std::memory_order_release);
}

int32_t result(SystemContext* ctx, VarTable* args, int32_t value) {
  MRVFAQ_Number(ctx, &cells(args)[0], 1, value, 0);
  return 1;
}

// The four words of a system variable, shown as a rectangle so that the
// viewer and DebugMessage show them all.
void set_words(SystemContext* ctx, int32_t n, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  FAQ& v = sysvar(ctx, n);
  v.type = TYPE_RECT;
  store(v.word1, w1);
  store(v.word2, w2);
  store(v.word3, w3);
  store(v.word4, w4);
}

// Asks the host's main thread to do request `code` with `data` and waits,
// passing the turn, until it is done. Only one request can be pending, so a
// request of another task is let through first.
bool host_request(SystemContext* ctx, uint32_t code, uint32_t data) {
  while (load(ctx->hostRequest) != 0) {
    if (!MRVEXEC_IdleTask(ctx, ~0u)) return false;
  }
  store(ctx->hostRequestData, data);
  store(ctx->hostRequest, code);
  while (load(ctx->hostRequest) != 0) {
    if (!MRVEXEC_IdleTask(ctx, ~0u)) return false;
  }
  return true;
}

MRVRECT text_area(SystemContext* ctx) {
  int32_t w = 0, h = 0;
  korvex_surface_size(load(sysvar(ctx, 20 + kMain).word2), &w, &h);
  return MRVRECT{0, 0, w, h};
}

}  // namespace

EXPORT int32_t MRV_OPEN(SystemContext* ctx, VarTable* args) {
  int32_t width = 640, height = 480;
  char title[MRV_MSGBUF] = "Marovine33";
  if (!MRVVAL_ArgNumber(ctx, args, 1, &width) || !MRVVAL_ArgNumber(ctx, args, 2, &height) ||
      !MRVVAL_ArgString(ctx, args, 3, title))
    return 0;
  // The ten words of the request, then the two names they point to, in one
  // memory block so that every address fits a word.
  const std::string cls = "Marovine33";
  const std::size_t size = 40 + cls.size() + 1 + std::strlen(title) + 1;
  auto* block = static_cast<uint32_t*>(MRVTASK_AllocMemory(ctx->hwndMain, uint32_t(size)));
  if (block == nullptr) return 0;
  char* names = reinterpret_cast<char*>(block + 10);
  std::memcpy(names, cls.c_str(), cls.size() + 1);
  std::memcpy(names + cls.size() + 1, title, std::strlen(title) + 1);
  block[1] = MRV_WORD(names);
  block[2] = MRV_WORD(names + cls.size() + 1);
  block[4] = 0;  // x
  block[5] = 0;  // y
  block[6] = uint32_t(width);
  block[7] = uint32_t(height);
  const bool done = host_request(ctx, 1, MRV_WORD(block));
  const uint32_t hwnd = done ? load(ctx->hostRequestData) : 0;
  MRVTASK_FreeMemory(ctx->hwndMain, block);
  if (hwnd == 0) return result(ctx, args, 0);
  plat::set_user_data(hwnd, kMain);
  const uint32_t surface = korvex_surface_create(hwnd, width, height);
  ctx->hwndMain = hwnd;
  set_words(ctx, 20 + kMain, hwnd, surface, 0, 0);
  set_words(ctx, 30 + kMain, 0, 0, 8, 16);      // cursor; cells of 8 x 16 pixels
  set_words(ctx, 40 + kMain, 0x7FFF, 0, 0, 0);  // white on black, no pause
  set_words(ctx, 70 + kMain, 0, 0, 0, 0);       // nothing for the drawing library
  set_words(ctx, 100 + kMain, 0, 0, 100, 100);  // scale 100 %
  set_words(ctx, 110 + kMain, 0, 0, 0, 0);      // left button
  set_words(ctx, 120 + kMain, 0, 0, 0, 0);      // right button
  MRVSTR_SetByte(ctx, &sysvar(ctx, 50 + kMain), MRV_CP932("ＭＳ ゴシック"));
  return result(ctx, args, -1);
}

EXPORT int32_t MRV_TEXT(SystemContext* ctx, VarTable* args) {
  char text[MRV_MSGBUF];
  if (!MRVVAL_ArgString(ctx, args, 1, text)) return 0;
  const MRVRECT area = text_area(ctx);
  return MRVEXEC_Text(ctx, kMain, &area, text);
}

EXPORT int32_t MRV_CLEAR(SystemContext* ctx, VarTable*) {
  const FAQ& win = sysvar(ctx, 20 + kMain);
  if (load(win.word1) == 0) return 1;
  korvex_ordinal_17(load(win.word2), nullptr, sysvar(ctx, 40 + kMain).word2);
  FAQ& cursor = sysvar(ctx, 30 + kMain);
  cursor.word1 = cursor.word2 = 0;
  return 1;
}

EXPORT int32_t MRV_WAITINPUT(SystemContext* ctx, VarTable* args) {
  int32_t ms = 0;
  if (!MRVVAL_ArgNumber(ctx, args, 1, &ms)) return 0;
  const uint32_t start = plat::ticks_ms();
  FAQ& key = sysvar(ctx, 2);
  FAQ& left = sysvar(ctx, 110 + kMain);
  store(key.word1, 0);
  std::atomic_ref<uint32_t>(left.word2).fetch_and(~1u);
  for (;;) {
    if (load(key.word1) != 0) return result(ctx, args, 1);
    if ((load(left.word2) & 1) != 0) {
      std::atomic_ref<uint32_t>(left.word2).fetch_and(~1u);
      return result(ctx, args, 2);
    }
    if (plat::ticks_ms() - start >= uint32_t(ms)) return result(ctx, args, 0);
    if (!MRVEXEC_Wait(ctx, 20)) return result(ctx, args, 0);  // the task is being ended
  }
}

EXPORT int32_t MRV_PRINT(SystemContext* ctx, VarTable* args) {
  int32_t n = 0;
  MRVFAQ_Int(ctx, &cells(args)[0], &n);
  std::string line;
  std::vector<char> shown(MRV_MSGBUF);
  for (int32_t i = 1; i < n; ++i) {
    FAQ v = cells(args)[i];
    if (v.type == TYPE_STRING) v.type = CELL_TYPE_RAW_STRING;
    MRVVAL_DisplayValue(ctx, &v, shown.data());
    line += shown.data();
  }
  std::printf("%s\n", plat::cp932_to_utf8(line).c_str());
  std::fflush(stdout);
  return 1;
}

EXPORT int32_t MRV_SAVE(SystemContext* ctx, VarTable* args) {
  char path[MRV_MSGBUF];
  if (!MRVVAL_ArgString(ctx, args, 1, path)) return 0;
  const uint32_t surface = load(sysvar(ctx, 20 + kMain).word2);
  return result(ctx, args, korvex_surface_save_png(surface, path) ? -1 : 0);
}
