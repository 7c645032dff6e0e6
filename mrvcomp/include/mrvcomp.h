/* The compiler: the definition file with its macro and include tables, the
 * three passes that turn a scenario source into compiled code (mrvcode.h),
 * and the compiled scenario file.
 *
 * The compiler's state (error number, line counter, running pass, the macro
 * and include tables) is one per library and unprotected: one compile at a
 * time. Every report goes through MRVTASK_ErrorStop with the caption
 * MRVCOMP_TITLE, except the numbered compile errors, which the caller reads
 * with MRVCOMP_GetError and MRVCOMP_MakeErrorMessage and shows itself. */
#ifndef MRVCOMP_H
#define MRVCOMP_H

#include "mrvcode.h"
#include "mrvdefs.h"

MRV_EXTERN_C_BEGIN

/* Caption of the compiler's reports, as UTF-8 (shown in code page 932). */
#define MRVCOMP_TITLE_UTF8 "『Marovine33』コンパイルマネージャ(MRVCOMP.dll)"

/* One compile: carries the source in and the code out. Owned by the caller.
 * Before MRVCOMP_Comp set hwndOwner, name, firstLine, source (a memory block
 * holding the text followed by 0x1A and 0, as MRVFILE_ReadBlock with its end
 * mark delivers it) and sourceSize (text length + 2); leave output empty.
 * Afterwards the caller owns whatever blocks output and source hold (free
 * them with MRVTASK_FreeMemory); the source block it gave has been freed.
 * On success the code is output[0 .. outputPos - output). */
typedef struct CompileRequest {
  uint32_t hwndOwner;  /* owner of every report; first argument of memory and file calls */
  char name[260];      /* scenario name, shown in the error message */
  int32_t firstLine;   /* number of the first source line (the execution manager gives 0) */
  char* output;        /* memory block the running pass writes */
  char* outputPos;     /* write position in output */
  uint32_t outputSize; /* capacity of output in bytes */
  char* source;        /* memory block the running pass reads */
  char* sourcePos;     /* read position in source */
  uint32_t sourceSize; /* capacity of source in bytes */
} CompileRequest;

/* Numbered compile errors (MRVCOMP_GetError); 0 = none, or reported already. */
enum {
  MRVCOMP_ERR_NONE = 0,
  MRVCOMP_ERR_DOUBLEBYTE = 1, /* a double-byte character outside a string */
  MRVCOMP_ERR_CONTROL = 2,    /* a control code in the text, a string or a comment */
  MRVCOMP_ERR_STRCONTROL = 3, /* (only through MRVCOMP_SetError) */
  MRVCOMP_ERR_NESTING = 4,    /* brackets wrongly nested, subscript without "]" */
  MRVCOMP_ERR_OPERATOR = 5,   /* (only through MRVCOMP_SetError) */
  MRVCOMP_ERR_STRLONG = 6,    /* string too long */
  MRVCOMP_ERR_SEMICOLON = 7,  /* no ";" after a statement, or an unknown operator */
  MRVCOMP_ERR_NOPAREN = 8,    /* no "(" after a command name */
  MRVCOMP_ERR_ARGS = 9,       /* argument list not closed by ")" */
  MRVCOMP_ERR_EXPR = 10,      /* parenthesised expression not closed by ")" */
  MRVCOMP_ERR_NAME = 11,      /* empty command or library name */
  MRVCOMP_ERR_ARGCOUNT = 12,  /* more than 26 arguments */
  MRVCOMP_ERR_NAMELONG = 13,  /* name longer than 32 characters */
  MRVCOMP_ERR_VARTYPE = 14,   /* "\" not followed by "#" or "$" */
  MRVCOMP_ERR_ELSE = 15,      /* "ELSE" not followed by "{" */
  MRVCOMP_ERR_VARNAME = 16,   /* no valid operand after "#" or "$" */
  MRVCOMP_ERR_RUNAWAY = 17,   /* replacing macros and includes does not come to an end
                                 (a name whose text holds the name again), or the
                                 text grows beyond MRVCOMP_MAX_TEXT */
  MRVCOMP_ERR_COUNT = 18
};

/* Bounds of pass 1: the number of runs of one compile, and the size a text may
 * grow to by replacements. */
enum { MRVCOMP_MAX_RUNS = 64, MRVCOMP_MAX_TEXT = 32 * 1024 * 1024 };
/* Bound of pass 3: how deep operands may lie inside each other. Every bracket,
 * block, argument and variable number is one level ("$(1)" is two: the
 * variable number and the bracket); deeper code is error 10 (16 inside a
 * variable number). */
enum { MRVCOMP_MAX_DEPTH = 2048 };

/* ---- Definition file ------------------------------------------------------ */

/* Reads the definition file `path` ("#define" and "#include" lines) and adds
 * its entries to the macro and include tables. 1 when the file does not exist
 * or was read to its end; 0 after a reported error (entries read before it
 * stay). MRVCOMP_GetLine then gives the line of the error. */
MRV_API int32_t MRVCOMP_DefineFile(uint32_t owner, const char* path);

/* Copies entry `index` (from 0, in table order) of the macro table
 * (MRVCOMP_ENTRY_MACRO) or the include table (MRVCOMP_ENTRY_INCLUDE): its
 * name into `name` (32 bytes) and its replacement text or file name into
 * `text` (100 bytes), code page 932 as stored. 1, or 0 when there is no such
 * entry. For tools that show what a compile will replace. */
enum { MRVCOMP_ENTRY_MACRO = 0, MRVCOMP_ENTRY_INCLUDE = 1 };
MRV_API int32_t MRVCOMP_GetEntry(int32_t kind, int32_t index, char* name, char* text);

/* ---- Passes --------------------------------------------------------------- */

/* Compiles request->source: pass 1 until nothing is replaced, then passes 2
 * and 3. 1 = code in output; 0 = failure (MRVCOMP_GetError above 0: a
 * numbered error, to be shown with MRVCOMP_MakeErrorMessage; 0: reported). */
MRV_API int32_t MRVCOMP_Comp(CompileRequest* request);
/* Lexical pass: source -> output (blanks and comments removed, code
 * upper-cased, macros and includes replaced). Frees source. Returns the
 * number of replacements, or -1 on failure. */
MRV_API int32_t MRVCOMP_Pass1(CompileRequest* request);
/* Nesting check of brackets and strings on source; on success hands the text
 * over to output unchanged. 1 / 0. */
MRV_API int32_t MRVCOMP_Pass2(CompileRequest* request);
/* Code generation: source text -> code in output. 1 / 0 (output freed). */
MRV_API int32_t MRVCOMP_Pass3(CompileRequest* request);

/* ---- Errors and lines ------------------------------------------------------ */

MRV_API int32_t MRVCOMP_GetError(void);
MRV_API int32_t MRVCOMP_SetError(int32_t number);
MRV_API int32_t MRVCOMP_GetLine(void);
MRV_API int32_t MRVCOMP_SetLine(int32_t number);
/* Writes "NAME:PASS(p):LINE(l):TEXT" into `text` (at least 400 bytes) and
 * returns its length. */
MRV_API int32_t MRVCOMP_MakeErrorMessage(CompileRequest* request, char* text);
/* Steps request->sourcePos over the line feeds there, counting lines; returns
 * the new sourcePos. */
MRV_API char* MRVCOMP_CheckLineFeed(CompileRequest* request);

/* ---- Compiled scenario file ------------------------------------------------ */

/* Writes `code` (`length` bytes) as a compiled scenario file at `path`. Locks
 * the block in place: afterwards it is no longer runnable. The block must hold
 * at least `length` rounded up to a multiple of 4 bytes. 1 / 0. */
MRV_API int32_t MRVCOMP_Pack(uint32_t owner, const char* path, void* code, uint32_t length);
/* Reads a compiled scenario file into a new memory block holding the unlocked
 * code (the caller frees it), or 0 after a reported failure. */
MRV_API void* MRVCOMP_Unpack(uint32_t owner, const char* path);

MRV_EXTERN_C_END

#endif
