/* Command libraries may be written in C: the public headers must compile as C
 * and give the same record layout as in C++. */
#include "mrvcode.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "mrvval.h"

size_t c_layout(int which) {
  switch (which) {
    case 0:
      return sizeof(FAQ);
    case 1:
      return sizeof(VarTable);
    case 2:
      return sizeof(SystemContext);
    case 3:
      return offsetof(SystemContext, localVars);
    case 4:
      return offsetof(SystemContext, msgBuf2);
    case 5:
      return sizeof(CompileRequest);
    case 6:
      return offsetof(CompileRequest, sourceSize);
    default:
      return 0;
  }
}
