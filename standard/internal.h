// Helpers shared by the command families of the standard library: argument
// and result cells, the task flag words, the block frame, texts that must fit
// a buffer, and the library's own reports.
#pragma once
#include <cstdint>
#include <cstring>

#include "commands.h"
#include "mrvcode.h"
#include "mrvexec.h"
#include "mrvint.h"
#include "mrvshare.h"
#include "mrvtask.h"
#include "mrvval.h"

// Every command is an exported plain function with the command signature.
#define MRV_COMMAND(name) extern "C" MRV_API int32_t name(SystemContext* ctx, VarTable* args)

namespace standard {

// ---- Library-wide state (one copy per process, touched only by the task
// holding the turn) ----
extern int32_t waitTraceMode;          // 0 skip waits, 1 normal, 2 normal with timing trace
extern int32_t waitTarget[MRV_TASKS];  // length of each task's pending WaitStart, 0 = none

// ---- Argument checks and cells ----
// Checks the list against the command's signature; reports under its check name.
// Arguments whose types match the signature's plain codes pass at once; any
// other list goes to the value manager, which reports what is wrong.
inline bool check(SystemContext* ctx, VarTable* args, Cmd id) {
  const Command& c = command(id);
  if (args->base >= 0 && int64_t{args->base} + MRV_FRAME_CELLS <= args->count) {
    const FAQ* cells = MRV_CELLS(args) + args->base;
    const uint32_t count = cells[0].word1;  // arguments + 1
    const uint16_t* sig = c.signature.data();
    uint32_t i = 1;
    for (; i < count && i < MRV_FRAME_CELLS; ++i, ++sig) {
      const uint16_t s = *sig;
      if (s == SIG_REST) return true;
      if (s == 0 || s == TYPE_OMITTED || s > 0xFF) break;
      if (s != TYPE_ANY && cells[i].type != s) break;
    }
    if (i == count && (*sig == SIG_REST || *sig == 0)) return true;
  }
  char name[32] = {};
  std::memcpy(name, c.checkName.data(), c.checkName.size());
  return MRVVAL_CheckArgument(ctx, name, c.signature.data(), args) != 0;
}

// The raw cell i of the argument list (no message: the list always has 27).
inline FAQ& cell(VarTable* args, int32_t i) {
  return MRV_CELLS(args)[args->base + i];
}

// The variable a by-reference ('V') cell designates.
struct Ref {
  VarTable table;
  int32_t index;
};
inline Ref ref(const FAQ& v) {
  return {VarTable{v.word1, static_cast<int32_t>(v.word2), static_cast<int32_t>(v.word3)},
          static_cast<int32_t>(v.word4)};
}

// Follows a variable that holds a by-reference value (a subroutine's
// by-reference argument) to the variable it names, so that a reference is
// never moved into a variable that may outlive the frame it points into.
// A chain longer than 32 steps stops at the 32nd; false (reported) when a
// variable is missing.
inline bool named(SystemContext* ctx, Ref& r) {
  for (int step = 0; step < 32; ++step) {
    FAQ v{};
    if (!MRVVAL_Get(ctx, &r.table, r.index, &v)) return false;
    if (v.type != TYPE_VARIABLE) return true;
    r = ref(v);
  }
  return true;
}

// MRVVAL_Get and MRVVAL_Set on the variable, without the calls when its
// cell lies in the table (the value manager reports the others).
inline FAQ* cell_of(const Ref& r) {
  const int64_t i = int64_t{r.index} + r.table.base;
  return i >= 0 && i < r.table.count ? MRV_CELLS(&r.table) + i : nullptr;
}
inline bool get(SystemContext* ctx, Ref& r, FAQ* out) {
  if (const FAQ* c = cell_of(r)) {
    *out = *c;
    return true;
  }
  return MRVVAL_Get(ctx, &r.table, r.index, out) != 0;
}
inline bool set(SystemContext* ctx, Ref& r, FAQ* value) {
  if (FAQ* c = cell_of(r)) {
    value->setCount = static_cast<uint16_t>(value->setCount + 1);
    *c = *value;
    return true;
  }
  return MRVVAL_Set(ctx, &r.table, r.index, value) != 0;
}

// MRVVAL_Swap without the calls when both cells lie in their tables.
inline bool swap(SystemContext* ctx, VarTable* a, int32_t ia, VarTable* b, int32_t ib) {
  FAQ* ca = cell_of(Ref{*a, ia});
  FAQ* cb = cell_of(Ref{*b, ib});
  if (ca == nullptr || cb == nullptr) return MRVVAL_Swap(ctx, a, ia, b, ib) != 0;
  FAQ va = *ca, vb = *cb;
  vb.setCount = static_cast<uint16_t>(vb.setCount + 1);
  *ca = vb;
  va.setCount = static_cast<uint16_t>(va.setCount + 1);
  *cb = va;
  return true;
}

// The integer value of argument i (0 when it was left out).
inline bool arg_int(SystemContext* ctx, VarTable* args, int32_t i, int32_t* out) {
  *out = 0;
  return MRVVAL_ArgNumber(ctx, args, i, out) != 0;
}

// Results, stored into cell 0 of the list.
inline int32_t result_null(SystemContext* ctx, VarTable* args) {
  if (args->base < 0 || args->base >= args->count) {
    MRVVAL_NULL(ctx, args, 0);  // reports the missing cell
    return 1;
  }
  FAQ& c = cell(args, 0);  // as MRVVAL_NULL: an empty value stored once
  c = FAQ{};
  c.setCount = 1;
  return 1;
}
inline int32_t result_value(SystemContext* ctx, VarTable* args, FAQ v) {
  MRVVAL_Set(ctx, args, 0, &v);
  return 1;
}
inline int32_t result_number(SystemContext* ctx, VarTable* args, int32_t n) {
  FAQ v{};
  MRVFAQ_Number(ctx, &v, 1, n, 0);
  return result_value(ctx, args, v);
}
inline int32_t result_bool(SystemContext* ctx, VarTable* args, bool flag) {
  FAQ v{};
  MRVFAQ_Bool(ctx, &v, flag ? 1 : 0);
  return result_value(ctx, args, v);
}

// ---- Words another thread writes (their kinds and orders: mrvshare.h) ----
using mrv::sysvar;
using mrv::task_live;
inline uint32_t task_flags(SystemContext* ctx, int32_t t) {
  return mrv::load_flags(ctx->taskFlags[t]);
}
inline void set_task_flags(SystemContext* ctx, int32_t t, uint32_t bits) {
  mrv::set_flags(ctx->taskFlags[t], bits);
}
inline void clear_task_flags(SystemContext* ctx, int32_t t, uint32_t bits) {
  mrv::clear_flags(ctx->taskFlags[t], bits);
}

// ---- Blocks ----
// The command-call statement being executed (cell 0's word5) and its two
// nested block offsets.
inline const char* statement(VarTable* args) {
  return static_cast<const char*>(MRV_PTR(cell(args, 0).word5));
}
inline int32_t block_offset(const char* stmt, int which) {
  int32_t off;
  std::memcpy(&off, stmt + (which == 0 ? CALL_BLOCK : CALL_ELSE), sizeof off);
  return off;
}
// Runs a nested block; an absent block counts as run.
inline bool run_block(SystemContext* ctx, const char* stmt, int which) {
  const int32_t off = block_offset(stmt, which);
  return off == 0 || MRVEXEC_Mem(ctx, stmt + off) != 0;
}

// The frame around a block command's nested code: raises the task's depth
// and, while the debugger steps over, switches stepping off inside. Leaving
// the frame by any path lowers the depth again and puts back the step-over
// bit it took away, unless the debugger asked for something else meanwhile
// (a request sets EXEC_GO or a stepping bit). The other bits of execFlags,
// the watched task above all, are left as the host set them.
class BlockFrame {
 public:
  explicit BlockFrame(SystemContext* ctx) : ctx_(ctx), task_(ctx->currentTask) {
    ctx_->blockDepth[task_] += 1;
    const uint32_t old = mrv::change_flags(
        ctx_->execFlags, [](uint32_t f) { return (f & EXEC_STEP_OVER) != 0 ? f & ~kStepping : f; });
    suspended_ = (old & EXEC_STEP_OVER) != 0;
  }
  ~BlockFrame() {
    if (suspended_) {
      mrv::change_flags(ctx_->execFlags, [](uint32_t f) {
        return (f & (kStepping | EXEC_GO)) == 0 ? f | EXEC_STEP_OVER : f;
      });
    }
    ctx_->blockDepth[task_] -= 1;
  }
  BlockFrame(const BlockFrame&) = delete;
  BlockFrame& operator=(const BlockFrame&) = delete;

 private:
  static constexpr uint32_t kStepping = EXEC_STEP | EXEC_STEP_OVER;
  SystemContext* ctx_;
  int32_t task_;
  bool suspended_;
};

// ---- Texts ----
// Length of the longest prefix of `s` (length n) of at most `limit` bytes
// that does not split a double-byte character.
std::size_t fit_chars(const char* s, std::size_t n, std::size_t limit);
// Appends `piece` to the NUL-terminated text in buf (capacity cap), cut on a
// character boundary when it does not fit.
void append_cut(char* buf, std::size_t cap, const char* piece);

// Reads string argument i into buf (MRV_MSGBUF bytes) and checks that it
// has at most `limit` bytes; a longer one is refused with a report naming
// the command and the argument.
bool arg_text(SystemContext* ctx, VarTable* args, int32_t i, char* buf, std::size_t limit, Cmd id);

// Reports one of the library's own errors (a printf format in code page 932).
int32_t report(SystemContext* ctx, const char* fmt, ...);

}  // namespace standard
