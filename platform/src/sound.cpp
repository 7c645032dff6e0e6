// System sounds: the terminal bell.
#include "platform/sound.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace plat {

void beep(uint32_t kind) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  std::fputc('\a', stderr);
  std::fflush(stderr);
  if (const char* log = std::getenv("MRV_BEEP_LOG"); log != nullptr && *log != 0) {
    if (std::FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%u\n", kind);
      std::fclose(f);
    }
  }
}

}  // namespace plat
