/* Common definitions of the system's public headers. */
#ifndef MRVDEFS_H
#define MRVDEFS_H

#include <stddef.h>
#include <stdint.h>

/* Marks a function exported by a system library. */
#define MRV_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define MRV_EXTERN_C_BEGIN extern "C" {
#define MRV_EXTERN_C_END }
#define MRV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define MRV_EXTERN_C_BEGIN
#define MRV_EXTERN_C_END
#define MRV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Addresses of memory blocks travel as 32-bit words (in values, variable
 * tables and records). Every block lies in one region below 4 GiB, so the
 * conversion is lossless; use these two helpers and nothing else for it, and
 * only on addresses that came from a block. */
static inline void* MRV_PTR(uint32_t word) {
  return (void*)(uintptr_t)word;
}
static inline uint32_t MRV_WORD(const void* p) {
  return (uint32_t)(uintptr_t)p;
}

#endif
