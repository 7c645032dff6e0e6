/* Stand-in for the outside sound library.
 *
 * The system calls five functions of the sound library, identified by their
 * ordinal numbers; this stand-in exports one function per ordinal. None of
 * them makes a sound, and the system uses no result of any of them. While a
 * test has switched recording on (sindra_record), each records the call
 * (ordinal and arguments) in a log that the test reads; otherwise nothing is
 * kept, so a title's process does not grow a log.
 *
 * The log is thread-safe. An observer, when set, is called with each record
 * right after it is logged, on the calling thread, while the caller is still
 * inside the ordinal (so it can check, for example, that a wave block is still
 * live when it is handed over), whether recording is on or not. */
#ifndef SINDRA_H
#define SINDRA_H

#include <stdint.h>

#define SINDRA_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinal 2: host request 3, with the request's data word. */
SINDRA_API void sindra_ordinal_2(uint32_t data);
/* Ordinal 3: the user closes the main window (before the tasks are told to end). */
SINDRA_API void sindra_ordinal_3(void);
/* Ordinal 6: host request 4, with items of the request block: the word at
 * byte 4, the address of byte 264, the address of byte 8, the word at byte 280. */
SINDRA_API void sindra_ordinal_6(uint32_t word4, void* at264, void* at8, uint32_t word280);
/* Ordinal 7: host request 5. */
SINDRA_API void sindra_ordinal_7(void);
/* Ordinal 25: a wave value is released; `block` is the address of its sound
 * block, freed by the caller right after this returns. */
SINDRA_API void sindra_ordinal_25(uint32_t block);

/* One recorded call: the ordinal and its arguments in order (addresses as
 * integers; unused entries 0). */
typedef struct SindraCall {
  int32_t ordinal;
  int32_t argc;
  uint64_t args[4];
} SindraCall;

typedef void (*SindraObserver)(const SindraCall* call, void* user);

/* Switches recording on (non-zero) or off (0, the state at start). Calls made
 * while it is off are not recorded; what was recorded stays. */
SINDRA_API void sindra_record(int32_t on);
/* Number of calls recorded since the last clear. */
SINDRA_API int32_t sindra_call_count(void);
/* Copies record `i` (0 = oldest) into `out`; 0 when there is no such record. */
SINDRA_API int32_t sindra_call(int32_t i, SindraCall* out);
SINDRA_API void sindra_clear_calls(void);
/* Sets (or with null removes) the observer. */
SINDRA_API void sindra_set_observer(SindraObserver observer, void* user);

#ifdef __cplusplus
}
#endif

#endif
