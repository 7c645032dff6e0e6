// Value files: a RIFF file of form "PVFG" with one record (chunk) per value,
// ended by "END ". Counting, reading into variables and writing from them.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/dialog.h"
#include "platform/file.h"
#include "platform/text.h"

namespace mrvfile {
namespace {

constexpr char kForm[] = "PVFG";
constexpr uint32_t kDescriptorSize = 40;     // picture descriptor: ten 32-bit words
constexpr uint32_t kMaxStringRecord = 2000;  // what wordBuf1 holds: 999 characters + 0

// How a step over a record ended. Cancelled: a read was cancelled and has
// closed the file. Refused: memory or the string heap refused the value and
// has told the user; the file is still open.
enum class Walk { Ok, End, Short, Broken, Cancelled, Refused };

struct Record {
  char id[5];
  uint32_t size;
  int64_t offset;  // of the record's header
};

// Reads the record header at the current position. A record whose data would
// run past the end of the file is Broken; the data itself is not read.
Walk next_record(uint32_t owner, uint32_t h, int64_t file_size, Record* r) {
  r->offset = plat::file_seek(h, 0, 1);
  uint8_t header[8];
  uint32_t got = 0;
  if (!read_some(owner, h, header, sizeof header, &got)) return Walk::Cancelled;
  if (got < sizeof header || r->offset < 0) return Walk::Short;
  std::memcpy(r->id, header, 4);
  r->id[4] = '\0';
  r->size = get_le32(header + 4);
  if (std::memcmp(r->id, "END ", 4) == 0) return Walk::End;
  if (r->offset + 8 + int64_t(r->size) > file_size) return Walk::Broken;
  return Walk::Ok;
}

bool skip_data(uint32_t h, const Record& r) {
  return plat::file_seek(h, r.offset + 8 + r.size, 0) >= 0;
}

// The four characters of an identifier for a message (cut at a NUL).
std::string id_text(const char* id) {
  return std::string(id, strnlen(id, 4));
}

void report_broken(uint32_t owner, const char* path, int32_t block, const char* id) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "(Block=%d, Name=%s)", block, id_text(id).c_str());
  std::string text =
      quoted(upper(path), MRV_CP932("値ファイルの内容が正しくありません。") + std::string(tail));
  MRVTASK_ErrorStop(owner, title(), text.c_str());
}

// Ends a failed walk: reports a broken record, closes what is still open.
int32_t fail_walk(uint32_t owner, uint32_t h, Walk w, const char* path, int32_t block,
                  const Record& r) {
  if (w == Walk::Cancelled) return 0;  // the read has closed the file
  if (w == Walk::Broken) report_broken(owner, path, block, r.id);
  plat::file_close(h);
  return 0;
}

// Reads exactly `count` bytes of a record's data; Cancelled (file closed),
// Short (file changed under us) or Ok.
Walk read_data(uint32_t owner, uint32_t h, void* buffer, uint32_t count) {
  uint32_t got = 0;
  if (!read_some(owner, h, buffer, count, &got)) return Walk::Cancelled;
  return got == count ? Walk::Ok : Walk::Short;
}

uint8_t string_key(uint32_t size) {
  return size % 256 == 0 ? 255 : uint8_t(size % 256);
}

void append_header(std::vector<uint8_t>& out, const char* id, uint32_t size) {
  uint8_t h[8];
  std::memcpy(h, id, 4);
  put_le32(h + 4, size);
  out.insert(out.end(), h, h + 8);
}

void append_words(std::vector<uint8_t>& out, const uint32_t* words, int n) {
  for (int i = 0; i < n; ++i) {
    uint8_t b[4];
    put_le32(b, words[i]);
    out.insert(out.end(), b, b + 4);
  }
}

void report_bad_value(SystemContext* ctx, const char* path, int32_t index) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "(Index=%d)", index);
  std::string text =
      quoted(upper(path), MRV_CP932("書き込む値のデータが正しくありません。") + std::string(tail));
  MRVTASK_ErrorStop(ctx->hwndMain, title(), text.c_str());
}

// The records of `count` variables, built in memory before the file is
// touched, so that a variable that cannot be written leaves the file alone.
bool encode_values(SystemContext* ctx, const char* path, VarTable* table, int32_t first,
                   int32_t count, std::vector<uint8_t>& out) {
  const uint32_t owner = ctx->hwndMain;
  for (int32_t k = 0; k < count; ++k) {
    FAQ v;
    if (!MRVVAL_Get(ctx, table, first + k, &v)) return false;
    switch (v.type) {
      case TYPE_NUMBER:
        append_header(out, "NUM ", 8);
        append_words(out, &v.word1, 2);
        break;
      case TYPE_RECT:
        append_header(out, "RECT", 16);
        append_words(out, &v.word1, 4);
        break;
      case TYPE_STRING: {
        if (v.word3 >= MRV_WORDBUF) {
          report_bad_value(ctx, path, first + k);
          return false;
        }
        if (!MRVSTR_GetWord(ctx, &v, ctx->wordBuf1)) return false;
        const uint32_t size = 2 * v.word3 + 2;
        ctx->wordBuf1[v.word3] = 0;
        std::vector<uint8_t> bytes(size);
        std::memcpy(bytes.data(), ctx->wordBuf1, size);
        swap_words_if_big(reinterpret_cast<uint16_t*>(bytes.data()), size / 2);
        MRVFILE_LockCode(bytes.data(), size, string_key(size));
        append_header(out, "STR ", size);
        out.insert(out.end(), bytes.begin(), bytes.end());
        break;
      }
      case TYPE_CELL: {
        if (v.word1 == 0) {  // no picture: nothing to keep
          append_header(out, "NULL", 0);
          break;
        }
        void* desc = MRV_PTR(v.word1);
        uint32_t words[10] = {};
        bool sound = MRVTASK_SizeMemory(owner, desc) >= kDescriptorSize;
        if (sound) std::memcpy(words, desc, kDescriptorSize);
        const uint64_t pixels = uint64_t(words[1]) * words[2];
        const uint64_t held = pixels == 0 ? 0 : MRVTASK_SizeMemory(owner, MRV_PTR(words[8]));
        // A cell of 16-bit pixels is saved whole; a data block of one byte
        // per pixel (a cell loaded from a file made elsewhere) as it is.
        sound = sound && pixels <= 0xFFFFFFFF;
        const uint64_t data_size = sound && held >= 2 * pixels ? 2 * pixels : pixels;
        sound = sound && data_size + kDescriptorSize <= 0xFFFFFFFF && held >= data_size;
        if (!sound) {
          report_bad_value(ctx, path, first + k);
          return false;
        }
        append_header(out, "CELL", uint32_t(data_size) + kDescriptorSize);
        append_words(out, words, 10);
        const auto* data = static_cast<const uint8_t*>(MRV_PTR(words[8]));
        const std::size_t at = out.size();
        if (data_size > 0) out.insert(out.end(), data, data + data_size);
        if (data_size > pixels)
          swap_words_if_big(reinterpret_cast<uint16_t*>(out.data() + at), pixels);
        break;
      }
      case TYPE_MEMORY: {
        const uint32_t size = v.word2;
        if (size > 0 && MRVTASK_SizeMemory(owner, MRV_PTR(v.word1)) < size) {
          report_bad_value(ctx, path, first + k);
          return false;
        }
        append_header(out, "MEM ", size);
        const auto* data = static_cast<const uint8_t*>(MRV_PTR(v.word1));
        if (size > 0) out.insert(out.end(), data, data + size);
        break;
      }
      default:
        append_header(out, "NULL", 0);
    }
  }
  return true;
}

// Whether the value file exists on disk. It is written in place, never into
// an archive, so an archive of its directory must neither hide an existing
// file (which would then be truncated) nor stand in for a missing one.
bool on_disk(const char* path) {
  const uint32_t h = plat::file_open(upper(path).c_str(), plat::FileMode::Read, nullptr);
  if (h != 0) plat::file_close(h);
  return h != 0;
}

// After a refused write: a new file is removed again, an existing one gets
// back the bytes the write overwrote (they lie inside its old size, so the
// disk has room for them). The RIFF header was not yet touched.
void put_back(const char* path, bool existed, int64_t start, const std::vector<uint8_t>& bytes) {
  const std::string name = upper(path);
  if (!existed) {
    plat::file_delete(name.c_str(), nullptr);
    return;
  }
  const uint32_t h = plat::file_open(name.c_str(), plat::FileMode::ReadWrite, nullptr);
  if (h == 0) return;
  if (plat::file_seek(h, start, 0) == start) {
    plat::file_write(h, bytes.data(), uint32_t(bytes.size()));
  }
  plat::file_close(h);
}

enum class Kind { Null, Number, Rect, String, Cell, Memory, Unknown };

Kind kind_of(const char* id) {
  static constexpr struct {
    const char* id;
    Kind kind;
  } kKinds[] = {{"NULL", Kind::Null},   {"NUM ", Kind::Number}, {"RECT", Kind::Rect},
                {"STR ", Kind::String}, {"CELL", Kind::Cell},   {"MEM ", Kind::Memory}};
  for (const auto& k : kKinds)
    if (std::memcmp(id, k.id, 4) == 0) return k.kind;
  return Kind::Unknown;
}

// Builds the value of one record from the file into `v`. Ok, or the reason
// it failed; blocks allocated for the record are freed on failure.
Walk read_value(SystemContext* ctx, uint32_t h, const Record& r, Kind kind, FAQ* v) {
  const uint32_t owner = ctx->hwndMain;
  switch (kind) {
    case Kind::Null:
      return Walk::Ok;
    case Kind::Number:
    case Kind::Rect: {
      // Words missing from a short record read as 0; extra bytes are passed over.
      const uint32_t want = kind == Kind::Number ? 8 : 16;
      uint8_t bytes[16] = {};
      const uint32_t n = r.size < want ? r.size : want;
      if (Walk w = read_data(owner, h, bytes, n); w != Walk::Ok) return w;
      v->type = kind == Kind::Number ? TYPE_NUMBER : TYPE_RECT;
      uint32_t* words = &v->word1;
      for (uint32_t i = 0; i < want / 4; ++i) words[i] = get_le32(bytes + 4 * i);
      return Walk::Ok;
    }
    case Kind::String: {
      const uint32_t size = r.size;
      if (size < 2 || size > kMaxStringRecord || size % 2 != 0) return Walk::Broken;
      if (Walk w = read_data(owner, h, ctx->wordBuf1, size); w != Walk::Ok) return w;
      MRVFILE_UnlockCode(ctx->wordBuf1, size, string_key(size));
      swap_words_if_big(ctx->wordBuf1, size / 2);
      if (ctx->wordBuf1[size / 2 - 1] != 0) return Walk::Broken;
      // The heap reports its own overflow.
      return MRVSTR_SetWord(ctx, v, ctx->wordBuf1) ? Walk::Ok : Walk::Refused;
    }
    case Kind::Cell: {
      if (r.size < kDescriptorSize) return Walk::Broken;
      auto* desc = static_cast<uint32_t*>(MRVTASK_AllocMemory(owner, kDescriptorSize));
      if (desc == nullptr) return Walk::Refused;
      Walk w = read_data(owner, h, desc, kDescriptorSize);
      swap_words_if_big(desc, 10);
      // The data is one byte per pixel (files made elsewhere) or a 16-bit
      // pixel each (as the drawing library holds them); any other size is damage.
      const uint64_t pixels = uint64_t(desc[1]) * desc[2];
      const uint32_t data_size = r.size - kDescriptorSize;
      const bool wide = pixels != 0 && pixels <= 0xFFFFFFFF && data_size == 2 * pixels;
      if (w == Walk::Ok && data_size != pixels && !wide) w = Walk::Broken;
      void* data = nullptr;
      if (w == Walk::Ok) {
        data = MRVTASK_AllocMemory(owner, data_size);
        if (data == nullptr) w = Walk::Refused;
      }
      if (w == Walk::Ok) w = read_data(owner, h, data, data_size);
      if (w == Walk::Ok && wide) swap_words_if_big(static_cast<uint16_t*>(data), pixels);
      if (w != Walk::Ok) {
        MRVTASK_FreeMemory(owner, data);
        MRVTASK_FreeMemory(owner, desc);
        return w;
      }
      desc[8] = MRV_WORD(data);
      v->type = TYPE_CELL;
      v->word1 = MRV_WORD(desc);
      return Walk::Ok;
    }
    case Kind::Memory: {
      void* block = MRVTASK_AllocMemory(owner, r.size);
      if (block == nullptr) return Walk::Refused;
      if (Walk w = read_data(owner, h, block, r.size); w != Walk::Ok) {
        MRVTASK_FreeMemory(owner, block);
        return w;
      }
      v->type = TYPE_MEMORY;
      v->word1 = MRV_WORD(block);
      v->word2 = r.size;
      return Walk::Ok;
    }
    case Kind::Unknown:
      break;
  }
  return Walk::Ok;
}

}  // namespace
}  // namespace mrvfile

using namespace mrvfile;

extern "C" {

MRV_API int32_t MRVFILE_CountFAQ(SystemContext* ctx, const char* path) {
  const uint32_t owner = ctx->hwndMain;
  const uint32_t h = MRVFILE_OpenRIFF(owner, path, kForm);
  if (h == 0) return 0;
  const int64_t size = plat::file_size(h);
  Record r{};
  for (int32_t n = 0;; ++n) {
    Walk w = next_record(owner, h, size, &r);
    if (w == Walk::End) {
      plat::file_close(h);
      return n;
    }
    if (w != Walk::Ok || !skip_data(h, r)) return fail_walk(owner, h, w, path, n, r);
  }
}

MRV_API int32_t MRVFILE_ReadFAQ(SystemContext* ctx, const char* path, VarTable* table,
                                int32_t first, int32_t skip, int32_t count) {
  const uint32_t owner = ctx->hwndMain;
  const uint32_t h = MRVFILE_OpenRIFF(owner, path, kForm);
  if (h == 0) return 0;
  const int64_t size = plat::file_size(h);
  Record r{};
  int32_t block = 0;
  for (; block < skip; ++block) {
    Walk w = next_record(owner, h, size, &r);
    if (w != Walk::Ok || !skip_data(h, r)) return fail_walk(owner, h, w, path, block, r);
  }
  int32_t stored = 0;
  for (int32_t k = 0; k < count; ++k, ++block) {
    Walk w = next_record(owner, h, size, &r);
    if (w == Walk::End) break;
    if (w != Walk::Ok) return fail_walk(owner, h, w, path, block, r);
    const int32_t index = first + k;
    const Kind kind = kind_of(r.id);
    if (kind == Kind::Unknown) {
      MRVVAL_Clear(ctx, table, index);
      char text[160];
      plat::format_cut(text, sizeof text, MRV_CP932("未定義のデータ形式です。(Block=%d, Name=%s)"),
                       block, id_text(r.id).c_str());
      plat::message_box(owner, text, title(), plat::MB_OK | plat::MB_ICONWARNING);
      if (!skip_data(h, r)) return fail_walk(owner, h, Walk::Short, path, block, r);
      continue;
    }
    FAQ v{};
    w = read_value(ctx, h, r, kind, &v);
    if (w == Walk::Ok && !skip_data(h, r)) w = Walk::Short;
    if (w != Walk::Ok) {
      MRVFAQ_Clear(ctx, &v);
      // A failed allocation or heap overflow has been reported already.
      return fail_walk(owner, h, w, path, block, r);
    }
    // The old value goes only once the new one is complete: a broken record
    // leaves its variable as it was.
    MRVVAL_Clear(ctx, table, index);
    if (!MRVVAL_Set(ctx, table, index, &v)) {
      MRVFAQ_Clear(ctx, &v);
      plat::file_close(h);
      return 0;
    }
    ++stored;
  }
  plat::file_close(h);
  return stored;
}

MRV_API int32_t MRVFILE_WriteFAQ(SystemContext* ctx, const char* path, VarTable* table,
                                 int32_t first, int32_t position, int32_t count) {
  const uint32_t owner = ctx->hwndMain;
  if (count < 0) count = 0;
  std::vector<uint8_t> out;
  if (!encode_values(ctx, path, table, first, count, out)) return 0;

  uint32_t h = 0;
  const bool existed = on_disk(path);
  int64_t start = 12;             // where the new records go
  std::vector<uint8_t> replaced;  // the bytes of the file from `start` on
  if (!existed) {
    h = MRVFILE_WriteOpen(owner, path);
    if (h == 0) return 0;
    if (plat::file_seek(h, 12, 0) != 12) return fail_walk(owner, h, Walk::Short, path, 0, {});
  } else {
    h = MRVFILE_OpenRIFF(owner, path, kForm);
    if (h == 0) return 0;
    const int64_t size = plat::file_size(h);
    Record r{};
    int32_t block = 0;
    // Where the new records go: the record at `position`, or the "END ".
    for (;; ++block) {
      if (position >= 0 && block == position) break;
      Walk w = next_record(owner, h, size, &r);
      if (w == Walk::End && position < 0) {
        plat::file_seek(h, r.offset, 0);
        break;
      }
      if (w != Walk::Ok || !skip_data(h, r)) return fail_walk(owner, h, w, path, block, r);
    }
    start = plat::file_seek(h, 0, 1);
    // The records replaced are the next `count` ones; everything after them
    // up to the "END " is kept and written back behind the new records.
    int64_t tail_start = start;
    for (int32_t passed = 0;; ++block) {
      Walk w = next_record(owner, h, size, &r);
      // The "END " record is read back whole below: its size must be in the file too.
      if (w == Walk::End && r.offset + 8 + int64_t(r.size) > size) w = Walk::Broken;
      if (w == Walk::End) break;
      if (w != Walk::Ok || !skip_data(h, r)) return fail_walk(owner, h, w, path, block, r);
      if (passed < count) {
        ++passed;
        tail_start = r.offset + 8 + r.size;
      }
    }
    // Everything from `start` through the "END " is read once: the kept tail
    // comes from it, and it is put back if the disk refuses the new bytes.
    replaced.resize(std::size_t(r.offset + 8 + r.size - start));
    if (!replaced.empty()) {
      Walk w = plat::file_seek(h, start, 0) == start
                   ? read_data(owner, h, replaced.data(), uint32_t(replaced.size()))
                   : Walk::Short;
      if (w != Walk::Ok) return fail_walk(owner, h, w, path, block, r);
    }
    out.insert(out.end(), replaced.begin() + (tail_start - start),
               replaced.begin() + (r.offset - start));
    if (plat::file_seek(h, start, 0) != start) return fail_walk(owner, h, Walk::Short, path, 0, r);
  }
  append_header(out, "END ", 0);
  if (out.size() > 0xFFFFFFFF - 12) {
    report_bad_value(ctx, path, first);
    plat::file_close(h);
    return 0;
  }
  if (!MRVFILE_Write(owner, h, out.data(), uint32_t(out.size()))) {
    // The write was refused and the file closed: leave the file as it was.
    put_back(path, existed, start, replaced);
    return 0;
  }
  if (!MRVFILE_MakeRIFF(owner, h, kForm)) return 0;
  plat::file_close(h);
  return count;
}

}  // extern "C"
