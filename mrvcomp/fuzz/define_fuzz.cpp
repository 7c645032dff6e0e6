// Fuzz target: an input is a definition file; `@` in it stands for the
// scratch directory, which holds the input itself as IN.DEF and the include
// files I.TXT ("F(1);") and D.TXT ("DD"). After a definition file is taken,
// a source naming every new macro and include is compiled, so that runaway
// replacements show as hangs. The tables are put back after each input.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "internal.h"
#include "mrvcomp.h"
#include "mrvtask.h"

namespace {

mrvcomp::MacroTable g_savedMacros;
mrvcomp::IncludeTable g_savedIncludes;

template <typename Table>
void new_names(const Table& now, const Table& before, std::string& out) {
  for (int32_t i = 0; i < now.count; ++i) {
    bool known = false;
    for (int32_t j = 0; j < before.count && !known; ++j)
      known = std::strcmp(now.entries[i].name, before.entries[j].name) == 0;
    if (!known) out += std::string(now.entries[i].name) + "\n";
  }
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
    mrvfuzz::LeakCheck check;
    std::string text;
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '@')
        text += mrvfuzz::scratch();
      else
        text += char(data[i]);
    }
    const std::string path = mrvfuzz::file("IN.DEF");
    mrvfuzz::write(path, text);
    const int32_t ok = MRVCOMP_DefineFile(0, path.c_str());
    mrvfuzz::expect(ok == 0 || ok == 1, "MRVCOMP_DefineFile gave neither 0 nor 1");
    std::string source;
    new_names(mrvcomp::g_macros, g_savedMacros, source);
    new_names(mrvcomp::g_includes, g_savedIncludes, source);
    if (!source.empty()) compile(source);
  }
  mrvcomp::g_macros = g_savedMacros;
  mrvcomp::g_includes = g_savedIncludes;
  ++mrvcomp::g_tableVersion;
  return 0;
}
