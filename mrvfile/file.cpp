// File access: opening with retry dialogs and archive lookup, reads and
// writes, whole files, paths, error texts and the byte locking of stored
// files.
#include "platform/file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace mrvfile {

const char* title() {
  return MRV_CP932("『Marovine33』ファイルマネージャ(MRVFILE.DLL）");
}

namespace {

// Descriptions of the MS-DOS error codes 0x00..0x58; the codes without a
// description show only "0xNNNN:".
constexpr std::array<const char*, 0x59> kErrorDescriptions = {
    "成功",                                          // 0x00
    "無効なファンクションです。",                    // 0x01
    "ファイルが見つかりません。",                    // 0x02
    "パスが見つかりません。",                        // 0x03
    "オープンされているファイルが多すぎます。",      // 0x04
    "アクセスが拒否されました。",                    // 0x05
    "無効なハンドルです。",                          // 0x06
    "アリーナが廃棄されています。",                  // 0x07
    "メモリ不足です。",                              // 0x08
    "無効なブロックです。",                          // 0x09
    "不正な環境です。",                              // 0x0A
    "不正なフォーマットです。",                      // 0x0B
    "無効なアクセスです。",                          // 0x0C
    "無効なデータです。",                            // 0x0D
    "",                                              // 0x0E
    "無効なドライブです。",                          // 0x0F
    "カレント ディレクトリです。",                   // 0x10
    "同じデバイスではありません。",                  // 0x11
    "ファイルはこれ以上ありません。",                // 0x12
    "書き込み禁止エラーです。",                      // 0x13
    "不正なユニットです。",                          // 0x14
    "準備ができていません。",                        // 0x15
    "不正なコマンドです。",                          // 0x16
    "CRCエラーです。",                               // 0x17
    "不正な長さです。",                              // 0x18
    "シーク エラーです。",                           // 0x19
    "MS-DOSのディスクではありません。",              // 0x1A
    "セクタが見つかりません。",                      // 0x1B
    "用紙がありません。",                            // 0x1C
    "書き込みに失敗しました。",                      // 0x1D
    "読み取りに失敗しました。",                      // 0x1E
    "一般的な失敗です。",                            // 0x1F
    "共有違反です。",                                // 0x20
    "ロック違反です。",                              // 0x21
    "ディスクが間違っています。",                    // 0x22
    "ＦＣＢが利用できません。",                      // 0x23
    "共有バッファの限界を超えました。",              // 0x24
    "",                                              // 0x25
    "",                                              // 0x26
    "",                                              // 0x27
    "",                                              // 0x28
    "",                                              // 0x29
    "",                                              // 0x2A
    "",                                              // 0x2B
    "",                                              // 0x2C
    "",                                              // 0x2D
    "",                                              // 0x2E
    "",                                              // 0x2F
    "",                                              // 0x30
    "",                                              // 0x31
    "サポートされていません。",                      // 0x32
    "リモートコンピュータがリストされていません。",  // 0x33
    "名前が重複しています。",                        // 0x34
    "不正なネット パスです。",                       // 0x35
    "ネットワークがビジー状態です。",                // 0x36
    "デバイスが存在しません。",                      // 0x37
    "コマンドが多すぎます。",                        // 0x38
    "アダプタ ハードウェアのエラーです。",           // 0x39
    "ネットワークの応答が不正です。",                // 0x3A
    "予期しないネットワーク エラーです。",           // 0x3B
    "不正な遠隔アダプタです。",                      // 0x3C
    "印刷キューがいっぱいです。",                    // 0x3D
    "スプール用の領域がありません。",                // 0x3E
    "印刷が取り消されました。",                      // 0x3F
    "ネット名が削除されました。",                    // 0x40
    "ネットワークアクセスが拒否されました。",        // 0x41
    "不正なデバイス タイプです。",                   // 0x42
    "不正なネットワーク名です。",                    // 0x43
    "名前が多すぎます。",                            // 0x44
    "セッションが多すぎます。",                      // 0x45
    "共有が一時停止しています。",                    // 0x46
    "要求は受け入れられませんでした。",              // 0x47
    "リダイレクトが一時停止しています。",            // 0x48
    "",                                              // 0x49
    "",                                              // 0x4A
    "",                                              // 0x4B
    "",                                              // 0x4C
    "",                                              // 0x4D
    "",                                              // 0x4E
    "",                                              // 0x4F
    "ファイルが存在します。",                        // 0x50
    "ＦＣＢが重複しています。",                      // 0x51
    "作成できません。",                              // 0x52
    "Int 24のエラーです。",                          // 0x53
    "構造体が足りません。",                          // 0x54
    "すでに割り当てられています。",                  // 0x55
    "無効なパスワードです。",                        // 0x56
    "無効なパラメータです。",                        // 0x57
    "ネット書き込みに失敗しました",                  // 0x58
};

// Codes above the table that this library reports itself (a path too long for
// the name buffer); any other code above the table shows kUnknownError.
struct ExtraError {
  int32_t code;
  const char* text;
};
constexpr ExtraError kExtraErrors[] = {
    {0x00CE, "ファイル名が長すぎます。"},
};
constexpr const char* kUnknownError = "不明なエラーです。";

constexpr int32_t kErrorFileNotFound = 0x0002;
constexpr int32_t kErrorOutOfMemory = 0x0008;
constexpr int32_t kErrorNameTooLong = 0x00CE;

// The normalised name of the last open (or existence test) and the file entry
// of the file last opened for reading. Every open, lookup and message uses the
// upper-case name, so a new file is created under it.
char g_name[MRVFILE_NAME_BUFFER];
uint8_t g_entry[MRVFILE_ENTRY_SIZE];

bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// Offset of the last separator of `s`, or npos. Double-byte characters are
// passed over whole, so a trail byte 0x5C is never taken for a backslash.
std::size_t last_separator(const char* s) {
  std::size_t found = std::string::npos;
  for (std::size_t i = 0; s[i] != '\0'; ++i) {
    if (plat::kCodePage932(static_cast<uint8_t>(s[i])) && s[i + 1] != '\0') {
      ++i;
    } else if (is_separator(s[i])) {
      found = i;
    }
  }
  return found;
}

// Copies `path` into the name buffer and upper-cases it. A path that does
// not fit is refused: the buffer then holds as much of it as fits, for the
// message only.
bool normalise(const char* path) {
  if (path == nullptr) path = "";
  std::size_t len = std::strlen(path);
  const bool fits = len < sizeof g_name;
  if (!fits) len = plat::cut_length(path, sizeof g_name - 1);
  std::memcpy(g_name, path, len);
  g_name[len] = '\0';
  plat::upper_cp932(g_name);
  return fits;
}

void set_entry(const char* name, uint32_t offset, uint32_t size) {
  std::memset(g_entry, 0, sizeof g_entry);
  std::size_t n = plat::cut_length(name, MRVFILE_ENTRY_NAME_SIZE - 1);
  std::memcpy(g_entry + MRVFILE_ENTRY_NAME, name, n);
  put_le32(g_entry + MRVFILE_ENTRY_OFFSET, offset);
  put_le32(g_entry + MRVFILE_ENTRY_LENGTH, size);
}

uint32_t entry_size() {
  return get_le32(g_entry + MRVFILE_ENTRY_LENGTH);
}

uint32_t clamp32(int64_t v) {
  return v < 0 ? 0 : v > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(v);
}

// Reads exactly `count` bytes at `offset` without any dialog.
bool read_at(uint32_t h, int64_t offset, void* buf, uint32_t count) {
  return plat::file_seek(h, offset, 0) == offset && plat::file_read(h, buf, count) == count;
}

enum class Lookup { Found, Missing, Broken };

struct LookupResult {
  Lookup status;
  uint32_t handle;     // Found
  int32_t error;       // Missing: the code to show
  std::string broken;  // Broken: the archive's name
};

// Finds the normalised name in its archive, or on disk when there is no
// archive. Fills the file entry. Everything the archive's header and
// directory claim is checked against the archive's size before it is used.
LookupResult archive_lookup() {
  const std::size_t sep = last_separator(g_name);
  const std::string dir = sep == std::string::npos ? g_name : std::string(g_name, sep);
  const char* base = sep == std::string::npos ? g_name : g_name + sep + 1;
  const std::string archive = dir + ".VFS";

  int32_t error = 0;
  uint32_t h = plat::file_open(archive.c_str(), plat::FileMode::Read, &error);
  if (h == 0) {
    h = plat::file_open(g_name, plat::FileMode::Read, &error);
    if (h == 0) return {Lookup::Missing, 0, error, {}};
    set_entry(base, 0, clamp32(plat::file_size(h)));
    plat::file_seek(h, 0, 0);
    return {Lookup::Found, h, 0, {}};
  }

  const int64_t size = plat::file_size(h);
  uint8_t header[MRVFILE_ARCHIVE_HEADER];
  bool sound = size >= MRVFILE_ARCHIVE_HEADER && read_at(h, 0, header, sizeof header);
  const uint32_t count = sound ? get_le16(header + 4) : 0;
  const uint32_t per_entry = sound ? get_le16(header + 6) : 0;
  const uint32_t dir_size = sound ? get_le32(header + 8) : 0;
  sound = sound && per_entry <= MRVFILE_ENTRY_SIZE &&
          MRVFILE_ARCHIVE_HEADER + int64_t(dir_size) <= size;
  // The last entry needs only the bytes that are copied of it.
  const uint32_t used = count == 0 ? 0 : (count - 1) * MRVFILE_ENTRY_SIZE + per_entry;
  sound = sound && used <= dir_size;
  std::vector<uint8_t> directory(used);
  sound = sound && (used == 0 || read_at(h, MRVFILE_ARCHIVE_HEADER, directory.data(), used));
  if (!sound) {
    plat::file_close(h);
    return {Lookup::Broken, 0, 0, archive};
  }

  for (uint32_t i = 0; i < count; ++i) {
    std::memset(g_entry, 0, sizeof g_entry);
    // A directory that copies no bytes of its entries holds only empty names
    // (and may have no bytes at all).
    if (per_entry > 0)
      std::memcpy(g_entry, directory.data() + std::size_t(i) * MRVFILE_ENTRY_SIZE, per_entry);
    char name[MRVFILE_ENTRY_NAME_SIZE + 1] = {};
    std::memcpy(name, g_entry + MRVFILE_ENTRY_NAME, MRVFILE_ENTRY_NAME_SIZE);
    plat::upper_cp932(name);
    if (std::strcmp(name, base) != 0) continue;
    const uint32_t offset = get_le32(g_entry + MRVFILE_ENTRY_OFFSET);
    if (int64_t(offset) + entry_size() > size || plat::file_seek(h, offset, 0) != offset) {
      plat::file_close(h);
      return {Lookup::Broken, 0, 0, archive};
    }
    return {Lookup::Found, h, 0, {}};
  }
  plat::file_close(h);
  return {Lookup::Missing, 0, kErrorFileNotFound, {}};
}

void report_broken_archive(uint32_t owner, const std::string& archive) {
  std::string text = quoted(archive, MRV_CP932("アーカイブファイルの内容が正しくありません。"));
  MRVTASK_ErrorStop(owner, title(), text.c_str());
}

bool retry_open(uint32_t owner, int32_t error) {
  std::string text = quoted(g_name, os_error_text(error));
  return MRVTASK_ErrorRetry(owner, title(), text.c_str()) == 1;
}

plat::FileMode mode_of(int32_t style) {
  if (style & 0x1000) return plat::FileMode::Create;
  if (style & 3) return plat::FileMode::ReadWrite;
  return plat::FileMode::Read;
}

}  // namespace

std::string os_error_text(int32_t code) {
  // The descriptions in code page 932, converted once: the table's rows,
  // then the extra codes, then the text for any other code.
  static const std::vector<std::string> converted = [] {
    std::vector<std::string> v;
    for (const char* d : kErrorDescriptions) v.push_back(plat::utf8_to_cp932(d));
    for (const ExtraError& e : kExtraErrors) v.push_back(plat::utf8_to_cp932(e.text));
    v.push_back(plat::utf8_to_cp932(kUnknownError));
    return v;
  }();
  std::size_t row = converted.size() - 1;
  if (code >= 0 && code < int32_t(kErrorDescriptions.size())) {
    row = std::size_t(code);
  } else {
    for (std::size_t i = 0; i < std::size(kExtraErrors); ++i)
      if (kExtraErrors[i].code == code) row = kErrorDescriptions.size() + i;
  }
  char head[16];
  std::snprintf(head, sizeof head, "0x%04X:", static_cast<unsigned>(code) & 0xFFFF);
  return head + converted[row];
}

bool read_some(uint32_t owner, uint32_t handle, void* buffer, uint32_t count, uint32_t* got) {
  for (;;) {
    int64_t r = plat::file_read(handle, buffer, count);
    if (r >= 0 && r <= int64_t(count)) {
      *got = uint32_t(r);
      return true;
    }
    if (MRVTASK_ErrorRetry(owner, title(), MRV_CP932("読み込みに失敗しました。")) != 1) {
      plat::file_close(handle);
      *got = 0;
      return false;
    }
  }
}

std::string quoted(const std::string& name, const std::string& text) {
  return "\"" + name + "\"\n" + text;
}

std::string upper(const char* path) {
  std::string s = path ? path : "";
  plat::upper_cp932(s.data());
  return s;
}

}  // namespace mrvfile

using namespace mrvfile;

extern "C" {

MRV_API uint32_t MRVFILE_Open(uint32_t owner, const char* path, int32_t style) {
  const bool fits = normalise(path);
  if (style == MRVFILE_STYLE_DELETE) {
    int32_t error = kErrorNameTooLong;
    if (fits && plat::file_delete(g_name, &error)) return 1;
    std::string text = quoted(g_name, os_error_text(error));
    MRVTASK_ErrorStop(owner, title(), text.c_str());
    return 0;
  }
  for (;;) {
    int32_t error = kErrorNameTooLong;
    if (fits && style == MRVFILE_STYLE_READ) {
      LookupResult r = archive_lookup();
      if (r.status == Lookup::Found) return r.handle;
      if (r.status == Lookup::Broken) {
        // Trying again cannot mend the archive: one report.
        report_broken_archive(owner, r.broken);
        return 0;
      }
      error = r.error;
    } else if (fits) {
      uint32_t h = plat::file_open(g_name, mode_of(style), &error);
      if (h != 0) return h;
    }
    if (!retry_open(owner, error)) return 0;
  }
}

MRV_API uint32_t MRVFILE_ReadOpen(uint32_t owner, const char* path) {
  return MRVFILE_Open(owner, path, MRVFILE_STYLE_READ);
}

MRV_API uint32_t MRVFILE_WriteOpen(uint32_t owner, const char* path) {
  return MRVFILE_Open(owner, path, MRVFILE_STYLE_CREATE);
}

MRV_API int32_t MRVFILE_Close(uint32_t owner, uint32_t handle) {
  return plat::file_close(handle) ? 1 : 0;
}

MRV_API int32_t MRVFILE_Read(uint32_t owner, uint32_t handle, void* buffer, uint32_t count) {
  uint32_t got = 0;
  return read_some(owner, handle, buffer, count, &got) ? 1 : 0;
}

MRV_API int32_t MRVFILE_Write(uint32_t owner, uint32_t handle, const void* data, uint32_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t left = count;
  for (;;) {
    // A disk that takes only part of the data (or none of it) is full: that
    // is a failure too, never a silent loss.
    int64_t r = plat::file_write(handle, p, left);
    if (r > int64_t(left)) r = -1;  // more than asked is no success either
    if (r > 0) {
      p += r;
      left -= uint32_t(r);
      if (left == 0) return 1;
      continue;
    }
    if (r == 0 && left == 0) return 1;
    if (MRVTASK_ErrorRetry(owner, title(), MRV_CP932("書き込みに失敗しました。")) != 1) {
      plat::file_close(handle);
      return 0;
    }
  }
}

MRV_API int32_t MRVFILE_Exist(uint32_t owner, const char* path) {
  if (!normalise(path)) return 0;
  LookupResult r = archive_lookup();
  if (r.status != Lookup::Found) return 0;
  plat::file_close(r.handle);
  return 1;
}

MRV_API uint32_t MRVFILE_Size(uint32_t owner, const char* path) {
  uint32_t h = MRVFILE_ReadOpen(owner, path);
  if (h == 0) return 0;
  uint32_t size = entry_size();
  plat::file_close(h);
  return size;
}

MRV_API int32_t MRVFILE_Delete(uint32_t owner, const char* path) {
  return MRVFILE_Open(owner, path, MRVFILE_STYLE_DELETE) != 0 ? 1 : 0;
}

MRV_API void* MRVFILE_ReadBlock(uint32_t owner, const char* path, int32_t endMark) {
  uint32_t h = MRVFILE_ReadOpen(owner, path);
  if (h == 0) return nullptr;
  const uint32_t size = entry_size();
  const uint32_t extra = endMark ? 2 : 0;
  if (size > 0xFFFFFFFF - extra) {
    std::string text = quoted(g_name, os_error_text(kErrorOutOfMemory));
    MRVTASK_ErrorStop(owner, title(), text.c_str());
    plat::file_close(h);
    return nullptr;
  }
  auto* block = static_cast<uint8_t*>(MRVTASK_AllocMemory(owner, size + extra));
  if (block == nullptr) {
    plat::file_close(h);
    return nullptr;
  }
  uint32_t got = 0;
  if (!read_some(owner, h, block, size, &got)) {
    MRVTASK_FreeMemory(owner, block);
    return nullptr;
  }
  if (endMark) {
    block[size] = 0x1A;
    block[size + 1] = 0;
  }
  plat::file_close(h);
  return block;
}

MRV_API int32_t MRVFILE_WriteBlock(uint32_t owner, const char* path, const void* data,
                                   uint32_t count) {
  uint32_t h = MRVFILE_WriteOpen(owner, path);
  if (h == 0) return 0;
  if (!MRVFILE_Write(owner, h, data, count)) return 0;
  return plat::file_close(h) ? 1 : 0;
}

MRV_API void MRVFILE_Sprit(char* dir, char* name, char* path) {
  plat::upper_cp932(path);
  const std::string whole = path;
  const std::size_t sep = last_separator(whole.c_str());
  const std::string d = sep == std::string::npos ? std::string() : whole.substr(0, sep);
  const std::string n = sep == std::string::npos ? whole : whole.substr(sep + 1);
  std::memcpy(dir, d.c_str(), d.size() + 1);
  std::memcpy(name, n.c_str(), n.size() + 1);
}

MRV_API char* MRVFILE_Merge(char* out, const char* dir, const char* name) {
  std::string s = std::string(dir) + "\\" + name;
  plat::upper_cp932(s.data());
  std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

MRV_API int32_t MRVFILE_MakeCode(void) {
  for (;;) {
    int32_t k = int32_t((plat::ticks_ms() / 100) % 256);
    if (k != 0 && k != 255) return k;
    plat::sleep_ms(10);
  }
}

MRV_API void MRVFILE_LockCode(void* block, uint32_t count, int32_t key) {
  auto* b = static_cast<uint8_t*>(block);
  const auto k = static_cast<uint8_t>(key);
  for (uint32_t i = count; i-- > 1;) {
    b[i] ^= k;
    b[i - 1] ^= b[i];
  }
}

MRV_API void MRVFILE_UnlockCode(void* block, uint32_t count, int32_t key) {
  auto* b = static_cast<uint8_t*>(block);
  const auto k = static_cast<uint8_t>(key);
  for (uint32_t i = 0; i + 1 < count; ++i) {
    b[i] ^= b[i + 1];
    b[i + 1] ^= k;
  }
}

}  // extern "C"
