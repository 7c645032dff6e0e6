// What the parts of the execution manager share: reports, the per-task
// argument cells and the scheduler's sleep.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>

#include "mrvexec.h"
#include "mrvshare.h"
#include "platform/bytes.h"

namespace mrvexec {

// Reports a message composed from a code page 932 format in ctx->msgBuf with
// the execution manager's caption; returns 0.
int32_t report(SystemContext* ctx, const char* fmt, ...);

// Words shared with the host's thread (their kinds and orders: mrvshare.h).
using mrv::clear_flags;
using mrv::load_data;
using mrv::load_flags;
using mrv::load_gate;
using mrv::set_flags;
using mrv::store_data;
using mrv::sysvar;
using mrv::task_live;
// True when any live task has TASK_END set.
bool any_task_ending(const SystemContext* ctx);

// Argument cells of command calls: 28 cells per call (27 passed to the
// command, one more for the terminator after 26 arguments), taken from a
// per-task stack of region blocks that never move while a call runs.
FAQ* push_cells(SystemContext* ctx);
void pop_cells(SystemContext* ctx);

// Blocks the executor thread up to `ms` milliseconds or until MRVEXEC_Wake,
// for a task that waits on a word the host writes. When the context has been
// deleted meanwhile the task is abandoned there and never comes back.
void nap(SystemContext* ctx, uint32_t ms);
constexpr uint32_t kNapSlice = 10;  // longest sleep without a look at the flags (ms)

// The command function a call site names, as found before in this context's
// run, or null. Libraries stay loaded while the context lives, so a function
// once found stays valid for the same names.
using Command = int32_t (*)(SystemContext*, VarTable*);
Command cached_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd);
void cache_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd,
                   Command fn);

// MRVFAQ_Clear, done here for values that own nothing (numbers above all).
inline void release(SystemContext* ctx, FAQ* v) {
  if (v->type != TYPE_STRING && v->type != TYPE_CELL && v->type != TYPE_MEMORY &&
      v->type != TYPE_HANDLE && v->type != TYPE_WAVE) {
    *v = FAQ{};
  } else {
    MRVFAQ_Clear(ctx, v);
  }
}

// A variable reference decoded from code: a copy of its table and the index.
struct VarRef {
  VarTable table;
  int32_t index;
  bool found;  // false: no variable starts at the address
};
// Decodes a variable reference at `p` (the address itself when none starts
// there); null after a reported failure.
const char* parse_varref(SystemContext* ctx, const char* p, VarRef* ref);
// Runs the command-call record at `q`; the call's value goes to `result`.
// Returns the address after the record, or null after a reported failure.
const char* call_command(SystemContext* ctx, const char* q, FAQ* result);

// Little-endian numbers of compiled code, at any address.
inline int32_t read32(const char* p) {
  return static_cast<int32_t>(plat::get_le32(p));
}
inline int16_t read16(const char* p) {
  return static_cast<int16_t>(plat::get_le16(p));
}

}  // namespace mrvexec
