// The graphical backends on SDL2: windows on the display with their pictures,
// the display's keyboard and mouse events as window messages, and message
// boxes as SDL's boxes. Only the video thread calls SDL's video functions.
//
// A module of its own, loaded by the platform only when the SDL backend is
// chosen: SDL2 brings dozens of libraries (X11, Wayland, sound servers) that a
// headless run would otherwise map and relocate at every start.
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "../src/backend.h"
#include "platform/clock.h"
#include "platform/dialog.h"

namespace plat {
namespace {

// SDL key to Windows virtual-key code (0: a key the original had no code for).
// Letters and digits by the key they type, the rest by their position.
int32_t virtual_key(const SDL_Keysym& k) {
  if (k.sym >= SDLK_a && k.sym <= SDLK_z) return 'A' + (k.sym - SDLK_a);
  if (k.sym >= SDLK_0 && k.sym <= SDLK_9) return '0' + (k.sym - SDLK_0);
  const SDL_Scancode s = k.scancode;
  if (s >= SDL_SCANCODE_F1 && s <= SDL_SCANCODE_F12) return 0x70 + (s - SDL_SCANCODE_F1);
  if (s >= SDL_SCANCODE_KP_1 && s <= SDL_SCANCODE_KP_9) return 0x61 + (s - SDL_SCANCODE_KP_1);
  if (s >= SDL_SCANCODE_A && s <= SDL_SCANCODE_Z) return 'A' + (s - SDL_SCANCODE_A);
  if (s >= SDL_SCANCODE_1 && s <= SDL_SCANCODE_9) return '1' + (s - SDL_SCANCODE_1);
  switch (s) {
    case SDL_SCANCODE_0:
      return '0';
    case SDL_SCANCODE_BACKSPACE:
      return 0x08;
    case SDL_SCANCODE_TAB:
      return 0x09;
    case SDL_SCANCODE_RETURN:
    case SDL_SCANCODE_KP_ENTER:
      return 0x0D;
    case SDL_SCANCODE_LSHIFT:
    case SDL_SCANCODE_RSHIFT:
      return 0x10;
    case SDL_SCANCODE_LCTRL:
    case SDL_SCANCODE_RCTRL:
      return 0x11;
    case SDL_SCANCODE_LALT:
    case SDL_SCANCODE_RALT:
      return 0x12;
    case SDL_SCANCODE_PAUSE:
      return 0x13;
    case SDL_SCANCODE_CAPSLOCK:
      return 0x14;
    case SDL_SCANCODE_ESCAPE:
      return 0x1B;
    case SDL_SCANCODE_SPACE:
      return 0x20;
    case SDL_SCANCODE_PAGEUP:
      return 0x21;
    case SDL_SCANCODE_PAGEDOWN:
      return 0x22;
    case SDL_SCANCODE_END:
      return 0x23;
    case SDL_SCANCODE_HOME:
      return 0x24;
    case SDL_SCANCODE_LEFT:
      return 0x25;
    case SDL_SCANCODE_UP:
      return 0x26;
    case SDL_SCANCODE_RIGHT:
      return 0x27;
    case SDL_SCANCODE_DOWN:
      return 0x28;
    case SDL_SCANCODE_INSERT:
      return 0x2D;
    case SDL_SCANCODE_DELETE:
      return 0x2E;
    case SDL_SCANCODE_KP_0:
      return 0x60;
    case SDL_SCANCODE_KP_MULTIPLY:
      return 0x6A;
    case SDL_SCANCODE_KP_PLUS:
      return 0x6B;
    case SDL_SCANCODE_KP_MINUS:
      return 0x6D;
    case SDL_SCANCODE_KP_PERIOD:
      return 0x6E;
    case SDL_SCANCODE_KP_DIVIDE:
      return 0x6F;
    case SDL_SCANCODE_NUMLOCKCLEAR:
      return 0x90;
    case SDL_SCANCODE_SCROLLLOCK:
      return 0x91;
    case SDL_SCANCODE_SEMICOLON:
      return 0xBA;
    case SDL_SCANCODE_EQUALS:
      return 0xBB;
    case SDL_SCANCODE_COMMA:
      return 0xBC;
    case SDL_SCANCODE_MINUS:
      return 0xBD;
    case SDL_SCANCODE_PERIOD:
      return 0xBE;
    case SDL_SCANCODE_SLASH:
      return 0xBF;
    case SDL_SCANCODE_GRAVE:
      return 0xC0;
    case SDL_SCANCODE_LEFTBRACKET:
      return 0xDB;
    case SDL_SCANCODE_BACKSLASH:
      return 0xDC;
    case SDL_SCANCODE_RIGHTBRACKET:
      return 0xDD;
    case SDL_SCANCODE_APOSTROPHE:
      return 0xDE;
    default:
      return 0;
  }
}

class SdlWindows final : public WindowBackend {
 public:
  const char* name() const override { return "sdl"; }
  bool graphical() const override { return true; }

  void create(uint32_t hwnd, const std::string& title, Rect c) override {
    SDL_Window* win = SDL_CreateWindow(title.c_str(), c.left, c.top, c.right - c.left,
                                       c.bottom - c.top, SDL_WINDOW_RESIZABLE);
    if (win == nullptr) {
      std::fprintf(stderr, "SDL_CreateWindow: %s\n", SDL_GetError());
      return;
    }
    Win w;
    w.win = win;
    w.ren = SDL_CreateRenderer(win, -1, SDL_RENDERER_SOFTWARE);
    wins_[hwnd] = w;
    ids_[SDL_GetWindowID(win)] = hwnd;
    render(wins_[hwnd]);  // black until the title draws
  }

  void destroy(uint32_t hwnd) override {
    auto it = wins_.find(hwnd);
    if (it == wins_.end()) return;
    Win& w = it->second;
    ids_.erase(SDL_GetWindowID(w.win));
    if (w.tex) SDL_DestroyTexture(w.tex);
    if (w.ren) SDL_DestroyRenderer(w.ren);
    SDL_DestroyWindow(w.win);
    wins_.erase(it);
  }

  void move(uint32_t hwnd, Rect c) override {
    if (Win* w = find(hwnd)) {
      SDL_SetWindowPosition(w->win, c.left, c.top);
      SDL_SetWindowSize(w->win, c.right - c.left, c.bottom - c.top);
    }
  }

  void minimise(uint32_t hwnd, bool on) override {
    if (Win* w = find(hwnd)) {
      if (on)
        SDL_MinimizeWindow(w->win);
      else
        SDL_RestoreWindow(w->win);
    }
  }

  void raise(uint32_t hwnd) override {
    if (Win* w = find(hwnd)) SDL_RaiseWindow(w->win);
  }

  void present(uint32_t hwnd, const Frame& f) override {
    Win* w = find(hwnd);
    if (w == nullptr || w->ren == nullptr || f.w <= 0 || f.h <= 0) return;
    if (w->tex == nullptr || w->tw != f.w || w->th != f.h) {
      if (w->tex) SDL_DestroyTexture(w->tex);
      w->tex =
          SDL_CreateTexture(w->ren, SDL_PIXELFORMAT_RGB555, SDL_TEXTUREACCESS_STREAMING, f.w, f.h);
      w->tw = f.w;
      w->th = f.h;
    }
    if (w->tex == nullptr) return;
    SDL_UpdateTexture(w->tex, nullptr, f.px.data(), f.w * 2);
    w->dst = SDL_Rect{0, 0, f.w * f.scale_x / 100, f.h * f.scale_y / 100};
    render(*w);
  }

  void pump() override {
    SDL_Event e;
    while (SDL_PollEvent(&e)) handle(e);
  }

 private:
  struct Win {
    SDL_Window* win = nullptr;
    SDL_Renderer* ren = nullptr;
    SDL_Texture* tex = nullptr;
    int32_t tw = 0, th = 0;
    SDL_Rect dst{};
  };
  struct Click {
    uint32_t hwnd = 0;
    uint8_t button = 0;
    uint32_t at = 0;
    int32_t x = 0, y = 0;
  };

  Win* find(uint32_t hwnd) {
    auto it = wins_.find(hwnd);
    return it == wins_.end() ? nullptr : &it->second;
  }

  uint32_t hwnd_of(uint32_t window_id) {
    auto it = ids_.find(window_id);
    return it == ids_.end() ? 0 : it->second;
  }

  // The whole picture in one presentation (the renderer draws off screen and
  // flips), so a window never shows half a frame.
  static void render(Win& w) {
    if (w.ren == nullptr) return;
    SDL_SetRenderDrawColor(w.ren, 0, 0, 0, 255);
    SDL_RenderClear(w.ren);
    if (w.tex != nullptr) SDL_RenderCopy(w.ren, w.tex, nullptr, &w.dst);
    SDL_RenderPresent(w.ren);
  }

  Rect client_of(uint32_t hwnd) {
    Win* w = find(hwnd);
    Rect r{};
    if (w == nullptr) return r;
    int x, y, cw, ch;
    SDL_GetWindowPosition(w->win, &x, &y);
    SDL_GetWindowSize(w->win, &cw, &ch);
    return Rect{x, y, x + cw, y + ch};
  }

  // A press within the double-click time and distance of the previous press
  // of the same button in the same window is a double-click (500 ms and 4 x 4
  // pixels, the original system's settings); the press after it starts anew.
  bool double_click(uint32_t hwnd, uint8_t button, int32_t x, int32_t y) {
    const uint32_t now = ticks_ms();
    const bool dbl = last_.hwnd == hwnd && last_.button == button && now - last_.at <= 500 &&
                     std::abs(x - last_.x) <= 2 && std::abs(y - last_.y) <= 2;
    if (dbl)
      last_ = Click{};
    else
      last_ = Click{hwnd, button, now, x, y};
    return dbl;
  }

  void handle(const SDL_Event& e) {
    switch (e.type) {
      case SDL_WINDOWEVENT: {
        const uint32_t h = hwnd_of(e.window.windowID);
        if (h == 0) return;
        switch (e.window.event) {
          case SDL_WINDOWEVENT_CLOSE:
            input_close(h);
            break;
          case SDL_WINDOWEVENT_MINIMIZED:
            input_minimised(h, true);
            break;
          case SDL_WINDOWEVENT_RESTORED:
            input_minimised(h, false);
            break;
          case SDL_WINDOWEVENT_MOVED:
          case SDL_WINDOWEVENT_SIZE_CHANGED:
            input_placed(h, client_of(h));
            break;
          case SDL_WINDOWEVENT_FOCUS_GAINED:
            input_focus(h, true);
            break;
          case SDL_WINDOWEVENT_FOCUS_LOST:
            input_focus(h, false);
            break;
          case SDL_WINDOWEVENT_EXPOSED:
            if (Win* w = find(h)) render(*w);
            break;
        }
        break;
      }
      case SDL_KEYDOWN:
      case SDL_KEYUP: {
        const uint32_t h = hwnd_of(e.key.windowID);
        const int32_t vk = virtual_key(e.key.keysym);
        if (h != 0 && vk != 0) input_key(h, vk, e.type == SDL_KEYDOWN);
        break;
      }
      case SDL_MOUSEMOTION:
        if (const uint32_t h = hwnd_of(e.motion.windowID))
          input_mouse(h, WM_MOUSEMOVE, e.motion.x, e.motion.y);
        break;
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP: {
        const uint32_t h = hwnd_of(e.button.windowID);
        const bool left = e.button.button == SDL_BUTTON_LEFT;
        if (h == 0 || (!left && e.button.button != SDL_BUTTON_RIGHT)) break;
        uint32_t msg;
        if (e.type == SDL_MOUSEBUTTONUP) {
          msg = left ? WM_LBUTTONUP : WM_RBUTTONUP;
        } else if (double_click(h, e.button.button, e.button.x, e.button.y)) {
          msg = left ? WM_LBUTTONDBLCLK : WM_RBUTTONDBLCLK;
        } else {
          msg = left ? WM_LBUTTONDOWN : WM_RBUTTONDOWN;
        }
        input_mouse(h, msg, e.button.x, e.button.y);
        break;
      }
    }
  }

  std::map<uint32_t, Win> wins_;
  std::map<uint32_t, uint32_t> ids_;  // SDL window id -> window handle
  Click last_;
};

class SdlDialogs final : public DialogBackend {
 public:
  int32_t show(const std::string& caption, const std::string& text, const char*,
               const int32_t buttons[3], int32_t def, int32_t escape, uint32_t flags) override {
    static const char* const kLabels[] = {"",      "OK",     "Cancel", "Abort",
                                          "Retry", "Ignore", "Yes",    "No"};
    SDL_MessageBoxButtonData data[3];
    int n = 0;
    for (int i = 0; i < 3 && buttons[i] != 0; ++i) {
      Uint32 f = 0;
      if (buttons[i] == def) f |= SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT;
      if (buttons[i] == escape) f |= SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT;
      data[n++] = SDL_MessageBoxButtonData{f, buttons[i], kLabels[buttons[i]]};
    }
    Uint32 icon = 0;
    switch (flags & MB_ICONMASK) {
      case MB_ICONERROR:
        icon = SDL_MESSAGEBOX_ERROR;
        break;
      case MB_ICONWARNING:
        icon = SDL_MESSAGEBOX_WARNING;
        break;
      case MB_ICONQUESTION:
      case MB_ICONINFORMATION:
        icon = SDL_MESSAGEBOX_INFORMATION;
        break;
    }
    const SDL_MessageBoxData box{icon | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT,
                                 nullptr,
                                 caption.c_str(),
                                 text.c_str(),
                                 n,
                                 data,
                                 nullptr};
    int id = 0;
    if (SDL_ShowMessageBox(&box, &id) != 0) {
      std::fprintf(stderr, "SDL_ShowMessageBox: %s\n", SDL_GetError());
      return escape;
    }
    return id < 0 ? escape : id;  // closed by the window manager
  }
};

}  // namespace

}  // namespace plat

extern "C" __attribute__((visibility("default"))) plat::WindowBackend* plat_sdl_windows() {
  using namespace plat;
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // Ctrl+C ends the program as headless
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "SDL video: %s\n", SDL_GetError());
    return nullptr;
  }
  return new SdlWindows;  // lives as long as the process
}

extern "C" __attribute__((visibility("default"))) plat::DialogBackend* plat_sdl_dialogs() {
  return new plat::SdlDialogs;
}
