// Fuzz target: an input is a definition file; `@` in it stands for the
// scratch directory (relative to the current one when that is shorter), which holds the input
// itself as IN.DEF and the include files I.TXT ("F(1);") and D.TXT ("DD"). When what it defined
// cannot nest (no replacement text holds a name), a source naming every new macro and include is
// compiled. The tables are put back after each input.
//
// Nesting definitions are left out of the compile: one that runs away takes
// seconds under the instrumentation before it ends at the text limit, and
// would crowd out everything else. The compiler's tests cover that end.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "internal.h"
#include "mrvcomp.h"
#include "mrvtask.h"

namespace {

mrvcomp::MacroTable g_savedMacros;
mrvcomp::IncludeTable g_savedIncludes;

// A table entry: its name, the text that replaces it (upper-cased ASCII),
// and whether this input added it.
struct Entry {
  std::string name, text;
  bool added;
};

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

// The first MiB of a file.
std::string file_text(const char* path) {
  std::ifstream f(path, std::ios::binary);
  std::string s(1 << 20, '\0');
  f.read(s.data(), std::streamsize(s.size()));
  s.resize(std::size_t(f.gcount()));
  return s;
}

template <typename Table>
bool known(const Table& before, const char* name) {
  for (int32_t j = 0; j < before.count; ++j)
    if (std::strcmp(before.entries[j].name, name) == 0) return true;
  return false;
}

std::vector<Entry> entries() {
  std::vector<Entry> out;
  for (int32_t i = 0; i < mrvcomp::g_macros.count; ++i) {
    const auto& e = mrvcomp::g_macros.entries[i];
    out.push_back({e.name, upper(e.text), !known(g_savedMacros, e.name)});
  }
  for (int32_t i = 0; i < mrvcomp::g_includes.count; ++i) {
    const auto& e = mrvcomp::g_includes.entries[i];
    out.push_back({e.name, upper(file_text(e.file)), !known(g_savedIncludes, e.name)});
  }
  return out;
}

// True when a text that this input brought in, or any text, names an entry
// that this input brought in.
bool could_nest(const std::vector<Entry>& all) {
  for (const Entry& n : all)
    for (const Entry& t : all)
      if ((n.added || t.added) && t.text.find(n.name) != std::string::npos) return true;
  return false;
}

void compile(const std::string& text) {
  CompileRequest req{};
  std::strcpy(req.name, "FUZZ");
  req.sourceSize = uint32_t(text.size() + 2);
  req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
  std::memcpy(req.source, text.data(), text.size());
  req.source[text.size()] = 0x1A;
  MRVCOMP_Comp(&req);
  MRVTASK_FreeMemory(0, req.output);
  if (req.source != req.output) MRVTASK_FreeMemory(0, req.source);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  mrvfuzz::write(mrvfuzz::file("I.TXT"), "F(1);");
  mrvfuzz::write(mrvfuzz::file("D.TXT"), "DD");
  g_savedMacros = mrvcomp::g_macros;
  g_savedIncludes = mrvcomp::g_includes;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  {
    static const std::string scratch = mrvfuzz::short_scratch();
    mrvfuzz::LeakCheck check;
    std::string text;
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '@')
        text += scratch;
      else
        text += char(data[i]);
    }
    const std::string path = mrvfuzz::file("IN.DEF");
    mrvfuzz::write(path, text);
    const int32_t ok = MRVCOMP_DefineFile(0, path.c_str());
    mrvfuzz::expect(ok == 0 || ok == 1, "MRVCOMP_DefineFile gave neither 0 nor 1");
    const std::vector<Entry> all = entries();
    std::string source;
    for (const Entry& e : all)
      if (e.added) source += e.name + "\n";
    if (!source.empty() && !could_nest(all)) compile(source);
  }
  mrvcomp::g_macros = g_savedMacros;
  mrvcomp::g_includes = g_savedIncludes;
  ++mrvcomp::g_tableVersion;
  return 0;
}
