// Time.
#pragma once
#include <cstdint>

#include "platform/export.h"

namespace plat {

// Milliseconds since an arbitrary start, wrapping at 2^32 like timeGetTime.
PLAT_API uint32_t ticks_ms();
// Whether tick `a` comes before tick `b`: compared by their signed distance,
// so that the wrap of the counter neither ends a wait early nor makes it
// endless (valid for ticks less than 2^31 ms apart).
inline bool tick_before(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}
// For tests of the wrap: from now on ticks_ms() reads `now` and counts on.
PLAT_API void set_ticks_ms(uint32_t now);
// Local date and time (the fields of the Windows SYSTEMTIME).
struct LocalTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};
PLAT_API LocalTime local_time();
PLAT_API void sleep_ms(uint32_t ms);

}  // namespace plat
