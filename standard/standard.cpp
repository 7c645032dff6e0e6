// Standard command library: the state all command families share, the text
// helpers and the library's own reports.
#include <cstdarg>

#include "internal.h"
#include "platform/text.h"

namespace standard {

int32_t waitTraceMode = 1;
int32_t waitTarget[MRV_TASKS] = {};

std::size_t fit_chars(const char* s, std::size_t n, std::size_t limit) {
  if (n <= limit) return n;
  const int32_t country = plat::country_code();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t step =
        plat::is_lead_byte(static_cast<uint8_t>(s[i]), country) && i + 1 < n ? 2 : 1;
    if (i + step > limit) break;
    i += step;
  }
  return i;
}

void append_cut(char* buf, std::size_t cap, const char* piece) {
  const std::size_t used = std::strlen(buf);
  if (used + 1 >= cap) return;
  const std::size_t n = fit_chars(piece, std::strlen(piece), cap - 1 - used);
  std::memcpy(buf + used, piece, n);
  buf[used + n] = 0;
}

int32_t report(SystemContext* ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  plat::vformat_cut(ctx->msgBuf, sizeof ctx->msgBuf, fmt, ap);
  va_end(ap);
  MRVTASK_ErrorStop(ctx->hwndMain, MRV_CP932("『Marovine33』標準コマンドライブラリ(STANDARD.DLL)"),
                    ctx->msgBuf);
  return 0;
}

bool arg_text(SystemContext* ctx, VarTable* args, int32_t i, char* buf, std::size_t limit, Cmd id) {
  buf[0] = 0;
  if (!MRVVAL_ArgString(ctx, args, i, buf)) return false;
  if (std::strlen(buf) <= limit) return true;
  const std::string name(command(id).name);
  report(ctx, MRV_CP932("関数(%s)において、第%d引数が%dバイトを超えています。"), name.c_str(), i,
         static_cast<int>(limit));
  return false;
}

}  // namespace standard

// The commands whose effect the execution manager may carry out itself at a
// call site bound to this library's own function, while nothing traces or
// steps: the engine mirrors what each of them does, so a change to one of
// these commands' behaviour must be made there too (the decoded form's
// differential test compares both).
extern "C" MRV_API const char* const* MRVSTD_InPlace() {
  static const char* const kNames[] = {
      "FOR",          "IF",          "WHILE",       "LOOP",         "SWITCH",       "CASE",
      "ABS",          "GETBIT",      "SETRECT",     "SETRECTXPOS",  "SETRECTYPOS",  "SETRECTXSIZE",
      "SETRECTYSIZE", "GETRECTXPOS", "GETRECTYPOS", "GETRECTXSIZE", "GETRECTYSIZE", nullptr};
  return kNames;
}
