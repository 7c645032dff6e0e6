// RIFF chunk files: a 12-byte header naming the form, then chunks of a
// four-character identifier, a 32-bit size and the data (no pad bytes).
#include <cstring>
#include <string>

#include "internal.h"
#include "mrvfile.h"
#include "platform/file.h"
#include "platform/text.h"

namespace mrvfile {
namespace {

// A four-character code from a text (shorter texts are padded with NULs).
void code4(uint8_t out[4], const char* text) {
  std::memset(out, 0, 4);
  if (text != nullptr) std::memcpy(out, text, strnlen(text, 4));
}

void report(uint32_t owner, const char* path, const char* text) {
  std::string message = quoted(path ? path : "", text);
  MRVTASK_ErrorStop(owner, title(), message.c_str());
}

}  // namespace
}  // namespace mrvfile

using namespace mrvfile;

extern "C" {

MRV_API uint32_t MRVFILE_OpenRIFF(uint32_t owner, const char* path, const char* form) {
  uint32_t h = MRVFILE_Open(owner, path, MRVFILE_STYLE_READWRITE);
  if (h == 0) return 0;
  uint8_t header[12];
  uint32_t got = 0;
  if (!read_some(owner, h, header, sizeof header, &got)) return 0;
  if (got < 4 || std::memcmp(header, "RIFF", 4) != 0) {
    report(owner, path, MRV_CP932("指定されたファイルは RIFF 形式ファイルではありません。"));
    plat::file_close(h);
    return 0;
  }
  uint8_t want[4];
  code4(want, form);
  // A RIFF file too short to name its form has none that matches.
  if (got < sizeof header || std::memcmp(header + 8, want, 4) != 0) {
    report(owner, path, MRV_CP932("指定されたファイルは種類が一致しません。"));
    plat::file_close(h);
    return 0;
  }
  return h;
}

MRV_API int32_t MRVFILE_MakeRIFF(uint32_t owner, uint32_t handle, const char* form) {
  // Every failure closes the handle, as a cancelled write does.
  auto fail = [&] {
    plat::file_close(handle);
    return 0;
  };
  const int64_t pos = plat::file_seek(handle, 0, 1);
  const int64_t end = plat::file_seek(handle, 0, 2);
  if (pos < 0 || end < 0 || plat::file_seek(handle, 0, 0) != 0) return fail();
  // The header itself makes the file at least 12 bytes long.
  const int64_t size = end < 12 ? 12 : end;
  uint8_t header[12];
  std::memcpy(header, "RIFF", 4);
  put_le32(header + 4, uint32_t(size - 8));
  code4(header + 8, form);
  if (!MRVFILE_Write(owner, handle, header, sizeof header)) return 0;  // closed by the write
  return plat::file_seek(handle, pos, 0) == pos ? 1 : fail();
}

MRV_API int32_t MRVFILE_SetChunk(uint32_t owner, uint32_t handle, const char* id, uint32_t size) {
  uint8_t header[8];
  code4(header, id);
  put_le32(header + 4, size);
  return MRVFILE_Write(owner, handle, header, sizeof header);
}

MRV_API int32_t MRVFILE_GetChunk(uint32_t owner, uint32_t handle, char* id, uint32_t* size) {
  uint8_t header[8];
  uint32_t got = 0;
  id[0] = '\0';
  if (!read_some(owner, handle, header, sizeof header, &got) || got < sizeof header) return 0;
  std::memcpy(id, header, 4);
  id[4] = '\0';
  *size = get_le32(header + 4);
  return 1;
}

MRV_API int32_t MRVFILE_SearchChunk(uint32_t owner, uint32_t handle, const char* id,
                                    uint32_t* size) {
  if (plat::file_seek(handle, 12, 0) != 12) return 0;
  uint8_t want[4];
  code4(want, id);
  char found[5];
  uint32_t n = 0;
  while (MRVFILE_GetChunk(owner, handle, found, &n)) {
    if (std::memcmp(found, want, 4) == 0) {
      *size = n;
      return 1;
    }
    if (plat::file_seek(handle, n, 1) < 0) return 0;
  }
  return 0;
}

}  // extern "C"
