// Runs scenarios as a title runs them: a scratch program directory holding the
// command libraries a test names, sources written into it, task 0 started
// through the execution manager and the host's loop turned until every task
// has ended. The tracer and viewer channels write to logs in the directory,
// and every message box goes to a dialog log.
//
//   mrvtest::Scenario s;                       // standard.so in the program directory
//   s.source("MRV", "$A = 1; DebugMessage($A);");
//   ASSERT_TRUE(s.run("MRV"));
//   EXPECT_EQ(s.trace(), (Lines{"1171 @N ...", ...}));
#pragma once
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "mrvexec.h"
#include "mrvshare.h"
#include "mrvval.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "tempdir.h"

namespace mrvtest {

using Lines = std::vector<std::string>;

class Scenario {
 public:
  // `libs` are file names of command libraries put into the program
  // directory, found in the build's program directory (MRV_TEST_BIN_DIR),
  // beside the running program, in the build's tests directory or in its bin. `answers` answers the
  // message boxes in order.
  explicit Scenario(std::vector<std::string> libs = {"standard.so"}, const char* answers = nullptr)
      : dialogs_(answers) {
    for (const char* var : {"MRV_TRACE_LOG", "MRV_VIEWER_LOG", "MRV_RUNTIME_DIR", "MRV_WINDIR"}) {
      const char* v = std::getenv(var);
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
    setenv("MRV_TRACE_LOG", dir_.file("trace.log").c_str(), 1);
    setenv("MRV_VIEWER_LOG", dir_.file("viewer.log").c_str(), 1);
    std::filesystem::create_directories(dir_.path() / "run");
    std::filesystem::create_directories(dir_.path() / "win");
    setenv("MRV_RUNTIME_DIR", dir_.file("run").c_str(), 1);
    setenv("MRV_WINDIR", dir_.file("win").c_str(), 1);
    for (const std::string& lib : libs) {
      std::filesystem::create_symlink(library_path(lib), dir_.path() / lib);
    }
    ctx = MRVVAL_Create(0);
    if (ctx != nullptr) {
      std::memset(ctx->programDir, 0, sizeof ctx->programDir);
      std::strncpy(ctx->programDir, dir_.path().c_str(), sizeof ctx->programDir - 1);
      set_number(0, 1171);  // the record tag the host gives #0
    }
  }

  ~Scenario() {
    if (ctx != nullptr) MRVVAL_Delete(ctx);
    const char* vars[] = {"MRV_TRACE_LOG", "MRV_VIEWER_LOG", "MRV_RUNTIME_DIR", "MRV_WINDIR"};
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i])
        setenv(vars[i], saved_[i]->c_str(), 1);
      else
        unsetenv(vars[i]);
    }
  }

  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // Writes NAME (a file name; ".SNA" is added when it has no extension) into
  // the program directory, the UTF-8 text converted to code page 932.
  void source(const std::string& name, const std::string& utf8) const {
    std::string file = name.find('.') == std::string::npos ? name + ".SNA" : name;
    write_file(dir_.path() / file, plat::utf8_to_cp932(utf8));
  }

  // Pushes task 0's first frame, starts it on `name` and turns the host's loop
  // until no task is live. False when tasks were still live after
  // `timeout_ms`: they are then told to end (TASK_END) and given two seconds.
  bool run(const std::string& name, uint32_t timeout_ms = 20000) {
    if (ctx == nullptr || !MRVVAL_CreateLocal(ctx, 0, nullptr)) return false;
    if (MRVEXEC_ExecuteTask(ctx, 0, name.c_str()) < 0) {
      MRVVAL_DeleteLocal(ctx, 0);
      return false;
    }
    return finish(timeout_ms);
  }

  // Turns the host's loop until no task is live (see run).
  bool finish(uint32_t timeout_ms = 20000) {
    const uint32_t start = plat::ticks_ms();
    while (MRVEXEC_SystemTask(ctx)) {
      if (plat::ticks_ms() - start < timeout_ms) continue;
      MRVEXEC_Closing(ctx);
      for (int t = 0; t < MRV_TASKS; ++t) {
        if (mrv::task_live(ctx, t)) mrv::set_flags(ctx->taskFlags[t], TASK_END);
      }
      MRVEXEC_Wake(ctx);
      const uint32_t grace = plat::ticks_ms();
      while (MRVEXEC_SystemTask(ctx) && plat::ticks_ms() - grace < 2000) {
      }
      return false;
    }
    return true;
  }

  // The records of the tracer and the viewer, one UTF-8 line each.
  Lines trace() const { return lines("trace.log"); }
  Lines viewer() const { return lines("viewer.log"); }
  std::vector<Box> boxes() const { return dialogs_.boxes(); }
  // The texts of the boxes shown so far.
  Lines messages() const {
    Lines out;
    for (const Box& b : boxes()) out.push_back(b.text);
    return out;
  }

  // Variables: #n and $n, as values and as their display text (UTF-8).
  FAQ sys(int32_t n) const { return cell(&ctx->systemVars, n); }
  FAQ common(int32_t n) const { return cell(&ctx->commonVars, n); }
  std::string show(FAQ v) const {
    char buf[MRV_MSGBUF];
    MRVVAL_DisplayValue(ctx, &v, buf);
    return plat::cp932_to_utf8(buf);
  }
  std::string show_sys(int32_t n) const { return show(sys(n)); }
  std::string show_common(int32_t n) const { return show(common(n)); }
  void set_number(int32_t n, int32_t value) const {
    FAQ v{};
    MRVFAQ_Number(ctx, &v, 1, value, 0);
    MRVVAL_Set(ctx, &ctx->systemVars, n, &v);
  }

  const std::filesystem::path& dir() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  SystemContext* ctx = nullptr;

 private:
  static std::string library_path(const std::string& lib) {
    if (const char* bin = std::getenv("MRV_TEST_BIN_DIR")) {
      std::filesystem::path p = std::filesystem::path(bin) / lib;
      if (std::filesystem::exists(p)) return p.string();
    }
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::filesystem::path here =
        n > 0 ? std::filesystem::path(std::string(self, std::size_t(n))).parent_path()
              : std::filesystem::current_path();
    if (std::filesystem::exists(here / lib)) return (here / lib).string();
    // From build/tests or build/bench: the test libraries, else the program directory.
    const std::filesystem::path tests = here.parent_path() / "tests" / lib;
    if (std::filesystem::exists(tests)) return tests.string();
    return (here.parent_path() / "bin" / lib).string();
  }

  static FAQ cell(const VarTable* t, int32_t n) { return MRV_CELLS(t)[n + t->base]; }

  Lines lines(const std::string& name) const {
    Lines out;
    std::ifstream f(dir_.path() / name, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) out.push_back(line);
    return out;
  }

  TempDir dir_;
  DialogLog dialogs_;
  std::vector<std::optional<std::string>> saved_;
};

}  // namespace mrvtest
