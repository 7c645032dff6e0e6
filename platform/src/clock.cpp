// Ticks, local time and sleeping.
#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cerrno>

namespace plat {
namespace {

// Added to the monotonic clock; 0 unless a test moved the counter.
std::atomic<uint32_t> g_tick_offset{0};

uint32_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncation to 32 bits is the wrap-around of the Windows tick counter.
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace

uint32_t ticks_ms() {
  return monotonic_ms() + g_tick_offset.load(std::memory_order_relaxed);
}

void set_ticks_ms(uint32_t now) {
  g_tick_offset.store(now - monotonic_ms(), std::memory_order_relaxed);
}

LocalTime local_time() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &t);
  LocalTime r;
  r.year = static_cast<uint16_t>(t.tm_year + 1900);
  r.month = static_cast<uint16_t>(t.tm_mon + 1);
  r.dayOfWeek = static_cast<uint16_t>(t.tm_wday);
  r.day = static_cast<uint16_t>(t.tm_mday);
  r.hour = static_cast<uint16_t>(t.tm_hour);
  r.minute = static_cast<uint16_t>(t.tm_min);
  r.second = static_cast<uint16_t>(t.tm_sec > 59 ? 59 : t.tm_sec);  // no leap seconds
  r.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  return r;
}

void sleep_ms(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
