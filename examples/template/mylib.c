/* mylib: the command library of a new title. A scenario calls its command
 * as MYLIB:HELLO("name"); the engine loads mylib.so from the program
 * directory at the first call and calls the exported function MRV_HELLO
 * with the system context and the argument list. Cell 0 of the list holds
 * the number of arguments on entry and the command's result on return;
 * cells 1 to 26 hold the arguments. A command gives 1, or 0 after it has
 * reported an error (the statement then fails and the task ends).
 *
 * Rename the library (the file mylib.so and the prefix MYLIB:) and add a
 * function MRV_<NAME> for each command; commands are exported in upper case
 * because the compiler upper-cases the code. */
#include <stdio.h>

#include "mrvexec.h"
#include "mrvval.h"

#define MYLIB_COMMAND __attribute__((visibility("default")))

/* MYLIB:HELLO("name"): the string "Hello, name!" (name omitted: "world"). */
MYLIB_COMMAND int32_t MRV_HELLO(SystemContext* ctx, VarTable* args) {
  char name[MRV_MSGBUF] = "world"; /* an omitted argument keeps the default */
  char text[MRV_MSGBUF + 16];
  if (!MRVVAL_ArgString(ctx, args, 1, name)) return 0; /* reported already */
  snprintf(text, sizeof text, "Hello, %.1990s!", name);
  return MRVSTR_SetByte(ctx, &MRV_CELLS(args)[0], text);
}
