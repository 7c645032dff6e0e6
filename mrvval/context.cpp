// The system context and the variable store: creation and deletion of the
// context, reading and writing cells of variable tables, and the per-task
// stacks of local frames.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "mrvshare.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr int32_t kMaxFrames = MRV_LOCAL_CELLS / MRV_FRAME_CELLS;  // 20

bool valid_task(int32_t t) {
  return t >= 0 && t < MRV_TASKS;
}

// The absolute cell of a relative index, or -1 when it lies outside the table.
// Computed in 64 bits so that no index or base can overflow.
int64_t cell_of(const VarTable* table, int32_t index) {
  const int64_t i = int64_t{index} + table->base;
  return i >= 0 && i < table->count ? i : -1;
}

bool alloc_table(VarTable* table, int32_t count, int32_t base) {
  void* cells = MRVTASK_AllocMemory(0, static_cast<uint32_t>(count) * sizeof(FAQ));
  if (cells == nullptr) return false;
  *table = VarTable{MRV_WORD(cells), count, base};
  return true;
}

// Releases every cell of a table (last to first), frees its cells and zeroes
// the descriptor. A table that was never allocated is left alone.
void free_table(SystemContext* ctx, VarTable* table) {
  if (table->cells == 0) return;
  FAQ* cells = MRV_CELLS(table);
  for (int32_t i = table->count - 1; i >= 0; --i) MRVFAQ_Clear(ctx, &cells[i]);
  MRVTASK_FreeMemory(ctx->hwndMain, cells);
  *table = VarTable{};
}

// Frees what a context owns: its tables (releasing every value), its string
// heap, the command libraries it has loaded, and the record itself.
void free_context(SystemContext* ctx) {
  for (int32_t t = MRV_TASKS - 1; t >= 0; --t) free_table(ctx, &ctx->localVars[t]);
  free_table(ctx, &ctx->commonVars);
  free_table(ctx, &ctx->systemVars);
  if (ctx->stringHeap != 0) mrvval::heap_destroy(ctx);
  for (int32_t slot = MRV_LIBRARIES - 1; slot >= 0; --slot) {
    if (ctx->libName[slot][0] != '\0') plat::lib_free(ctx->libModule[slot]);
  }
  MRVTASK_FreeMemory(0, ctx);
}

// The program directory: the file name of the instance's module, upper-cased,
// cut before its last separator. '/' is the separator of this system's paths;
// '\' counts too unless it is the second byte of a double-byte character. The
// cut is found on the whole name, so a long file name cannot leave a wrong
// directory behind; only the directory must fit the field.
void set_program_dir(SystemContext* ctx) {
  std::string path = plat::module_file_name(ctx->hInstance);
  plat::upper_cp932(path.data());
  std::size_t cut = std::string::npos;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto b = static_cast<uint8_t>(path[i]);
    if (b == '/' || b == '\\') {
      cut = i;
    } else if (plat::kCodePage932(b) && i + 1 < path.size() && path[i + 1] != '/') {
      ++i;  // a trail byte is never a separator ('/' never is one in either encoding)
    }
  }
  if (cut != std::string::npos) path.resize(cut);
  const std::size_t n = std::min(path.size(), sizeof ctx->programDir - 1);
  std::memset(ctx->programDir, 0, sizeof ctx->programDir);
  std::memcpy(ctx->programDir, path.data(), n);
}

}  // namespace

extern "C" {

SystemContext* MRVVAL_Create(uint32_t hInstance) {
  // Owner 0: there is no window yet, so a shortage box is task-modal.
  auto* ctx = static_cast<SystemContext*>(MRVTASK_AllocMemory(0, sizeof(SystemContext)));
  if (ctx == nullptr) return nullptr;
  // A refused allocation gives back everything allocated so far.
  bool ok = mrvval::heap_create(ctx) && alloc_table(&ctx->systemVars, MRV_SYSTEM_VARS, 0) &&
            alloc_table(&ctx->commonVars, MRV_COMMON_VARS, 0);
  for (int32_t t = 0; ok && t < MRV_TASKS; ++t) {
    ok = alloc_table(&ctx->localVars[t], MRV_LOCAL_CELLS, -MRV_FRAME_CELLS);  // no frame yet
  }
  if (!ok) {
    free_context(ctx);
    return nullptr;
  }
  ctx->hInstance = hInstance;
  set_program_dir(ctx);
  ctx->startTime = plat::ticks_ms();
  ctx->currentTask = -1;
  ctx->superTask = -1;
  for (int32_t t = 0; t < MRV_TASKS; ++t) {
    ctx->taskThread[t] = 0;
    ctx->waitStart[t] = 0;
    ctx->taskFlags[t] = 0;
    std::snprintf(ctx->msgBuf, sizeof ctx->msgBuf, "MRVEVENT%02d", static_cast<int>(t));
    ctx->taskEvent[t] = plat::event_create(ctx->msgBuf, true, false);
  }
  for (auto& name : ctx->libName) name[0] = '\0';
  return ctx;
}

namespace {
std::atomic<MRVVAL_DeleteHook> g_delete_hook{nullptr};
}  // namespace

void MRVVAL_SetDeleteHook(MRVVAL_DeleteHook hook) {
  g_delete_hook.store(hook);
}

void MRVVAL_Delete(SystemContext* ctx) {
  if (ctx == nullptr) return;
  // A task still live here (taskThread non-zero) is abandoned: the execution
  // manager stops the one that runs at its next hand-over and never resumes
  // any of them. Nothing is terminated; the executor keeps the fibers' stacks.
  if (const MRVVAL_DeleteHook hook = g_delete_hook.load(); hook != nullptr && hook(ctx) == 0) {
    return;  // a task still runs in the context: its memory stays
  }
  for (int32_t t = MRV_TASKS - 1; t >= 0; --t) {
    if (ctx->taskEvent[t] != 0) plat::event_close(ctx->taskEvent[t]);
    ctx->taskEvent[t] = 0;
  }
  free_context(ctx);
}

int32_t MRVVAL_Get(SystemContext* ctx, VarTable* table, int32_t index, FAQ* out) {
  const int64_t i = cell_of(table, index);
  if (i < 0) {
    MRVVAL_StringValue(ctx, table, index, ctx->msgBuf2);
    return mrvval::report(ctx, MRV_CP932("参照している変数(%s)は存在しません。"), ctx->msgBuf2);
  }
  std::memcpy(out, &MRV_CELLS(table)[i], sizeof(FAQ));
  return 1;
}

int32_t MRVVAL_Set(SystemContext* ctx, VarTable* table, int32_t index, FAQ* value) {
  // The caller's value counts the attempt even when the store is refused.
  value->setCount = static_cast<uint16_t>(value->setCount + 1);
  const int64_t i = cell_of(table, index);
  if (i < 0) {
    MRVVAL_StringValue(ctx, table, index, ctx->msgBuf2);
    return mrvval::report(ctx, MRV_CP932("設定しようとしている変数(%s)は存在しません。"),
                          ctx->msgBuf2);
  }
  FAQ& cell = MRV_CELLS(table)[i];
  if (table->cells == ctx->systemVars.cells) {
    mrv::store_cell(cell, *value);  // the main thread writes input there while tasks run
  } else {
    std::memcpy(&cell, value, sizeof(FAQ));
  }
  return 1;
}

int32_t MRVVAL_NULL(SystemContext* ctx, VarTable* table, int32_t index) {
  FAQ empty{};
  MRVVAL_Set(ctx, table, index, &empty);
  return 1;
}

int32_t MRVVAL_Clear(SystemContext* ctx, VarTable* table, int32_t index) {
  if (index < 0 || index >= table->count) return 1;
  FAQ v;
  if (!MRVVAL_Get(ctx, table, index, &v)) return 1;
  MRVFAQ_Clear(ctx, &v);
  MRVVAL_Set(ctx, table, index, &v);
  return 1;
}

int32_t MRVVAL_Copy(SystemContext* ctx, VarTable* target, int32_t targetIndex, VarTable* source,
                    int32_t sourceIndex) {
  FAQ v;
  if (!MRVVAL_Get(ctx, source, sourceIndex, &v)) return 0;
  FAQ copy = v;  // the words a duplication keeps come from the source
  if (!MRVFAQ_Copy(ctx, &copy, &v)) return 0;
  if (!MRVVAL_Set(ctx, target, targetIndex, &copy)) {
    MRVFAQ_Clear(ctx, &copy);  // the duplicate has no owner: give it back
    return 0;
  }
  return 1;
}

int32_t MRVVAL_Swap(SystemContext* ctx, VarTable* a, int32_t indexA, VarTable* b, int32_t indexB) {
  FAQ va;
  FAQ vb;
  if (!MRVVAL_Get(ctx, a, indexA, &va) || !MRVVAL_Get(ctx, b, indexB, &vb)) return 0;
  return MRVVAL_Set(ctx, a, indexA, &vb) && MRVVAL_Set(ctx, b, indexB, &va) ? 1 : 0;
}

int32_t MRVVAL_CreateLocal(SystemContext* ctx, int32_t task, VarTable* source) {
  if (!valid_task(task)) return 0;
  VarTable* local = &ctx->localVars[task];
  const int64_t next = int64_t{local->base} + MRV_FRAME_CELLS;
  if (next < 0 || next + MRV_FRAME_CELLS > local->count) {
    return mrvval::report(ctx,
                          MRV_CP932("タスク(%d)でローカル変数領域が制限以上(%d)消費されました。"),
                          static_cast<int>(ctx->currentTask), static_cast<int>(kMaxFrames));
  }
  FAQ* frame = MRV_CELLS(local) + next;
  std::memset(frame, 0, MRV_FRAME_CELLS * sizeof(FAQ));
  if (source != nullptr) {
    // The frame takes over the list's cells 0..26 (whatever the list's base) and
    // their resources; the list keeps only its count cell.
    const int32_t n = std::min<int32_t>(MRV_FRAME_CELLS, source->count);
    if (n > 0) std::memcpy(frame, MRV_CELLS(source), static_cast<std::size_t>(n) * sizeof(FAQ));
    for (int32_t i = 1; i < MRV_FRAME_CELLS; ++i) {
      if (cell_of(source, i) >= 0) MRVVAL_NULL(ctx, source, i);
    }
  }
  local->base = static_cast<int32_t>(next);
  return 1;
}

int32_t MRVVAL_DeleteLocal(SystemContext* ctx, int32_t task) {
  if (!valid_task(task)) return 1;
  VarTable* local = &ctx->localVars[task];
  // Without a frame there is nothing to drop; going below it would let the
  // next frame land before the table's first cell.
  if (local->base < 0) return 1;
  for (int32_t i = 0; i < MRV_FRAME_CELLS; ++i) MRVVAL_Clear(ctx, local, i);
  local->base -= MRV_FRAME_CELLS;
  return 1;
}

VarTable* MRVVAL_GetLocal(SystemContext* ctx, int32_t task) {
  return valid_task(task) ? &ctx->localVars[task] : nullptr;
}

int32_t MRVVAL_StringValue(SystemContext* ctx, VarTable* table, int32_t index, char* out) {
  const int64_t i = int64_t{index} + table->base;
  int n;
  if (table->cells != 0 && table->cells == ctx->systemVars.cells) {
    n = std::sprintf(out, "#%" PRId64, i);
  } else if (table->cells != 0 && table->cells == ctx->commonVars.cells) {
    n = std::sprintf(out, "$%" PRId64, i);
  } else {
    n = std::sprintf(out, "$%c", static_cast<char>(64 + i % MRV_FRAME_CELLS));
  }
  return n;
}

}  // extern "C"
