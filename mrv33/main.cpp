// The host program: makes sure one copy runs, creates the system context,
// reads the definition file, starts task 0 on the scenario named on the
// command line and drives the system from its loop, performing the host
// requests of the tasks, until no task is left.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host.h"
#include "mrvcomp.h"
#include "mrvexec.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/dynlib.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/window.h"
#include "sindra.h"

extern "C" __attribute__((visibility("default"))) intptr_t WndProcTag(uint32_t hwnd, uint32_t msg,
                                                                      uintptr_t wparam,
                                                                      intptr_t lparam);

namespace host {

SystemContext* g_ctx = nullptr;

namespace {

// The record of the request block at `data`: null unless it starts a memory
// block of at least `size` bytes.
const void* request_record(uint32_t data, uint32_t size, uint32_t* block_size) {
  void* block = MRV_PTR(data);
  *block_size = data == 0 ? 0 : MRVTASK_SizeMemory(0, block);
  return *block_size >= size ? block : nullptr;
}

// Whether the text at `at` ends with a 0 inside the request block or inside
// a memory block of its own that it starts. 0 stands for no text.
bool text_in_blocks(uint32_t at, uint32_t block, uint32_t block_size) {
  if (at == 0) return true;
  const char* p = static_cast<const char*>(MRV_PTR(at));
  std::size_t room = 0;
  if (at >= block && at - block < block_size)
    room = block_size - (at - block);
  else
    room = MRVTASK_SizeMemory(0, const_cast<char*>(p));
  return room != 0 && std::memchr(p, 0, room) != nullptr;
}

// Carries out request `code`; false when it cannot be (no such request, or
// its block does not hold its record).
bool perform_request(SystemContext* ctx, uint32_t code, uint32_t data) {
  const int32_t needed = MRV_REQUEST_RECORD_SIZE(code);
  if (needed < 0) return false;
  uint32_t size = 0;
  const void* record = needed == 0 ? nullptr : request_record(data, uint32_t(needed), &size);
  if (needed > 0 && record == nullptr) return false;
  switch (code) {
    case MRV_REQUEST_CREATE_WINDOW: {
      const auto* w = static_cast<const MRVCREATEWINDOW*>(record);
      if (!text_in_blocks(w->className, data, size) || !text_in_blocks(w->windowName, data, size))
        return false;
      const plat::Rect r{w->x, w->y, w->x + w->width, w->y + w->height};
      mrv::store_data(
          ctx->hostRequestData,
          plat::create_window(static_cast<const char*>(MRV_PTR(w->className)),
                              static_cast<const char*>(MRV_PTR(w->windowName)), w->parent, r));
      return true;
    }
    case MRV_REQUEST_DESTROY_WINDOW:
      plat::destroy_window(data);
      return true;
    case MRV_REQUEST_SOUND:
      sindra_ordinal_2(data);
      return true;
    case MRV_REQUEST_PLAY: {
      auto* block = static_cast<MRVPLAYSOUND*>(const_cast<void*>(record));
      if (std::memchr(block->name, 0, sizeof block->name) == nullptr) return false;
      sindra_ordinal_6(block->sound, &block->volume, block->name, block->times);
      return true;
    }
    case MRV_REQUEST_STOP_SOUND:
      sindra_ordinal_7();
      return true;
  }
  return false;
}

}  // namespace

// Every request is completed: one that cannot be carried out gets the failure
// result, so that the task waiting for it goes on.
void serve_host_request(SystemContext* ctx) {
  const uint32_t code = mrv::load_gate(ctx->hostRequest);
  if (code == MRV_REQUEST_NONE) return;
  if (!perform_request(ctx, code, mrv::load_data(ctx->hostRequestData)))
    mrv::store_data(ctx->hostRequestData,
                    code == MRV_REQUEST_CREATE_WINDOW ? 0 : MRV_REQUEST_FAILED);
  mrv::store_gate(ctx->hostRequest, MRV_REQUEST_NONE);
}

void serve_outside_requests(SystemContext* ctx) {
  for (const Listener::Request& r : g_listener.take()) {
    if (!r.activate && r.code == MRV_DEBUG_CLOSE) {
      plat::post_message(ctx->hwndMain, plat::WM_CLOSE, 0, 0);  // as the close button does
      continue;
    }
    if (!r.activate && r.code > 8) {
      MRVEXEC_Debug(ctx, r.code, r.value, r.text.c_str());
      continue;
    }
    if (!r.activate) {
      // A request that comes before the main window exists has nowhere to go.
      plat::post_message(mrv::load_gate(ctx->hwndMain), 0x4402, static_cast<uint32_t>(r.code),
                         r.value);
      continue;
    }
    const uint32_t main = plat::find_window("Marovine33");
    if (main == 0) continue;
    if (plat::is_minimised(main))
      plat::restore_window(main);
    else
      plat::bring_to_top(main);
  }
}

void pump(SystemContext* ctx, uint32_t ms) {
  plat::wait_message(ms);
  plat::Message m;
  while (plat::peek_message(&m)) plat::dispatch_message(m);
  serve_host_request(ctx);
  serve_outside_requests(ctx);
}

namespace {

// The scenario name: the command line without its leading spaces, or "mrv".
std::string scenario_name(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  const std::size_t start = line.find_first_not_of(' ');
  return start == std::string::npos ? "mrv" : line.substr(start);
}

void set_string(SystemContext* ctx, int32_t n, const std::string& text) {
  MRVSTR_SetByte(ctx, &sysvar(ctx, n), text.c_str());
}

void set_type(SystemContext* ctx, int32_t n, uint16_t type) {
  sysvar(ctx, n).type = type;
}

void set_start_values(SystemContext* ctx) {
  MRVFAQ_Number(ctx, &sysvar(ctx, MRV_SV_TRACE_TAG), 1, 1171, 0);  // the tag of every tracer record
  for (int32_t n : {1, int32_t(MRV_SV_KEY), int32_t(MRV_SV_KEY_DATA), int32_t(MRV_SV_WHERE)})
    set_type(ctx, n, TYPE_NUMBER);
  std::string windir = plat::windows_dir();
  windir.resize(plat::cut_length(windir.c_str(), 127));  // a buffer of 128 bytes
  set_string(ctx, MRV_SV_WINDOWS_DIR, windir);
  set_string(ctx, MRV_SV_PROGRAM_DIR, ctx->programDir);
  set_type(ctx, 17, TYPE_HANDLE);
  set_string(ctx, 18, "");
  set_type(ctx, 19, TYPE_RECT);
}

void register_classes() {
  plat::register_class("Marovine33", main_window_proc, /*shown=*/true);
  plat::register_class("Marovine33Sub", main_window_proc, /*shown=*/true);
  plat::register_class("MrvTag", WndProcTag);
}

// MRV_TRACE=1 starts with the statement trace, 2 also with argument values,
// as if the tracer had asked for them (watched task 0).
uint32_t trace_switches() {
  const char* t = std::getenv("MRV_TRACE");
  if (t == nullptr) return 0;
  if (std::strcmp(t, "1") == 0) return EXEC_TRACE;
  if (std::strcmp(t, "2") == 0) return EXEC_TRACE | EXEC_TRACE_ARGS;
  return 0;
}

// Reads "mrv.def" of the program directory when there is one; false when it
// failed to load (its errors have been shown).
bool read_definitions(SystemContext* ctx) {
  const std::string path = std::string(ctx->programDir) + "\\mrv.def";
  if (!MRVFILE_Exist(ctx->hwndMain, path.c_str())) return true;
  return MRVCOMP_DefineFile(ctx->hwndMain, path.c_str()) != 0;
}

void shut_down(SystemContext* ctx) {
  if (const uint32_t main = mrv::load_gate(ctx->hwndMain); plat::is_window(main)) {
    plat::destroy_window(main);
    while (plat::is_window(main)) MRVEXEC_SystemTask(ctx);
  }
  g_listener.stop();
  MRVVAL_Delete(ctx);
  g_ctx = nullptr;
  // Nothing confines the cursor in this window system: nothing to release.
}

}  // namespace
}  // namespace host

using namespace host;

// Under ThreadSanitizer: Mesa's software renderer (under SDL on a display
// without a GPU) races among its own threads; that is not ours to mend.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
  return "race:swrast_dri.so\n";
}
#endif

int main(int argc, char** argv) {
  // The backend is chosen here, so that the display is opened by the main
  // thread, which owns the windows.
  plat::backend_name();
  const std::string runtime = plat::runtime_dir();
  // The lock and the sockets, and the title's files, live only in
  // directories of the user's own.
  std::string why;
  if (!plat::private_dir(runtime, true, &why)) {
    std::fprintf(stderr, "mrv33: the runtime directory %s; it is not used\n", why.c_str());
    return 1;
  }
  if (!plat::private_dir(plat::windows_dir(), true, &why)) {
    std::fprintf(stderr, "mrv33: the Windows directory %s; it is not used\n", why.c_str());
    return 1;
  }
  if (!plat::single_instance_acquire("mrv33")) {
    // The first copy is asked to come to the front; this one ends with -1,
    // saying why, since a start that ends at once without a word looks broken.
    std::fprintf(stderr, "mrv33: another copy is running (its lock is in %s)\n", runtime.c_str());
    ask_first_instance(runtime);
    return -1;
  }
  SystemContext* ctx = MRVVAL_Create(plat::program_instance());
  if (ctx == nullptr) return 0;
  g_ctx = ctx;
  register_classes();
  set_start_values(ctx);
  ctx->execFlags = trace_switches();
  // MRV_STOP_ON_ENTRY=1: the first task stops before its first statement, so
  // that a debugger can set its breakpoints first.
  if (const char* entry = std::getenv("MRV_STOP_ON_ENTRY"); entry && std::strcmp(entry, "1") == 0)
    MRVEXEC_Debug(ctx, MRV_DEBUG_STOP, 0, "entry");
  g_listener.start(runtime);
  if (read_definitions(ctx) && MRVVAL_CreateLocal(ctx, 0, nullptr) &&
      MRVEXEC_ExecuteTask(ctx, 0, scenario_name(argc, argv).c_str()) != -1) {
    while (MRVEXEC_SystemTask(ctx)) {
      serve_host_request(ctx);
      serve_outside_requests(ctx);
    }
  }
  shut_down(ctx);
  return 0;
}
