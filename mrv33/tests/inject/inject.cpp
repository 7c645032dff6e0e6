// A command library for the host's end-to-end tests, loaded by name as
// INJECT. Its commands put input into the host's windows the way the window
// system's backend does (posted to the main thread's queue), read words of
// system variables that scenarios cannot reach, and start the situations in
// which closing must not lock up. Records go to the tracer as "@T ...".
#include <time.h>

#include <cstdio>
#include <string>

#include "mrvexec.h"
#include "mrvshare.h"
#include "platform/window.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using mrv::load_gate;
using mrv::sysvar;

int32_t arg(SystemContext* ctx, VarTable* args, int32_t i) {
  int32_t n = 0;
  MRVVAL_ArgNumber(ctx, args, i, &n);
  return n;
}

int32_t result(SystemContext* ctx, VarTable* args, int32_t value) {
  MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, value, 0);
  return 1;
}

uint32_t window(SystemContext* ctx, int32_t w) {
  return w >= 0 && w < MRV_WINDOW_NUMBERS ? load_gate(sysvar(ctx, MRV_SV_WINDOW + w).word1) : 0;
}

intptr_t point(int32_t x, int32_t y) {
  return static_cast<intptr_t>((uint32_t(x) & 0xFFFF) | (uint32_t(y) & 0xFFFF) << 16);
}

// Host request `code` with `data`, waited for (passing the turn).
void request(SystemContext* ctx, uint32_t code, uint32_t data) {
  while (load_gate(ctx->hostRequest) != MRV_REQUEST_NONE) MRVEXEC_IdleTask(ctx, ~0u);
  mrv::store_data(ctx->hostRequestData, data);
  mrv::store_gate(ctx->hostRequest, code);
  while (load_gate(ctx->hostRequest) != MRV_REQUEST_NONE) MRVEXEC_IdleTask(ctx, ~0u);
}

// Waits, passing the turn, until the running task is told to end.
void wait_for_end(SystemContext* ctx) {
  const int32_t t = ctx->currentTask;
  while ((mrv::load_flags(ctx->taskFlags[t]) & TASK_END) == 0) {
    if (!MRVEXEC_IdleTask(ctx, ~0u)) return;
  }
}

}  // namespace

// KEY(vk, down): a key pressed (down != 0) or released in the main window.
EXPORT int32_t MRV_KEY(SystemContext* ctx, VarTable* args) {
  return result(ctx, args,
                plat::inject_key(ctx->hwndMain, arg(ctx, args, 1), arg(ctx, args, 2) != 0));
}

// MOUSE(w, message, x, y): a mouse message at client (x, y) of window w.
EXPORT int32_t MRV_MOUSE(SystemContext* ctx, VarTable* args) {
  const uint32_t hwnd = window(ctx, arg(ctx, args, 1));
  const auto msg = static_cast<uint32_t>(arg(ctx, args, 2));
  const int32_t x = arg(ctx, args, 3), y = arg(ctx, args, 4);
  if (msg == 0x0206) {  // the right double-click: the cursor goes there first
    plat::inject_mouse(hwnd, plat::WM_MOUSEMOVE, x, y);
    return result(ctx, args, plat::post_message(hwnd, msg, 0, point(x, y)));
  }
  return result(ctx, args, plat::inject_mouse(hwnd, msg, x, y));
}

// CLOSE(w, wparam[, wait]): the close message to window w; with wait != 0 it
// is sent, and the call returns once the window has handled it.
EXPORT int32_t MRV_CLOSE(SystemContext* ctx, VarTable* args) {
  const uint32_t hwnd = window(ctx, arg(ctx, args, 1));
  const auto wparam = static_cast<uintptr_t>(arg(ctx, args, 2));
  if (arg(ctx, args, 3) != 0) {
    plat::send_message(hwnd, plat::WM_CLOSE, wparam, 0);
    return result(ctx, args, -1);
  }
  return result(ctx, args, plat::post_message(hwnd, plat::WM_CLOSE, wparam, 0));
}

// COMMAND(n): a menu command with identifier n to the main window.
EXPORT int32_t MRV_COMMAND(SystemContext* ctx, VarTable* args) {
  return result(ctx, args,
                plat::post_message(ctx->hwndMain, 0x0111, uintptr_t(arg(ctx, args, 1)), 0));
}

// SUB(w): a sub-window numbered w, made through host request 1.
EXPORT int32_t MRV_SUB(SystemContext* ctx, VarTable* args) {
  const int32_t w = arg(ctx, args, 1);
  auto* block = static_cast<MRVCREATEWINDOW*>(
      MRVTASK_AllocMemory(ctx->hwndMain, sizeof(MRVCREATEWINDOW) + 20));
  char* name = reinterpret_cast<char*>(block + 1);
  std::snprintf(name, 20, "Marovine33Sub");
  block->className = block->windowName = MRV_WORD(name);
  block->x = 400, block->y = 0, block->width = 100, block->height = 100;
  request(ctx, MRV_REQUEST_CREATE_WINDOW, MRV_WORD(block));
  const uint32_t hwnd = mrv::load_data(ctx->hostRequestData);
  MRVTASK_FreeMemory(ctx->hwndMain, block);
  plat::set_user_data(hwnd, w);
  FAQ& rec = sysvar(ctx, MRV_SV_WINDOW + w);
  rec.type = TYPE_RECT;
  mrv::store_gate(rec.word1, hwnd);
  return result(ctx, args, hwnd != 0 ? -1 : 0);
}

// MINIMISED(w): TRUE while window w is minimised. MINIMISE(w) minimises it.
EXPORT int32_t MRV_MINIMISED(SystemContext* ctx, VarTable* args) {
  return result(ctx, args, plat::is_minimised(window(ctx, arg(ctx, args, 1))) ? -1 : 0);
}
EXPORT int32_t MRV_MINIMISE(SystemContext* ctx, VarTable* args) {
  return result(ctx, args, plat::minimise_window(window(ctx, arg(ctx, args, 1))) ? -1 : 0);
}

// WORDS(n): the four words of #n as a rectangle value.
EXPORT int32_t MRV_WORDS(SystemContext* ctx, VarTable* args) {
  const FAQ& v = sysvar(ctx, arg(ctx, args, 1));
  FAQ& out = MRV_CELLS(args)[0];
  out = FAQ{};
  out.type = TYPE_RECT;
  out.word1 = load_gate(v.word1);
  out.word2 = load_gate(v.word2);
  out.word3 = mrv::load_data(v.word3);
  out.word4 = mrv::load_data(v.word4);
  return 1;
}

// SCALE(w, x, y): the display scale of window w in percent. The window is
// then sized again, which hands the scale to the drawing library.
EXPORT int32_t MRV_SCALE(SystemContext* ctx, VarTable* args) {
  const int32_t w = arg(ctx, args, 1);
  FAQ& s = sysvar(ctx, MRV_SV_SCALE + w);
  s.word3 = uint32_t(arg(ctx, args, 2));
  s.word4 = uint32_t(arg(ctx, args, 3));
  plat::Rect r{};
  const uint32_t hwnd = window(ctx, w);
  return result(ctx, args, plat::window_rect(hwnd, &r) && plat::set_client_rect(hwnd, r) ? -1 : 0);
}

// STAMP(): "@T stamp <microseconds of the monotonic clock>".
EXPORT int32_t MRV_STAMP(SystemContext* ctx, VarTable*) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const long long us = static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  MRVEXEC_SendTracer(ctx, ("@T stamp " + std::to_string(us)).c_str());
  return 1;
}

// ERRORWHENENDING(): once the task is told to end, reports an error (its box
// asks the main window for the scenario, line and task) and fails.
EXPORT int32_t MRV_ERRORWHENENDING(SystemContext* ctx, VarTable*) {
  MRVEXEC_SendTracer(ctx, "@T waiting for the end");
  wait_for_end(ctx);
  MRVTASK_ErrorStop(ctx->hwndMain, "INJECT", "late error");
  return 0;
}

// REQUESTWHENENDING(): once the task is told to end, asks the host for
// request 5 and waits until it is done.
EXPORT int32_t MRV_REQUESTWHENENDING(SystemContext* ctx, VarTable*) {
  MRVEXEC_SendTracer(ctx, "@T waiting for the end");
  wait_for_end(ctx);
  request(ctx, MRV_REQUEST_STOP_SOUND, 0);
  MRVEXEC_SendTracer(ctx, "@T request served");
  return 1;
}
