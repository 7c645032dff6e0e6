// Fuzz target: an input is a compiled scenario file, loaded; loaded code
// must walk as compiled code inside its block.
#include <string>

#include "codewalk.h"
#include "fuzz_target.h"
#include "mrvcomp.h"
#include "mrvtask.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mrvfuzz::LeakCheck check;
  const std::string path = mrvfuzz::input_file("F.SNB", data, size);
  void* code = MRVCOMP_Unpack(0, path.c_str());
  if (code != nullptr) {
    mrvfuzz::expect(codewalk::check(code, MRVTASK_SizeMemory(0, code)).ok(),
                    "loaded code does not walk");
    MRVTASK_FreeMemory(0, code);
  }
  return 0;
}
