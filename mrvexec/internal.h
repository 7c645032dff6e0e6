// What the parts of the execution manager share: reports, the per-task
// argument cells and the scheduler's sleep.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>

#include "mrvcode.h"
#include "mrvexec.h"
#include "mrvint.h"
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
// per-task stack of region blocks that never move while a call runs. One
// look-up of the task's session gives the cells and the task's slot of the
// running decoded call (running_call) together.
struct CallCells {
  FAQ* cells;            // all zero
  int* depth;            // the task's calls in progress
  const void** running;  // the task's running_call slot
};
// False when the current task has no session or no memory is left.
bool push_cells(SystemContext* ctx, CallCells* out);

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

// A value that owns what it names (a string, picture, memory block, window or
// sound): copying and clearing it go through the value manager. One test of
// a bit mask over the five tags.
inline bool owns(uint16_t type) {
  constexpr auto bit = [](uint32_t t) { return 1u << (t - TYPE_CELL); };
  static_assert(TYPE_CELL < TYPE_HANDLE && TYPE_CELL < TYPE_MEMORY && TYPE_CELL < TYPE_STRING &&
                TYPE_STRING - TYPE_CELL < 32 && TYPE_WAVE - TYPE_CELL < 32);
  constexpr uint32_t kOwning =
      bit(TYPE_STRING) | bit(TYPE_CELL) | bit(TYPE_MEMORY) | bit(TYPE_HANDLE) | bit(TYPE_WAVE);
  const uint32_t d = static_cast<uint32_t>(type) - TYPE_CELL;
  return d < 32 && ((kOwning >> d) & 1u) != 0;
}

// MRVFAQ_Clear, done here for values that own nothing (numbers above all).
inline void release(SystemContext* ctx, FAQ* v) {
  if (!owns(v->type)) {
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

// Pieces of the evaluator (calc.cpp) that the decoded form shares, so that
// both paths make the same values, counts and reports.
int precedence(uint8_t op);
// Applies an infix operator to l and r; codes without an operation do nothing.
bool apply(SystemContext* ctx, uint8_t op, FAQ* l, FAQ* r);
// A comparison's truth for the order c of its operands.
bool truth_of(uint8_t op, int32_t c);
// A truth value into a cleared value, as MRVFAQ_Bool makes it (-1 or 0).
inline void set_truth(FAQ* v, bool truth) {
  v->type = TYPE_NUMBER;
  v->word1 = truth ? 0x80000001u : 0u;
  v->word2 = 0;
}
// The integer quotient `?` of two integers: MRVFAQ_Div with the fraction
// dropped (the sign stays even when the quotient is 0).
inline bool integer_quotient(FAQ* l, const FAQ* r) {
  if (!MRVINT_Plain(l, r)) return false;
  const uint32_t a = l->word1 & 0x7FFFFFFF, b = r->word1 & 0x7FFFFFFF;
  if (b == 0 || a > MRVINT_MAX || b > MRVINT_MAX) return false;
  l->word1 = ((l->word1 ^ r->word1) & 0x80000000u) | (a / b);
  return true;
}

// The remainder `%` as MRVFAQ_Mod makes it: the magnitudes' remainder with
// the left sign, no fraction.
inline bool integer_remainder(FAQ* l, const FAQ* r) {
  if (l->type != TYPE_NUMBER || r->type != TYPE_NUMBER || (r->word1 & 0x7FFFFFFF) == 0) {
    return false;
  }
  l->word1 = (l->word1 & 0x80000000u) | ((l->word1 & 0x7FFFFFFF) % (r->word1 & 0x7FFFFFFF));
  l->word2 = 0;
  return true;
}

// apply() with the integer sums, products, quotients, remainders and comparisons
// inline.
inline bool apply_fast(SystemContext* ctx, uint8_t op, FAQ* l, FAQ* r) {
  int32_t c = 0;
  switch (op) {
    case OP_ADD:
      if (MRVINT_Sum(l, r, 1)) return true;
      break;
    case OP_SUB:
      if (MRVINT_Sum(l, r, -1)) return true;
      break;
    case OP_MUL:
      if (MRVINT_Product(l, r)) return true;
      break;
    case OP_QUESTION:
      if (integer_quotient(l, r)) return true;
      break;
    case OP_MOD:
      if (integer_remainder(l, r)) return true;
      break;
    case OP_GT:
    case OP_LT:
    case OP_GE:
    case OP_LE:
    case OP_EQ:
    case OP_NE:
      if (MRVINT_Compare(l, r, &c)) {
        *l = FAQ{};  // a number owns nothing
        set_truth(l, truth_of(op, c));
        return true;
      }
      break;
    default:
      break;
  }
  return apply(ctx, op, l, r);
}
// An integer constant as MRVFAQ_Number makes it (type, word1, word2 only).
bool integer(SystemContext* ctx, FAQ* result, int32_t v);
// The cell of a table's relative index, or null outside the table.
inline FAQ* cell_of(const VarTable* t, int32_t index) {
  const int64_t i = int64_t{index} + t->base;
  return i >= 0 && i < t->count ? MRV_CELLS(t) + i : nullptr;
}
// A variable's value, and a store that counts in its setCount.
bool get(SystemContext* ctx, VarRef* ref, FAQ* out);
bool set(SystemContext* ctx, VarRef* ref, FAQ* value);
// A copy of source that owns its own string, cell or memory block.
bool duplicate(SystemContext* ctx, FAQ* target, FAQ* source);
// Postfix "++" (OP_INC) or "--" (OP_DEC) on the variable.
bool step_variable(SystemContext* ctx, uint8_t op, VarRef* ref);
// Stores the assigned value v into the variable (releasing what it held) and
// gives the statement a duplicate of it in result.
bool assign(SystemContext* ctx, VarRef* ref, FAQ* v, FAQ* result);
// Adds a subscript's value v (released here) to the reference's index;
// false after the report of a subscript that is not a number.
bool add_subscript(SystemContext* ctx, VarRef* ref, FAQ* v);
// A string constant from its NUL-terminated 16-bit units.
bool string_units(SystemContext* ctx, const uint16_t* units, FAQ* result);
// An operand's "!" and "-" prefixes; they apply to numbers only.
bool prefixes(SystemContext* ctx, FAQ* result, bool negate, bool minus);

// The module of the command library `name`, loaded into the first free slot
// on first use; 0 after a report.
uint32_t find_library(SystemContext* ctx, const char* name);
// The command function of a call site: remembered, else found in its library
// (loaded on first use) and remembered; null after a report.
Command find_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd);
// What happens right before a command runs: its trace line, then the
// debugger's stop when it steps.
void before_command(SystemContext* ctx, const char* lib, const char* cmd, FAQ* cells,
                    int32_t count);
// Gives back the cells of a call with `count` arguments: releases what they
// hold and leaves them zero for the next call.
void pop_cells(SystemContext* ctx, const CallCells& call, int32_t count);

// The start of every turn of a statement loop (plain or decoded): the
// hand-over (an idle one while the task is paused), #7 and the task's
// requests. kTurnGo: run the statement; kTurnPaused: take the next turn;
// anything else is the loop's result.
constexpr int32_t kTurnGo = -1;
constexpr int32_t kTurnPaused = -2;
inline int32_t begin_turn(SystemContext* ctx, bool* paused) {
  if ((*paused ? MRVEXEC_IdleTask(ctx, ~0u) : MRVEXEC_WaitTask(ctx)) == 0) return 0;
  const int32_t t = ctx->currentTask;
  const uint32_t flags = load_flags(ctx->taskFlags[t]);
  *paused = (flags & TASK_PAUSED) != 0;
  if (*paused) return kTurnPaused;
  FAQ& where = sysvar(ctx, MRV_SV_WHERE);  // #7: task and line
  if (where.type != TYPE_NUMBER) {         // a scenario put something else there: let it go first
    MRVFAQ_Clear(ctx, &where);
    where.type = TYPE_NUMBER;
  }
  store_data(where.word1, static_cast<uint32_t>(t));
  store_data(where.word2, ctx->taskLine[t]);
  if ((flags & TASK_RETURN) != 0) return 1;
  if ((flags & TASK_END) != 0) return 0;
  if ((flags & TASK_BREAK) != 0) return 1;
  return kTurnGo;
}

// The debugger (debug.cpp). debug_turn runs before a statement while
// EXEC_DEBUG is set (`marked`: the statement starts a line) and holds the task
// when it must stop: kTurnGo to run the statement, else the loop's result.
int32_t debug_turn(SystemContext* ctx, bool marked);
// What both statement loops ask before a statement: one flag test while no
// debugger has anything to stop.
inline int32_t debug_hold(SystemContext* ctx, bool marked) {
  return (load_flags(ctx->execFlags) & EXEC_DEBUG) != 0 ? debug_turn(ctx, marked) : kTurnGo;
}
// "@S task line reason file": where task t stopped and why.
void send_stop_record(SystemContext* ctx, int32_t t, const char* reason);
// Task t enters a file, leaving `file` at `line`; and comes back.
void debug_enter_file(SystemContext* ctx, int32_t t, const char* file, uint32_t line);
void debug_leave_file(SystemContext* ctx, int32_t t);
// The context is deleted: its breakpoints and task files go.
void debug_forget(const SystemContext* ctx);
// Contexts a debugger is attached to (MRV_DEBUG_ATTACH), in this process.
extern std::atomic<int> g_debuggers;
// "@R task 1" / "@R task 0" for an attached debugger; the end also drops
// what the debugger asked of the slot.
void debug_task_record(SystemContext* ctx, int32_t t, bool begins);
// A task starts or ends: nothing but one test while no debugger is attached
// and nothing waits to stop.
inline void debug_task_begins(SystemContext* ctx, int32_t t) {
  if (g_debuggers.load(std::memory_order_relaxed) != 0) debug_task_record(ctx, t, true);
}
inline void debug_task_ends(SystemContext* ctx, int32_t t) {
  if (g_debuggers.load(std::memory_order_relaxed) != 0 ||
      (load_flags(ctx->execFlags) & EXEC_DEBUG) != 0)
    debug_task_record(ctx, t, false);
}

// The decoded form of code blocks (decode.cpp).
struct Program;
// Decodes a whole code block of `size` bytes; null when there is nothing to
// decode (the plain evaluator runs it).
Program* decode_program(SystemContext* ctx, const char* code, uint32_t size);
void free_program(Program* program);
// Runs the block's statement list as MRVEXEC_Mem runs it.
int32_t run_program(SystemContext* ctx, Program* program);
// The statement list or expression at `code` when the command running in the
// current task was called from decoded code and `code` is one of its blocks
// or arguments; false when the plain evaluator must run it.
bool run_decoded_block(SystemContext* ctx, const char* code, int32_t* result);
bool calc_decoded(SystemContext* ctx, const char* code, FAQ* result, const char** next);
// The plain statement loop and evaluator (MRVEXEC_Mem and MRVEXEC_Calc
// without the decoded form).
int32_t run_plain(SystemContext* ctx, const char* code);
const char* calc_plain(SystemContext* ctx, const char* code, FAQ* result);

// The decoded call running in the current task, kept per task by the session.
const void** running_call(SystemContext* ctx);

// Little-endian numbers of compiled code, at any address.
inline int32_t read32(const char* p) {
  return static_cast<int32_t>(plat::get_le32(p));
}
inline int16_t read16(const char* p) {
  return static_cast<int16_t>(plat::get_le16(p));
}

}  // namespace mrvexec
