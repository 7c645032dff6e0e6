// The window system: classes with procedures, windows with a user-data word
// and a client rectangle, one message queue per thread, post and send, peek
// and dispatch, input injection and a single-instance lock.
//
// Windows of a class registered as shown appear on the display when the
// graphical backend is in use (MRV_BACKEND=sdl|headless; by default SDL when
// DISPLAY or WAYLAND_DISPLAY is set): those of the video thread, the thread
// that started the backend (backend_name or the first window), whose
// peek_message and wait_message also read the display's events and present
// the pictures that changed. A message box raised by another thread is
// shown by the video thread too, served like a send to it. Everything else
// behaves the same in both backends.
//
// A send to a window of another thread waits until that thread pumps its
// queue (peek_message and wait_message serve pending sends first); a send to a
// window of the calling thread calls the procedure directly. A send to a
// thread that has ended gives 0: a thread's windows go away with it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/export.h"

namespace plat {

using WndProc = intptr_t (*)(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);

struct Message {
  uint32_t hwnd;
  uint32_t msg;
  uintptr_t wparam;
  intptr_t lparam;
};

struct Rect {
  int32_t left, top, right, bottom;
};

// Window messages the platform itself produces.
enum : uint32_t {
  WM_CREATE = 0x0001,
  WM_DESTROY = 0x0002,
  WM_SIZE = 0x0005,
  WM_ACTIVATE = 0x0006,
  WM_PAINT = 0x000F,
  WM_CLOSE = 0x0010,
  WM_QUIT = 0x0012,
  WM_KEYDOWN = 0x0100,
  WM_KEYUP = 0x0101,
  WM_CHAR = 0x0102,
  WM_MOUSEMOVE = 0x0200,
  WM_LBUTTONDOWN = 0x0201,
  WM_LBUTTONUP = 0x0202,
  WM_LBUTTONDBLCLK = 0x0203,
  WM_RBUTTONDOWN = 0x0204,
  WM_RBUTTONUP = 0x0205,
  WM_RBUTTONDBLCLK = 0x0206,
  WM_USER = 0x0400,
};

// wParam of WM_SIZE and of the mouse messages.
enum : uintptr_t {
  SIZE_RESTORED = 0,
  SIZE_MINIMIZED = 1,
  MK_LBUTTON = 0x0001,
  MK_RBUTTON = 0x0002,
  WA_INACTIVE = 0,
  WA_ACTIVE = 1,
};

// A window's picture: 15-bit pixels (red in bits 10-14) and the display
// scale in percent it is shown at.
struct Frame {
  int32_t w = 0, h = 0;
  int32_t scale_x = 100, scale_y = 100;
  std::vector<uint16_t> px;
};
// Fills `out` with the current picture of `hwnd`; false when there is none.
// Called on the video thread, without any lock of the platform held.
using PaintSource = bool (*)(uint32_t hwnd, void* user, Frame* out);

// `shown`: the class's windows appear on the display (graphical backend).
PLAT_API bool register_class(const char* name, WndProc proc, bool shown = false);
// Creates a window owned by the calling thread; WM_CREATE is sent before it
// returns. 0 when the class is unknown.
PLAT_API uint32_t create_window(const char* class_name, const char* title, uint32_t parent,
                                Rect rect);
// Destroys a window of any thread (WM_DESTROY reaches its procedure on the
// owning thread); false for a window that does not exist.
PLAT_API bool destroy_window(uint32_t hwnd);
PLAT_API bool is_window(uint32_t hwnd);
// What a procedure does with a message it does not handle itself: WM_CLOSE
// destroys the window, everything else gives 0.
PLAT_API intptr_t def_window_proc(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
PLAT_API uint32_t window_thread(uint32_t hwnd);
PLAT_API uint32_t find_window(const char* class_name);
PLAT_API intptr_t get_user_data(uint32_t hwnd);
PLAT_API intptr_t set_user_data(uint32_t hwnd, intptr_t value);  // returns the old value
// A window's client area is `rect` of create_window, in screen coordinates:
// client_rect gives it as (0, 0, width, height), window_rect as placed.
PLAT_API bool client_rect(uint32_t hwnd, Rect* out);
PLAT_API bool window_rect(uint32_t hwnd, Rect* out);
// Moves or resizes the client area (screen coordinates); sends WM_SIZE.
PLAT_API bool set_client_rect(uint32_t hwnd, Rect rect);
// Screen to client coordinates of a window, in place.
PLAT_API bool screen_to_client(uint32_t hwnd, int32_t* x, int32_t* y);
// Minimise and restore send WM_SIZE (SIZE_MINIMIZED, SIZE_RESTORED).
PLAT_API bool minimise_window(uint32_t hwnd);
PLAT_API bool restore_window(uint32_t hwnd);
PLAT_API bool is_minimised(uint32_t hwnd);
// Puts a window above all others (window_from_point finds it first).
PLAT_API bool bring_to_top(uint32_t hwnd);

PLAT_API bool post_message(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
PLAT_API bool post_quit(int32_t code);
// 0 when the window does not exist.
PLAT_API intptr_t send_message(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
// Takes the next message of the calling thread's queue, if any (serving any
// pending sends first); false when there is none.
PLAT_API bool peek_message(Message* out);
// Waits up to `timeout_ms` for a message or a pending send to arrive.
PLAT_API bool wait_message(uint32_t timeout_ms);
// Sleeps for `ms` milliseconds while serving the sends addressed to the
// calling thread as they arrive (0: serves those waiting and returns).
// Posted messages stay queued.
PLAT_API void serve_sends_for(uint32_t ms);
PLAT_API intptr_t dispatch_message(const Message& m);

// Cursor in screen coordinates and the window under it.
PLAT_API void cursor_pos(int32_t* x, int32_t* y);
PLAT_API void set_cursor_pos(int32_t x, int32_t y);
// The topmost window that is not minimised and whose client area holds the point.
PLAT_API uint32_t window_from_point(int32_t x, int32_t y);
// Key state: bit 15 when the key is down; async state also sets bit 0 when the
// key was pressed since the previous async query.
PLAT_API int16_t async_key_state(int32_t vkey);
PLAT_API int16_t key_state(int32_t vkey);

// Where a shown window's picture comes from (nullptr: none), and the note
// that it changed; the video thread presents it at its next pump. Headless,
// nothing is presented.
PLAT_API bool set_paint_source(uint32_t hwnd, PaintSource source, void* user);
PLAT_API void invalidate_window(uint32_t hwnd);
// "sdl" or "headless": the backend of this process.
PLAT_API const char* backend_name();

// Input injection (what a user would do), posted to the window's queue. Keys
// update the key state at once. Mouse coordinates are client coordinates;
// the cursor moves there.
PLAT_API bool inject_key(uint32_t hwnd, int32_t vkey, bool down);
PLAT_API bool inject_mouse(uint32_t hwnd, uint32_t msg, int32_t x, int32_t y);
PLAT_API bool inject_close(uint32_t hwnd);

// A per-user lock held across processes; false when another process holds it.
// It lives in the runtime directory and goes when the process ends.
PLAT_API bool single_instance_acquire(const char* name);
// Releases every lock this process holds.
PLAT_API void single_instance_release();
// The per-user runtime directory ($MRV_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/mrv33, else ${TMPDIR:-/tmp}/mrv33-<uid>). Only resolved:
// whoever puts a lock or socket there makes it private first (private_dir).
PLAT_API std::string runtime_dir();

}  // namespace plat
