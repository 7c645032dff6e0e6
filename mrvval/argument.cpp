// Argument checking for commands, and the display text of values.
//
// MRVVAL_DisplayValue also serves the value viewer on the host's main thread
// while a task runs, so it keeps its text in buffers of its own and never
// touches the context's scratch buffers or reports: a string that does not
// name a held block of the string heap, or a picture cell whose descriptor is
// not a memory block, is shown as if it held nothing. Its output is at most
// MRV_MSGBUF bytes with the NUL; a long string is cut after its last whole
// character that fits.
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "string_internal.h"

namespace {

const char* type_name(uint32_t code) {
  switch (code & 0xFF) {
    case TYPE_NUMBER:
      return MRV_CP932("数値");
    case TYPE_RECT:
      return MRV_CP932("領域");
    case TYPE_POINTER:
      return MRV_CP932("ポインタ");
    case TYPE_STRING:
      return MRV_CP932("文字");
    case TYPE_CELL:
      return MRV_CP932("セル");
    case TYPE_HANDLE:
      return MRV_CP932("ハンドル");
    case TYPE_MEMORY:
      return MRV_CP932("メモリ");
    case TYPE_VARIABLE:
      return MRV_CP932("変数");
    case TYPE_WAVE:
      return MRV_CP932("ウェーブ");
    default:
      return MRV_CP932("不明");
  }
}

int32_t wrong_type(SystemContext* ctx, const char* name, uint32_t position, uint32_t code) {
  std::snprintf(ctx->msgBuf2, sizeof ctx->msgBuf2, "%s", type_name(code));
  return mrvval::report(ctx, MRV_CP932("関数(%s)において、第%d引数は%s型でなければなりません。"),
                        name, static_cast<int>(position), ctx->msgBuf2);
}

// Reads an argument cell; 0 (reported by MRVVAL_Get) when it lies outside
// the list.
int32_t read_cell(SystemContext* ctx, VarTable* list, int32_t index, FAQ* out) {
  return MRVVAL_Get(ctx, list, index, out);
}

// The display of a string's text, cut to `cap` bytes with the NUL. Uses a
// buffer of its own, not the context's.
bool display_text(SystemContext* ctx, const FAQ* saq, char* out, uint32_t cap) {
  uint16_t units[MRV_WORDBUF];
  if (!mrvval::read_units(ctx, saq, units, true)) return false;
  mrvval::units_to_bytes(units, out, MRV_WORDBUF - 1, cap);
  return true;
}

}  // namespace

extern "C" {

MRV_API int32_t MRVVAL_CheckArgument(SystemContext* ctx, const char* command,
                                     const uint16_t* signature, VarTable* list) {
  static const uint16_t none[1] = {0};
  const uint16_t* sig = signature ? signature : none;
  const char* name = command ? command : "";
  FAQ c0;
  if (!read_cell(ctx, list, 0, &c0)) return 0;
  uint32_t count = c0.word1;  // the integer part, as the interpreter stores it
  uint32_t i = 1;
  for (; i < count; ++i) {
    uint32_t s = *sig++;
    if (s == SIG_REST) return 1;
    if (s == TYPE_OMITTED)
      return mrvval::report(ctx, MRV_CP932("関数(%s)において第%d引数は省略できません。"), name,
                            static_cast<int>(i));
    if (s == 0)
      return mrvval::report(ctx, MRV_CP932("関数(%s)において引数の数が多すぎます。"), name);
    FAQ cell;
    if (!read_cell(ctx, list, static_cast<int32_t>(i), &cell)) return 0;
    if ((s >> 8) == 1) {
      if (cell.type != TYPE_VARIABLE) return wrong_type(ctx, name, i, s);
      VarTable ref{cell.word1, static_cast<int32_t>(cell.word2), static_cast<int32_t>(cell.word3)};
      if (!MRVVAL_Get(ctx, &ref, static_cast<int32_t>(cell.word4), &cell)) return 0;
    }
    if ((s & 0xFF) != TYPE_ANY && cell.type != (s & 0xFF)) return wrong_type(ctx, name, i, s);
  }
  if (*sig == SIG_REST || *sig == 0) return 1;
  return mrvval::report(ctx, MRV_CP932("関数(%s)において引数が足りません。"), name);
}

MRV_API int32_t MRVVAL_OmitArgument(SystemContext* ctx, VarTable* list, int32_t index, FAQ* def) {
  FAQ cell;
  if (!read_cell(ctx, list, index, &cell)) return 0;
  if (cell.type != TYPE_OMITTED) return 1;
  return MRVVAL_Set(ctx, list, index, def);
}

MRV_API int32_t MRVVAL_ArgNumber(SystemContext* ctx, VarTable* list, int32_t index, int32_t* out) {
  FAQ cell;
  if (!read_cell(ctx, list, index, &cell)) return 0;
  if (cell.type == TYPE_OMITTED) return 1;
  return MRVFAQ_Int(ctx, &cell, out);
}

MRV_API int32_t MRVVAL_ArgRect(SystemContext* ctx, VarTable* list, int32_t index, MRVRECT* out) {
  FAQ cell;
  if (!read_cell(ctx, list, index, &cell)) return 0;
  if (cell.type == TYPE_OMITTED) return 1;
  return MRVRAQ_RaqToRect(ctx, out, &cell);
}

MRV_API int32_t MRVVAL_ArgString(SystemContext* ctx, VarTable* list, int32_t index, char* out) {
  FAQ cell;
  if (!read_cell(ctx, list, index, &cell)) return 0;
  if (cell.type == TYPE_OMITTED) return 1;
  return MRVSTR_GetByte(ctx, &cell, out);
}

MRV_API int32_t MRVVAL_DisplayValue(SystemContext* ctx, FAQ* faq, char* out) {
  constexpr uint32_t cap = MRV_MSGBUF;
  auto i32 = [](uint32_t w) { return static_cast<int>(static_cast<int32_t>(w)); };
  switch (faq->type) {
    case TYPE_NUMBER:
      return MRVFAQ_String(ctx, faq, out);
    case TYPE_RECT:
      std::snprintf(out, cap, "{%d,%d,%d,%d}", i32(faq->word1), i32(faq->word2), i32(faq->word3),
                    i32(faq->word4));
      return 1;
    case TYPE_POINTER:
      std::snprintf(out, cap, "{+%d}", i32(faq->word2));
      return 1;
    case TYPE_STRING: {
      // Room for both quotes around the text.
      if (!display_text(ctx, faq, out + 1, cap - 2)) break;
      std::size_t n = std::strlen(out + 1);
      out[0] = '"';
      out[n + 1] = '"';
      out[n + 2] = 0;
      return 1;
    }
    case CELL_TYPE_RAW_STRING:
      // The text output marks a string this way; the mark is taken off the
      // caller's value.
      faq->type = TYPE_STRING;
      if (!display_text(ctx, faq, out, cap)) break;
      return 1;
    case TYPE_VARIABLE: {
      VarTable ref{faq->word1, static_cast<int32_t>(faq->word2), static_cast<int32_t>(faq->word3)};
      out[0] = '\\';
      MRVVAL_StringValue(ctx, &ref, static_cast<int32_t>(faq->word4), out + 1);
      return 1;
    }
    case TYPE_CELL: {
      // Words 2, 3 and 8 (from 1) of the picture descriptor.
      const void* d = MRV_PTR(faq->word1);
      uint32_t w[8];
      if (faq->word1 == 0 || !plat::mem_is_block(d) || plat::mem_size(d) < sizeof w) {
        std::snprintf(out, cap, "%s", MRV_CP932("{bmpなし}"));
        return 1;
      }
      std::memcpy(w, d, sizeof w);
      std::snprintf(out, cap, MRV_CP932("{%d×%d(%d,%d,%d)}"), i32(w[1]), i32(w[2]),
                    static_cast<int>(w[7] >> 10 & 31), static_cast<int>(w[7] >> 5 & 31),
                    static_cast<int>(w[7] & 31));
      return 1;
    }
    case TYPE_HANDLE: {
      uint32_t kind = faq->word2 >> 8;
      if (kind == 1)
        std::snprintf(out, cap, "{0x%04x,button(%d,%d)}", faq->word1, i32(faq->word3),
                      i32(faq->word4));
      else if (kind == 2)
        std::snprintf(out, cap, "{0x%04x,edit(%d,%d)}", faq->word1, i32(faq->word3),
                      i32(faq->word4));
      else
        std::snprintf(out, cap, "{0x%04x,0x%04x(%d,%d)}", faq->word1, faq->word2, i32(faq->word3),
                      i32(faq->word4));
      return 1;
    }
    case TYPE_MEMORY:
      std::snprintf(out, cap, "{%d(+%d)}", i32(faq->word2), i32(faq->word3));
      return 1;
    case TYPE_WAVE:
      std::snprintf(out, cap, "{WAVE}");
      return 1;
    default:
      break;
  }
  std::snprintf(out, cap, "NULL");
  return 1;
}

}  // extern "C"
