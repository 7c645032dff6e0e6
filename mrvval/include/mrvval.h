/* The value manager: the system context, the typed value (FAQ), variable
 * tables, exact decimal numbers, rectangles, strings, argument checking and
 * value display.
 *
 * This is the header that every library of the system and every outside
 * command library includes. The records below are read and written directly
 * by separately built libraries, so their layout is fixed: every field has the
 * width given and follows the previous one without padding, on every build.
 * Addresses stored in 32-bit words are converted with MRV_PTR and MRV_WORD.
 *
 * Functions return 1 for success and 0 after a reported failure unless their
 * comment says otherwise. Errors are shown at once (through MRVTASK_ErrorStop
 * with the context's `hwndMain` as owner); a caller that gets 0 returns 0
 * without a second message. */
#ifndef MRVVAL_H
#define MRVVAL_H

#include "mrvdefs.h"
#include "mrvtask.h"

MRV_EXTERN_C_BEGIN

/* ---- Type tags ---------------------------------------------------------- */
enum {
  TYPE_NULL = 0,
  TYPE_NUMBER = 'N',            /* word1 sign (bit 31) and magnitude, word2 fraction in 10^-9 */
  TYPE_RECT = 'R',              /* word1 x, word2 y, word3 width, word4 height (signed) */
  TYPE_POINTER = 'P',           /* word2 signed byte offset; word1 as its creator sets it */
  TYPE_STRING = 'S',            /* word1 string heap handle, word2 data offset, word3 length */
  TYPE_CELL = 'C',              /* word1 address of a picture descriptor block, or 0 */
  TYPE_HANDLE = 'H',            /* word1 window, word2 kind (>> 8: 1 button, 2 edit) */
  TYPE_MEMORY = 'M',            /* word1 block address, word2 size, word3 offset */
  TYPE_VARIABLE = 'V',          /* word1..word3 a VarTable copy, word4 relative index */
  TYPE_WAVE = 'W',              /* word1 address of a sound block, or 0 */
  TYPE_OMITTED = 'Z',           /* an argument position left empty */
  TYPE_ANY = 0x7F,              /* signature code: any argument, an empty one included */
  SIG_BYREF = 0x100,            /* signature code: a 'V' reference to a cell of (code & 0xFF) */
  SIG_REST = '~',               /* signature code: no further check */
  CELL_TYPE_RAW_STRING = 0x1053 /* display request: a string without quotes */
};

/* ---- The typed value (24 bytes) ----------------------------------------- */
typedef struct FAQ {
  uint16_t type;     /* type tag */
  uint16_t setCount; /* grows (wrapping) each time the value is stored by MRVVAL_Set */
  uint32_t word1;
  uint32_t word2;
  uint32_t word3;
  uint32_t word4;
  uint32_t word5; /* in argument lists: a code position kept by the interpreter */
} FAQ;
typedef FAQ RAQ; /* a FAQ holding a rectangle */
typedef FAQ SAQ; /* a FAQ holding a string */

/* ---- Variable table descriptor (12 bytes) ------------------------------- */
/* Relative index i addresses cell i + base; valid when 0 <= i + base < count. */
typedef struct VarTable {
  uint32_t cells; /* address of an array of FAQs (a memory block) */
  int32_t count;  /* number of cells */
  int32_t base;
} VarTable;

/* The system rectangle (left, top, right, bottom). */
typedef struct MRVRECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
} MRVRECT;

enum {
  MRV_TASKS = 20,
  MRV_LIBRARIES = 20,
  MRV_PATH = 260,
  MRV_SYSTEM_VARS = 200,
  MRV_COMMON_VARS = 10000,
  MRV_FRAME_CELLS = 27,
  MRV_LOCAL_CELLS = 540,
  MRV_WORDBUF = 1000,
  MRV_MSGBUF = 2000
};

/* ---- The system context ------------------------------------------------- */
typedef struct SystemContext {
  uint32_t reserved;
  uint32_t hwndMain;                 /* main window, owner of every box; 0 until it exists */
  uint32_t hInstance;                /* program instance given to MRVVAL_Create */
  uint32_t execFlags;                /* trace and single-step flags of the execution manager */
  uint32_t startTime;                /* millisecond tick count at creation */
  char programDir[MRV_PATH];         /* program directory, upper case, no trailing '\' */
  uint32_t libModule[MRV_LIBRARIES]; /* command-library modules */
  char libName[MRV_LIBRARIES][9];    /* command-library names, "" = free slot */
  uint32_t hostRequest;              /* 0 none, 1 create window, 2 destroy window, 3..5 sound */
  uint32_t hostRequestData;          /* argument of hostRequest; receives a created window */
  int32_t currentTask;               /* task now running, -1 none */
  int32_t superTask;                 /* task holding exclusive execution, -1 none */
  uint32_t waitStart[MRV_TASKS];
  uint32_t taskEvent[MRV_TASKS];
  uint32_t taskFlags[MRV_TASKS];
  char taskFile[MRV_TASKS][MRV_PATH];
  uint32_t taskThread[MRV_TASKS]; /* 0 = no task in the slot */
  uint32_t taskThreadId[MRV_TASKS];
  uint32_t taskLine[MRV_TASKS]; /* current line, counted from 0 */
  uint32_t blockDepth[MRV_TASKS];
  uint32_t stringHeap; /* handle of the string heap block */
  VarTable systemVars; /* #0 .. #199 */
  VarTable commonVars; /* $0 .. $9999 */
  VarTable localVars[MRV_TASKS];
  uint16_t wordBuf1[MRV_WORDBUF]; /* scratch text in 16-bit characters */
  uint16_t wordBuf2[MRV_WORDBUF];
  char msgBuf[MRV_MSGBUF];  /* scratch for composing messages */
  char msgBuf2[MRV_MSGBUF]; /* scratch for parts of messages */
} SystemContext;

MRV_STATIC_ASSERT(sizeof(FAQ) == 24, "FAQ is 24 bytes");
MRV_STATIC_ASSERT(sizeof(VarTable) == 12, "VarTable is 12 bytes");
MRV_STATIC_ASSERT(offsetof(SystemContext, hwndMain) == 4, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, programDir) == 20, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, libModule) == 280, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, libName) == 360, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, hostRequest) == 540, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, currentTask) == 548, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, waitStart) == 556, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskEvent) == 636, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskFlags) == 716, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskFile) == 796, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskThread) == 5996, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskThreadId) == 6076, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, taskLine) == 6156, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, blockDepth) == 6236, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, stringHeap) == 6316, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, systemVars) == 6320, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, commonVars) == 6332, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, localVars) == 6344, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, wordBuf1) == 6584, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, wordBuf2) == 8584, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, msgBuf) == 10584, "layout");
MRV_STATIC_ASSERT(offsetof(SystemContext, msgBuf2) == 12584, "layout");
MRV_STATIC_ASSERT(sizeof(SystemContext) == 14584, "layout");

/* The cells of a variable table, as an address. */
static inline FAQ* MRV_CELLS(const VarTable* t) {
  return (FAQ*)MRV_PTR(t->cells);
}

/* ---- Context and variables ---------------------------------------------- */
/* Variables are addressed by a table and a relative index: cell index + base.
 * A cell holds its value's resources; Get and Set move 24 bytes and neither
 * duplicate nor release anything. Out-of-range accesses are reported with the
 * variable's name (#n system, $n common, $@ and $A..$Z local). */

/* Creates the one context of a run: 200 system and 10000 common variables (all
 * NULL), 20 local areas without a frame, the string heap and the 20 task
 * events. Null when memory was refused (nothing is left allocated). */
MRV_API SystemContext* MRVVAL_Create(uint32_t hInstance);
/* Releases every variable, frees the tables, the heap and the loaded command
 * libraries, then the context. A task still live is abandoned, not resumed. */
MRV_API void MRVVAL_Delete(SystemContext* ctx);
/* Copies the cell into `out` (the variable keeps owning its resources). */
MRV_API int32_t MRVVAL_Get(SystemContext* ctx, VarTable* table, int32_t index, FAQ* out);
/* Increments value->setCount (wrapping), then stores the 24 bytes; ownership
 * passes to the variable. The old content is not released: Clear it first. */
MRV_API int32_t MRVVAL_Set(SystemContext* ctx, VarTable* table, int32_t index, FAQ* value);
/* Stores an empty value without releasing the old one (after its ownership
 * moved elsewhere). Always 1. */
MRV_API int32_t MRVVAL_NULL(SystemContext* ctx, VarTable* table, int32_t index);
/* Releases the variable's value and empties it; an index outside 0..count-1
 * does nothing. Always 1. */
MRV_API int32_t MRVVAL_Clear(SystemContext* ctx, VarTable* table, int32_t index);
/* Stores a duplicate (MRVFAQ_Copy) of the source variable into the target,
 * without releasing the target's old value. */
MRV_API int32_t MRVVAL_Copy(SystemContext* ctx, VarTable* target, int32_t targetIndex,
                            VarTable* source, int32_t sourceIndex);
/* Exchanges two variables' values (both setCounts grow). */
MRV_API int32_t MRVVAL_Swap(SystemContext* ctx, VarTable* a, int32_t indexA, VarTable* b,
                            int32_t indexB);
/* Pushes a local frame of 27 cells for `task` (at most 20 frames). With a
 * source list the frame takes over its cells 0..26 and the list's cells 1..26
 * become NULL; without one the frame is empty. */
MRV_API int32_t MRVVAL_CreateLocal(SystemContext* ctx, int32_t task, VarTable* source);
/* Releases the current frame of `task` and drops it. Always 1. */
MRV_API int32_t MRVVAL_DeleteLocal(SystemContext* ctx, int32_t task);
/* The local table of `task` ($@, $A..$Z address its current frame); null for a
 * task number outside 0..19. */
MRV_API VarTable* MRVVAL_GetLocal(SystemContext* ctx, int32_t task);
/* Writes the scenario name of a variable ("#5", "$5", "$A") into `out` (at
 * least 13 bytes); returns its length. */
MRV_API int32_t MRVVAL_StringValue(SystemContext* ctx, VarTable* table, int32_t index, char* out);

/* ---- Generic values and numbers ----------------------------------------- */
/* Empties a value without releasing anything. */
MRV_API int32_t MRVFAQ_NULL(SystemContext* ctx, FAQ* faq);
/* Releases what the value owns (string, picture cell blocks, memory block,
 * window, sound block), then empties it. Always 1. */
MRV_API int32_t MRVFAQ_Clear(SystemContext* ctx, FAQ* faq);
/* Duplicates `source` into `target`: strings, picture cells and memory blocks
 * get blocks of their own, other types are copied byte for byte. For cells and
 * memory blocks the target keeps the words the duplicate does not set. */
MRV_API int32_t MRVFAQ_Copy(SystemContext* ctx, FAQ* target, FAQ* source);
/* Exchanges two values' 24 bytes. */
MRV_API int32_t MRVFAQ_Swap(SystemContext* ctx, FAQ* a, FAQ* b);
/* Numbers (type 'N'): word1 sign (bit 31) and magnitude 0..999,999,999, word2
 * fraction in units of 10^-9 (0..999,999,999); word3..word5 are never touched.
 * Every function below except CheckRange, Bool, Number and GetNumber checks
 * first that its operands are numbers (Or, And, Comp, Add and Sub also take
 * the other types they name). A result out of range is reported twice, the
 * range message first and then the operation's, and stays in the first
 * operand (a magnitude beyond 31 bits is kept as 0x7FFFFFFF, which still
 * fails the range check). */

/* 0 valid, 1 integer part too large, 2 fraction too large (both reported). */
MRV_API int32_t MRVFAQ_CheckRange(SystemContext* ctx, FAQ* faq);
/* out := -1 when flag != 0, else 0. Always returns 0. */
MRV_API int32_t MRVFAQ_Bool(SystemContext* ctx, FAQ* out, int32_t flag);
/* Builds a number: mode -1 negative, 0 zero, 1 sign of `integer`. 0 for any
 * other mode (out untouched) or when the value is out of range (kept). */
MRV_API int32_t MRVFAQ_Number(SystemContext* ctx, FAQ* out, int32_t mode, int32_t integer,
                              uint32_t fraction);
/* Parses [-](digits[.digits] | 0x hex | 0b binary); hex and binary patterns go
 * to word1 as they are. Returns the address just past the parsed text, or null
 * (reported) when the value is out of range. */
MRV_API const char* MRVFAQ_GetNumber(SystemContext* ctx, FAQ* out, const char* text);
/* Decimal text without trailing zeros ("-0.5", "12.5"); writes at most 23
 * bytes including the NUL. */
MRV_API int32_t MRVFAQ_String(SystemContext* ctx, FAQ* faq, char* out);
/* Binary text of the integer value as 32 bits: mode 0 all 32 digits, other
 * modes without leading zeros. Writes at most 33 bytes including the NUL. */
MRV_API int32_t MRVFAQ_StringBin(SystemContext* ctx, FAQ* faq, char* out, int32_t mode);
/* Hexadecimal text of the integer value as 32 bits: mode 1 "%08x", 2 "%X",
 * 3 "%08X", others "%x". Writes at most 9 bytes including the NUL. */
MRV_API int32_t MRVFAQ_StringHex(SystemContext* ctx, FAQ* faq, char* out, int32_t mode);
/* out := the integer part with its sign (the fraction dropped). */
MRV_API int32_t MRVFAQ_Int(SystemContext* ctx, FAQ* faq, int32_t* out);
MRV_API int32_t MRVFAQ_Abs(SystemContext* ctx, FAQ* faq);
/* out := -1 when the sign bit is set (also on a negative zero), 1 for other
 * non-zero values, 0 for zero. */
MRV_API int32_t MRVFAQ_Sign(SystemContext* ctx, FAQ* faq, int32_t* out);
/* Flips the sign of a non-zero value; a negative zero becomes 0. */
MRV_API int32_t MRVFAQ_Neg(SystemContext* ctx, FAQ* faq);
/* faq := 1 / faq (on division by zero faq is left as 1). */
MRV_API int32_t MRVFAQ_Reverce(SystemContext* ctx, FAQ* faq);
/* faq := faq to an integer power, by repeated multiplication (truncating at
 * every step); a negative power takes the reciprocal at the end. */
MRV_API int32_t MRVFAQ_Power(SystemContext* ctx, FAQ* faq, int32_t exponent);
/* Drops the fraction (High) or the integer part (Low); the sign stays. */
MRV_API int32_t MRVFAQ_High(SystemContext* ctx, FAQ* faq);
MRV_API int32_t MRVFAQ_Low(SystemContext* ctx, FAQ* faq);
/* Bit operations on the integer values in two's complement; fractions are
 * dropped. Or and And of two rectangles give their union and intersection. */
MRV_API int32_t MRVFAQ_Not(SystemContext* ctx, FAQ* faq);
MRV_API int32_t MRVFAQ_Or(SystemContext* ctx, FAQ* a, FAQ* b);
MRV_API int32_t MRVFAQ_And(SystemContext* ctx, FAQ* a, FAQ* b);
MRV_API int32_t MRVFAQ_Xor(SystemContext* ctx, FAQ* a, FAQ* b);
/* out := 1, 0 or -1 as a is greater than, equal to or less than b. Strings
 * and rectangles compare for equality only (0 equal, non-zero different). */
MRV_API int32_t MRVFAQ_Comp(SystemContext* ctx, FAQ* a, FAQ* b, int32_t* out);
/* a := a + b; two strings are concatenated, a pointer moves by the integer
 * value of b. Sub likewise, without the string case. A zero sum is 0. */
MRV_API int32_t MRVFAQ_Add(SystemContext* ctx, FAQ* a, FAQ* b);
MRV_API int32_t MRVFAQ_Sub(SystemContext* ctx, FAQ* a, FAQ* b);
/* a := a * b and a := a / b, exact and truncated toward zero at 10^-9; the
 * sign is that of the two signs combined, also on a zero result. */
MRV_API int32_t MRVFAQ_Mul(SystemContext* ctx, FAQ* a, FAQ* b);
MRV_API int32_t MRVFAQ_Div(SystemContext* ctx, FAQ* a, FAQ* b);
/* a's magnitude := |a| mod |b| of the integer parts; a keeps its sign bit,
 * the fraction becomes 0. */
MRV_API int32_t MRVFAQ_Mod(SystemContext* ctx, FAQ* a, FAQ* b);

/* ---- Rectangles and strings --------------------------------------------- */
/* A RAQ is (x, y, width, height); the system rectangle is (x, y, x + width,
 * y + height), never normalised. */
MRV_API int32_t MRVRAQ_CheckMode(SystemContext* ctx, FAQ* faq);
MRV_API int32_t MRVRAQ_Rect(SystemContext* ctx, FAQ* out, int32_t x, int32_t y, int32_t width,
                            int32_t height);
MRV_API int32_t MRVRAQ_RaqToRect(SystemContext* ctx, MRVRECT* out, FAQ* faq);
MRV_API int32_t MRVRAQ_RectToRaq(SystemContext* ctx, FAQ* out, const MRVRECT* rect);
/* Strings hold at most 999 characters; one 16-bit unit per character (a
 * double-byte character is lead byte * 256 + trail byte). MRVSTR_Word writes
 * at most 1000 units and MRVSTR_Byte at most 1999 bytes, both with the
 * terminator: a longer text is cut after 999 characters. Storing a longer
 * text (SetWord, SetByte) is refused with a message instead. A SAQ whose
 * handle, offset or length does not name a held block of this context's
 * string heap is refused with a message and never read or freed. SetWord and
 * SetByte do not release what `out` held. */
MRV_API int32_t MRVSTR_CheckMode(SystemContext* ctx, FAQ* faq);
MRV_API int32_t MRVSTR_Word(SystemContext* ctx, uint16_t* out, const char* text);
MRV_API int32_t MRVSTR_Byte(SystemContext* ctx, char* out, const uint16_t* text);
MRV_API int32_t MRVSTR_SetWord(SystemContext* ctx, FAQ* out, const uint16_t* text);
MRV_API int32_t MRVSTR_SetByte(SystemContext* ctx, FAQ* out, const char* text);
MRV_API int32_t MRVSTR_GetWord(SystemContext* ctx, FAQ* faq, uint16_t* out);
MRV_API int32_t MRVSTR_GetByte(SystemContext* ctx, FAQ* faq, char* out);
MRV_API int32_t MRVSTR_Clear(SystemContext* ctx, FAQ* faq);
/* A := A followed by B. 999 characters at most: a longer result is reported
 * and leaves A released (NULL). */
MRV_API int32_t MRVSTR_Append(SystemContext* ctx, FAQ* a, FAQ* b);

/* ---- Arguments and display ---------------------------------------------- */
/* Checks the count cell (relative 0) and the arguments of a command's list
 * against a 0-ended signature of type codes (TYPE_ANY, SIG_BYREF + tag,
 * SIG_REST, TYPE_OMITTED for a position that cannot be left out). */
MRV_API int32_t MRVVAL_CheckArgument(SystemContext* ctx, const char* command,
                                     const uint16_t* signature, VarTable* list);
/* An omitted ('Z') cell receives the default (stored with MRVVAL_Set). */
MRV_API int32_t MRVVAL_OmitArgument(SystemContext* ctx, VarTable* list, int32_t index, FAQ* def);
/* The Arg functions leave `out` untouched for an omitted cell, so a caller
 * pre-loads it with the default. ArgString writes at most 1999 bytes. */
MRV_API int32_t MRVVAL_ArgNumber(SystemContext* ctx, VarTable* list, int32_t index, int32_t* out);
MRV_API int32_t MRVVAL_ArgRect(SystemContext* ctx, VarTable* list, int32_t index, MRVRECT* out);
MRV_API int32_t MRVVAL_ArgString(SystemContext* ctx, VarTable* list, int32_t index, char* out);
/* The display text of any value, at most MRV_MSGBUF bytes with the NUL (a
 * long string is cut after its last whole character that fits). A value of
 * type CELL_TYPE_RAW_STRING is changed back to 'S' and shown without quotes.
 * Safe to call from the host's main thread while a task runs: it uses none
 * of the context's scratch buffers and shows no message (a string that does
 * not name a held block of the string heap shows as "NULL", a picture cell
 * whose descriptor is not a memory block as a cell without a picture). */
MRV_API int32_t MRVVAL_DisplayValue(SystemContext* ctx, FAQ* faq, char* out);

MRV_EXTERN_C_END

#endif
