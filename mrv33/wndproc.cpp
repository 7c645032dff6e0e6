// The window procedures: keyboard and mouse input into system variables,
// repainting and resizing through the drawing library, closing with the
// user's question and the orderly end of all tasks, the error boxes' queries
// and the tracer's control requests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host.h"
#include "korvex.h"
#include "mrvexec.h"
#include "platform/dialog.h"
#include "platform/text.h"
#include "platform/window.h"
#include "sindra.h"

namespace host {
namespace {

enum : uint32_t {
  kActivate = 0x0006,
  kWindowPosChanging = 0x0046,
  kCommand = 0x0111,
  kLButtonDblClk = 0x0203,
  kRButtonDblClk = 0x0206,
  kTracerControl = 0x4402,
};
constexpr uintptr_t kNoCommand = 101;
using mrv::clear_flags;
using mrv::load_gate;
using mrv::set_flags;

// MulDiv: a * b / c rounded to the nearest integer; -1 when c is 0.
int32_t mul_div(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  const int64_t n = static_cast<int64_t>(a) * b;
  const int64_t d = c;
  const int64_t q = ((n < 0 ? -n : n) + (d < 0 ? -d : d) / 2) / (d < 0 ? -d : d);
  return static_cast<int32_t>((n < 0) != (d < 0) ? -q : q);
}

// A button's new state bits, after the position they go with: a task that
// sees the bits reads the position of the same press.
void button(FAQ& b, uint32_t bits, int32_t x, int32_t y) {
  mrv::store_data(b.word3, static_cast<uint32_t>(x));
  mrv::store_data(b.word4, static_cast<uint32_t>(y));
  mrv::set_gate(b.word1, bits);
  mrv::set_gate(b.word2, bits);
}

// A press or a right double-click: the position from the drawing library.
void press(SystemContext* ctx, int32_t record, int32_t w, uint32_t bits) {
  int32_t x = 0, y = 0;
  korvex_ordinal_62(load_gate(sysvar(ctx, MRV_SV_WINDOW + w).word2), &x, &y);
  button(sysvar(ctx, record + w), bits, x, y);
}

const char* type_label(uint16_t type) {
  switch (type) {
    case TYPE_NUMBER:
      return MRV_CP932("\t数値\t");
    case TYPE_RECT:
      return MRV_CP932("\t領域\t");
    case TYPE_POINTER:
      return MRV_CP932("\tﾎﾟｲﾝﾀ\t");
    case TYPE_STRING:
      return MRV_CP932("\t文字列\t");
    case TYPE_VARIABLE:
      return MRV_CP932("\t変数\t");
    case TYPE_CELL:
      return MRV_CP932("\tセル\t");
    case TYPE_HANDLE:
      return MRV_CP932("\tﾊﾝﾄﾞﾙ\t");
    case TYPE_MEMORY:
      return MRV_CP932("\tメモリ\t");
    case TYPE_WAVE:
      return MRV_CP932("\tｻｳﾝﾄﾞ\t");
    default:
      return "";
  }
}

// Sends "@C" and one line per variable that holds something to the viewer.
// `name` formats a variable's number (cell index from the first one). A
// record the viewer did not take ends the dump, so that a viewer that is
// gone or stalled holds the running task up once, not once per variable.
void dump(SystemContext* ctx, const VarTable& table, int32_t first, int32_t count, const char* name,
          bool letters) {
  if (!MRVEXEC_SendViewer(ctx, "@C")) return;
  std::vector<char> shown(MRV_MSGBUF);
  for (int32_t i = 0; i < count; ++i) {
    const int32_t cell = first + i;
    if (cell < 0 || cell >= table.count) break;
    FAQ v = mrv::load_cell(MRV_CELLS(&table)[cell]);  // the main thread writes input meanwhile
    if (v.type == TYPE_NULL) continue;
    char label[16];
    if (letters)
      std::snprintf(label, sizeof label, name, '@' + i);
    else
      std::snprintf(label, sizeof label, name, i);
    const char* tag = type_label(v.type);
    MRVVAL_DisplayValue(ctx, &v, shown.data());
    if (!MRVEXEC_SendViewer(ctx, (std::string(label) + tag + shown.data()).c_str())) return;
  }
}

// The dumps of the tracer's requests 6 to 8 (p: the task of request 8),
// made where no task writes the variables (MRVEXEC_AtHandOver).
void dump_request(SystemContext* ctx, int32_t code, int32_t p) {
  switch (code) {
    case 6:
      dump(ctx, ctx->systemVars, ctx->systemVars.base, ctx->systemVars.count, "#%05d", false);
      break;
    case 7:
      dump(ctx, ctx->commonVars, ctx->commonVars.base, ctx->commonVars.count, "$%05d", false);
      break;
    case 8:
      if (p >= 0 && p < MRV_TASKS) {
        const VarTable& t = ctx->localVars[p];
        dump(ctx, t, t.base, MRV_FRAME_CELLS, "$%c", true);
      }
      break;
  }
}

void tracer_control(SystemContext* ctx, uintptr_t code, intptr_t p) {
  uint32_t& flags = ctx->execFlags;
  // Every request makes p the watched task.
  mrv::replace_flags(flags, ~0u << EXEC_WATCH_SHIFT, static_cast<uint32_t>(p) << EXEC_WATCH_SHIFT);
  switch (code) {
    case 1:
      (p != 0 ? set_flags : clear_flags)(flags, EXEC_TRACE);
      break;
    case 2:
      (p != 0 ? set_flags : clear_flags)(flags, EXEC_TRACE_ARGS);
      break;
    case 3:
      clear_flags(flags, EXEC_STEP_OVER);
      set_flags(flags, EXEC_STEP | EXEC_GO);
      break;
    case 4:
      clear_flags(flags, EXEC_STEP);
      set_flags(flags, EXEC_STEP_OVER | EXEC_GO);
      break;
    case 5:
      clear_flags(flags, EXEC_STEP | EXEC_STEP_OVER);
      set_flags(flags, EXEC_GO);
      break;
    case 6:
    case 7:
    case 8:
      MRVEXEC_AtHandOver(ctx, dump_request, static_cast<int32_t>(code), static_cast<int32_t>(p));
      break;
  }
  MRVEXEC_Wake(ctx);
}

// The close message of the main window: the question of #13, then the end of
// every task, one after another. While it waits for a task, the main thread
// goes on serving its messages and host requests: a task that is reporting
// an error (its box asks this window for the scenario and line) or waits for
// a host request can only end if they are answered.
void close_main(SystemContext* ctx, uint32_t hwnd, uintptr_t wparam) {
  static bool closing = false;  // a close that arrives while waiting is the same close
  if (closing) return;
  closing = true;
  FAQ question = sysvar(ctx, MRV_SV_CLOSE_QUESTION);
  if (wparam == 0 && question.type == TYPE_STRING) {
    for (uint32_t& f : ctx->taskFlags) set_flags(f, TASK_PAUSED);
    MRVEXEC_Wake(ctx);
    std::vector<char> text(MRV_MSGBUF);
    question.type = CELL_TYPE_RAW_STRING;  // the text itself, read safely beside a task
    MRVVAL_DisplayValue(ctx, &question, text.data());
    const int32_t answer = plat::message_box(mrv::load_gate(ctx->hwndMain), text.data(),
                                             MRV_CP932("ユーザによる中断"), plat::MB_YESNO);
    for (uint32_t& f : ctx->taskFlags) clear_flags(f, TASK_PAUSED);
    MRVEXEC_Wake(ctx);
    if (answer == plat::IDNO) {
      closing = false;
      return;
    }
  }
  sindra_ordinal_3();
  MRVEXEC_Closing(ctx);  // a task started from now on ends at once
  for (int32_t t = 0; t < MRV_TASKS; ++t) {
    if (!task_live(ctx, t)) continue;
    set_flags(ctx->taskFlags[t], TASK_END);
    MRVEXEC_Wake(ctx);
    while (task_live(ctx, t)) pump(ctx, 100);
  }
  if (const uint32_t surface = load_gate(sysvar(ctx, MRV_SV_WINDOW).word2); surface != 0)
    korvex_ordinal_17(surface, nullptr, 0);
  plat::destroy_window(hwnd);
  closing = false;
}

}  // namespace

intptr_t main_window_proc(uint32_t hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
  SystemContext* ctx = g_ctx;
  const auto w = static_cast<int32_t>(plat::get_user_data(hwnd));
  // A window without a number of 0..9 has no record to keep.
  if (ctx == nullptr || w < 0 || w >= MRV_WINDOW_NUMBERS)
    return plat::def_window_proc(hwnd, msg, wparam, lparam);
  FAQ& record = sysvar(ctx, MRV_SV_WINDOW + w);
  const uint32_t surface = load_gate(record.word2);
  switch (msg) {
    case plat::WM_CREATE:
      return 1;
    case plat::WM_DESTROY:
      if (surface != 0) {
        korvex_ordinal_4(surface);
        mrv::store_gate(record.word2, 0);
      }
      if (w == 0) plat::post_quit(0);
      mrv::store_gate(record.word1, 0);
      return 0;
    case plat::WM_SIZE:
      if (surface != 0) {
        const FAQ& scale = sysvar(ctx, MRV_SV_SCALE + w);
        const FAQ& words = sysvar(ctx, MRV_SV_RESIZE_WORDS + w);
        korvex_ordinal_8(surface, static_cast<int32_t>(scale.word3),
                         static_cast<int32_t>(scale.word4));
        korvex_ordinal_15(surface, 0, 0, static_cast<int32_t>(lparam & 0xFFFF),
                          static_cast<int32_t>((lparam >> 16) & 0xFFFF), words.word1, words.word2);
      }
      return 0;
    case kActivate:
      return 1;
    case plat::WM_PAINT:
      if (surface != 0) korvex_ordinal_16(surface, 0, 0);  // no device context headless
      return 0;
    case plat::WM_CLOSE:
      if (w != 0) {
        plat::minimise_window(hwnd);  // sub-windows are never closed this way
      } else {
        close_main(ctx, hwnd, wparam);
      }
      return 0;
    case kWindowPosChanging:
      return 0;
    case plat::WM_KEYDOWN: {
      // The key data first: #2 is its gate. Only while they hold numbers:
      // the words of a string or block a scenario put there are not
      // overwritten.
      FAQ& key = sysvar(ctx, MRV_SV_KEY);
      FAQ& data = sysvar(ctx, MRV_SV_KEY_DATA);
      if (data.type == TYPE_NUMBER) {
        mrv::store_data(data.word1, static_cast<uint32_t>(lparam));
        mrv::store_data(data.word2, static_cast<uint32_t>(lparam));
      }
      if (key.type == TYPE_NUMBER) {
        mrv::store_gate(key.word1, static_cast<uint32_t>(wparam));
        mrv::store_gate(key.word2, static_cast<uint32_t>(wparam));
      }
      if (const uint32_t tracer = plat::find_window("MarovineTracer"); tracer != 0)
        plat::post_message(tracer, msg, wparam, lparam);
      return 1;
    }
    case plat::WM_KEYUP:
      if (mrv::load_type(sysvar(ctx, MRV_SV_KEY_DATA)) == TYPE_NUMBER)
        mrv::store_data(sysvar(ctx, MRV_SV_KEY_DATA).word2, 0);
      if (mrv::load_type(sysvar(ctx, MRV_SV_KEY)) == TYPE_NUMBER)
        mrv::store_gate(sysvar(ctx, MRV_SV_KEY).word2, 0);
      return 1;
    case kCommand:
      if (wparam == kNoCommand) return 0;
      if (wparam < MRV_SYSTEM_VARS) mrv::count_up(sysvar(ctx, static_cast<int32_t>(wparam)).word3);
      return 1;
    case plat::WM_LBUTTONDOWN:
      press(ctx, MRV_SV_LEFT_BUTTON, w, MRV_BUTTON_HELD);
      return 1;
    case plat::WM_LBUTTONUP:
      mrv::clear_gate(sysvar(ctx, MRV_SV_LEFT_BUTTON + w).word1, MRV_BUTTON_HELD);
      return 1;
    case kLButtonDblClk: {
      const FAQ& scale = sysvar(ctx, MRV_SV_SCALE + w);
      const auto x = static_cast<int32_t>(lparam & 0xFFFF);
      const auto y = static_cast<int32_t>((lparam >> 16) & 0xFFFF);
      button(sysvar(ctx, MRV_SV_LEFT_BUTTON + w), MRV_BUTTON_DOUBLE,
             mul_div(100, x, static_cast<int32_t>(scale.word3)),
             mul_div(100, y, static_cast<int32_t>(scale.word4)));
      return 1;
    }
    case plat::WM_RBUTTONDOWN:
      press(ctx, MRV_SV_RIGHT_BUTTON, w, MRV_BUTTON_HELD);
      return 1;
    case plat::WM_RBUTTONUP:
      mrv::clear_gate(sysvar(ctx, MRV_SV_RIGHT_BUTTON + w).word1, MRV_BUTTON_HELD);
      return 1;
    case kRButtonDblClk:
      press(ctx, MRV_SV_RIGHT_BUTTON, w, MRV_BUTTON_DOUBLE);
      return 1;
    case kTracerControl:
      tracer_control(ctx, wparam, lparam);
      if (wparam < 1 || wparam > 8) break;
      return 0;
    case MRVTASK_QUERY_SCENARIO: {
      const int32_t t = ctx->currentTask;
      if (t < 0 || t >= MRV_TASKS || lparam == 0) return 1;
      char* out = reinterpret_cast<char*>(lparam);
      std::memcpy(out, ctx->taskFile[t], MRV_PATH);
      out[MRV_PATH - 1] = '\0';
      return 1;
    }
    case MRVTASK_QUERY_LINE: {
      const int32_t t = ctx->currentTask;
      if (t < 0 || t >= MRV_TASKS || lparam == 0) return 1;
      *reinterpret_cast<int32_t*>(lparam) = static_cast<int32_t>(ctx->taskLine[t] + 1);
      return 1;
    }
    case MRVTASK_QUERY_TASK:
      if (lparam != 0) *reinterpret_cast<int32_t*>(lparam) = ctx->currentTask;
      return 1;
  }
  return plat::def_window_proc(hwnd, msg, wparam, lparam);
}

}  // namespace host

// The procedure of the class "MrvTag": it takes no action for any message.
extern "C" __attribute__((visibility("default"))) intptr_t WndProcTag(uint32_t, uint32_t, uintptr_t,
                                                                      intptr_t) {
  return 0;
}
