// Fuzz target: an input is a scenario source, compiled with a macro and an
// include defined. Compiled code must walk as compiled code; a failure must
// have a message.
#include <cstring>
#include <string>

#include "codewalk.h"
#include "fuzz_target.h"
#include "mrvcomp.h"
#include "mrvtask.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  const std::string include = mrvfuzz::short_scratch() + "/INC.TXT";
  const std::string definitions = "#define 'ZM' '(1 + $A)'\n#include 'ZI' '" + include + "'\n";
  mrvfuzz::write(include, "F(ZM);");
  const std::string def = mrvfuzz::file("FUZZ.DEF");
  mrvfuzz::write(def, definitions);
  mrvfuzz::expect(MRVCOMP_DefineFile(0, def.c_str()) == 1,
                  "the definitions were refused (is TMPDIR's path too long?)");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  mrvfuzz::LeakCheck check;
  // The source block as a file read with its end mark gives it.
  CompileRequest req{};
  std::strcpy(req.name, "FUZZ");
  req.sourceSize = uint32_t(size + 2);
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, data, size);
  req.source[size] = 0x1A;
  const int32_t ok = MRVCOMP_Comp(&req);
  mrvfuzz::expect(ok == 0 || ok == 1, "MRVCOMP_Comp gave neither 0 nor 1");
  if (ok == 1) {
    const auto length = uint32_t(req.outputPos - req.output);
    mrvfuzz::expect(length <= MRVTASK_SizeMemory(0, req.output), "code runs past its block");
    mrvfuzz::expect(codewalk::check(req.output, length).ok(), "compiled code does not walk");
  } else {
    const int32_t error = MRVCOMP_GetError();
    mrvfuzz::expect(error >= 0 && error < MRVCOMP_ERR_COUNT, "unknown error number");
    char message[600];
    mrvfuzz::expect(MRVCOMP_MakeErrorMessage(&req, message) > 0, "no error message");
  }
  MRVTASK_FreeMemory(0, req.output);
  if (req.source != req.output) MRVTASK_FreeMemory(0, req.source);
  return 0;
}
