// Byte-exact builders for the files the file manager reads: archives (which
// the system never writes) and RIFF chunk files, little-endian throughout.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace fixture {

inline std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = char(v >> (8 * i));
  return s;
}
inline std::string le16(uint16_t v) {
  return std::string{char(v), char(v >> 8)};
}

// Text of code page 932 from UTF-8, for expected messages.
inline std::string cp932(const char* utf8) {
  return plat::utf8_to_cp932(utf8);
}

struct Member {
  std::string name, data;
};

// An archive: 16-byte header, a directory of 32-byte entries (name in bytes
// 0-18, data offset at 19, size at 23), then the data of every member.
// `per_entry` is the header's count of bytes copied of each entry.
inline std::string archive(const std::vector<Member>& members, uint16_t per_entry = 27) {
  const uint32_t dir_size = uint32_t(members.size()) * 32;
  std::string out =
      "VFS " + le16(uint16_t(members.size())) + le16(per_entry) + le32(dir_size) + le32(0);
  uint32_t offset = 16 + dir_size;
  std::string data;
  for (const Member& m : members) {
    std::string entry(32, '\0');
    entry.replace(0, m.name.size(), m.name);
    entry.replace(19, 4, le32(offset));
    entry.replace(23, 4, le32(uint32_t(m.data.size())));
    out += entry;
    offset += uint32_t(m.data.size());
    data += m.data;
  }
  return out + data;
}

inline std::string chunk(const std::string& id, const std::string& data) {
  return id + le32(uint32_t(data.size())) + data;
}

// A RIFF file of the given form holding `chunks` (already encoded).
inline std::string riff(const std::string& form, const std::string& chunks) {
  return "RIFF" + le32(uint32_t(4 + chunks.size())) + form + chunks;
}

}  // namespace fixture
