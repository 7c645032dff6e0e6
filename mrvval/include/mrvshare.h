/* What the host's main thread and the tasks share: the system variables with
 * fixed roles, the host requests and their records, and (for C++) the one set
 * of helpers for words that one thread writes while another reads them.
 *
 * The host's main thread runs at the same time as the task that holds the
 * turn. It writes input into system variables and bits into the task flags,
 * and it carries out the requests that tasks post in `hostRequest`. Every
 * such word is read and written atomically, with the memory order its kind
 * needs (the helpers below, one kind each):
 *
 *   kind       words                                         order
 *   flag       taskFlags[t], execFlags                        relaxed
 *   data       a button record's positions, the key data #3,  relaxed, read only
 *              #7, hostRequestData                            after its gate
 *   gate       a button record's state words, the key words   release when
 *              #2, a window record #(20+w), hostRequest,      written, acquire
 *              taskThread[t], hwndMain                        when read
 *   counter    #n word3, the command counter                  relaxed
 *
 * A flag carries no other data: the reader polls it again at its next
 * statement, so any order will do. A gate is written last, after the data it
 * announces (positions before the button's state bits, the request's data
 * and block before its code, a slot's file name before its live handle), and
 * read first: whoever sees the gate's new value sees the data whole. */
#ifndef MRVSHARE_H
#define MRVSHARE_H

#include "mrvval.h"

MRV_EXTERN_C_BEGIN

/* ---- System variables with fixed roles (#n is cell n of systemVars) ------ */
enum {
  MRV_SV_TRACE_TAG = 0,       /* word1: the number that heads every tracer and viewer record */
  MRV_SV_KEY = 2,             /* word1 last key pressed (kept), word2 key held now (0 when up) */
  MRV_SV_KEY_DATA = 3,        /* the key message's data, in the same two words as #2 */
  MRV_SV_RETURN = 4,          /* the value of Return and Exit, taken by Gosub */
  MRV_SV_WHERE = 7,           /* word1 running task, word2 its line (the statement loop) */
  MRV_SV_WINDOWS_DIR = 10,    /* string: the Windows directory */
  MRV_SV_PROGRAM_DIR = 11,    /* string: programDir */
  MRV_SV_GLYPHS = 12,         /* picture cell: the glyph sheet of text output */
  MRV_SV_CLOSE_QUESTION = 13, /* a string: the question asked when the main window closes */
  MRV_SV_TARGET_CELL = 14,    /* picture cell: what window 9 draws into */
  MRV_SV_WINDOW = 20,         /* +w: word1 window handle, word2 drawing surface */
  MRV_SV_CURSOR = 30,         /* +w: cursor column, row, cell width, cell height */
  MRV_SV_TEXT_STYLE = 40,     /* +w: colour, background, pause per character, style */
  MRV_SV_FONT = 50,           /* +w: string, the font name */
  MRV_SV_RESIZE_WORDS = 70,   /* +w: word1, word2 handed to the drawing library on resize */
  MRV_SV_SCALE = 100,         /* +w: word3, word4 horizontal and vertical scale in percent */
  MRV_SV_LEFT_BUTTON = 110,   /* +w: the left button's record (below) */
  MRV_SV_RIGHT_BUTTON = 120,  /* +w: the right button's record */
  MRV_SV_SWITCH = 180,        /* +t: task t's switch value */
  MRV_WINDOW_NUMBERS = 10     /* windows 0..9 have the records above; 0 is the main window */
};

/* A button record: word1 the state now, word2 the same bits latched (set by
 * the host, cleared only by commands), word3 and word4 the x and y of the last
 * press. word1 and word2 are the record's gates, written after the position. */
enum { MRV_BUTTON_HELD = 0x01, MRV_BUTTON_DOUBLE = 0x02 };

/* The cell of system variable #n (0 <= n < MRV_SYSTEM_VARS). */
static inline FAQ* MRV_SYSVAR(SystemContext* ctx, int32_t n) {
  return MRV_CELLS(&ctx->systemVars) + ctx->systemVars.base + n;
}

/* ---- Host requests ---------------------------------------------------------
 * A task asks the host's main thread for something that must happen there by
 * writing `hostRequestData` and then the code into `hostRequest` (the gate).
 * The host performs it in its loop and writes 0 back; only then is a result in
 * `hostRequestData`. One request can be pending at a time.
 *
 * A request whose data is a block names a memory block (MRVTASK_AllocMemory)
 * that holds at least the request's record (MRV_REQUEST_RECORD_SIZE). The host
 * completes every request: one it cannot carry out (an unknown code, a block
 * too small for its record, a name that does not end inside its block) is
 * written back to 0 all the same, with MRV_REQUEST_FAILED in
 * `hostRequestData` (request 1: 0, the window it did not make), so that the
 * requesting task goes on. */
enum {
  MRV_REQUEST_NONE = 0,
  MRV_REQUEST_CREATE_WINDOW = 1,  /* data: an MRVCREATEWINDOW; receives the window (0: failed) */
  MRV_REQUEST_DESTROY_WINDOW = 2, /* data: the window */
  MRV_REQUEST_SOUND = 3,          /* data: handed to the sound library's ordinal 2 */
  MRV_REQUEST_PLAY = 4,           /* data: an MRVPLAYSOUND block */
  MRV_REQUEST_STOP_SOUND = 5      /* every sound stops */
};
#define MRV_REQUEST_FAILED 0xFFFFFFFFu /* hostRequestData of a request not carried out */

/* The ten words of request 1; the class and window names are addresses in
 * memory blocks (MRV_WORD). */
typedef struct MRVCREATEWINDOW {
  uint32_t exStyle;
  uint32_t className;
  uint32_t windowName;
  uint32_t style;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
  uint32_t parent;
  uint32_t menu;
} MRVCREATEWINDOW;
MRV_STATIC_ASSERT(sizeof(MRVCREATEWINDOW) == 40, "ten 32-bit words");

/* The block of request 4. */
typedef struct MRVPLAYSOUND {
  uint32_t reserved;
  uint32_t sound;  /* byte 4: address of the sound block */
  char name[256];  /* byte 8: code page 932, ends with a 0 */
  uint32_t volume; /* byte 264: 0..128 */
  uint32_t spare[3];
  uint32_t times; /* byte 280: plays, 0 = until stopped */
} MRVPLAYSOUND;
MRV_STATIC_ASSERT(sizeof(MRVPLAYSOUND) == 284, "request 4's block is 284 bytes");
MRV_STATIC_ASSERT(offsetof(MRVPLAYSOUND, volume) == 264, "layout");
MRV_STATIC_ASSERT(offsetof(MRVPLAYSOUND, times) == 280, "layout");

/* The bytes of the block that request `code` names: its record's size, 0 for
 * a request whose data is a single word, -1 for a code that is no request. */
static inline int32_t MRV_REQUEST_RECORD_SIZE(uint32_t code) {
  switch (code) {
    case MRV_REQUEST_CREATE_WINDOW:
      return (int32_t)sizeof(MRVCREATEWINDOW);
    case MRV_REQUEST_PLAY:
      return (int32_t)sizeof(MRVPLAYSOUND);
    case MRV_REQUEST_DESTROY_WINDOW:
    case MRV_REQUEST_SOUND:
    case MRV_REQUEST_STOP_SOUND:
      return 0;
    default:
      return -1;
  }
}

/* ---- Deleting a context under live tasks -----------------------------------
 * The execution manager registers its part of MRVVAL_Delete when it is
 * loaded. MRVVAL_Delete calls it before it frees anything of the context; it
 * returns 1 once no task of the context runs or will ever run again, 0 when
 * the running task could not be stopped in time: the context's memory is then
 * left allocated rather than freed under that task. */
typedef int32_t (*MRVVAL_DeleteHook)(SystemContext* ctx);
MRV_API void MRVVAL_SetDeleteHook(MRVVAL_DeleteHook hook);

MRV_EXTERN_C_END

#ifdef __cplusplus
#include <atomic>

namespace mrv {

/* flag words */
inline uint32_t load_flags(const uint32_t& w) {
  return std::atomic_ref<const uint32_t>(w).load(std::memory_order_relaxed);
}
inline void set_flags(uint32_t& w, uint32_t bits) {
  std::atomic_ref<uint32_t>(w).fetch_or(bits, std::memory_order_relaxed);
}
inline void clear_flags(uint32_t& w, uint32_t bits) {
  std::atomic_ref<uint32_t>(w).fetch_and(~bits, std::memory_order_relaxed);
}
/* Replaces the word by change(old) in one step; returns the old value. */
template <class Change>
inline uint32_t change_flags(uint32_t& w, Change change) {
  std::atomic_ref<uint32_t> a(w);
  uint32_t old = a.load(std::memory_order_relaxed);
  for (;;) {
    const uint32_t next = change(old);
    /* No change: the load was the whole step, without a locked write. */
    if (next == old || a.compare_exchange_weak(old, next, std::memory_order_relaxed)) return old;
  }
}
/* Replaces the bits of `mask` by those of `bits`, in one step. */
inline void replace_flags(uint32_t& w, uint32_t mask, uint32_t bits) {
  change_flags(w, [=](uint32_t old) { return (old & ~mask) | (bits & mask); });
}

/* data words */
inline uint32_t load_data(const uint32_t& w) {
  return std::atomic_ref<const uint32_t>(w).load(std::memory_order_relaxed);
}
inline void store_data(uint32_t& w, uint32_t v) {
  std::atomic_ref<uint32_t>(w).store(v, std::memory_order_relaxed);
}

/* gate words */
inline uint32_t load_gate(const uint32_t& w) {
  return std::atomic_ref<const uint32_t>(w).load(std::memory_order_acquire);
}
inline void store_gate(uint32_t& w, uint32_t v) {
  std::atomic_ref<uint32_t>(w).store(v, std::memory_order_release);
}
inline void set_gate(uint32_t& w, uint32_t bits) {
  std::atomic_ref<uint32_t>(w).fetch_or(bits, std::memory_order_release);
}
inline void clear_gate(uint32_t& w, uint32_t bits) {
  std::atomic_ref<uint32_t>(w).fetch_and(~bits, std::memory_order_release);
}

/* counters */
inline void count_up(uint32_t& w) {
  std::atomic_ref<uint32_t>(w).fetch_add(1, std::memory_order_relaxed);
}

/* The cell of system variable #n. */
inline FAQ& sysvar(SystemContext* ctx, int32_t n) {
  return *MRV_SYSVAR(ctx, n);
}
/* The type and set count of a system variable's cell: only tasks write them
 * (by store_cell), the main thread reads the type of an input record. */
inline uint16_t load_type(const FAQ& c) {
  return std::atomic_ref<const uint16_t>(c.type).load(std::memory_order_relaxed);
}
/* A copy of a system variable's cell, which the main thread may be writing
 * (an input or window record): its gates word1 and word2 first, then its
 * data words, so that the copy holds one whole record. */
inline FAQ load_cell(const FAQ& c) {
  FAQ v;
  v.type = load_type(c);
  v.setCount = std::atomic_ref<const uint16_t>(c.setCount).load(std::memory_order_relaxed);
  v.word1 = load_gate(c.word1);
  v.word2 = load_gate(c.word2);
  v.word3 = load_data(c.word3);
  v.word4 = load_data(c.word4);
  v.word5 = load_data(c.word5);
  return v;
}
/* A store of v into a system variable's cell, which the main thread may be
 * writing or reading beside it: type, set count and data words first, then
 * the gates word2 and word1, so that a reader that sees the new gate (word1
 * is loaded first) sees the rest of v too. */
inline void store_cell(FAQ& c, const FAQ& v) {
  std::atomic_ref<uint16_t>(c.type).store(v.type, std::memory_order_relaxed);
  std::atomic_ref<uint16_t>(c.setCount).store(v.setCount, std::memory_order_relaxed);
  store_data(c.word3, v.word3);
  store_data(c.word4, v.word4);
  store_data(c.word5, v.word5);
  store_gate(c.word2, v.word2);
  store_gate(c.word1, v.word1);
}
/* Whether task t is live (its slot's handle is the gate of its fields). */
inline bool task_live(const SystemContext* ctx, int32_t t) {
  return t >= 0 && t < MRV_TASKS && load_gate(ctx->taskThread[t]) != 0;
}

}  // namespace mrv
#endif

#endif
