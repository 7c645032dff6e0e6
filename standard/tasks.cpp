// Task and timing commands: starting, ending and inspecting tasks, waits
// that pass the turn to the other tasks, and the clock.
#include <cstdio>

#include "internal.h"
#include "platform/clock.h"

using namespace standard;

namespace {

// The timing trace of a wait: asked length and ticks elapsed.
void wait_trace(SystemContext* ctx, int32_t task, int32_t length, uint32_t elapsed) {
  if (length == 0) length = 1;
  char line[MRV_PATH];
  std::snprintf(line, sizeof line, "@B TASK%02d %d -> %d %d%%", task, length,
                static_cast<int32_t>(elapsed),
                static_cast<int32_t>(elapsed * 100u / static_cast<uint32_t>(length)));
  MRVEXEC_SendTracer(ctx, line);
}

void end_wait(SystemContext* ctx, int32_t t) {
  ctx->waitStart[t] = 0;
  waitTarget[t] = 0;
}

}  // namespace

MRV_COMMAND(MRV_TASKSTART) {
  if (!check(ctx, args, Cmd::StartTask)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  char name[MRV_MSGBUF];
  if (!arg_text(ctx, args, 2, name, MRV_PATH - 1, Cmd::StartTask)) return 0;
  const int32_t slot = MRVEXEC_GetFreeTask(ctx, n);
  // No slot (already reported): the statement goes on with the value the
  // interpreter gave it.
  if (slot < 0) return -1;
  // The new task's first frame: $A the number as passed, $B the name, $C on
  // the further values.
  if (!MRVVAL_CreateLocal(ctx, slot, args)) return 0;
  if (MRVEXEC_ExecuteTask(ctx, slot, name) < 0) {
    MRVVAL_DeleteLocal(ctx, slot);
    return 0;
  }
  return result_number(ctx, args, slot);
}

MRV_COMMAND(MRV_TASKEND) {
  if (!check(ctx, args, Cmd::EndTask)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  if (!task_live(ctx, n)) return result_null(ctx, args);
  set_task_flags(ctx, n, TASK_END);
  // The caller itself ends at its next statement. Another task ends when it
  // next gets the turn, so pass it on until that task's slot is free. A task
  // running alone (TaskSuper) cannot pass the turn: the target then ends
  // after TaskSuper(0). The waiting stops once the caller is told to end
  // itself (two tasks that end each other, or a closing program).
  const int32_t me = ctx->currentTask;
  if (n == me || me == ctx->superTask) return result_null(ctx, args);
  while (task_live(ctx, n) && !(task_flags(ctx, me) & TASK_END)) {
    if (!MRVEXEC_WaitTask(ctx)) return 0;
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_TASKSUPER) {
  if (!check(ctx, args, Cmd::TaskSuper)) return 0;
  int32_t flag = 0;
  if (!arg_int(ctx, args, 1, &flag)) return 0;
  ctx->superTask = flag != 0 ? ctx->currentTask : -1;
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_ISTASK) {
  if (!check(ctx, args, Cmd::IsTask)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  return result_bool(ctx, args, task_live(ctx, n));
}

MRV_COMMAND(MRV_GETTASK) {
  if (!check(ctx, args, Cmd::GetTask)) return 0;
  return result_number(ctx, args, ctx->currentTask);
}

MRV_COMMAND(MRV_WAIT) {
  if (!check(ctx, args, Cmd::Wait)) return 0;
  int32_t ms = 0;
  if (!arg_int(ctx, args, 1, &ms)) return 0;
  switch (waitTraceMode) {
    case 0:
      MRVEXEC_Wait(ctx, 1);
      break;
    case 1:
      MRVEXEC_Wait(ctx, ms);
      break;
    case 2: {
      const uint32_t start = plat::ticks_ms();
      MRVEXEC_Wait(ctx, ms);
      wait_trace(ctx, ctx->currentTask, ms, plat::ticks_ms() - start);
      break;
    }
    default:
      break;
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_WAITSTART) {
  if (!check(ctx, args, Cmd::WaitStart)) return 0;
  int32_t ms = 0;
  if (!arg_int(ctx, args, 1, &ms)) return 0;
  const int32_t t = ctx->currentTask;
  if (ms < 10) {
    end_wait(ctx, t);
    return result_null(ctx, args);
  }
  uint32_t deadline = plat::ticks_ms() + static_cast<uint32_t>(ms);
  if (deadline == 0) deadline = 1;  // 0 means no wait pending
  ctx->waitStart[t] = deadline;
  waitTarget[t] = ms;
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_WAITEND) {
  if (!check(ctx, args, Cmd::WaitEnd)) return 0;
  int32_t mode = 0;
  if (!arg_int(ctx, args, 1, &mode)) return 0;
  const int32_t t = ctx->currentTask;
  const uint32_t deadline = ctx->waitStart[t];
  if (deadline == 0) return result_bool(ctx, args, false);
  const auto trace = [&] {
    const uint32_t begun = deadline - static_cast<uint32_t>(waitTarget[t]);
    wait_trace(ctx, t, waitTarget[t], plat::ticks_ms() - begun);
  };
  bool over = false;
  if (mode == 0) {
    over = true;
    if (waitTraceMode == 0) {
      MRVEXEC_WaitTask(ctx);
    } else if (waitTraceMode == 1 || waitTraceMode == 2) {
      // Pass the turn until the deadline; the executor may sleep meanwhile
      // when every task waits. A task told to end stops waiting, so that
      // closing the program never waits for a long WaitStart.
      while (MRVEXEC_IdleTask(ctx, deadline) && plat::tick_before(plat::ticks_ms(), deadline) &&
             !(task_flags(ctx, t) & TASK_END)) {
      }
      if (waitTraceMode == 2) trace();
    }
  } else if (waitTraceMode == 0) {
    over = true;
  } else if (waitTraceMode == 1 || waitTraceMode == 2) {
    over = !plat::tick_before(plat::ticks_ms(), deadline);
    if (over && waitTraceMode == 2) trace();
  }
  if (over) end_wait(ctx, t);
  return result_bool(ctx, args, over);
}

MRV_COMMAND(MRV_CLOCK) {
  if (!check(ctx, args, Cmd::Clock)) return 0;
  const plat::LocalTime now = plat::local_time();
  FAQ v{};
  MRVFAQ_Number(ctx, &v, 1, now.year * 10000 + now.month * 100 + now.day,
                static_cast<uint32_t>(now.hour * 10000 + now.minute * 100 + now.second));
  return result_value(ctx, args, v);
}

MRV_COMMAND(MRV_SYSTEMTIME) {
  if (!check(ctx, args, Cmd::SystemTime)) return 0;
  FAQ v = cell(args, 1);
  if (v.word1 == 0) {
    v.word1 = plat::ticks_ms();
    v.word2 = 0;
  } else if (v.word1 == 1) {
    v.word1 = plat::ticks_ms() - ctx->startTime;
    v.word2 = 0;
  }
  return result_value(ctx, args, v);
}

MRV_COMMAND(MRV_SYSTEMINFO) {
  return 1;
}
