/* Stand-in for the outside sound library.
 *
 * The system calls five functions of the sound library, identified by their
 * ordinal numbers; this stand-in exports one function per ordinal and plays
 * wave values through SDL audio (SDL2_mixer: WAV and Ogg Vorbis). The system
 * uses no result of any of them. While a test has switched recording on
 * (sindra_record), each records the call (ordinal and arguments) in a log
 * that the test reads; otherwise nothing is kept, so a title's process does
 * not grow a log.
 *
 * A wave value (type 'W') holds in word1 the address of its sound block, a
 * memory block that the command library making the value fills:
 *
 *   bytes 0-3    "SWAV"
 *   bytes 4-7    length n of the sound file's bytes
 *   bytes 8-11   0 (reserved)
 *   bytes 12-15  0 (reserved)
 *   bytes 16-    the sound file itself, n bytes (RIFF WAVE or Ogg Vorbis)
 *
 * The requests a command library hands to the host for the sound library:
 *   request 3 (ordinal 2)  data word: the address of a sound block whose
 *                          playing stops, or 0 for every sound
 *   request 4 (ordinal 6)  a request block of 284 bytes: byte 4 the address
 *                          of the sound block to play; bytes 8-263 a name
 *                          (code page 932, ends with a 0; kept in no state,
 *                          for messages); bytes 264-279 four 32-bit words:
 *                          volume 0-128 (0 is taken as 128), then three
 *                          reserved; byte 280 the number of times to play it
 *                          (0 = until stopped)
 *   request 5 (ordinal 7)  every sound stops
 * Ordinal 3 (the user closes the main window) stops every sound. Ordinal 25
 * stops what plays from the block and forgets it: nothing refers to the
 * block afterwards. A block is decoded at its first play and the decoded
 * sound kept until then; a block that is not a sound block plays nothing.
 *
 * The sound device is opened at the first play: with the graphical backend
 * the real one, headless SDL's dummy driver (MRV_SINDRA_AUDIO names another
 * SDL audio driver). When no device opens, plays do nothing; nothing fails.
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

/* The sound blocks whose sounds are playing now (counted once each); 0
 * without a device. */
SINDRA_API int32_t sindra_playing(void);
/* The bytes a sound block for `size` bytes of a sound file needs, and the
 * block filled in place (the file copied behind the header); 1 when done. */
SINDRA_API uint32_t sindra_block_size(uint32_t size);
SINDRA_API int32_t sindra_block_fill(void* block, const void* file, uint32_t size);

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
