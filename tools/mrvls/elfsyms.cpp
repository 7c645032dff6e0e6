#include "elfsyms.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace mrvls {

namespace {

// A whole file, at most `limit` bytes (a larger one is not read).
bool read_all(const std::string& path, std::size_t limit, std::string* out) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return false;
  const std::streamoff size = f.tellg();
  if (size < 0 || static_cast<unsigned long long>(size) > limit) return false;
  out->resize(static_cast<std::size_t>(size));
  f.seekg(0);
  return static_cast<bool>(f.read(out->data(), size));
}

template <class T>
bool at(const std::string& file, uint64_t offset, T* out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(out, file.data() + offset, sizeof(T));
  return true;
}

}  // namespace

std::vector<std::string> exported_functions(const std::string& path) {
  std::vector<std::string> names;
  std::string file;
  if (!read_all(path, 256u << 20, &file)) return names;
  Elf64_Ehdr eh;
  if (!at(file, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
      eh.e_shentsize != sizeof(Elf64_Shdr)) {
    return names;
  }
  for (uint16_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh;
    if (!at(file, eh.e_shoff + uint64_t{i} * sizeof(Elf64_Shdr), &sh)) return names;
    if (sh.sh_type != SHT_DYNSYM || sh.sh_entsize != sizeof(Elf64_Sym)) continue;
    Elf64_Shdr str;
    if (sh.sh_link >= eh.e_shnum ||
        !at(file, eh.e_shoff + uint64_t{sh.sh_link} * sizeof(Elf64_Shdr), &str)) {
      return names;
    }
    if (str.sh_offset > file.size() || str.sh_size > file.size() - str.sh_offset) return names;
    const uint64_t count = sh.sh_size / sizeof(Elf64_Sym);
    for (uint64_t k = 1; k < count; ++k) {
      Elf64_Sym sym;
      if (!at(file, sh.sh_offset + k * sizeof(Elf64_Sym), &sym)) break;
      if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_shndx == SHN_UNDEF) continue;
      const unsigned bind = ELF64_ST_BIND(sym.st_info);
      if (bind != STB_GLOBAL && bind != STB_WEAK) continue;
      if (sym.st_name >= str.sh_size) continue;
      const char* s = file.data() + str.sh_offset + sym.st_name;
      const std::size_t maxLen = str.sh_size - sym.st_name;
      const std::size_t len = strnlen(s, maxLen);
      if (len == maxLen) continue;  // not ended inside the table
      names.emplace_back(s, len);
    }
    break;
  }
  return names;
}

}  // namespace mrvls
