// Compiled scenario files: a RIFF file of form "SNB " with the chunk "INFO"
// (the ScenarioInfo record, 60 bytes) and the chunk "CODE" (the code, locked
// with a one-byte key, rounded up to a multiple of 4 bytes).
//
// A compiled file may also be an entry of an archive (D\NAME.SNB in D.vfs),
// found by the file manager's lookup as a source is; it is then read whole
// and its chunks are found in memory.
//
// Loading checks the file before it hands out code: both chunks must be whole
// inside the file, and the unlocked code must walk as compiled code from its
// first byte to its final TOK_END inside the chunk (what follows that is
// never run and is loaded as it stands). Anything else is reported as a
// broken file, so no tampered or truncated file can make the interpreter read
// outside its block.
#include <cstdio>
#include <cstring>
#include <vector>

#include "codewalk.h"
#include "internal.h"
#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kHeaderSize = 12;  // "RIFF", size, form
constexpr uint32_t kInfoSize = 60;
constexpr uint16_t kFormatVersion = 0x0303;
constexpr char kForm[] = "SNB ";
constexpr char kInfoId[] = "INFO";
constexpr char kCodeId[] = "CODE";
// productTag: "Marovine " and a 0 byte.
constexpr char kProductTag[10] = "Marovine ";
// noticeText: 39 characters padded with spaces, and a 0 byte.
constexpr char kNotice[40] = "Marovine33 compiled scenario v3.3      ";
static_assert(sizeof(kNotice) == 40 && kNotice[38] == ' ');

// ScenarioInfo field offsets.
enum : uint32_t {
  kInfoKey = 0,
  kInfoKeyComplement = 1,
  kInfoProductTag = 2,
  kInfoNotice = 12,
  kInfoVersion = 52,
};

uint32_t round4(uint32_t n) {
  return (n + 3u) & ~3u;
}

// Reports a broken compiled file. `what` names the part that is wrong.
void ReportBroken(uint32_t owner, const char* path, const char* what) {
  char text[MRV_PATH + 200];
  plat::format_cut(text, sizeof text,
                   MRV_CP932("\"%s\"\nコンパイル済みシナリオファイルが壊れています。(%s)"), path,
                   what);
  mrvcomp::Report(owner, text);
}

// Bytes of the open file from the current position to its end.
int64_t Remaining(uint32_t h) {
  const int64_t pos = plat::file_seek(h, 0, 1);
  const int64_t size = plat::file_size(h);
  return pos < 0 || size < 0 ? -1 : size - pos;
}

// Finds chunk `id` and checks that at least `need` of its bytes (all of them
// when `need` is 0) are in the file. False after a report; the file is closed.
bool FindChunk(uint32_t owner, const char* path, uint32_t h, const char* id, uint32_t need,
               uint32_t* size) {
  if (MRVFILE_SearchChunk(owner, h, id, size) && *size >= need) {
    const uint32_t whole = need != 0 ? need : *size;
    if (whole != 0 && Remaining(h) >= static_cast<int64_t>(whole)) return true;
  }
  // A read the user cancelled has closed the file and said why already.
  if (plat::file_size(h) < 0) return false;
  MRVFILE_Close(owner, h);
  ReportBroken(owner, path, id);
  return false;
}

// Unlocks the code read into `block` and checks that it walks as compiled
// code; the block, or null after a report (the block is then freed).
void* UnlockChecked(uint32_t owner, const char* path, void* block, uint32_t size, uint8_t key) {
  MRVFILE_UnlockCode(block, size, key);
  // The code must be one statement list ended inside the chunk.
  const codewalk::Result r = codewalk::check(block, size);
  if (!r.ok()) {
    char where[40];
    std::snprintf(where, sizeof where, "CODE+%u", r.at);
    ReportBroken(owner, path, where);
    MRVTASK_FreeMemory(owner, block);
    return nullptr;
  }
  return block;
}

// True when the file manager finds `path` inside an archive: its handle then
// stands at the entry's data, past the archive's header, where a file of its
// own would stand at 0.
bool InArchive(uint32_t owner, const char* path) {
  if (!MRVFILE_Exist(owner, path)) return false;
  const uint32_t h = MRVFILE_ReadOpen(owner, path);
  if (h == 0) return false;
  const int64_t at = plat::file_seek(h, 0, 1);
  MRVFILE_Close(owner, h);
  return at > 0;
}

// The chunk `id` of a RIFF image in memory: its data, or null when it is
// missing or has fewer than `need` bytes (all of them when `need` is 0).
const uint8_t* ImageChunk(const uint8_t* image, uint32_t size, const char* id, uint32_t need,
                          uint32_t* length) {
  for (uint32_t at = kHeaderSize; at <= size && size - at >= 8;) {
    const uint8_t* c = image + at;
    const uint32_t n =
        uint32_t(c[4]) | uint32_t(c[5]) << 8 | uint32_t(c[6]) << 16 | uint32_t(c[7]) << 24;
    const uint32_t room = size - at - 8;
    if (std::memcmp(c, id, 4) == 0) {
      const uint32_t whole = need != 0 ? need : n;
      if (n < need || whole == 0 || whole > room) return nullptr;
      *length = n;
      return c + 8;
    }
    if (n > room) return nullptr;
    at += 8 + n;
  }
  return nullptr;
}

// Loads a compiled file that is an archive's entry.
void* UnpackArchived(uint32_t owner, const char* path) {
  const uint32_t size = MRVFILE_Size(owner, path);
  void* file = MRVFILE_ReadBlock(owner, path, 0);
  if (file == nullptr) return nullptr;
  const auto* image = static_cast<const uint8_t*>(file);
  const char* broken = nullptr;
  const uint8_t* info = nullptr;
  const uint8_t* code = nullptr;
  uint32_t infoSize = 0, codeSize = 0;
  if (size < kHeaderSize || std::memcmp(image, "RIFF", 4) != 0 ||
      std::memcmp(image + 8, kForm, 4) != 0) {
    broken = "RIFF";
  } else if ((info = ImageChunk(image, size, kInfoId, kInfoSize, &infoSize)) == nullptr) {
    broken = kInfoId;
  } else if ((code = ImageChunk(image, size, kCodeId, 0, &codeSize)) == nullptr) {
    broken = kCodeId;
  }
  void* block = broken == nullptr ? MRVTASK_AllocMemory(owner, codeSize) : nullptr;
  if (block != nullptr) std::memcpy(block, code, codeSize);
  const uint8_t key = info != nullptr ? info[kInfoKey] : 0;
  MRVTASK_FreeMemory(owner, file);
  if (broken != nullptr) ReportBroken(owner, path, broken);
  if (block == nullptr) return nullptr;
  return UnlockChecked(owner, path, block, codeSize, key);
}

}  // namespace

extern "C" {

MRV_API int32_t MRVCOMP_Pack(uint32_t owner, const char* path, void* code, uint32_t length) {
  if (path == nullptr || (code == nullptr && length != 0)) return 0;
  if (length > UINT32_MAX - 3u) return 0;
  const uint32_t s = round4(length);

  // Lock a padded copy: the padding is what the block holds after the code
  // (zeros in the compiler's blocks), or zeros where the caller's memory ends
  // before the rounded length. The locked bytes go back into the block.
  std::vector<uint8_t> locked(s, 0);
  auto* bytes = static_cast<uint8_t*>(code);
  uint32_t reach = length;
  const uint32_t blockSize = code != nullptr ? MRVTASK_SizeMemory(owner, code) : 0;
  if (blockSize > length) reach = blockSize < s ? blockSize : s;
  if (reach != 0) std::memcpy(locked.data(), bytes, reach);

  const uint32_t h = MRVFILE_WriteOpen(owner, path);
  if (h == 0) return 0;
  // The RIFF header is written last; hold its place.
  const uint8_t header[kHeaderSize] = {};
  if (!MRVFILE_Write(owner, h, header, kHeaderSize)) return 0;
  if (!MRVFILE_SetChunk(owner, h, kInfoId, kInfoSize)) return 0;

  const int32_t key = MRVFILE_MakeCode();
  uint8_t info[kInfoSize] = {};
  info[kInfoKey] = static_cast<uint8_t>(key);
  info[kInfoKeyComplement] = static_cast<uint8_t>(~key);
  std::memcpy(info + kInfoProductTag, kProductTag, sizeof kProductTag);
  std::memcpy(info + kInfoNotice, kNotice, sizeof kNotice);
  info[kInfoVersion] = kFormatVersion & 0xFF;
  info[kInfoVersion + 1] = kFormatVersion >> 8;
  if (!MRVFILE_Write(owner, h, info, kInfoSize)) return 0;

  MRVFILE_LockCode(locked.data(), s, key);
  if (reach != 0) std::memcpy(bytes, locked.data(), reach);

  if (!MRVFILE_SetChunk(owner, h, kCodeId, s)) return 0;
  if (s != 0 && !MRVFILE_Write(owner, h, locked.data(), s)) return 0;
  if (!MRVFILE_MakeRIFF(owner, h, kForm)) return 0;  // the handle is closed
  MRVFILE_Close(owner, h);
  return 1;
}

MRV_API void* MRVCOMP_Unpack(uint32_t owner, const char* path) {
  if (path == nullptr) return nullptr;
  if (InArchive(owner, path)) return UnpackArchived(owner, path);
  const uint32_t h = MRVFILE_OpenRIFF(owner, path, kForm);
  if (h == 0) return nullptr;

  uint32_t infoSize = 0;
  if (!FindChunk(owner, path, h, kInfoId, kInfoSize, &infoSize)) return nullptr;
  uint8_t info[kInfoSize] = {};
  if (!MRVFILE_Read(owner, h, info, kInfoSize)) return nullptr;

  uint32_t size = 0;
  if (!FindChunk(owner, path, h, kCodeId, 0, &size)) return nullptr;
  void* block = MRVTASK_AllocMemory(owner, size);
  if (block == nullptr) {
    MRVFILE_Close(owner, h);
    return nullptr;
  }
  if (!MRVFILE_Read(owner, h, block, size)) {
    MRVTASK_FreeMemory(owner, block);
    return nullptr;
  }
  MRVFILE_Close(owner, h);
  return UnlockChecked(owner, path, block, size, info[kInfoKey]);
}

}  // extern "C"
