// A command library for the execution manager's tests, loaded by name as
// TESTCMD. Its commands report what they receive on the tracer channel (lines
// starting "@T "), so a test reads one stream of records in the order things
// happened, and drive the task machinery the way block and task commands do.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mrvexec.h"
#include "mrvshare.h"
#include "mrvtask.h"
#include "mrvval.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "sindra.h"

namespace {

int32_t count_of(SystemContext* ctx, VarTable* args) {
  int32_t n = 0;
  MRVFAQ_Int(ctx, &MRV_CELLS(args)[0], &n);
  return n - 1;
}

void say(SystemContext* ctx, const std::string& line) {
  MRVEXEC_SendTracer(ctx, ("@T " + line).c_str());
}

std::string show(SystemContext* ctx, FAQ v) {
  char buf[MRV_MSGBUF];
  MRVVAL_DisplayValue(ctx, &v, buf);
  return buf;
}

int32_t number_arg(SystemContext* ctx, VarTable* args, int32_t i, int32_t def) {
  int32_t n = def;
  MRVVAL_ArgNumber(ctx, args, i, &n);
  return n;
}

// Runs a nested block of the call: 1 block, 2 else block. An absent block
// counts as run.
int32_t run_block(SystemContext* ctx, VarTable* args, int which) {
  const char* call = static_cast<const char*>(MRV_PTR(MRV_CELLS(args)[0].word5));
  int32_t offset;
  std::memcpy(&offset, call + (which == 1 ? 17 : 21), 4);
  return offset == 0 ? 1 : MRVEXEC_Mem(ctx, call + offset);
}

}  // namespace

extern "C" {

// SHOW(values...): "@T v1|v2|..." with the display of every argument.
__attribute__((visibility("default"))) int32_t MRV_SHOW(SystemContext* ctx, VarTable* args) {
  std::string line;
  for (int32_t i = 1; i <= count_of(ctx, args); ++i) {
    if (i > 1) line += "|";
    line += show(ctx, MRV_CELLS(args)[i]);
  }
  say(ctx, line);
  return 1;
}

// ARGS(args...): the raw argument cells: count cell, then per cell its type
// and for references the table's base and the index, up to the terminator.
__attribute__((visibility("default"))) int32_t MRV_ARGS(SystemContext* ctx, VarTable* args) {
  FAQ* c = MRV_CELLS(args);
  std::string line = "n=" + show(ctx, c[0]);
  const int32_t n = count_of(ctx, args);
  for (int32_t i = 1; i <= n + 1 && i < MRV_FRAME_CELLS + 1; ++i) {
    char buf[64];
    if (c[i].type == TYPE_VARIABLE) {
      std::snprintf(buf, sizeof buf, " V(%s,%d,%d)",
                    c[i].word1 == ctx->systemVars.cells   ? "#"
                    : c[i].word1 == ctx->commonVars.cells ? "$"
                                                          : "L",
                    static_cast<int>(c[i].word3), static_cast<int>(c[i].word4));
    } else {
      std::snprintf(buf, sizeof buf, " %c", c[i].type != 0 ? static_cast<char>(c[i].type) : '0');
    }
    line += buf;
  }
  say(ctx, line);
  return 1;
}

// RAW(v): "@T T word1 word2" with the type tag and the words in hex.
__attribute__((visibility("default"))) int32_t MRV_RAW(SystemContext* ctx, VarTable* args) {
  const FAQ& v = MRV_CELLS(args)[1];
  char buf[64];
  std::snprintf(buf, sizeof buf, "%c %08x %08x", static_cast<char>(v.type ? v.type : '0'), v.word1,
                v.word2);
  say(ctx, buf);
  return 1;
}

// NOTHING(...): success without touching the result cell.
__attribute__((visibility("default"))) int32_t MRV_NOTHING(SystemContext*, VarTable*) {
  return 1;
}

// FAIL(): failure without a message.
__attribute__((visibility("default"))) int32_t MRV_FAIL(SystemContext*, VarTable*) {
  return 0;
}

// SET(v): result v.
__attribute__((visibility("default"))) int32_t MRV_SET(SystemContext* ctx, VarTable* args) {
  FAQ v = MRV_CELLS(args)[1];
  FAQ copy{};
  MRVFAQ_Copy(ctx, &copy, &v);
  MRVFAQ_Clear(ctx, &MRV_CELLS(args)[0]);
  MRV_CELLS(args)[0] = copy;
  return 1;
}

// LOOP(n){...}: runs its block n times (n < 0: until a flag), with the
// after-body checks of a loop command and the block depth.
__attribute__((visibility("default"))) int32_t MRV_LOOP(SystemContext* ctx, VarTable* args) {
  int32_t n = number_arg(ctx, args, 1, 0);
  const int32_t t = ctx->currentTask;
  ++ctx->blockDepth[t];
  while (n != 0) {
    if (!run_block(ctx, args, 1)) return 0;
    const uint32_t flags = mrv::load_flags(ctx->taskFlags[t]);
    if (flags & TASK_END) return 0;
    if (flags & TASK_BREAK) {
      mrv::clear_flags(ctx->taskFlags[t], TASK_BREAK);
      break;
    }
    if (flags & TASK_RETURN) break;
    if (n > 0) --n;
  }
  --ctx->blockDepth[t];
  return MRVVAL_NULL(ctx, args, 0);
}

// IF(c){...}ELSE{...}
__attribute__((visibility("default"))) int32_t MRV_IF(SystemContext* ctx, VarTable* args) {
  const int32_t c = static_cast<int32_t>(MRV_CELLS(args)[1].word1);
  ++ctx->blockDepth[ctx->currentTask];
  if (!run_block(ctx, args, c != 0 ? 1 : 2)) return 0;
  --ctx->blockDepth[ctx->currentTask];
  return MRVVAL_NULL(ctx, args, 0);
}

// FLAG(bits): sets task flags of the calling task (BREAK 4, RETURN 2, END 8,
// RESTART 1); FLAG(bits, task) of another task.
__attribute__((visibility("default"))) int32_t MRV_FLAG(SystemContext* ctx, VarTable* args) {
  const int32_t bits = number_arg(ctx, args, 1, 0);
  const int32_t task = number_arg(ctx, args, 2, ctx->currentTask);
  mrv::set_flags(ctx->taskFlags[task], static_cast<uint32_t>(bits));
  return 1;
}

// START(n, name): starts a task with an empty first frame; result its number.
__attribute__((visibility("default"))) int32_t MRV_START(SystemContext* ctx, VarTable* args) {
  char name[MRV_MSGBUF];
  MRVVAL_ArgString(ctx, args, 2, name);
  int32_t n = MRVEXEC_GetFreeTask(ctx, number_arg(ctx, args, 1, -1));
  if (n < 0) return 0;
  MRVVAL_CreateLocal(ctx, n, nullptr);
  n = MRVEXEC_ExecuteTask(ctx, n, name);
  if (n < 0) return 0;
  return MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, n, 0);
}

// RUN(name): runs a scenario file in the calling task.
__attribute__((visibility("default"))) int32_t MRV_RUN(SystemContext* ctx, VarTable* args) {
  char name[MRV_MSGBUF];
  MRVVAL_ArgString(ctx, args, 1, name);
  return MRVEXEC_File(ctx, name);
}

// WAIT(ms): result 1 or 0 as MRVEXEC_Wait gives.
__attribute__((visibility("default"))) int32_t MRV_WAIT(SystemContext* ctx, VarTable* args) {
  const int32_t r = MRVEXEC_Wait(ctx, number_arg(ctx, args, 1, 0));
  return MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, r, 0);
}

// SUPER(f): takes (f != 0) or releases exclusive execution.
__attribute__((visibility("default"))) int32_t MRV_SUPER(SystemContext* ctx, VarTable* args) {
  ctx->superTask = number_arg(ctx, args, 1, 0) != 0 ? ctx->currentTask : -1;
  return 1;
}

// TASK(): the running task and its line.
__attribute__((visibility("default"))) int32_t MRV_TASK(SystemContext* ctx, VarTable* args) {
  return MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, ctx->currentTask, 0);
}

// WAVE(): a new sound (a one-byte sound block of the sound library) that
// the result owns.
__attribute__((visibility("default"))) int32_t MRV_WAVE(SystemContext* ctx, VarTable* args) {
  void* block = MRVTASK_AllocMemory(ctx->hwndMain, sindra_block_size(1));
  if (block == nullptr) return 0;
  sindra_block_fill(block, "x", 1);
  FAQ& r = MRV_CELLS(args)[0];
  MRVFAQ_Clear(ctx, &r);
  r.type = TYPE_WAVE;
  r.word1 = MRV_WORD(block);
  return 1;
}

// HEARD(w): "@T live" when w names a sound block that is still there (what a
// play command needs), else "@T gone".
__attribute__((visibility("default"))) int32_t MRV_HEARD(SystemContext* ctx, VarTable* args) {
  const FAQ& w = MRV_CELLS(args)[1];
  const void* p = MRV_PTR(w.word1);
  const bool live = w.type == TYPE_WAVE && w.word1 != 0 && plat::mem_is_block(p) &&
                    std::memcmp(p, "SWAV", 4) == 0;
  say(ctx, live ? "live" : "gone");
  return 1;
}

}  // extern "C"

// Timing for the benchmarks: TIMER(0) notes the time, TIMER(1) adds the time
// since then to a sum. HANDOVER(n) passes the turn n times.
namespace {
// Processor time of the calling thread: the tasks' work without the time the
// machine gave to others.
double thread_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}
double timer_start = 0;
double timer_sum_ns = 0;
int64_t timer_count = 0;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t MRV_TIMER(SystemContext* ctx, VarTable* args) {
  const double now = thread_ns();
  if (number_arg(ctx, args, 1, 0) == 0) {
    timer_start = now;
  } else {
    timer_sum_ns += now - timer_start;
    ++timer_count;
  }
  return 1;
}

__attribute__((visibility("default"))) int32_t MRV_HANDOVER(SystemContext* ctx, VarTable* args) {
  for (int32_t n = number_arg(ctx, args, 1, 0); n > 0; --n) {
    if (!MRVEXEC_WaitTask(ctx)) return 0;
  }
  return 1;
}

// THREAD(): the identifier of the thread the task runs on.
__attribute__((visibility("default"))) int32_t MRV_THREAD(SystemContext* ctx, VarTable* args) {
  return MRVFAQ_Number(ctx, &MRV_CELLS(args)[0], 1, static_cast<int32_t>(plat::thread_current_id()),
                       0);
}

// SEND(window): sends the window WM_USER and waits for its procedure, as a
// command that asks a window of the host something does.
__attribute__((visibility("default"))) int32_t MRV_SEND(SystemContext* ctx, VarTable* args) {
  plat::send_message(static_cast<uint32_t>(number_arg(ctx, args, 1, 0)), plat::WM_USER, 0, 0);
  return 1;
}

// BYTES(): notes the bytes of memory blocks in use, for the benchmarks.
std::size_t bytes_seen = 0;
__attribute__((visibility("default"))) int32_t MRV_BYTES(SystemContext*, VarTable*) {
  bytes_seen = plat::mem_live_bytes();
  return 1;
}
__attribute__((visibility("default"))) std::size_t testcmd_bytes() {
  return bytes_seen;
}

// Read by the benchmarks: the sum and count of TIMER(1) since the last reset.
__attribute__((visibility("default"))) void testcmd_timer(double* sum_ns, int64_t* count,
                                                          int reset) {
  *sum_ns = timer_sum_ns;
  *count = timer_count;
  if (reset) {
    timer_sum_ns = 0;
    timer_count = 0;
  }
}

}  // extern "C"
