/* Runtime services: the error boxes every library reports through, memory
 * blocks, and two string helpers.
 *
 * Every function but the two string helpers takes the owner window first
 * (normally `hwndMain` of the system context, or 0 before a window exists);
 * it owns the boxes shown and is otherwise ignored.
 *
 * Memory blocks are zero-filled and handled by their start address, which
 * fits a 32-bit word (MRV_WORD / MRV_PTR). An address that is not the start of
 * a live block is rejected by every function without being touched. */
#ifndef MRVTASK_H
#define MRVTASK_H

#include "mrvdefs.h"

MRV_EXTERN_C_BEGIN

/* The queries an error box sends to its owner window, answered by the
 * owner's thread into the buffer whose address is the second parameter. */
enum {
  MRVTASK_QUERY_SCENARIO = 0x5101, /* char[260]: the running task's scenario */
  MRVTASK_QUERY_LINE = 0x5102,     /* int32_t: its line, counted from 1 */
  MRVTASK_QUERY_TASK = 0x5104      /* int32_t: the running task */
};

/* Shows `text` in an error box. With an owner window the box shows the running
 * task's scenario, task number and line (asked of the owner with the messages
 * 0x5101, 0x5102 and 0x5104) above the text. Returns the box's result. */
MRV_API int32_t MRVTASK_ErrorStop(uint32_t owner, const char* caption, const char* text);
/* Shows `text` with Retry and Cancel; 1 when the user chose Retry, else 0. */
MRV_API int32_t MRVTASK_ErrorRetry(uint32_t owner, const char* caption, const char* text);

/* A new zero-filled block; asks to retry while memory is short. 0 after Cancel. */
MRV_API void* MRVTASK_AllocMemory(uint32_t owner, uint32_t size);
/* Resizes a block (it may move; growth is zero-filled). 0 when `block` is not a
 * block start, or after one box when memory is short (the old block stays). */
MRV_API void* MRVTASK_ResizeMemory(uint32_t owner, void* block, uint32_t size);
/* Frees a block; anything else is ignored. */
MRV_API int32_t MRVTASK_FreeMemory(uint32_t owner, void* block);
/* Size of a block in bytes, or 0. */
MRV_API uint32_t MRVTASK_SizeMemory(uint32_t owner, void* block);
/* A new block with the same size and bytes, or 0. */
MRV_API void* MRVTASK_DuplicateMemory(uint32_t owner, void* block);
/* Swaps `count` bytes between two blocks; 0 when either is not a block start.
 * The count is not checked against the sizes. */
MRV_API int32_t MRVTASK_ExchangeMemory(uint32_t owner, void* a, void* b, uint32_t count);

/* Number of characters plus 1. */
MRV_API int32_t MRVTASK_LengthString(const char* s);
/* 1 when the shorter string is a prefix of the longer one, 0 otherwise. */
MRV_API int32_t MRVTASK_CompareString(const char* a, const char* b);

MRV_EXTERN_C_END

#endif
