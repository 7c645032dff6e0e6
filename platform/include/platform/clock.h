// Time.
#pragma once
#include <cstdint>

#include "platform/export.h"

namespace plat {

// Milliseconds since an arbitrary start, wrapping at 2^32 like timeGetTime.
PLAT_API uint32_t ticks_ms();
// Local date and time (the fields of the Windows SYSTEMTIME).
struct LocalTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};
PLAT_API LocalTime local_time();
PLAT_API void sleep_ms(uint32_t ms);

}  // namespace plat
