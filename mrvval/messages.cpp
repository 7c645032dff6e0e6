// The value manager's error reports.
#include <cstdarg>
#include <cstdio>

#include "internal.h"
#include "platform/text.h"

namespace mrvval {

int32_t report(SystemContext* ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  plat::vformat_cut(ctx->msgBuf, sizeof ctx->msgBuf, fmt, ap);
  va_end(ap);
  MRVTASK_ErrorStop(ctx->hwndMain, MRV_CP932("『Marovine33』変数マネージャ(MRVVAL.DLL)"),
                    ctx->msgBuf);
  return 0;
}

}  // namespace mrvval
