// Threads and named manual-reset events, with 32-bit handles.
#pragma once
#include <cstdint>

#include "platform/export.h"

namespace plat {

using ThreadProc = uint32_t (*)(void* arg);

// Creates a suspended thread; 0 on failure. `*id` receives its identifier.
PLAT_API uint32_t thread_create(ThreadProc proc, void* arg, uint32_t* id);
PLAT_API bool thread_resume(uint32_t h);
// Waits until the thread has ended (up to `timeout_ms`, ~0u forever); true when ended.
PLAT_API bool thread_wait(uint32_t h, uint32_t timeout_ms);
// The exit code of an ended thread in `*code`; false while it runs or for a bad handle.
PLAT_API bool thread_exit_code(uint32_t h, uint32_t* code);
// Releases the handle (the thread itself goes on).
PLAT_API bool thread_close(uint32_t h);
// Identifier of the calling thread.
PLAT_API uint32_t thread_current_id();

// Creates (or opens, when the name exists in this process) a named event;
// a null or empty name makes an anonymous one.
PLAT_API uint32_t event_create(const char* name, bool manual_reset, bool initial);
PLAT_API bool event_set(uint32_t h);
PLAT_API bool event_reset(uint32_t h);
// True when signalled within `timeout_ms` (~0u forever).
PLAT_API bool event_wait(uint32_t h, uint32_t timeout_ms);
PLAT_API bool event_close(uint32_t h);

}  // namespace plat
