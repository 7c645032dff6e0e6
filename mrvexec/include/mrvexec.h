/* The execution manager: tasks and the hand-over of the single execution turn,
 * the scenario-file runner, the statement loop and the binding of command
 * libraries, the expression evaluator, text output into windows, and the
 * tracer and viewer channels.
 *
 * Up to 20 tasks run scenario code, one statement per turn, in a fixed
 * rotation: only the task named by ctx->currentTask runs. Every task is a fiber
 * of one executor thread; the host's main thread is not a task and keeps
 * pumping its window messages while tasks run.
 *
 * A command function, exported by a command library as "MRV_" + the command
 * name as the compiled code spells it, is called as fn(ctx, args): args
 * describes 27 argument cells (count 27, base 0). Cell 0 holds the number of
 * arguments + 1 on entry (word5: address of the call's TOK_CALL byte) and the
 * command's result on return; cells 1..n hold the arguments (a TYPE_VARIABLE
 * cell for a by-reference argument, TYPE_OMITTED for an empty one; word5: the
 * address of the argument's code); the cell after the last argument is an
 * empty TYPE_OMITTED value. A command returns non-zero for success and 0 after
 * it has reported its failure.
 *
 * Functions return 1 for success and 0 after a reported failure unless their
 * comment says otherwise. Reports use the caption MRVEXEC_TITLE. */
#ifndef MRVEXEC_H
#define MRVEXEC_H

#include "mrvcomp.h"
#include "mrvdefs.h"
#include "mrvval.h"

MRV_EXTERN_C_BEGIN

/* Caption of the execution manager's reports, as UTF-8 (shown in code page 932). */
#define MRVEXEC_TITLE_UTF8 "『Marovine33』実行マネージャ(MRVEXEC.DLL)"

/* Status bits of ctx->taskFlags[n]. */
enum {
  TASK_RESTART = 0x01, /* run the scenario file again when its code ends */
  TASK_RETURN = 0x02,  /* every statement loop of the task ends with success */
  TASK_BREAK = 0x04,   /* statement loops end with success until a loop clears it */
  TASK_END = 0x08,     /* every statement loop ends with failure: the task ends */
  TASK_PAUSED = 0x8000 /* the task takes its turns without running anything */
};

/* ctx->execFlags: trace and single-step switches, written by the host. */
enum {
  EXEC_TRACE = 0x01,      /* a trace line for every command call */
  EXEC_TRACE_ARGS = 0x02, /* with the argument values */
  EXEC_STEP = 0x04,       /* the watched task stops before every command until EXEC_GO */
  EXEC_STEP_OVER = 0x08,  /* as EXEC_STEP; block commands switch it off inside their blocks */
  EXEC_DEBUG =
      0x10,       /* breakpoints or stops are pending: each statement asks MRVEXEC_Debug's state */
  EXEC_GO = 0x80, /* the stopped task may run its next command */
  EXEC_WATCH_SHIFT = 8 /* bits 8..31: number of the watched task */
};

/* ---- Tasks ----------------------------------------------------------------- */

/* n < 0: the lowest free task slot; 0..19: n if that slot is free. -1 after a
 * report (no slot free, n > 19, slot n in use). */
MRV_API int32_t MRVEXEC_GetFreeTask(SystemContext* ctx, int32_t n);
/* Starts a task on the scenario `name` in slot n (as MRVEXEC_GetFreeTask) and
 * returns its number, or -1. The caller pushes the new task's first local
 * frame beforehand (MRVVAL_CreateLocal). Called by a task, the new task runs
 * first and the caller goes on when the turn comes back to it; called by the
 * host, it returns at once. */
MRV_API int32_t MRVEXEC_ExecuteTask(SystemContext* ctx, int32_t n, const char* name);
/* Hands the turn to the next live task (in the order of task numbers, modulo
 * 20) and returns when it comes back; at once when no other task is live or
 * the caller is ctx->superTask. 0 if the hand-over failed. */
MRV_API int32_t MRVEXEC_WaitTask(SystemContext* ctx);
/* As MRVEXEC_WaitTask, for a caller that has nothing to do before the tick
 * `deadline` (plat ticks; ~0u for none) unless the host writes a flag: when
 * every live task waits so, the executor sleeps until the earliest deadline or
 * MRVEXEC_Wake instead of passing the turn round and round. The turns that
 * the tasks observe are the same. */
MRV_API int32_t MRVEXEC_IdleTask(SystemContext* ctx, uint32_t deadline);
/* Wakes a sleeping executor: the host calls it after writing a word that
 * waiting tasks read (task flags, execFlags). Safe from any thread. */
MRV_API void MRVEXEC_Wake(SystemContext* ctx);
/* The host begins to close the program: every task started in this context
 * from now on is told to end (TASK_END) as it starts, so that tasks that keep
 * starting tasks cannot outlive the close. The live tasks the host ends
 * itself. Safe from any thread; lasts as long as the context. */
MRV_API void MRVEXEC_Closing(SystemContext* ctx);
/* A call of the host's that reads what tasks write (the viewer's variable
 * dumps): made as fn(ctx, a, b) where no task of ctx runs beside it, at the
 * running task's next hand-over or nap, on the executor thread (a napping
 * task is woken for it), or at once on the calling thread when no task of
 * ctx runs or the caller is the running task. Calls are made in the order
 * asked; those still waiting when the context is deleted are not made. */
typedef void (*MRVEXEC_HandOverCall)(SystemContext* ctx, int32_t a, int32_t b);
MRV_API void MRVEXEC_AtHandOver(SystemContext* ctx, MRVEXEC_HandOverCall fn, int32_t a, int32_t b);
/* One turn of the host's loop: sleeps 20 ms, dispatches the calling thread's
 * pending window messages; 1 while any task is live, 0 when none is. */
MRV_API int32_t MRVEXEC_SystemTask(SystemContext* ctx);
/* Waits `ms` milliseconds (at most 10000) while passing the turn on; 1 when
 * the time is over, 0 as soon as any live task has TASK_END. */
MRV_API int32_t MRVEXEC_Wait(SystemContext* ctx, int32_t ms);
/* Runs a scenario file in the current task: NAME.SNB before NAME.SNA, the
 * current directory before the program directory. 1 when its code ran to its
 * end or was left by a return or break; 0 if it was not found, not loaded or
 * not compiled, or ended by failure or TASK_END. */
MRV_API int32_t MRVEXEC_File(SystemContext* ctx, const char* name);
/* Compiles request->source (MRVCOMP_Comp) and reports a numbered compile
 * error with the compiler's message. */
MRV_API int32_t MRVEXEC_Compile(SystemContext* ctx, CompileRequest* request);

/* ---- Statements and expressions -------------------------------------------- */

/* Runs the statement list at `code` in the current task: 1 at its end byte or
 * when TASK_RETURN or TASK_BREAK is set; 0 when a statement or a hand-over
 * fails or TASK_END is set. Block commands run their blocks with it. */
MRV_API int32_t MRVEXEC_Mem(SystemContext* ctx, const char* code);
/* Evaluates the expression at `code` into `result` (the caller clears it when
 * done) and returns the address after it, or null after a reported failure. */
MRV_API const char* MRVEXEC_Calc(SystemContext* ctx, const char* code, FAQ* result);

/* ---- Text output and the mouse position ---------------------------------------
 *
 * Windows are known by their number w (0..9), their state by system
 * variables: #(20+w) word1 window, word2 drawing surface; #(30+w) cursor
 * column and row, character cell width and height in pixels; #(40+w) text
 * colour, background colour (15-bit), pause per character in milliseconds,
 * text style; #(50+w) the font name. Window 9 draws into the picture cell of
 * #14 instead of a window. #12 holds the glyph sheet (16 x 16 glyphs). */

/* A point: x, y. */
typedef struct MRVPOINT {
  int32_t x;
  int32_t y;
} MRVPOINT;
MRV_STATIC_ASSERT(sizeof(MRVPOINT) == 8, "MRVPOINT is two 32-bit integers");

/* Draws the text into `rect` of window w character by character from the
 * window's cursor, with wrapping, scrolling, the pause after each character
 * and the escape sequences @C[r,g,b] colour, @E[r,g,b] background and clear,
 * @G[n] glyph, @L new line, @P[c,r] cursor, @V[n] value of $n, @W[n] pause.
 * 1 when the whole text is drawn; 0 after a reported sequence error or when a
 * pause ended because a task is being ended (what was drawn stays drawn). */
MRV_API int32_t MRVEXEC_Text(SystemContext* ctx, int32_t w, const MRVRECT* rect, const char* text);
/* Draws the text once into `rect` with the colour and style given in place
 * of the window's; 1 if drawn, 0 when there is no window or target cell. */
MRV_API int32_t MRVEXEC_String(SystemContext* ctx, int32_t w, const MRVRECT* rect, const char* text,
                               int32_t colour, int32_t style);
/* The mouse position in window w's drawing coordinates: 1 when the mouse is
 * over the window's client area, else 0 with both coordinates -32767. */
MRV_API int32_t MRVEXEC_GetMousePos(SystemContext* ctx, int32_t w, MRVPOINT* point);

/* ---- Debugging channels ------------------------------------------------------ */

/* Sends one 256-byte record "%d %s" (#0's integer word, the text cut to fit)
 * to the tracer and waits until it has been taken: 1, or 0 when no tracer
 * listens or it went away. With a null text: 1 if a tracer is present. */
MRV_API int32_t MRVEXEC_SendTracer(SystemContext* ctx, const char* text);
/* The same on the value viewer's channel (no presence test). */
MRV_API int32_t MRVEXEC_SendViewer(SystemContext* ctx, const char* text);

/* ---- The debugger --------------------------------------------------------- */

/* Debugger requests: the tracer-control sub-codes after 1..8, carried out by
 * MRVEXEC_Debug. p is a task (-1: every task) unless said otherwise; `text` is
 * code page 932 (on the control socket: the MRV_DEBUG_TEXT pieces before). A task stops before a
 * statement and sends "@S task line file reason" to the tracer (line as shown, from 1); reason is
 * breakpoint, step, pause, entry or debugbreak. A stopped task keeps passing its turn. */
enum {
  MRV_DEBUG_BREAK_SET = 9,    /* breakpoint on line p (from 1) of the file named by text */
  MRV_DEBUG_BREAK_CLEAR = 10, /* removes that breakpoint */
  MRV_DEBUG_BREAK_CLEAR_ALL = 11,
  MRV_DEBUG_STOP = 12,           /* task p stops before its next statement (text: reason) */
  MRV_DEBUG_CONTINUE = 13,       /* stopped task p goes on */
  MRV_DEBUG_STEP_IN = 14,        /* task p goes on and stops at its next statement */
  MRV_DEBUG_STEP_OVER = 15,      /* ... at its next one outside deeper blocks and files */
  MRV_DEBUG_STEP_OUT = 16,       /* ... at its next one after its block (at file level, file) */
  MRV_DEBUG_STACK = 17,          /* "@F p depth line file" per file of task p, then "@E p" */
  MRV_DEBUG_SET = 18,            /* stopped task p sets "NAME VALUE" ($A, $@, $00012, #00012;
                                    a number or "text"), answering "@V p 1|0 NAME" */
  MRV_DEBUG_ATTACH = 19,         /* p != 0: a debugger holds the connection; DebugBreak stops */
  MRV_DEBUG_RELEASE = 20,        /* clears breakpoints and steps; every stopped task goes on */
  MRV_DEBUG_CLOSE = 21,          /* the host closes the program as its close button does */
  MRV_DEBUG_SCENARIO_BREAK = 22, /* task p stops for DebugBreak if a debugger is attached */
  MRV_DEBUG_TEXT = 23            /* control socket: p is 4 more bytes of the next request's text */
};
/* Carries out a debugger request; 1 when done (0: not understood, or for
 * MRV_DEBUG_SCENARIO_BREAK no debugger attached). Safe from the host's thread. */
MRV_API int32_t MRVEXEC_Debug(SystemContext* ctx, int32_t code, int32_t p, const char* text);

MRV_EXTERN_C_END

#endif
