// Fuzz target: an input is a RIFF chunk file of form "SNB ", opened, walked
// chunk by chunk and searched for chunks by identifier.
#include <initializer_list>
#include <string>

#include "fuzz_target.h"
#include "mrvfile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mrvfuzz::LeakCheck check;
  const std::string path = mrvfuzz::input_file("R.BIN", data, size);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const bool riff_form =
      size >= 12 && input.compare(0, 4, "RIFF") == 0 && input.compare(8, 4, "SNB ") == 0;
  const uint32_t h = MRVFILE_OpenRIFF(0, path.c_str(), "SNB ");
  mrvfuzz::expect((h != 0) == riff_form, "OpenRIFF accepted another kind of file, or refused one");
  if (h == 0) return 0;
  char id[5];
  uint32_t length = 0;
  // Every header read takes 8 bytes of the file, so the walk ends.
  std::size_t headers = 0;
  while (MRVFILE_GetChunk(0, h, id, &length) == 1) {
    ++headers;
    mrvfuzz::expect(headers <= (size - 12) / 8, "more chunk headers than the file holds");
  }
  for (const char* want : {"CODE", "INFO", "HEAD", "END "}) {
    if (MRVFILE_SearchChunk(0, h, want, &length) == 1) {
      mrvfuzz::expect(input.find(want, 12) != std::string::npos, "found a chunk that is not there");
    }
  }
  MRVFILE_Close(0, h);
  return 0;
}
