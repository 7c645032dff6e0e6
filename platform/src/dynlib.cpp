// Shared libraries behind 32-bit module handles. Loading the same library
// twice gives the same handle, counted like the Windows loader does.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <memory>
#include <mutex>
#include <string>

#include "handles.h"
#include "internal.h"
#include "platform/file.h"

namespace plat {
namespace {

struct Module {
  void* dl = nullptr;
  std::string path;
  int refs = 1;
  ~Module() {
    if (dl != nullptr) dlclose(dl);
  }
};

struct Modules {
  std::mutex mu;  // orders loads and frees against each other
  HandleTable<Module> table{0x10000000};
};

Modules& modules() {
  static auto* m = new Modules;
  return *m;
}

// The instance handle of the program; the classic image base, never a module.
constexpr uint32_t kProgramInstance = 0x00400000;

}  // namespace

uint32_t lib_load(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  std::string p = resolve_path(path);
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mu);
  void* dl = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) return 0;
  uint32_t h = m.table.find_if([&](uint32_t, const Module& mod) { return mod.dl == dl; });
  if (h != 0) {
    dlclose(dl);  // the table holds its own reference
    ++m.table.get(h)->refs;
    return h;
  }
  auto mod = std::make_shared<Module>();
  mod->dl = dl;
  mod->path = p;
  return m.table.add(mod);
}

void* lib_symbol(uint32_t h, const char* name) {
  if (name == nullptr) return nullptr;
  auto mod = modules().table.get(h);
  if (!mod) return nullptr;
  return dlsym(mod->dl, name);
}

bool lib_free(uint32_t h) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mu);
  auto mod = m.table.get(h);
  if (!mod) return false;
  if (--mod->refs == 0) m.table.remove(h);
  return true;
}

std::string module_file_name(uint32_t h) {
  if (h == 0 || h == kProgramInstance) return program_path();
  auto mod = modules().table.get(h);
  return mod ? mod->path : std::string();
}

uint32_t program_instance() {
  return kProgramInstance;
}

}  // namespace plat
