// Fuzz target: an input is the archive D.VFS, read through the name D\B.BIN
// every way there is (existence, size, an open handle, a whole block).
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "mrvfile.h"
#include "mrvtask.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mrvfuzz::LeakCheck check;
  mrvfuzz::input_file("D.VFS", data, size);
  const std::string member = mrvfuzz::scratch() + "\\D\\B.BIN";
  const int32_t exists = MRVFILE_Exist(0, member.c_str());
  const uint32_t length = MRVFILE_Size(0, member.c_str());

  const uint32_t h = MRVFILE_ReadOpen(0, member.c_str());
  mrvfuzz::expect((h != 0) == (exists == 1), "ReadOpen and Exist disagree");
  if (h != 0) {
    std::string buf(std::min<uint32_t>(length, 4096), '\0');
    if (MRVFILE_Read(0, h, buf.data(), uint32_t(buf.size())) == 1) MRVFILE_Close(0, h);
  }

  auto* block = static_cast<char*>(MRVFILE_ReadBlock(0, member.c_str(), 1));
  mrvfuzz::expect((block != nullptr) == (exists == 1), "ReadBlock and Exist disagree");
  if (block != nullptr) {
    // The member's bytes come from the archive, followed by the end mark.
    mrvfuzz::expect(MRVTASK_SizeMemory(0, block) == length + 2, "block size is not size + 2");
    mrvfuzz::expect(std::memcmp(block + length, "\x1A\0", 2) == 0, "no end mark");
    const std::string input(reinterpret_cast<const char*>(data), size);
    mrvfuzz::expect(input.find(std::string(block, length)) != std::string::npos,
                    "member bytes not taken from the archive");
    MRVTASK_FreeMemory(0, block);
  }
  return 0;
}
