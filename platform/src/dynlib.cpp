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
  std::mutex mu;  // guards the table and the counts, never held around dlopen/dlclose
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
  // dlopen runs the library's start-up code, which may load libraries itself:
  // it happens outside the lock.
  void* dl = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) return 0;
  Modules& m = modules();
  uint32_t h;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    h = m.table.find_if([&](uint32_t, const Module& mod) { return mod.dl == dl; });
    if (h == 0) {
      auto mod = std::make_shared<Module>();
      mod->dl = dl;
      mod->path = p;
      return m.table.add(mod);
    }
    ++m.table.get(h)->refs;
  }
  dlclose(dl);  // the table holds its own reference
  return h;
}

void* lib_symbol(uint32_t h, const char* name) {
  if (name == nullptr) return nullptr;
  auto mod = modules().table.get(h);
  if (!mod) return nullptr;
  return dlsym(mod->dl, name);
}

bool lib_free(uint32_t h) {
  Modules& m = modules();
  // The last reference, and with it dlclose and the library's clean-up code,
  // goes after the lock is released.
  std::shared_ptr<Module> mod;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    mod = m.table.get(h);
    if (!mod) return false;
    if (--mod->refs == 0) m.table.remove(h);
  }
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
