// mrvwin: a sample command library of the kind a title brings along. It opens
// the title's main window through the host (host request 1), gives it a
// drawing surface of the drawing library, and offers text output, clearing,
// pictures, sounds, waiting for a key or a click, printing a line for the
// person at the terminal, and saving the window as a PNG image.
//
//   MRVWIN:OPEN(width, height, "title")   the main window (number 0)
//   MRVWIN:TEXT("text")                   typewriter text with @-sequences
//   MRVWIN:CLEAR(0)                       background colour, cursor home
//   MRVWIN:WAITINPUT(ms)                  1 key, 2 click, 0 nothing within ms
//   MRVWIN:PRINT(values...)               one line on standard output
//   MRVWIN:SAVE("file.png")               TRUE when saved
//   MRVWIN:PICTURE("file", key)           a picture cell from a PNG or BMP
//                                         file; pixels of the 15-bit colour
//                                         `key` are transparent (-1: none)
//   MRVWIN:DRAW(cell, x, y)               the cell into the window at (x, y)
//   MRVWIN:SOUND("file")                  a wave value from a WAV or Ogg file
//   MRVWIN:PLAY(wave, times)              plays it (0 times: until stopped)
//   MRVWIN:STOP(0)                        stops every sound
// Files are read through the file manager, as a title's library should, so
// that DATA\BG.BMP is found in the archive DATA.vfs as well as in the folder
// DATA; they are looked for as given, then in the program directory. PICTURE
// and SOUND give 0 for a file that is missing or not a picture or sound.
#include <SDL_image.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "korvex.h"
#include "mrvexec.h"
#include "mrvfile.h"
#include "mrvshare.h"
#include "mrvtask.h"
#include "mrvval.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/window.h"
#include "sindra.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int32_t kMain = 0;  // window number of the main window

using mrv::load_gate;
using mrv::store_gate;
using mrv::sysvar;

int32_t result(SystemContext* ctx, VarTable* args, int32_t value) {
  MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, value, 0);
  return 1;
}

// The four words of a system variable, shown as a rectangle so that the
// viewer and DebugMessage show them all. The host may read them meanwhile.
void set_words(SystemContext* ctx, int32_t n, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  FAQ& v = sysvar(ctx, n);
  v.type = TYPE_RECT;
  mrv::store_data(v.word3, w3);
  mrv::store_data(v.word4, w4);
  store_gate(v.word1, w1);
  store_gate(v.word2, w2);
}

// Asks the host's main thread to do request `code` with `data` and waits,
// passing the turn, until it is done; false when the task was told to end or
// the host could not carry it out. Only one request can be pending, so a
// request of another task is let through first.
bool host_request(SystemContext* ctx, uint32_t code, uint32_t data) {
  while (load_gate(ctx->hostRequest) != MRV_REQUEST_NONE) {
    if (!MRVEXEC_IdleTask(ctx, ~0u)) return false;
  }
  mrv::store_data(ctx->hostRequestData, data);
  store_gate(ctx->hostRequest, code);
  while (load_gate(ctx->hostRequest) != MRV_REQUEST_NONE) {
    if (!MRVEXEC_IdleTask(ctx, ~0u)) return false;
  }
  return mrv::load_data(ctx->hostRequestData) != MRV_REQUEST_FAILED;
}

MRVRECT text_area(SystemContext* ctx) {
  int32_t w = 0, h = 0;
  korvex_surface_size(load_gate(sysvar(ctx, MRV_SV_WINDOW + kMain).word2), &w, &h);
  return MRVRECT{0, 0, w, h};
}

// The whole file `name` in a new memory block (free it with
// MRVTASK_FreeMemory) and its size: as given, else in the program directory;
// null when neither holds it.
void* read_file(SystemContext* ctx, const char* name, uint32_t* size) {
  char path[MRV_PATH + MRV_MSGBUF];
  for (const char* dir :
       {static_cast<const char*>(nullptr), static_cast<const char*>(ctx->programDir)}) {
    std::snprintf(path, sizeof path, "%s%s%s", dir ? dir : "", dir ? "\\" : "", name);
    if (!MRVFILE_Exist(ctx->hwndMain, path)) continue;
    *size = MRVFILE_Size(ctx->hwndMain, path);
    return *size == 0 ? nullptr : MRVFILE_ReadBlock(ctx->hwndMain, path, 0);
  }
  return nullptr;
}

// Puts a value owning `block` as the command's result.
int32_t owned_result(SystemContext* ctx, VarTable* args, uint16_t type, uint32_t block) {
  FAQ& r = MRV_CELLS(args)[0];
  MRVFAQ_Clear(ctx, &r);
  r.type = type;
  r.word1 = block;
  return 1;
}

// 8-bit channels to the drawing library's 15-bit colour.
uint16_t rgb15(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint16_t>((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
}

}  // namespace

EXPORT int32_t MRV_OPEN(SystemContext* ctx, VarTable* args) {
  int32_t width = 640, height = 480;
  char title[MRV_MSGBUF] = "Marovine33";
  if (!MRVVAL_ArgNumber(ctx, args, 1, &width) || !MRVVAL_ArgNumber(ctx, args, 2, &height) ||
      !MRVVAL_ArgString(ctx, args, 3, title))
    return 0;
  // The request's words, then the two names they point to, in one memory
  // block so that every address fits a word.
  const std::string cls = "Marovine33";
  const std::size_t size = sizeof(MRVCREATEWINDOW) + cls.size() + 1 + std::strlen(title) + 1;
  auto* block = static_cast<MRVCREATEWINDOW*>(MRVTASK_AllocMemory(ctx->hwndMain, uint32_t(size)));
  if (block == nullptr) return 0;
  char* names = reinterpret_cast<char*>(block + 1);
  std::memcpy(names, cls.c_str(), cls.size() + 1);
  std::memcpy(names + cls.size() + 1, title, std::strlen(title) + 1);
  block->className = MRV_WORD(names);
  block->windowName = MRV_WORD(names + cls.size() + 1);
  block->width = width;
  block->height = height;
  const bool done = host_request(ctx, MRV_REQUEST_CREATE_WINDOW, MRV_WORD(block));
  const uint32_t hwnd = done ? mrv::load_data(ctx->hostRequestData) : 0;
  MRVTASK_FreeMemory(ctx->hwndMain, block);
  if (hwnd == 0) return result(ctx, args, 0);
  plat::set_user_data(hwnd, kMain);
  const uint32_t surface = korvex_surface_create(hwnd, width, height);
  mrv::store_gate(ctx->hwndMain, hwnd);  // the host posts to it from then on
  set_words(ctx, MRV_SV_WINDOW + kMain, hwnd, surface, 0, 0);
  set_words(ctx, MRV_SV_CURSOR + kMain, 0, 0, 8, 16);          // cells of 8 x 16 pixels
  set_words(ctx, MRV_SV_TEXT_STYLE + kMain, 0x7FFF, 0, 0, 0);  // white on black, no pause
  set_words(ctx, MRV_SV_RESIZE_WORDS + kMain, 0, 0, 0, 0);     // nothing for the drawing library
  set_words(ctx, MRV_SV_SCALE + kMain, 0, 0, 100, 100);        // scale 100 %
  set_words(ctx, MRV_SV_LEFT_BUTTON + kMain, 0, 0, 0, 0);
  set_words(ctx, MRV_SV_RIGHT_BUTTON + kMain, 0, 0, 0, 0);
  MRVSTR_SetByte(ctx, &sysvar(ctx, MRV_SV_FONT + kMain), MRV_CP932("ＭＳ ゴシック"));
  return result(ctx, args, -1);
}

EXPORT int32_t MRV_TEXT(SystemContext* ctx, VarTable* args) {
  char text[MRV_MSGBUF];
  if (!MRVVAL_ArgString(ctx, args, 1, text)) return 0;
  const MRVRECT area = text_area(ctx);
  return MRVEXEC_Text(ctx, kMain, &area, text);
}

EXPORT int32_t MRV_CLEAR(SystemContext* ctx, VarTable*) {
  const FAQ& win = sysvar(ctx, MRV_SV_WINDOW + kMain);
  if (load_gate(win.word1) == 0) return 1;
  korvex_ordinal_17(load_gate(win.word2), nullptr, sysvar(ctx, MRV_SV_TEXT_STYLE + kMain).word2);
  FAQ& cursor = sysvar(ctx, MRV_SV_CURSOR + kMain);
  cursor.word1 = cursor.word2 = 0;
  return 1;
}

EXPORT int32_t MRV_WAITINPUT(SystemContext* ctx, VarTable* args) {
  int32_t ms = 0;
  if (!MRVVAL_ArgNumber(ctx, args, 1, &ms)) return 0;
  const uint32_t start = plat::ticks_ms();
  FAQ& key = sysvar(ctx, MRV_SV_KEY);
  FAQ& left = sysvar(ctx, MRV_SV_LEFT_BUTTON + kMain);
  store_gate(key.word1, 0);
  mrv::clear_gate(left.word2, MRV_BUTTON_HELD);
  for (;;) {
    if (load_gate(key.word1) != 0) return result(ctx, args, 1);
    if ((load_gate(left.word2) & MRV_BUTTON_HELD) != 0) {
      mrv::clear_gate(left.word2, MRV_BUTTON_HELD);
      return result(ctx, args, 2);
    }
    if (plat::ticks_ms() - start >= uint32_t(ms)) return result(ctx, args, 0);
    if (!MRVEXEC_Wait(ctx, 20)) return result(ctx, args, 0);  // the task is being ended
  }
}

EXPORT int32_t MRV_PRINT(SystemContext* ctx, VarTable* args) {
  int32_t n = 0;
  MRVFAQ_Int(ctx, &MRV_CELLS(args)[0], &n);
  std::string line;
  std::vector<char> shown(MRV_MSGBUF);
  for (int32_t i = 1; i < n; ++i) {
    FAQ v = MRV_CELLS(args)[i];
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
  const uint32_t surface = load_gate(sysvar(ctx, MRV_SV_WINDOW + kMain).word2);
  return result(ctx, args, korvex_surface_save_png(surface, path) ? -1 : 0);
}

EXPORT int32_t MRV_PICTURE(SystemContext* ctx, VarTable* args) {
  char name[MRV_MSGBUF];
  int32_t key = -1;
  if (!MRVVAL_ArgString(ctx, args, 1, name) || !MRVVAL_ArgNumber(ctx, args, 2, &key)) return 0;
  uint32_t size = 0;
  void* file = read_file(ctx, name, &size);
  SDL_Surface* loaded =
      file != nullptr ? IMG_Load_RW(SDL_RWFromConstMem(file, int(size)), 1) : nullptr;
  if (file != nullptr) MRVTASK_FreeMemory(ctx->hwndMain, file);
  SDL_Surface* img =
      loaded != nullptr ? SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGBA32, 0) : nullptr;
  if (loaded != nullptr) SDL_FreeSurface(loaded);
  if (img == nullptr) return result(ctx, args, 0);
  const uint32_t cell = korvex_cell_create(img->w, img->h, key < 0 ? KORVEX_NO_KEY : uint32_t(key));
  if (cell != 0) {
    // The cell's pixels, row by row (descriptor word 9 holds their block).
    const auto* desc = static_cast<const uint32_t*>(MRV_PTR(cell));
    auto* px = static_cast<uint16_t*>(MRV_PTR(desc[8]));
    for (int32_t y = 0; y < img->h; ++y) {
      const auto* row = static_cast<const uint8_t*>(img->pixels) + y * img->pitch;
      for (int32_t x = 0; x < img->w; ++x) {
        const uint8_t* p = row + x * 4;
        // A transparent pixel of the file becomes the key colour.
        px[y * img->w + x] = p[3] < 128 && key >= 0 ? uint16_t(key) : rgb15(p[0], p[1], p[2]);
      }
    }
  }
  SDL_FreeSurface(img);
  return cell != 0 ? owned_result(ctx, args, TYPE_CELL, cell) : result(ctx, args, 0);
}

EXPORT int32_t MRV_DRAW(SystemContext* ctx, VarTable* args) {
  int32_t x = 0, y = 0;
  if (!MRVVAL_ArgNumber(ctx, args, 2, &x) || !MRVVAL_ArgNumber(ctx, args, 3, &y)) return 0;
  const FAQ& c = MRV_CELLS(args)[1];
  const uint32_t surface = load_gate(sysvar(ctx, MRV_SV_WINDOW + kMain).word2);
  if (c.type != TYPE_CELL || c.word1 == 0 || surface == 0) return result(ctx, args, 0);
  const auto* desc = static_cast<const uint32_t*>(MRV_PTR(c.word1));
  const KorvexRect all{0, 0, int32_t(desc[1]), int32_t(desc[2])};
  korvex_ordinal_18(surface, x, y, c.word1, &all, desc[7]);
  korvex_ordinal_16(surface, 0, 0);
  return result(ctx, args, -1);
}

EXPORT int32_t MRV_SOUND(SystemContext* ctx, VarTable* args) {
  char name[MRV_MSGBUF];
  if (!MRVVAL_ArgString(ctx, args, 1, name)) return 0;
  uint32_t length = 0;
  void* file = read_file(ctx, name, &length);
  const uint32_t size = file != nullptr ? sindra_block_size(length) : 0;
  void* block = size == 0 ? nullptr : MRVTASK_AllocMemory(ctx->hwndMain, size);
  if (block != nullptr) sindra_block_fill(block, file, length);
  if (file != nullptr) MRVTASK_FreeMemory(ctx->hwndMain, file);
  if (block == nullptr) return result(ctx, args, 0);
  return owned_result(ctx, args, TYPE_WAVE, MRV_WORD(block));
}

EXPORT int32_t MRV_PLAY(SystemContext* ctx, VarTable* args) {
  int32_t times = 1;
  if (!MRVVAL_ArgNumber(ctx, args, 2, &times)) return 0;
  const FAQ& w = MRV_CELLS(args)[1];
  if (w.type != TYPE_WAVE || w.word1 == 0) return result(ctx, args, 0);
  auto* block =
      static_cast<MRVPLAYSOUND*>(MRVTASK_AllocMemory(ctx->hwndMain, sizeof(MRVPLAYSOUND)));
  if (block == nullptr) return result(ctx, args, 0);
  block->sound = w.word1;
  std::snprintf(block->name, sizeof block->name, "mrvwin");
  block->volume = 128;
  block->times = uint32_t(times < 0 ? 0 : times);
  const bool done = host_request(ctx, MRV_REQUEST_PLAY, MRV_WORD(block));
  MRVTASK_FreeMemory(ctx->hwndMain, block);
  return result(ctx, args, done ? -1 : 0);
}

EXPORT int32_t MRV_STOP(SystemContext* ctx, VarTable* args) {
  return result(ctx, args, host_request(ctx, MRV_REQUEST_STOP_SOUND, 0) ? -1 : 0);
}
