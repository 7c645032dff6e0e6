// The headless backends and the choice of backend, made once per process.
#include "backend.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "platform/dialog.h"

namespace plat {
namespace {

// Windows exist only as records: nothing to show, no input but injected.
class HeadlessWindows final : public WindowBackend {
 public:
  const char* name() const override { return "headless"; }
  bool graphical() const override { return false; }
  void create(uint32_t, const std::string&, Rect) override {}
  void destroy(uint32_t) override {}
  void move(uint32_t, Rect) override {}
  void minimise(uint32_t, bool) override {}
  void raise(uint32_t) override {}
  void present(uint32_t, const Frame&) override {}
  void pump() override {}
};

// The box on standard error (dialog.cpp prints it); the answer read from the
// terminal until it names a button of the box, the escape button at the end
// of input.
class TerminalDialogs final : public DialogBackend {
 public:
  int32_t show(const std::string&, const std::string&, const char* prompt, const int32_t buttons[3],
               int32_t, int32_t escape, uint32_t) override {
    static const char* const kNames[] = {"",      "ok",     "cancel", "abort",
                                         "retry", "ignore", "yes",    "no"};
    for (;;) {
      std::fprintf(stderr, "Answer [%s]: ", prompt);
      std::fflush(stderr);
      char line[256];
      if (std::fgets(line, sizeof line, stdin) == nullptr) return escape;
      std::string w = line;
      while (!w.empty() && (w.back() == '\n' || w.back() == '\r' || w.back() == ' ')) w.pop_back();
      while (!w.empty() && w.front() == ' ') w.erase(0, 1);
      for (char& c : w) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      for (int i = 0; i < 3 && buttons[i] != 0; ++i) {
        const char* n = kNames[buttons[i]];
        if (w == n || (w.size() == 1 && w[0] == n[0])) return buttons[i];  // initials differ
      }
    }
  }
};

bool want_sdl() {
  if (const char* b = std::getenv("MRV_BACKEND"); b != nullptr && *b != 0) {
    if (std::strcmp(b, "sdl") == 0) return true;
    if (std::strcmp(b, "headless") != 0)
      std::fprintf(stderr, "MRV_BACKEND=%s is not sdl or headless; running headless\n", b);
    return false;
  }
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (d != nullptr && *d != 0) || (w != nullptr && *w != 0);
}

struct Backends {
  WindowBackend* windows = nullptr;
  DialogBackend* dialogs = nullptr;
};

// The SDL backends live in the module platform_sdl.so beside this library,
// loaded only when they are chosen (SDL2 brings dozens of libraries that a
// headless start would otherwise load). Null when it cannot be loaded.
void* sdl_module() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&sdl_module), &self) == 0 || self.dli_fname == nullptr) {
    return nullptr;
  }
  std::string path = self.dli_fname;
  path = path.substr(0, path.rfind('/') + 1) + "platform_sdl.so";
  void* m = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m == nullptr) std::fprintf(stderr, "the SDL backend cannot be loaded: %s\n", dlerror());
  return m;
}

Backends& backends() {
  static Backends* b = [] {
    auto* r = new Backends;  // never destroyed: boxes may appear at exit
    void* sdl = want_sdl() ? sdl_module() : nullptr;
    if (sdl != nullptr) {
      auto windows = reinterpret_cast<WindowBackend* (*)()>(dlsym(sdl, "plat_sdl_windows"));
      auto dialogs = reinterpret_cast<DialogBackend* (*)()>(dlsym(sdl, "plat_sdl_dialogs"));
      r->windows = windows != nullptr ? windows() : nullptr;
      if (r->windows != nullptr && dialogs != nullptr) {
        r->dialogs = dialogs();
        claim_video_thread();  // SDL's video was started here: its calls stay on this thread
      } else {
        std::fprintf(stderr, "no display could be opened; running headless\n");
      }
    }
    if (r->windows == nullptr) r->windows = new HeadlessWindows;
    if (r->dialogs == nullptr) r->dialogs = new TerminalDialogs;
    return r;
  }();
  return *b;
}

}  // namespace

WindowBackend& window_backend() {
  return *backends().windows;
}

DialogBackend& dialog_backend() {
  return *backends().dialogs;
}

uint32_t key_data_scan(int32_t vkey) {
  // Scan codes of set 1 for the keys of a 106/101-key keyboard; 0x100 marks
  // an extended key.
  static const std::array<uint16_t, 256> kScan = [] {
    struct {
      int32_t vk;
      uint16_t scan;
    } const table[] = {
        {0x08, 0x0E},  {0x09, 0x0F},  {0x0D, 0x1C},  {0x10, 0x2A},  {0x11, 0x1D},  {0x12, 0x38},
        {0x13, 0x45},  {0x14, 0x3A},  {0x1B, 0x01},  {0x20, 0x39},  {0x21, 0x149}, {0x22, 0x151},
        {0x23, 0x14F}, {0x24, 0x147}, {0x25, 0x14B}, {0x26, 0x148}, {0x27, 0x14D}, {0x28, 0x150},
        {0x2D, 0x152}, {0x2E, 0x153}, {0x30, 0x0B},  {0x60, 0x52},  {0x61, 0x4F},  {0x62, 0x50},
        {0x63, 0x51},  {0x64, 0x4B},  {0x65, 0x4C},  {0x66, 0x4D},  {0x67, 0x47},  {0x68, 0x48},
        {0x69, 0x49},  {0x6A, 0x37},  {0x6B, 0x4E},  {0x6D, 0x4A},  {0x6E, 0x53},  {0x6F, 0x135},
        {0x7A, 0x57},  {0x7B, 0x58},  {0x90, 0x45},  {0x91, 0x46},  {0xBA, 0x27},  {0xBB, 0x0D},
        {0xBC, 0x33},  {0xBD, 0x0C},  {0xBE, 0x34},  {0xBF, 0x35},  {0xC0, 0x29},  {0xDB, 0x1A},
        {0xDC, 0x2B},  {0xDD, 0x1B},  {0xDE, 0x28},
    };
    static const char kRows[] = "QWERTYUIOP\0\0\0\0ASDFGHJKL\0\0\0\0\0ZXCVBNM";
    std::array<uint16_t, 256> t{};
    for (const auto& e : table) t[static_cast<std::size_t>(e.vk)] = e.scan;
    for (int d = 1; d <= 9; ++d)
      t[static_cast<std::size_t>('0' + d)] = static_cast<uint16_t>(1 + d);
    for (std::size_t i = 0; i < sizeof kRows - 1; ++i)
      if (kRows[i] != 0) t[static_cast<unsigned char>(kRows[i])] = static_cast<uint16_t>(0x10 + i);
    for (int f = 0; f < 10; ++f)
      t[static_cast<std::size_t>(0x70 + f)] = static_cast<uint16_t>(0x3B + f);
    return t;
  }();
  if (vkey < 0 || vkey > 255) return 0;
  const uint32_t s = kScan[static_cast<std::size_t>(vkey)];
  return (s & 0xFF) << 16 | (s & 0x100 ? 1u << 24 : 0);
}

}  // namespace plat

// Libraries below ours keep blocks for the life of the process in ways the
// leak checker cannot follow (fontconfig's configuration, SDL's and X's
// display connections and drivers); they are not ours to free. One list for
// the process, here in the library every program loads.
#if defined(__SANITIZE_ADDRESS__)
#define PLAT_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLAT_LEAK_CHECKED 1
#endif
#endif
#ifdef PLAT_LEAK_CHECKED
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libSDL2-2.0.so\n"
         "leak:libSDL2_mixer-2.0.so\n"
         "leak:libX11.so\n"
         "leak:libdbus-1.so\n";
}
#endif
