// Input, memory, debugging and system commands: the key registers the host
// writes, memory blocks in variables, the tracer and viewer, message boxes,
// profile files and the library's version.
#include <cstdio>

#include "internal.h"
#include "platform/dialog.h"
#include "platform/profile.h"
#include "platform/sound.h"
#include "platform/text.h"
#include "platform/window.h"

using namespace standard;

namespace {

constexpr int32_t kKeyRegister = MRV_SV_KEY;
constexpr int32_t kKeyDataRegister = MRV_SV_KEY_DATA;
constexpr int32_t kEscape = 27, kEnter = 13;

// The select commands: 0 gives word1, 1 word2 (as a whole number), anything
// else the argument itself.
int32_t select_word(SystemContext* ctx, VarTable* args, int32_t reg) {
  FAQ v = cell(args, 1);
  FAQ& r = sysvar(ctx, reg);
  if (v.word1 == 0 || v.word1 == 1) {
    // Acquire: #2 is the gate of the key data in #3.
    v.word1 = mrv::load_gate(v.word1 == 0 ? r.word1 : r.word2);
    v.word2 = 0;
  }
  return result_value(ctx, args, v);
}

// The longest line the tracer's 256-byte record takes after the record tag
// (#0's integer word) and a space.
std::size_t tracer_room(SystemContext* ctx) {
  const int tag =
      std::snprintf(nullptr, 0, "%d ", static_cast<int32_t>(sysvar(ctx, MRV_SV_TRACE_TAG).word1));
  return 255 - static_cast<std::size_t>(tag);
}

// Copies at most 255 bytes of string argument i into a profile name buffer.
bool profile_name(SystemContext* ctx, VarTable* args, int32_t i, char (&out)[256], Cmd id) {
  char buf[MRV_MSGBUF];
  if (!arg_text(ctx, args, i, buf, sizeof out - 1, id)) return false;
  std::memcpy(out, buf, std::strlen(buf) + 1);
  return true;
}

}  // namespace

MRV_COMMAND(MRV_KEY) {
  if (!check(ctx, args, Cmd::Key)) return 0;
  FAQ& reg = sysvar(ctx, kKeyRegister);
  for (int32_t key : {kEscape, kEnter}) {
    const uint16_t state = static_cast<uint16_t>(plat::async_key_state(key));
    if (state & 0x8000) {
      mrv::store_gate(reg.word1, static_cast<uint32_t>(key));
      mrv::store_gate(reg.word2, static_cast<uint32_t>(key));
    } else if (state & 1) {
      mrv::store_gate(reg.word1, static_cast<uint32_t>(key));
    }
  }
  return select_word(ctx, args, kKeyRegister);
}

MRV_COMMAND(MRV_SHIFT) {
  if (!check(ctx, args, Cmd::Shift)) return 0;
  return select_word(ctx, args, kKeyDataRegister);
}

MRV_COMMAND(MRV_CLEARKEY) {
  if (!check(ctx, args, Cmd::ClearKey)) return 0;
  int32_t which = 0;
  if (!arg_int(ctx, args, 1, &which)) return 0;
  for (int32_t n : {kKeyRegister, kKeyDataRegister}) {
    FAQ& reg = sysvar(ctx, n);
    if (which == 0 || which == 1) mrv::store_gate(reg.word1, 0);
    if (which == 0 || which == 2) mrv::store_gate(reg.word2, 0);
  }
  return 1;  // the statement keeps the interpreter's value
}

MRV_COMMAND(MRV_SCANKEY) {
  if (!check(ctx, args, Cmd::ScanKey)) return 0;
  int32_t key = 0;
  if (!arg_int(ctx, args, 1, &key)) return 0;
  return result_bool(ctx, args, (static_cast<uint16_t>(plat::key_state(key)) & 0x8000) != 0);
}

MRV_COMMAND(MRV_ALLOC) {
  if (!check(ctx, args, Cmd::Alloc)) return 0;
  int32_t size = 0;
  if (!arg_int(ctx, args, 2, &size)) return 0;
  void* block = MRVTASK_AllocMemory(ctx->hwndMain, static_cast<uint32_t>(size));
  if (block == nullptr) return 0;
  Ref var = ref(cell(args, 1));
  MRVVAL_Clear(ctx, &var.table, var.index);
  FAQ m{};
  m.type = TYPE_MEMORY;
  m.word1 = MRV_WORD(block);
  m.word2 = static_cast<uint32_t>(size);
  if (!MRVVAL_Set(ctx, &var.table, var.index, &m)) {
    MRVTASK_FreeMemory(ctx->hwndMain, block);
    return 0;
  }
  // The variable owns the block; the statement's value is a block of its
  // own, since the interpreter releases that value after the statement.
  FAQ copy{};
  if (!MRVFAQ_Copy(ctx, &copy, &m)) return 0;
  return result_value(ctx, args, copy);
}

MRV_COMMAND(MRV_FREE) {
  if (!check(ctx, args, Cmd::Free)) return 0;
  Ref var = ref(cell(args, 1));
  MRVVAL_Clear(ctx, &var.table, var.index);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_DEBUGMESSAGE) {
  if (!check(ctx, args, Cmd::DebugMessage)) return 0;
  const int32_t count = static_cast<int32_t>(cell(args, 0).word1 & 0x7FFFFFFF) - 1;
  char* text = ctx->msgBuf;
  char* piece = ctx->msgBuf2;
  const std::size_t cap = tracer_room(ctx) + 1;
  std::strcpy(text, "@B ");
  for (int32_t i = 1; i <= count && i < MRV_FRAME_CELLS; ++i) {
    FAQ v = cell(args, i);
    piece[0] = 0;
    switch (v.type) {
      case TYPE_NUMBER:
        piece[0] = ' ';
        MRVFAQ_String(ctx, &v, piece + 1);
        break;
      case TYPE_STRING:
        if (!MRVSTR_GetByte(ctx, &v, piece)) return 0;
        break;
      case TYPE_RECT:
        std::snprintf(piece, MRV_MSGBUF, "{%d,%d,%d,%d}", static_cast<int32_t>(v.word1),
                      static_cast<int32_t>(v.word2), static_cast<int32_t>(v.word3),
                      static_cast<int32_t>(v.word4));
        break;
      default:
        break;
    }
    append_cut(text, cap, piece);
  }
  MRVEXEC_SendTracer(ctx, text);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_DEBUGBREAK) {
  if (!check(ctx, args, Cmd::DebugBreak)) return 0;
  const int32_t t = ctx->currentTask;
  if (task_live(ctx, t)) {
    std::snprintf(ctx->msgBuf, sizeof ctx->msgBuf, "@B <DebugBreak> Task=%d Line=%d", t,
                  static_cast<int32_t>(ctx->taskLine[t]));
    // An attached debugger stops the task before its next statement;
    // without one, the tracer steps it.
    if (MRVEXEC_SendTracer(ctx, ctx->msgBuf) &&
        MRVEXEC_Debug(ctx, MRV_DEBUG_SCENARIO_BREAK, t, nullptr) == 0) {
      // Step this task from its next command on, until the host grants a go.
      const uint32_t watch = ~0u << EXEC_WATCH_SHIFT;
      mrv::replace_flags(ctx->execFlags, watch | EXEC_STEP | EXEC_STEP_OVER | EXEC_GO,
                         (static_cast<uint32_t>(t) << EXEC_WATCH_SHIFT) | EXEC_STEP);
    }
  }
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_DEBUGVALUE) {
  if (!check(ctx, args, Cmd::DebugValue)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  const char* line = n == 1 ? "@1" : n == 2 ? "@2" : n == 3 ? "@3" : "@0";
  MRVEXEC_SendViewer(ctx, line);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_DEBUGBEEP) {
  if (!check(ctx, args, Cmd::DebugBeep)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  plat::beep(static_cast<uint32_t>(n) * 16u);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_DEBUGWAIT) {
  if (!check(ctx, args, Cmd::DebugWait)) return 0;
  int32_t n = 0;
  if (!arg_int(ctx, args, 1, &n)) return 0;
  waitTraceMode = n;
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_MESSAGEBOX) {
  if (!check(ctx, args, Cmd::MessageBox)) return 0;
  char* caption = ctx->msgBuf;
  char* text = ctx->msgBuf2;
  caption[0] = text[0] = 0;
  if (!MRVVAL_ArgString(ctx, args, 1, caption) || !MRVVAL_ArgString(ctx, args, 2, text)) return 0;
  // A backslash and "n" become a line break (the same length). A double-byte
  // character is stepped over whole: its second byte may be a backslash.
  const int32_t country = plat::country_code();
  for (char* p = text; p[0] != 0 && p[1] != 0; ++p) {
    if (plat::is_lead_byte(static_cast<uint8_t>(p[0]), country)) {
      ++p;
    } else if (p[0] == '\\' && p[1] == 'n') {
      p[0] = '\r';
      p[1] = '\n';
      ++p;
    }
  }
  const uint32_t w = cell(args, 3).word1;
  uint32_t flags;
  switch (w) {
    case 1:
      flags = plat::MB_ICONERROR;
      break;
    case 2:
      flags = plat::MB_ICONQUESTION | plat::MB_YESNO;
      break;
    case 3:
      flags = plat::MB_ICONWARNING;
      break;
    case 4:
      flags = plat::MB_ICONINFORMATION;
      break;
    default:
      flags = w > 32768 ? w & 0x7FFF : plat::MB_OK;  // negative: raw flags
  }
  const int32_t t = ctx->currentTask;
  set_task_flags(ctx, t, TASK_PAUSED);
  const int32_t answer = plat::message_box(ctx->hwndMain, text, caption, flags);
  clear_task_flags(ctx, t, TASK_PAUSED);
  return result_number(ctx, args, answer);
}

MRV_COMMAND(MRV_GETINIFILE) {
  if (!check(ctx, args, Cmd::GetIniFile)) return 0;
  char file[256], section[256], key[256];
  if (!profile_name(ctx, args, 1, file, Cmd::GetIniFile) ||
      !profile_name(ctx, args, 2, section, Cmd::GetIniFile) ||
      !profile_name(ctx, args, 3, key, Cmd::GetIniFile))
    return 0;
  ctx->msgBuf2[0] = 0;
  if (!MRVVAL_ArgString(ctx, args, 4, ctx->msgBuf2)) return 0;
  // The value: at most 999 bytes, ended on a whole character.
  const uint32_t n =
      plat::profile_get_string(file, section, key, ctx->msgBuf2, ctx->msgBuf, sizeof ctx->msgBuf);
  ctx->msgBuf[fit_chars(ctx->msgBuf, n, MRV_WORDBUF - 1)] = 0;
  FAQ s{};
  if (!MRVSTR_SetByte(ctx, &s, ctx->msgBuf)) return 0;
  return result_value(ctx, args, s);
}

MRV_COMMAND(MRV_SETINIFILE) {
  if (!check(ctx, args, Cmd::SetIniFile)) return 0;
  char file[256], section[256], key[256];
  if (!profile_name(ctx, args, 1, file, Cmd::SetIniFile) ||
      !profile_name(ctx, args, 2, section, Cmd::SetIniFile) ||
      !profile_name(ctx, args, 3, key, Cmd::SetIniFile))
    return 0;
  ctx->msgBuf[0] = 0;
  if (!MRVVAL_ArgString(ctx, args, 4, ctx->msgBuf)) return 0;
  plat::profile_write_string(file, section, key, ctx->msgBuf);
  return result_null(ctx, args);
}

MRV_COMMAND(MRV_Version) {
  FAQ v{};
  MRVFAQ_Number(ctx, &v, 1, 3, 319980601);
  return result_value(ctx, args, v);
}

MRV_COMMAND(MRV_DebugVersion) {
  return 1;
}
