// The functions a shared library exports, read from its dynamic symbol
// table without loading it (nothing of it runs).
#pragma once
#include <string>
#include <vector>

namespace mrvls {

// Names of the defined functions in the dynamic symbol table of the 64-bit
// ELF file at `path`; empty when the file is no such library or is damaged.
std::vector<std::string> exported_functions(const std::string& path);

}  // namespace mrvls
