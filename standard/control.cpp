// Control-flow commands: loops, conditions, Switch and Case, subroutine files,
// Return and Exit. Nested blocks run through MRVEXEC_Mem, so nesting lives on
// the task's own stack; Break, Return and Exit only set request bits that
// every statement loop checks.
#include "internal.h"

using namespace standard;

namespace {

enum class After { Fail, Leave, Next };

// What a loop does after a run of its body.
After after_body(SystemContext* ctx, int32_t t) {
  const uint32_t flags = task_flags(ctx, t);
  if (flags & TASK_END) return After::Fail;
  if (flags & TASK_BREAK) {
    clear_task_flags(ctx, t, TASK_BREAK);
    return After::Leave;
  }
  if (flags & TASK_RETURN) return After::Leave;  // keeps travelling out to the file's end
  return After::Next;
}

// A condition is true when the number's integer word (sign and magnitude) is
// not 0; the fraction does not count.
bool truth(const FAQ& v) {
  return v.word1 != 0;
}

// The return register #4 takes a new value; what it held before is released.
void set_return_register(SystemContext* ctx, FAQ* v) {
  MRVVAL_Clear(ctx, &ctx->systemVars, 4);
  MRVVAL_Set(ctx, &ctx->systemVars, 4, v);
}

}  // namespace

MRV_COMMAND(MRV_FOR) {
  if (!check(ctx, args, Cmd::For)) return 0;
  const char* stmt = statement(args);
  const int32_t t = ctx->currentTask;
  Ref var = ref(cell(args, 1));
  FAQ start = cell(args, 2), end = cell(args, 3), step = cell(args, 4);
  int32_t stepInt = 0;
  MRVFAQ_Int(ctx, &step, &stepInt);
  const bool descending = stepInt < 0;

  MRVVAL_Clear(ctx, &var.table, var.index);
  if (!MRVVAL_Set(ctx, &var.table, var.index, &start)) return 0;
  BlockFrame frame(ctx);
  for (;;) {
    FAQ v{};
    if (!get(ctx, var, &v)) return 0;
    int32_t cmp = 0;
    if (!MRVINT_Compare(&v, &end, &cmp) && !MRVFAQ_Comp(ctx, &v, &end, &cmp)) return 0;
    if (descending ? cmp < 0 : cmp > 0) break;
    if (!run_block(ctx, stmt, 0)) return 0;
    const After a = after_body(ctx, t);
    if (a == After::Fail) return 0;
    if (a == After::Leave) break;
    if (!get(ctx, var, &v)) return 0;
    if (!MRVINT_Sum(&v, &step, 1) && !MRVFAQ_Add(ctx, &v, &step)) return 0;
    if (!set(ctx, var, &v)) return 0;
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_IF) {
  if (!check(ctx, args, Cmd::If)) return 0;
  const char* stmt = statement(args);
  const bool cond = truth(cell(args, 1));
  BlockFrame frame(ctx);
  if (!run_block(ctx, stmt, cond ? 0 : 1)) return 0;
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_WHILE) {
  if (!check(ctx, args, Cmd::While)) return 0;
  const char* stmt = statement(args);
  const char* condition = static_cast<const char*>(MRV_PTR(cell(args, 1).word5));
  const int32_t t = ctx->currentTask;
  BlockFrame frame(ctx);
  for (;;) {
    FAQ v{};
    if (MRVEXEC_Calc(ctx, condition, &v) == nullptr) {
      MRVFAQ_Clear(ctx, &v);
      return 0;
    }
    const bool cond = truth(v);
    MRVFAQ_Clear(ctx, &v);
    if (!cond) break;
    if (!run_block(ctx, stmt, 0)) return 0;
    const After a = after_body(ctx, t);
    if (a == After::Fail) return 0;
    if (a == After::Leave) break;
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_LOOP) {
  if (!check(ctx, args, Cmd::Loop)) return 0;
  const char* stmt = statement(args);
  const int32_t t = ctx->currentTask;
  int32_t count = 0;
  if (!arg_int(ctx, args, 1, &count)) return 0;
  BlockFrame frame(ctx);
  while (count != 0) {
    if (!run_block(ctx, stmt, 0)) return 0;
    const After a = after_body(ctx, t);
    if (a == After::Fail) return 0;
    if (a == After::Leave) break;
    if (count > 0) --count;
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_SWITCH) {
  if (!check(ctx, args, Cmd::Switch)) return 0;
  const char* stmt = statement(args);
  const int32_t t = ctx->currentTask;
  BlockFrame frame(ctx);
  // The switch value goes into the task's register; an enclosing Switch's
  // value waits in the argument cell until the body is done.
  if (!swap(ctx, &ctx->systemVars, 180 + t, args, 1)) return 0;
  if (!run_block(ctx, stmt, 0)) return 0;
  if (!swap(ctx, &ctx->systemVars, 180 + t, args, 1)) return 0;
  clear_task_flags(ctx, t, TASK_BREAK);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_CASE) {
  if (!check(ctx, args, Cmd::Case)) return 0;
  const char* stmt = statement(args);
  FAQ reg{};
  Ref r{ctx->systemVars, 180 + ctx->currentTask};
  if (!get(ctx, r, &reg)) return 0;
  int32_t cmp = 0;
  if (!MRVINT_Compare(&reg, &cell(args, 1), &cmp) &&
      !MRVFAQ_Comp(ctx, &reg, &cell(args, 1), &cmp)) {
    return 0;
  }
  BlockFrame frame(ctx);
  if (cmp == 0 && !run_block(ctx, stmt, 0)) return 0;
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_BREAK) {
  if (!check(ctx, args, Cmd::Break)) return 0;
  set_task_flags(ctx, ctx->currentTask, TASK_BREAK);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_GOSUB) {
  if (!check(ctx, args, Cmd::Gosub)) return 0;
  char name[MRV_MSGBUF];
  if (!arg_text(ctx, args, 1, name, MRV_PATH - 1, Cmd::Gosub)) return 0;
  const int32_t t = ctx->currentTask;
  BlockFrame frame(ctx);
  // The subroutine's frame: $@ the argument count + 1, $A the name, $B on the
  // further values. Without a frame the subroutine does not run at all.
  if (!MRVVAL_CreateLocal(ctx, t, args)) return 0;
  if (!MRVEXEC_File(ctx, name)) return 0;
  MRVVAL_DeleteLocal(ctx, t);
  FAQ ret{};
  MRVVAL_Get(ctx, &ctx->systemVars, 4, &ret);
  MRVVAL_Set(ctx, args, 0, &ret);
  MRVVAL_NULL(ctx, &ctx->systemVars, 4);
  return 1;
}

MRV_COMMAND(MRV_Goto) {
  return 1;
}

MRV_COMMAND(MRV_RETURN) {
  if (!check(ctx, args, Cmd::Return)) return 0;
  FAQ what = cell(args, 1);
  if (what.type == TYPE_VARIABLE) {
    // A reference would outlive the frame it may point into (a local of the
    // subroutine): the value it names goes back instead.
    Ref r = ref(what);
    if (!MRVVAL_Get(ctx, &r.table, r.index, &what)) return 0;
  }
  FAQ v{};
  if (!MRVFAQ_Copy(ctx, &v, &what)) return 0;
  set_return_register(ctx, &v);
  set_task_flags(ctx, ctx->currentTask, TASK_RETURN);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_EXIT) {
  if (!check(ctx, args, Cmd::Exit)) return 0;
  FAQ v = cell(args, 1);  // a number: nothing to duplicate
  set_return_register(ctx, &v);
  for (int32_t t = 0; t < MRV_TASKS; ++t) {
    if (task_live(ctx, t)) set_task_flags(ctx, t, TASK_END);
  }
  return result_null(ctx, args);
}
