// System sounds.
#pragma once
#include <cstdint>

#include "platform/export.h"

namespace plat {

// The sounds of the Windows message beep, by their flag values.
enum : uint32_t {
  BEEP_DEFAULT = 0x00,
  BEEP_STOP = 0x10,
  BEEP_QUESTION = 0x20,
  BEEP_EXCLAMATION = 0x30,
  BEEP_ASTERISK = 0x40,
};

// Plays a system sound. Without a sound device this is the terminal bell on
// standard error, whatever the kind; MRV_BEEP_LOG, when it names a file, gets
// one line per call with the kind as a number (tests read it).
PLAT_API void beep(uint32_t kind);

}  // namespace plat
