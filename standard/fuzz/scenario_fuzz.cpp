// Fuzz target: an input is a scenario source, run in a task of a fresh
// context with the standard library, as a title runs it. Waits are skipped
// (DebugWait(0) runs first), every box takes its safe default, and an input
// still running after half a second is told to end. Whatever it does, the
// input must end without a crash and leave no memory block, no file
// descriptor and no file behind it.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz_target.h"
#include "mrvexec.h"
#include "mrvshare.h"
#include "mrvval.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kBudgetMs = 500;  // running time of one input before its tasks are ended
constexpr uint32_t kGraceMs = 5000;  // time the ended tasks get to stop

std::string program_dir() {
  return mrvfuzz::file("prog");
}

// standard.so of the build: beside the fuzzer or in the build's bin.
std::string library() {
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  mrvfuzz::expect(n > 0, "cannot read /proc/self/exe");
  const std::filesystem::path here = std::filesystem::path(self).parent_path();
  for (const auto& p : {here / "standard.so", here.parent_path() / "bin" / "standard.so"}) {
    if (std::filesystem::exists(p)) return p.string();
  }
  mrvfuzz::expect(false, "standard.so not found beside the fuzzer or in ../bin");
  return {};
}

bool any_live(const SystemContext* ctx) {
  for (int32_t t = 0; t < MRV_TASKS; ++t) {
    if (mrv::task_live(ctx, t)) return true;
  }
  return false;
}

// Runs scenario `name` in task 0 until no task is live; after `budget_ms`
// every task is told to end. False if they were still live after the grace.
bool run(SystemContext* ctx, const char* name, uint32_t budget_ms) {
  if (!MRVVAL_CreateLocal(ctx, 0, nullptr)) return true;
  if (MRVEXEC_ExecuteTask(ctx, 0, name) < 0) {
    MRVVAL_DeleteLocal(ctx, 0);
    return true;
  }
  const uint32_t start = plat::ticks_ms();
  while (any_live(ctx)) {
    plat::sleep_ms(1);
    if (plat::ticks_ms() - start < budget_ms) continue;
    MRVEXEC_Closing(ctx);
    for (int32_t t = 0; t < MRV_TASKS; ++t) {
      if (mrv::task_live(ctx, t)) mrv::set_flags(ctx->taskFlags[t], TASK_END);
    }
    MRVEXEC_Wake(ctx);
    const uint32_t ended = plat::ticks_ms();
    while (any_live(ctx)) {
      if (plat::ticks_ms() - ended > kGraceMs) return false;
      plat::sleep_ms(1);
    }
  }
  return true;
}

// Removes what an input wrote: every file of the program directory except the
// library, and the Windows and runtime directories' contents.
void clear_files() {
  for (const char* dir : {"prog", "win", "run"}) {
    for (const auto& e : std::filesystem::directory_iterator(mrvfuzz::file(dir))) {
      if (e.path().filename() == "standard.so" || e.path().filename() == "INIT.SNA") continue;
      std::filesystem::remove_all(e.path());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mrvfuzz::prepare();
  setenv("MRV_COUNTRY", "81", 1);
  std::filesystem::create_directories(program_dir());
  const std::string lib = library();
  std::filesystem::create_symlink(lib, program_dir() + "/standard.so");
  // Loaded once for the whole run: the library's code stays mapped between
  // inputs, as libFuzzer's coverage counters need.
  mrvfuzz::expect(dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr, "cannot load standard.so");
  mrvfuzz::write(program_dir() + "/INIT.SNA", "DebugWait(0);");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  // Files an input names without a directory land in the program directory
  // while it runs; libFuzzer's own paths are relative to where it started.
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(program_dir());
  {
    mrvfuzz::LeakCheck check;
    mrvfuzz::write(program_dir() + "/FUZZ.SNA", data, size);
    SystemContext* ctx = MRVVAL_Create(0);
    mrvfuzz::expect(ctx != nullptr, "MRVVAL_Create failed");
    std::strncpy(ctx->programDir, program_dir().c_str(), sizeof ctx->programDir - 1);
    FAQ tag{};
    MRVFAQ_Number(ctx, &tag, 1, 1171, 0);
    MRVVAL_Set(ctx, &ctx->systemVars, MRV_SV_TRACE_TAG, &tag);
    mrvfuzz::expect(run(ctx, "INIT", kGraceMs), "DebugWait(0) did not end");
    mrvfuzz::expect(run(ctx, "FUZZ", kBudgetMs), "the tasks did not end when told to");
    MRVVAL_Delete(ctx);
  }
  clear_files();
  std::filesystem::current_path(home);
  return 0;
}
