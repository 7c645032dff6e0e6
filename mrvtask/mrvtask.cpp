// Runtime services: error boxes, memory blocks and two string helpers. Keeps no
// state of its own; the blocks live in the platform's memory region.
#include "mrvtask.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/dialog.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/window.h"

namespace {

constexpr std::size_t kBoxBuffer = 260;

const char* task_caption() {
  return MRV_CP932("『Marovine33』タスクマネージャ(MRVTASK.DLL)");
}

// Copies `s` into `out` (kBoxBuffer bytes), cut on a character boundary.
void copy_cut(char* out, const char* s) {
  const std::size_t n = plat::cut_length(s, kBoxBuffer - 1);
  std::memcpy(out, s, n);
  out[n] = '\0';
}

}  // namespace

extern "C" {

int32_t MRVTASK_ErrorStop(uint32_t owner, const char* caption, const char* text) {
  if (text == nullptr) text = "";
  if (owner == 0) {
    return plat::message_box(0, text, caption, plat::MB_ICONERROR | plat::MB_TASKMODAL);
  }
  // The owner's thread fills in what it knows about the running task; whatever
  // it does not answer keeps its preset.
  char scenario[kBoxBuffer];
  copy_cut(scenario, MRV_CP932("シナリオ不定"));
  int32_t line = 0;
  int32_t task = 0;
  plat::send_message(owner, MRVTASK_QUERY_SCENARIO, 0, reinterpret_cast<intptr_t>(scenario));
  plat::send_message(owner, MRVTASK_QUERY_LINE, 0, reinterpret_cast<intptr_t>(&line));
  plat::send_message(owner, MRVTASK_QUERY_TASK, 0, reinterpret_cast<intptr_t>(&task));
  scenario[kBoxBuffer - 1] = '\0';

  const char* layout = MRV_CP932("【シナリオ】\t%s\n【タスク】\t%d\n【行番号】\t%d\n【内容】\t%s");
  const int full = std::snprintf(nullptr, 0, layout, scenario, task, line, text);
  std::string composed(full > 0 ? static_cast<std::size_t>(full) : 0, '\0');
  std::snprintf(composed.data(), composed.size() + 1, layout, scenario, task, line, text);
  char box[kBoxBuffer];
  copy_cut(box, composed.c_str());
  return plat::message_box(owner, box, caption, plat::MB_ICONERROR | plat::MB_OK);
}

int32_t MRVTASK_ErrorRetry(uint32_t owner, const char* caption, const char* text) {
  uint32_t flags = plat::MB_RETRYCANCEL | plat::MB_ICONERROR;
  if (owner == 0) flags |= plat::MB_TASKMODAL;
  return plat::message_box(owner, text != nullptr ? text : "", caption, flags) == plat::IDRETRY ? 1
                                                                                                : 0;
}

void* MRVTASK_AllocMemory(uint32_t owner, uint32_t size) {
  for (;;) {
    if (void* p = plat::mem_alloc(size)) return p;
    if (!MRVTASK_ErrorRetry(owner, task_caption(),
                            MRV_CP932("ﾒﾓﾘが不足しています。\n"
                                      "他のｱﾌﾟﾘｹｰｼｮﾝを終了して[再試行]してください。\n"
                                      "[ｷｬﾝｾﾙ]を選ぶと強制的に処理を継続しますが\n"
                                      "その後の動作は保証されません。"))) {
      return nullptr;
    }
  }
}

void* MRVTASK_ResizeMemory(uint32_t owner, void* block, uint32_t size) {
  if (!plat::mem_is_block(block)) return nullptr;
  void* p = plat::mem_resize(block, size);
  if (p == nullptr) {
    // One box whatever the answer; the old block stays valid.
    MRVTASK_ErrorRetry(owner, task_caption(), MRV_CP932("ﾒﾓﾘ不足によりｻｲｽﾞ変更に失敗しました。"));
  }
  return p;
}

int32_t MRVTASK_FreeMemory(uint32_t owner, void* block) {
  return plat::mem_free(block) ? 1 : 0;
}

uint32_t MRVTASK_SizeMemory(uint32_t owner, void* block) {
  return static_cast<uint32_t>(plat::mem_size(block));
}

void* MRVTASK_DuplicateMemory(uint32_t owner, void* block) {
  if (!plat::mem_is_block(block)) return nullptr;
  const std::size_t size = plat::mem_size(block);
  void* copy = MRVTASK_AllocMemory(owner, static_cast<uint32_t>(size));
  if (copy != nullptr) std::memcpy(copy, block, size);
  return copy;
}

int32_t MRVTASK_ExchangeMemory(uint32_t owner, void* a, void* b, uint32_t count) {
  if (!plat::mem_is_block(a) || !plat::mem_is_block(b)) return 0;
  // A count beyond either block would swap bytes of whatever lies after it.
  if (count > plat::mem_size(a) || count > plat::mem_size(b)) return 0;
  if (a != b) {
    auto* pa = static_cast<unsigned char*>(a);
    std::swap_ranges(pa, pa + count, static_cast<unsigned char*>(b));
  }
  return 1;
}

// A null string counts as empty: these take any pointer a command library has.
int32_t MRVTASK_LengthString(const char* s) {
  return s == nullptr ? 1 : static_cast<int32_t>(std::strlen(s)) + 1;
}

int32_t MRVTASK_CompareString(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return 1;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (*a != *b) return 0;
  }
  return 1;
}

}  // extern "C"
