// From a scenario name to running code: the search for a compiled file or a
// source, loading or compiling it, and running it in the current task.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "internal.h"
#include "mrvfile.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

// Looks for the scenario: every ".SNB" candidate before any ".SNA" one, the
// name as given before the program directory. The path found is left in
// ctx->msgBuf.
bool find_scenario(SystemContext* ctx, const char* name) {
  for (const char* ext : {".SNB", ".SNA"}) {
    for (const char* dir :
         {static_cast<const char*>(nullptr), static_cast<const char*>(ctx->programDir)}) {
      for (const char* suffix : {"", ext}) {
        const int n = std::snprintf(ctx->msgBuf, MRV_PATH, "%s%s%s%s", dir ? dir : "",
                                    dir ? "\\" : "", name, suffix);
        if (n >= MRV_PATH) continue;  // a path that does not fit names no file
        if (MRVFILE_Exist(ctx->hwndMain, ctx->msgBuf)) return true;
      }
    }
  }
  return false;
}

// A compiled file is run in preference to its source even when the source was
// edited after it was compiled; an author who edits the source and sees the
// old behaviour is told why, once per file and process, on standard error.
void note_stale_compiled_file(const char* path) {
  std::string source = path;
  if (source.size() < 4 || source.compare(source.size() - 4, 4, ".SNB") != 0) return;
  source.back() = 'A';
  struct stat compiled {
  }, edited{};
  if (stat(plat::resolve_path(path).c_str(), &compiled) != 0 ||
      stat(plat::resolve_path(source.c_str()).c_str(), &edited) != 0)
    return;
  const auto& b = compiled.st_mtim;
  const auto& a = edited.st_mtim;
  if (a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec)) return;
  static std::mutex mu;
  static std::set<std::string> told;
  std::lock_guard lock(mu);
  if (!told.insert(path).second) return;
  std::fprintf(stderr, "mrv33: %s is older than %s beside it; the older compiled file is run\n",
               path, source.c_str());
}

// Loads the file found (path in ctx->msgBuf): a compiled file as it is, a
// source through the compiler. The code block, or null after a report.
char* load_scenario(SystemContext* ctx, CompileRequest* request, const char* path) {
  const std::size_t len = std::strlen(path);
  if (len > 0 && path[len - 1] == 'B') {
    note_stale_compiled_file(path);
    return static_cast<char*>(MRVCOMP_Unpack(ctx->hwndMain, path));
  }
  request->firstLine = 0;
  request->sourceSize = MRVFILE_Size(ctx->hwndMain, path) + 2;
  request->source = static_cast<char*>(MRVFILE_ReadBlock(ctx->hwndMain, path, 1));
  if (request->source == nullptr) return nullptr;
  const int32_t ok = MRVEXEC_Compile(ctx, request);
  if (request->source != nullptr) MRVTASK_FreeMemory(ctx->hwndMain, request->source);
  request->source = nullptr;
  if (!ok) {
    if (request->output != nullptr) MRVTASK_FreeMemory(ctx->hwndMain, request->output);
    request->output = nullptr;
    return nullptr;
  }
  char* code = request->output;
  request->output = nullptr;
  return code;
}

void send_file_change(SystemContext* ctx, const char* path) {
  char line[MRV_PATH + 4];
  std::snprintf(line, sizeof line, "@N %s", path);
  MRVEXEC_SendTracer(ctx, line);
}

}  // namespace

extern "C" {

int32_t MRVEXEC_File(SystemContext* ctx, const char* name) {
  const int32_t t = ctx->currentTask;
  if (t < 0 || t >= MRV_TASKS) return 0;
  CompileRequest request{};
  request.hwndOwner = ctx->hwndMain;
  std::snprintf(request.name, sizeof request.name, "%s", name);
  request.firstLine = 1;
  int32_t result = 0;
  for (;;) {
    plat::upper_cp932(request.name);
    mrvexec::clear_flags(ctx->taskFlags[t], TASK_RESTART);
    while (!find_scenario(ctx, request.name)) {
      // The file manager tells the user and offers to try again.
      const uint32_t h = MRVFILE_ReadOpen(ctx->hwndMain, request.name);
      if (h == 0) return 0;
      MRVFILE_Close(ctx->hwndMain, h);
    }
    char path[MRV_PATH];
    std::memcpy(path, ctx->msgBuf, sizeof path);  // the search made it shorter than MRV_PATH
    char* code = load_scenario(ctx, &request, path);
    if (code == nullptr) return 0;

    char savedFile[MRV_PATH];
    std::memcpy(savedFile, ctx->taskFile[t], MRV_PATH);
    std::snprintf(ctx->taskFile[t], MRV_PATH, "%s", path);
    send_file_change(ctx, path);
    const uint32_t savedLine = ctx->taskLine[t];
    mrvexec::debug_enter_file(ctx, t, savedFile, savedLine);
    ctx->taskLine[t] = 0;  // lines show as written: the markers count from 0

    // The decoded form lives as long as the code block; without one (or for
    // what it leaves out) the plain evaluator runs the code.
    mrvexec::Program* program =
        mrvexec::decode_program(ctx, code, MRVTASK_SizeMemory(ctx->hwndMain, code));
    if ((program != nullptr ? mrvexec::run_program(ctx, program) : mrvexec::run_plain(ctx, code)) !=
        0) {
      result = 1;
    }
    mrvexec::free_program(program);

    std::memcpy(ctx->taskFile[t], savedFile, MRV_PATH);
    send_file_change(ctx, savedFile);
    ctx->taskLine[t] = savedLine;
    mrvexec::debug_leave_file(ctx, t);
    MRVTASK_FreeMemory(ctx->hwndMain, code);
    mrvexec::clear_flags(ctx->taskFlags[t], TASK_RETURN);
    const uint32_t flags = mrvexec::load_flags(ctx->taskFlags[t]);
    if ((flags & TASK_END) != 0 || (flags & TASK_RESTART) == 0) break;
  }
  return result;
}

int32_t MRVEXEC_Compile(SystemContext* ctx, CompileRequest* request) {
  if (MRVCOMP_Comp(request) != 0) return 1;
  if (MRVCOMP_GetError() > 0) {
    MRVCOMP_MakeErrorMessage(request, ctx->msgBuf);
    MRVTASK_ErrorStop(ctx->hwndMain, MRV_CP932(MRVEXEC_TITLE_UTF8), ctx->msgBuf);
  }
  return 0;
}

}  // extern "C"
