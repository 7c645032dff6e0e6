// Profile (.ini) files with the Windows semantics: sections and keys without
// regard to case, a missing key gives the default, a write keeps the rest of
// the file, a file name without a directory lives in the Windows directory.
// The Windows directory is $MRV_WINDIR, else $XDG_CONFIG_HOME/mrv33, else
// ~/.config/mrv33; the system profile is WIN.INI there.
#pragma once
#include <cstdint>
#include <string>

#include "platform/export.h"

namespace plat {

// Copies the value (or the default) into `buf` (cut to `size` - 1 bytes,
// NUL-terminated); returns the number of bytes copied.
PLAT_API uint32_t profile_get_string(const char* file, const char* section, const char* key,
                                     const char* def, char* buf, uint32_t size);
// Writes a value; a null `value` deletes the key, a null `key` the section.
PLAT_API bool profile_write_string(const char* file, const char* section, const char* key,
                                   const char* value);
// The value read as a decimal integer (leading digits), or the default.
PLAT_API int32_t profile_get_int(const char* file, const char* section, const char* key,
                                 int32_t def);
// The Windows directory, without a trailing separator. Only resolved: it is
// created (private_dir) where a file is written into it.
PLAT_API std::string windows_dir();
// Makes sure `dir` is a directory of the user's own: created with mode 0700
// when missing (its missing parents too), and refused when it is not a
// directory, belongs to another user, or others may write to it. False with
// the reason in `why` ("<dir> belongs to another user", ...) when refused.
// With `create` false a missing directory is refused as well (a client that
// must not talk to a socket another user may have put in its place).
PLAT_API bool private_dir(const std::string& dir, bool create, std::string* why);
// Full path of the system profile (WIN.INI in the Windows directory).
PLAT_API std::string system_profile();

}  // namespace plat
