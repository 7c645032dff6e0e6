// Private to the value manager: what its parts share.
#pragma once
#include "mrvval.h"

namespace mrvval {

// Reports a message with the value manager's caption through
// MRVTASK_ErrorStop: `fmt` (code page 932) is formatted into ctx->msgBuf (cut
// to fit). Returns 0, so that callers can write `return report(ctx, ...)`.
int32_t report(SystemContext* ctx, const char* fmt, ...);

// The string heap (kept in ctx->stringHeap).
bool heap_create(SystemContext* ctx);   // a 65536-byte heap with one free block
void heap_destroy(SystemContext* ctx);  // frees the heap block
// Release and duplication of a string value, for MRVFAQ_Clear and MRVFAQ_Copy.
int32_t string_release(SystemContext* ctx, FAQ* faq);
int32_t string_duplicate(SystemContext* ctx, FAQ* target, const FAQ* source);
// Concatenation (A := A followed by B) and comparison of two strings, for
// MRVFAQ_Add and MRVFAQ_Comp; `out` as MRVFAQ_Comp gives it.
int32_t string_concat(SystemContext* ctx, FAQ* a, FAQ* b);
int32_t string_compare(SystemContext* ctx, FAQ* a, FAQ* b, int32_t* out);

}  // namespace mrvval
