// Files with 32-bit handles. Paths may use '\' or '/' and any case: each
// component is matched without regard to case (an exact match first); a file
// that does not exist yet is created with the case given. Failures report the
// MS-DOS error code (2 file not found, 3 path not found, 4 too many open files,
// 5 access denied, 0x20 sharing violation, 0x50 file exists, ...).
#pragma once
#include <cstdint>
#include <string>

#include "platform/export.h"

namespace plat {

enum class FileMode {
  Read,       // existing file, read only
  ReadWrite,  // existing file, read and write
  Create,     // create or truncate, write only
};

// Opens a file; 0 on failure with the code in `*dos_error` (when given).
PLAT_API uint32_t file_open(const char* path, FileMode mode, int32_t* dos_error);
// Deletes a file; false with the code in `*dos_error` (when given).
PLAT_API bool file_delete(const char* path, int32_t* dos_error);
// Reads or writes up to `count` bytes; the number moved, or -1 on error
// (also for a handle that is not open).
PLAT_API int64_t file_read(uint32_t h, void* buf, uint32_t count);
PLAT_API int64_t file_write(uint32_t h, const void* data, uint32_t count);
// Moves the position (whence: 0 start, 1 current, 2 end); the new position,
// or -1.
PLAT_API int64_t file_seek(uint32_t h, int64_t offset, int whence);
// Size in bytes, or -1.
PLAT_API int64_t file_size(uint32_t h);
// Closes; false for a handle that is not open.
PLAT_API bool file_close(uint32_t h);
// The path on disk that `path` resolves to (for a missing file: the existing
// directories resolved, the rest as given).
PLAT_API std::string resolve_path(const char* path);
// Maps a C library error number onto the MS-DOS error code.
PLAT_API int32_t dos_error_from_errno(int err);

// The directory of the running program, without a trailing separator.
PLAT_API std::string program_dir();

}  // namespace plat
