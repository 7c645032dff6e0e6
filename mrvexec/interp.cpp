// The statement loop and the command call: argument cells, the binding of
// command libraries by name, the trace line and single-stepping.
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "mrvcode.h"
#include "platform/dynlib.h"
#include "platform/text.h"

namespace mrvexec {

uint32_t find_library(SystemContext* ctx, const char* name) {
  for (int i = 0; i < MRV_LIBRARIES; ++i) {
    char* slot = ctx->libName[i];
    if (slot[0] == '\0') {
      std::snprintf(ctx->msgBuf2, sizeof ctx->msgBuf2, "%s\\%s.so", ctx->programDir, name);
      if (std::strlen(name) >= sizeof ctx->libName[i]) {
        return report(ctx, MRV_CP932("ライブラリ名 \"%s\" が長すぎます。(8文字まで)"), name);
      }
      const uint32_t module = plat::lib_load(ctx->msgBuf2);
      if (module == 0) {
        return report(ctx, MRV_CP932("ライブラリ \"%s\" が見つかりません。"), ctx->msgBuf2);
      }
      ctx->libModule[i] = module;
      std::memcpy(slot, name, std::strlen(name) + 1);
      return module;
    }
    if (strcasecmp(slot, name) == 0) return ctx->libModule[i];
  }
  return report(ctx, MRV_CP932("拡張コマンド・ライブラリが20個以上使用されています。"));
}

namespace {

// Appends `text` to the line in `out` (capacity `cap`), cut after the last
// whole character that fits.
void append(char* out, std::size_t cap, const char* text) {
  const std::size_t n = std::strlen(out);
  const std::size_t k = plat::cut_length(text, cap - 1 - n);
  std::memcpy(out + n, text, k);
  out[n + k] = '\0';
}

void trace_command(SystemContext* ctx, const char* lib, const char* cmd, FAQ* cells,
                   int32_t count) {
  const uint32_t flags = load_flags(ctx->execFlags);
  if ((flags & EXEC_TRACE) == 0 || !MRVEXEC_SendTracer(ctx, nullptr)) return;
  const int32_t t = ctx->currentTask;
  char* line = ctx->msgBuf;
  const std::size_t cap = sizeof ctx->msgBuf;
  std::snprintf(line, cap, "TASK%02d %4d ", static_cast<int>(t),
                static_cast<int>(ctx->taskLine[t] + 1));
  for (uint32_t d = 0; d < ctx->blockDepth[t] && std::strlen(line) + 3 < cap; ++d) {
    append(line, cap, "  ");
  }
  if (std::strcmp(lib, MRVCODE_DEFAULT_LIBRARY) != 0) {
    append(line, cap, lib);
    append(line, cap, ":");
  }
  append(line, cap, cmd);
  if ((flags & EXEC_TRACE_ARGS) != 0) {
    append(line, cap, "( ");
    for (int32_t i = 1; i <= count; ++i) {
      if (i > 1) append(line, cap, ", ");
      FAQ v = cells[i];  // the display may change the tag of its value
      MRVVAL_DisplayValue(ctx, &v, ctx->msgBuf2);
      append(line, cap, ctx->msgBuf2);
    }
    append(line, cap, " )");
  }
  MRVEXEC_SendTracer(ctx, line);
}

// Holds the watched task before its command until the host sets EXEC_GO; a
// closing program (a task marked TASK_END) is never held.
void step(SystemContext* ctx) {
  const uint32_t flags = load_flags(ctx->execFlags);
  if ((flags & (EXEC_STEP | EXEC_STEP_OVER)) == 0 ||
      static_cast<int32_t>(flags >> EXEC_WATCH_SHIFT) != ctx->currentTask) {
    return;
  }
  if ((flags & EXEC_GO) == 0) send_stop_record(ctx, ctx->currentTask, "step");
  while ((load_flags(ctx->execFlags) & EXEC_GO) == 0) {
    if (any_task_ending(ctx)) {
      clear_flags(ctx->execFlags, EXEC_STEP | EXEC_STEP_OVER);
      set_flags(ctx->execFlags, EXEC_GO);
      break;
    }
    nap(ctx, kNapSlice);  // the host wakes the executor when it writes the flags
  }
  clear_flags(ctx->execFlags, EXEC_GO);
}

}  // namespace

Command find_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd) {
  Command fn = cached_command(ctx, site, lib, cmd);
  if (fn != nullptr) return fn;
  const uint32_t module = find_library(ctx, lib);
  if (module == 0) return nullptr;
  std::snprintf(ctx->msgBuf, sizeof ctx->msgBuf, "MRV_%s", cmd);
  fn = reinterpret_cast<Command>(plat::lib_symbol(module, ctx->msgBuf));
  if (fn == nullptr) {
    report(ctx, MRV_CP932("コマンドライブラリ<%s.DLL>で、関数<(MRV_)%s>が見つかりません。"), lib,
           cmd);
    return nullptr;
  }
  cache_command(ctx, site, lib, cmd, fn);
  return fn;
}

void before_command(SystemContext* ctx, const char* lib, const char* cmd, FAQ* cells,
                    int32_t count) {
  if ((load_flags(ctx->execFlags) & (EXEC_TRACE | EXEC_STEP | EXEC_STEP_OVER)) == 0) return;
  trace_command(ctx, lib, cmd, cells, count);
  step(ctx);
}

namespace {

// Finds and runs the command with the argument cells. Nested code it asks
// for runs through the plain evaluator.
int32_t run_command(SystemContext* ctx, const char* site, const char* lib, const char* cmd,
                    const CallCells& call, int32_t count) {
  Command fn = find_command(ctx, site, lib, cmd);
  if (fn == nullptr) return 0;
  before_command(ctx, lib, cmd, call.cells, count);
  VarTable args{MRV_WORD(call.cells), MRV_FRAME_CELLS, 0};
  const void* saved = *call.running;
  *call.running = nullptr;
  const int32_t r = fn(ctx, &args);
  *call.running = saved;
  return r;
}

// Evaluates the arguments of a call into cells 1..count.
bool eval_args(SystemContext* ctx, const char* p, FAQ* cells, int32_t count) {
  for (int32_t i = 1; i <= count; ++i) {
    const char* start = p;
    FAQ& cell = cells[i];
    if (static_cast<uint8_t>(*p) == TOK_BYREF) {
      VarRef ref;
      p = parse_varref(ctx, p + 1, &ref);
      if (p == nullptr) return false;
      cell.type = TYPE_VARIABLE;
      cell.word1 = ref.table.cells;
      cell.word2 = static_cast<uint32_t>(ref.table.count);
      cell.word3 = static_cast<uint32_t>(ref.table.base);
      cell.word4 = static_cast<uint32_t>(ref.index);
    } else if (*p == TOK_END) {
      cell.type = TYPE_OMITTED;
    } else {
      p = calc_plain(ctx, p, &cell);
      if (p == nullptr) return false;
    }
    cell.word5 = MRV_WORD(start);
    ++p;  // the separator
  }
  return true;
}

}  // namespace

const char* call_command(SystemContext* ctx, const char* q, FAQ* result) {
  const char* lib = q + read32(q + CALL_LIBRARY);
  const char* cmd = q + read32(q + CALL_COMMAND);
  const int32_t count = read32(q + CALL_ARGCOUNT);
  if (count < 0 || count > MRVCODE_MAX_ARGS) return nullptr;  // verified code never has this
  CallCells call;
  if (!push_cells(ctx, &call)) return nullptr;
  FAQ* cells = call.cells;
  cells[0].word5 = MRV_WORD(q);
  const char* next = nullptr;
  if (eval_args(ctx, q + read32(q + CALL_ARGS), cells, count)) {
    MRVFAQ_Number(ctx, &cells[0], 1, count + 1, 0);
    cells[count + 1] = FAQ{};  // the terminator (after 26 arguments, the spare 28th cell)
    cells[count + 1].type = TYPE_OMITTED;
    if (run_command(ctx, q, lib, cmd, call, count) != 0) {
      std::memcpy(result, &cells[0], sizeof(FAQ));
      next = q + read32(q + CALL_LENGTH);
    }
  }
  pop_cells(ctx, call, count);
  return next;
}

}  // namespace mrvexec

using namespace mrvexec;

int32_t mrvexec::run_plain(SystemContext* ctx, const char* code) {
  const char* p = code;
  bool paused = false;
  for (;;) {
    const int32_t turn = begin_turn(ctx, &paused);
    if (turn == kTurnPaused) continue;
    if (turn != kTurnGo) return turn;
    const bool marked = *p == TOK_LINE;
    if (marked) {
      ctx->taskLine[ctx->currentTask] = static_cast<uint16_t>(read16(p + 1));
      p += 3;
    }
    if (*p == TOK_END) return 1;
    if (const int32_t held = debug_hold(ctx, marked); held != kTurnGo) return held;
    FAQ value{};
    const char* q = calc_plain(ctx, p, &value);
    release(ctx, &value);
    if (q == nullptr) return 0;
    p = q;
  }
}

// A block of a decoded command call runs decoded; any other code plain.
extern "C" int32_t MRVEXEC_Mem(SystemContext* ctx, const char* code) {
  int32_t result = 0;
  if (run_decoded_block(ctx, code, &result)) return result;
  return run_plain(ctx, code);
}
