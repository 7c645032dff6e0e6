// Shared libraries loaded by path, with 32-bit module handles.
#pragma once
#include <cstdint>
#include <string>

#include "platform/export.h"

namespace plat {

// Loads a library (path resolved like every file path); 0 on failure.
PLAT_API uint32_t lib_load(const char* path);
// An exported symbol, or nullptr.
PLAT_API void* lib_symbol(uint32_t h, const char* name);
PLAT_API bool lib_free(uint32_t h);
// File name of a loaded module; for `h` 0 the running program's.
PLAT_API std::string module_file_name(uint32_t h);
// Handle that stands for the running program (the instance handle).
PLAT_API uint32_t program_instance();

}  // namespace plat
