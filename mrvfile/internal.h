// Shared helpers of the file manager's parts (file access, RIFF files, value
// files). Nothing here is exported.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/bytes.h"

namespace mrvfile {

// Caption of every box of this library, in code page 932.
const char* title();

// The "0x%04X:description" text of an MS-DOS error code.
std::string os_error_text(int32_t code);

// Reads up to `count` bytes like MRVFILE_Read and gives the number read in
// `*got`. false after the user cancelled a read error (the handle is closed).
bool read_some(uint32_t owner, uint32_t handle, void* buffer, uint32_t count, uint32_t* got);

// Upper-cased copy of a path for messages (the system's upper-casing).
std::string upper(const char* path);

// A message about a file: "\"NAME\"\n" followed by the text.
std::string quoted(const std::string& name, const std::string& text);

// Little-endian fields of files, whatever the host's byte order.
using plat::get_le16;
using plat::get_le32;
using plat::put_le32;

// In-memory records (16-bit text, picture descriptors) are stored in the
// file as they lie in memory on the little-endian original; on a big-endian
// host their words are swapped on the way in and out.
template <typename T>
inline void swap_words_if_big(T* words, std::size_t n) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < n; ++i) {
      auto* b = reinterpret_cast<uint8_t*>(&words[i]);
      for (std::size_t j = 0; j < sizeof(T) / 2; ++j) std::swap(b[j], b[sizeof(T) - 1 - j]);
    }
  }
}

}  // namespace mrvfile
