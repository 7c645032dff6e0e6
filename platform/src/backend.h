// The two seams of the window system: what a window looks like and where
// input comes from (WindowBackend), and how a message box is put before a
// person (DialogBackend). Queues, sends, classes and window records stay in
// window.cpp; the scripted answers and the dialog log stay in dialog.cpp.
// Each has a headless and an SDL implementation, chosen once per process.
#pragma once
#include <cstdint>
#include <string>

#include "platform/window.h"

namespace plat {

// Every call is made on the video thread (the thread that created the
// window); pump() feeds input into the queues through the input_* functions
// below.
class WindowBackend {
 public:
  virtual ~WindowBackend() = default;
  virtual const char* name() const = 0;
  virtual bool graphical() const = 0;
  virtual void create(uint32_t hwnd, const std::string& title, Rect client) = 0;
  virtual void destroy(uint32_t hwnd) = 0;
  virtual void move(uint32_t hwnd, Rect client) = 0;
  virtual void minimise(uint32_t hwnd, bool on) = 0;
  virtual void raise(uint32_t hwnd) = 0;
  virtual void present(uint32_t hwnd, const Frame& frame) = 0;
  // Reads pending events and turns them into messages; returns at once.
  virtual void pump() = 0;
};

// Shows a box to a person and returns the button (Windows numbers). `buttons`
// are the box's buttons in order (up to 3, 0 = none), `def` the one Enter
// chooses, `escape` the one Escape or closing the box chooses.
class DialogBackend {
 public:
  virtual ~DialogBackend() = default;
  virtual int32_t show(const std::string& caption, const std::string& text, const char* prompt,
                       const int32_t buttons[3], int32_t def, int32_t escape, uint32_t flags) = 0;
};

// The backends of this process, chosen at first use: MRV_BACKEND=sdl|headless,
// else SDL when DISPLAY or WAYLAND_DISPLAY is set. SDL falls back to headless
// (with a line on standard error) when it cannot start.
WindowBackend& window_backend();
DialogBackend& dialog_backend();
// The SDL implementations are the module platform_sdl.so (platform/sdl),
// whose "plat_sdl_windows" and "plat_sdl_dialogs" make them (null when SDL
// cannot start). The functions below are what the module calls back, so they
// leave the library; nothing else uses them.

// True when the calling thread is the one whose windows the backend shows.
PLAT_API bool on_video_thread();

// What a backend reports, as a user's input (they update key state and cursor
// like injected input does). Coordinates are client coordinates.
PLAT_API void input_key(uint32_t hwnd, int32_t vkey, bool down);
PLAT_API void input_mouse(uint32_t hwnd, uint32_t msg, int32_t x, int32_t y);
PLAT_API void input_close(uint32_t hwnd);
PLAT_API void input_placed(uint32_t hwnd, Rect client);  // moved or resized by the person
PLAT_API void input_minimised(uint32_t hwnd, bool on);
PLAT_API void input_focus(uint32_t hwnd, bool on);
PLAT_API void input_exposed(uint32_t hwnd);

// Windows virtual-key code to the key data's scan code (bits 16-23) and
// extended-key flag (bit 24), as a keyboard of the original system gives them.
PLAT_API uint32_t key_data_scan(int32_t vkey);

}  // namespace plat
