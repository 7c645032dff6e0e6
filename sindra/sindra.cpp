// Sound library stand-in: wave values played through SDL2_mixer, and a
// record of every ordinal call while a test has switched recording on.
#include "sindra.h"

#include <SDL.h>
#include <SDL_mixer.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <type_traits>
#include <vector>

#include "platform/memory.h"
#include "platform/window.h"

namespace {

constexpr uint32_t kHeader = 16;

// SDL2 and SDL2_mixer, loaded at the first sound: a title that plays none (and
// every headless start) does not load them and the many libraries they bring.
struct Sdl {
  decltype(&SDL_setenv) setenv;
  decltype(&SDL_InitSubSystem) init;
  decltype(&SDL_QuitSubSystem) quit;
  decltype(&SDL_GetError) error;
  decltype(&SDL_RWFromConstMem) from_memory;
  decltype(&Mix_Init) mix_init;
  decltype(&Mix_OpenAudio) open;
  decltype(&Mix_AllocateChannels) allocate;
  decltype(&Mix_LoadWAV_RW) load;
  decltype(&Mix_HaltChannel) halt;
  decltype(&Mix_VolumeChunk) volume;
  decltype(&Mix_PlayChannelTimed) play;
  decltype(&Mix_FreeChunk) free;
  decltype(&Mix_Playing) playing;
};

// The functions, or null when the libraries are missing.
const Sdl* load_sdl() {
  void* sdl = dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_GLOBAL);
  void* mix = sdl != nullptr ? dlopen("libSDL2_mixer-2.0.so.0", RTLD_NOW) : nullptr;
  if (mix == nullptr) {
    std::fprintf(stderr, "sindra: no sound (%s)\n", dlerror());
    return nullptr;
  }
  static Sdl f;
  bool ok = true;
  auto get = [&](void* lib, const char* name, auto& fn) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
    ok = ok && fn != nullptr;
  };
  get(sdl, "SDL_setenv", f.setenv);
  get(sdl, "SDL_InitSubSystem", f.init);
  get(sdl, "SDL_QuitSubSystem", f.quit);
  get(sdl, "SDL_GetError", f.error);
  get(sdl, "SDL_RWFromConstMem", f.from_memory);
  get(mix, "Mix_Init", f.mix_init);
  get(mix, "Mix_OpenAudio", f.open);
  get(mix, "Mix_AllocateChannels", f.allocate);
  get(mix, "Mix_LoadWAV_RW", f.load);
  get(mix, "Mix_HaltChannel", f.halt);
  get(mix, "Mix_VolumeChunk", f.volume);
  get(mix, "Mix_PlayChannelTimed", f.play);
  get(mix, "Mix_FreeChunk", f.free);
  get(mix, "Mix_Playing", f.playing);
  return ok ? &f : nullptr;
}
const Sdl* sdl = nullptr;  // set when the device opened; only then are sounds played

// A decoded sound and the fingerprint of the block's bytes it was decoded
// from: a block freed without ordinal 25 and another sound put at the same
// address, or a block filled again, is decoded anew instead of playing what
// the address held before.
struct Decoded {
  Mix_Chunk* chunk;
  uint64_t print;
};

// The mixer: one decoded chunk per sound block that has played, and which
// channel plays which block. Mixer calls happen under `mu`, so ordinal 25 on a
// task thread cannot race a play on the main thread.
struct Mixer {
  std::mutex mu;
  bool tried = false, open = false;
  std::map<uint32_t, Decoded> chunks;  // by block address
  std::map<int, uint32_t> channels;    // channel -> block
};

Mixer& mixer() {
  static auto* m = new Mixer;  // ordinal 25 may run while statics go
  return *m;
}

// Opens the device at first use; false when there is none.
bool open_audio(Mixer& m) {
  if (m.tried) return m.open;
  m.tried = true;
  const Sdl* f = load_sdl();
  if (f == nullptr) return false;
  const char* want = std::getenv("MRV_SINDRA_AUDIO");
  if (want != nullptr && *want != 0)
    f->setenv("SDL_AUDIODRIVER", want, 1);
  else if (std::strcmp(plat::backend_name(), "sdl") != 0)
    f->setenv("SDL_AUDIODRIVER", "dummy", 1);  // headless: no sound, same behaviour
  if (f->init(SDL_INIT_AUDIO) != 0) {
    std::fprintf(stderr, "sindra: no sound (%s)\n", f->error());
    return false;
  }
  f->mix_init(MIX_INIT_OGG);
  if (f->open(44100, AUDIO_S16SYS, 2, 2048) != 0) {
    std::fprintf(stderr, "sindra: no sound (%s)\n", f->error());
    f->quit(SDL_INIT_AUDIO);
    return false;
  }
  f->allocate(16);
  sdl = f;
  m.open = true;
  return true;
}

// FNV-1a over the bytes.
uint64_t fingerprint(const uint8_t* p, std::size_t n) {
  uint64_t h = 0xcbf29ce484222325u;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3u;
  return h;
}

void stop(Mixer& m, uint32_t block);

// Stops and frees what was decoded from `block`.
void forget(Mixer& m, uint32_t block) {
  auto it = m.chunks.find(block);
  if (it == m.chunks.end()) return;
  stop(m, block);
  sdl->free(it->second.chunk);  // the decoded copy: the block itself is the caller's
  m.chunks.erase(it);
}

// The decoded sound of a block (decoded at its first play, and again when its
// bytes have changed since); nullptr when the block is not a sound block.
Mix_Chunk* chunk_of(Mixer& m, uint32_t block) {
  auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(block));
  const std::size_t have = block != 0 ? plat::mem_size(p) : 0;
  uint32_t n = 0;
  if (have >= kHeader) std::memcpy(&n, p + 4, 4);
  const bool sound =
      have >= kHeader && std::memcmp(p, "SWAV", 4) == 0 && n != 0 && n <= have - kHeader;
  const uint64_t print = sound ? fingerprint(p, kHeader + n) : 0;
  if (auto it = m.chunks.find(block); it != m.chunks.end()) {
    if (sound && it->second.print == print) return it->second.chunk;
    forget(m, block);
  }
  if (!sound) return nullptr;
  Mix_Chunk* c = sdl->load(sdl->from_memory(p + kHeader, static_cast<int>(n)), 1);
  if (c == nullptr) {
    std::fprintf(stderr, "sindra: not a sound (%s)\n", sdl->error());
    return nullptr;
  }
  m.chunks[block] = Decoded{c, print};
  return c;
}

// Stops the channels that play `block` (0: all).
void stop(Mixer& m, uint32_t block) {
  if (!m.open) return;
  for (auto it = m.channels.begin(); it != m.channels.end();) {
    if (block == 0 || it->second == block) {
      sdl->halt(it->first);
      it = m.channels.erase(it);
    } else {
      ++it;
    }
  }
}

void play(uint32_t block, uint32_t volume, uint32_t times) {
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  if (!open_audio(m)) return;
  Mix_Chunk* c = chunk_of(m, block);
  if (c == nullptr) return;
  sdl->volume(c,
              volume == 0 || volume > MIX_MAX_VOLUME ? MIX_MAX_VOLUME : static_cast<int>(volume));
  const int loops = times == 0 ? -1 : static_cast<int>(times) - 1;
  const int ch = sdl->play(-1, c, loops, -1);
  if (ch >= 0) m.channels[ch] = block;
}

std::atomic<bool> recording{false};
std::mutex log_mutex;
std::vector<SindraCall> calls;
SindraObserver observer = nullptr;
void* observer_user = nullptr;

void record(int32_t ordinal, std::initializer_list<uint64_t> args) {
  SindraCall c{};
  c.ordinal = ordinal;
  for (uint64_t a : args) c.args[c.argc++] = a;
  SindraObserver obs;
  void* user;
  {
    std::lock_guard lock(log_mutex);
    if (recording.load(std::memory_order_relaxed)) calls.push_back(c);
    obs = observer;
    user = observer_user;
  }
  // Outside the lock, so that the observer may read the log.
  if (obs != nullptr) obs(&c, user);
}

uint64_t addr(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

}  // namespace

extern "C" {

void sindra_ordinal_2(uint32_t data) {
  record(2, {data});
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  stop(m, data);
}
void sindra_ordinal_3(void) {
  record(3, {});
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  stop(m, 0);
}
void sindra_ordinal_6(uint32_t word4, void* at264, void* at8, uint32_t word280) {
  record(6, {word4, addr(at264), addr(at8), word280});
  uint32_t volume = 0;
  if (at264 != nullptr) std::memcpy(&volume, at264, 4);
  play(word4, volume, word280);
}
void sindra_ordinal_7(void) {
  record(7, {});
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  stop(m, 0);
}
void sindra_ordinal_25(uint32_t block) {
  record(25, {block});
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  forget(m, block);
}

int32_t sindra_playing(void) {
  Mixer& m = mixer();
  std::lock_guard lock(m.mu);
  if (!m.open) return 0;
  std::map<uint32_t, bool> blocks;
  for (auto it = m.channels.begin(); it != m.channels.end();) {
    if (sdl->playing(it->first) == 0) {
      it = m.channels.erase(it);
    } else {
      blocks[it->second] = true;
      ++it;
    }
  }
  return static_cast<int32_t>(blocks.size());
}

uint32_t sindra_block_size(uint32_t size) {
  return size > 0xFFFFFFFFu - kHeader ? 0 : size + kHeader;
}

int32_t sindra_block_fill(void* block, const void* file, uint32_t size) {
  if (block == nullptr || (file == nullptr && size != 0)) return 0;
  auto* p = static_cast<uint8_t*>(block);
  std::memcpy(p, "SWAV", 4);
  std::memcpy(p + 4, &size, 4);
  std::memset(p + 8, 0, 8);
  if (size != 0) std::memcpy(p + kHeader, file, size);
  return 1;
}

int32_t sindra_call_count(void) {
  std::lock_guard lock(log_mutex);
  return static_cast<int32_t>(calls.size());
}

int32_t sindra_call(int32_t i, SindraCall* out) {
  std::lock_guard lock(log_mutex);
  if (i < 0 || static_cast<std::size_t>(i) >= calls.size() || out == nullptr) return 0;
  *out = calls[static_cast<std::size_t>(i)];
  return 1;
}

void sindra_record(int32_t on) {
  recording.store(on != 0, std::memory_order_relaxed);
}

void sindra_clear_calls(void) {
  std::lock_guard lock(log_mutex);
  calls.clear();
}

void sindra_set_observer(SindraObserver obs, void* user) {
  std::lock_guard lock(log_mutex);
  observer = obs;
  observer_user = user;
}

}  // extern "C"
