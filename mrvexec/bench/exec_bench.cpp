// The execution manager's speed: the hand-over of the turn between tasks, a
// statement in a loop beside Lua 5.4 doing the same, and the start of a task.
// Each scenario times itself with the test library's TIMER command, so the
// host loop's 20 ms turns do not count. Times are the processor time of the
// thread that does the work (the executor's, or Lua's), so that other work on
// a shared machine does not count either.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <lua5.4/lauxlib.h>
#include <lua5.4/lua.h>
#include <lua5.4/lualib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "scenario.h"
#include "tempdir.h"

extern char** environ;

namespace {

using TimerFn = void (*)(double*, int64_t*, int);

double thread_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Runs MAIN and gives the sum and count that its TIMER calls measured.
double run_timed(mrvtest::Scenario& s, int64_t* count) {
  if (!s.run("MAIN")) return -1;
  void* lib = dlopen((s.dir() / "testcmd.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) return -1;
  auto timer = reinterpret_cast<TimerFn>(dlsym(lib, "testcmd_timer"));
  double sum = 0;
  timer(&sum, count, 1);
  dlclose(lib);
  return sum;
}

// Tasks pass the turn n times each: ns per hand-over.
void BM_HandOver(benchmark::State& state) {
  const int tasks = static_cast<int>(state.range(0));
  const int64_t n = 2'000'000 / tasks;
  for (auto _ : state) {
    mrvtest::Scenario s({"testcmd.so"});
    // The clock starts once every task is live (the others have passed the
    // turn a few times by then, too few to count).
    std::string main;
    for (int t = 1; t < tasks; ++t) main += "TESTCMD:START(" + std::to_string(t) + ", \"H\");\n";
    main += "TESTCMD:TIMER(0);\nTESTCMD:HANDOVER(" + std::to_string(n) + ");\nTESTCMD:TIMER(1);\n";
    s.source("MAIN", main);
    s.source("H", "TESTCMD:HANDOVER(" + std::to_string(n) + ");\n");
    int64_t count = 0;
    const double ns = run_timed(s, &count);
    state.SetIterationTime(ns / 1e9);
    state.counters["ns_per_handover"] = ns / double(n * tasks);
  }
}
BENCHMARK(BM_HandOver)
    ->Arg(2)
    ->Arg(20)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

constexpr int64_t kPasses = 2'000'000;

// One task: `$B = $B + $A * 2;` as the body of a loop command.
void BM_LoopStatement(benchmark::State& state) {
  for (auto _ : state) {
    mrvtest::Scenario s({"testcmd.so"});
    s.source("MAIN", "$A = 3;\n$B = 0;\nTESTCMD:TIMER(0);\nTESTCMD:LOOP(" +
                         std::to_string(kPasses) +
                         ") {\n  $B = $B + $A * 2;\n};\nTESTCMD:TIMER(1);\n");
    int64_t count = 0;
    const double ns = run_timed(s, &count);
    state.SetIterationTime(ns / 1e9);
    state.counters["ns_per_pass"] = ns / double(kPasses);
  }
}
BENCHMARK(BM_LoopStatement)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Loops of the standard library's For over bodies that scenarios write most,
// each beside the natural Lua 5.4 form of the same loop (BM_Lua below, same
// argument): ns per pass.
struct Workload {
  const char* name;
  const char* setup;  // statements before the loop
  const char* body;   // the For body
  const char* lua;    // the Lua loop with N for the count
};
const Workload kWorkloads[] = {
    {"statement", "$A = 3;\n$B = 0;\n", "$B = $B + $A * 2;",
     "A = 3 B = 0 for i = 1, N do B = B + A * 2 end"},
    {"if_else", "$B = 0;\n", "IF($I % 3 == 0) { $B = $B + 1; } ELSE { $B = $B - 1; };",
     "B = 0 for i = 1, N do if i % 3 == 0 then B = B + 1 else B = B - 1 end end"},
    {"switch_case", "$B = 0;\n",
     "SWITCH($I % 3) { CASE(0) { $B = $B + 1; }; CASE(1) { $B = $B - 1; }; };",
     "B = 0 for i = 1, N do local s = i % 3 if s == 0 then B = B + 1 elseif s == 1 then "
     "B = B - 1 end end"},
    {"abs", "$B = 0;\n", "$B = ABS($I - 1500000);",
     "B = 0 for i = 1, N do B = math.abs(i - 1500000) end"},
    {"getbit", "$B = 0;\n", "$B = $B + GETBIT($I, 3);",
     "B = 0 for i = 1, N do B = B + ((i >> 3) & 1) end"},
    {"rect", "$R = SETRECT(0, 0, 10, 10);\n$B = 0;\n",
     "SETRECTXPOS(\\$R, $I); $B = GETRECTXPOS($R);",
     "R = {x = 0, y = 0, w = 10, h = 10} B = 0 for i = 1, N do R.x = i B = R.x end"},
};

void BM_For(benchmark::State& state) {
  const Workload& w = kWorkloads[state.range(0)];
  state.SetLabel(w.name);
  for (auto _ : state) {
    mrvtest::Scenario s({"testcmd.so", "standard.so"});
    s.source("MAIN", std::string(w.setup) + "TESTCMD:TIMER(0);\nFOR(\\$I, 1, " +
                         std::to_string(kPasses) + ", 1) { " + w.body + " };\nTESTCMD:TIMER(1);\n");
    int64_t count = 0;
    const double ns = run_timed(s, &count);
    state.SetIterationTime(ns / 1e9);
    state.counters["ns_per_pass"] = count == 1 ? ns / double(kPasses) : -1;
  }
}
BENCHMARK(BM_For)->DenseRange(0, 5)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The decoded form of about 1 MB of compiled code: the time to decode it
// (loading with decoding less loading without) and the memory it takes per
// KB of code (the memory blocks in use while it runs, with less without).
void BM_Decode(benchmark::State& state) {
  std::string big = "TESTCMD:BYTES();\nTESTCMD:IF(0) {\n";
  for (int i = 0; i < 9000; ++i) {
    big += "FOR(\\$I, 1, 10, 1) { IF($I % 3 == 0) { $B = $B + $A * 2; } ELSE { $C = ABS($1[$I] - " +
           std::to_string(i) + "); }; };\n";
  }
  big += "};\n";
  for (auto _ : state) {
    double ns[2] = {};
    std::size_t bytes[2] = {};
    uint32_t length = 0;
    for (int decode = 0; decode < 2; ++decode) {
      mrvtest::Scenario s({"testcmd.so"});
      s.source("SRC", big);
      CompileRequest r{};
      std::snprintf(r.name, sizeof r.name, "SRC");
      const std::string path = s.file("SRC.SNA");
      r.sourceSize = MRVFILE_Size(0, path.c_str()) + 2;
      r.source = static_cast<char*>(MRVFILE_ReadBlock(0, path.c_str(), 1));
      if (MRVCOMP_Comp(&r) != 1) {
        state.SkipWithError("the scenario does not compile");
        return;
      }
      MRVTASK_FreeMemory(0, r.source);
      length = static_cast<uint32_t>(r.outputPos - r.output);
      MRVCOMP_Pack(0, s.file("BIG.SNB").c_str(), r.output, length);
      MRVTASK_FreeMemory(0, r.output);
      s.source("MAIN", "TESTCMD:TIMER(0);\nTESTCMD:RUN(\"BIG\");\nTESTCMD:TIMER(1);\n");
      if (decode == 0) setenv("MRV_DECODE", "0", 1);
      int64_t count = 0;
      ns[decode] = run_timed(s, &count);
      unsetenv("MRV_DECODE");
      void* lib = dlopen((s.dir() / "testcmd.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
      if (lib != nullptr) {
        bytes[decode] = reinterpret_cast<std::size_t (*)()>(dlsym(lib, "testcmd_bytes"))();
        dlclose(lib);
      }
    }
    state.SetIterationTime((ns[1] - ns[0]) / 1e9);
    state.counters["code_kb"] = length / 1024.0;
    state.counters["decode_ms"] = (ns[1] - ns[0]) / 1e6;
    state.counters["bytes_per_code_kb"] = double(bytes[1] - bytes[0]) / (length / 1024.0);
  }
}
BENCHMARK(BM_Decode)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Runs a Lua 5.4 chunk that repeats something kPasses times; `counter` gets
// the time per repetition.
void run_lua(benchmark::State& state, const std::string& code, const char* counter) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  for (auto _ : state) {
    luaL_loadstring(L, code.c_str());
    const double t0 = thread_ns();
    lua_pcall(L, 0, 0, 0);
    const double ns = thread_ns() - t0;
    state.SetIterationTime(ns / 1e9);
    state.counters[counter] = ns / double(kPasses);
  }
  lua_close(L);
}

// Lua 5.4: the same statement over globals in a numeric for.
void BM_LuaLoop(benchmark::State& state) {
  run_lua(state, "A = 3 B = 0 for i = 1, " + std::to_string(kPasses) + " do B = B + A * 2 end",
          "ns_per_pass");
}
BENCHMARK(BM_LuaLoop)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Lua 5.4: the loops of BM_For.
void BM_Lua(benchmark::State& state) {
  const Workload& w = kWorkloads[state.range(0)];
  state.SetLabel(w.name);
  std::string code = w.lua;
  code.replace(code.find("N do"), 1, std::to_string(kPasses));
  run_lua(state, code, "ns_per_pass");
}
BENCHMARK(BM_Lua)->DenseRange(0, 5)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Lua 5.4: a coroutine resume and yield pair (two switches).
void BM_LuaCoroutine(benchmark::State& state) {
  run_lua(state,
          "local co = coroutine.wrap(function() while true do coroutine.yield() end end) "
          "for i = 1, " +
              std::to_string(kPasses) + " do co() end",
          "ns_per_pair");
}
BENCHMARK(BM_LuaCoroutine)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- Whole processes: mrv33 against lua5.4 ----
// A title run by the real host program from start to exit, beside the
// lua5.4 interpreter running the natural Lua form, N = 3,000,000 passes.
// The cost of start-up and exit (an empty scenario, an empty Lua chunk) is
// subtracted. Times are the processor time of the child process (user and
// system), so that other work on a shared machine does not count; the
// start-up figure is the wall time from the start to the exit.

constexpr int64_t kProcessPasses = 3'000'000;

struct ProcessTime {
  double wall_ms = -1;
  double cpu_ms = -1;
};

// Runs argv (argv[0] a path, or a name looked up in PATH) in `dir` with the
// output thrown away; false when it cannot start or fails.
bool run_process(const std::vector<std::string>& args, const std::filesystem::path& dir,
                 ProcessTime* t) {
  std::vector<std::string> env_s;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    if (v.rfind("MRV_", 0) != 0) env_s.push_back(v);
  }
  for (const char* d : {"run", "win"}) {
    std::filesystem::create_directories(dir / d);
  }
  env_s.push_back("MRV_RUNTIME_DIR=" + (dir / "run").string());
  env_s.push_back("MRV_WINDIR=" + (dir / "win").string());
  env_s.push_back("MRV_BACKEND=headless");
  env_s.push_back("MRV_DIALOG_ANSWERS=");
  std::vector<char*> envp, argv;
  for (std::string& v : env_s) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> args_s = args;
  for (std::string& a : args_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  pid_t pid = -1;
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  int status = 0;
  rusage u{};
  if (wait4(pid, &status, 0, &u) != pid) return false;
  t->wall_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  t->cpu_ms = (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A program directory with the host and the system's libraries of the
// build, and a title whose scenario MRV is `source`.
class HostTitle {
 public:
  explicit HostTitle(const std::string& source) {
    namespace fs = std::filesystem;
    const fs::path bin = fs::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
    fs::create_directories(prog());
    for (const auto& e : fs::directory_iterator(bin)) {
      const std::string name = e.path().filename().string();
      if (name == "mrv33") {
        fs::copy_file(e.path(), prog() / name);  // it finds its directory from its own path
      } else if (name.find(".so") != std::string::npos) {
        fs::create_symlink(e.path(), prog() / name);
      }
    }
    std::ofstream(prog() / "MRV.SNA", std::ios::binary) << source;
  }
  bool run(ProcessTime* t) const {
    return run_process({(prog() / "mrv33").string()}, dir_.path(), t);
  }

 private:
  std::filesystem::path prog() const { return dir_.path() / "prog"; }
  mrvtest::TempDir dir_;
};

// The least time of `runs` runs (the one least disturbed by other work).
template <class Run>
ProcessTime least(int runs, Run run) {
  ProcessTime best;
  for (int i = 0; i < runs; ++i) {
    ProcessTime t;
    if (!run(&t)) return ProcessTime{};
    if (best.cpu_ms < 0 || t.cpu_ms < best.cpu_ms) best.cpu_ms = t.cpu_ms;
    if (best.wall_ms < 0 || t.wall_ms < best.wall_ms) best.wall_ms = t.wall_ms;
  }
  return best;
}

ProcessTime host_start_up() {
  HostTitle empty("");
  return least(5, [&](ProcessTime* t) { return empty.run(t); });
}

// Start-up to exit of the host on an empty scenario (wall time).
void BM_ProcessStartUp(benchmark::State& state) {
  for (auto _ : state) {
    const ProcessTime t = host_start_up();
    if (t.wall_ms < 0) {
      state.SkipWithError("mrv33 does not run an empty scenario");
      return;
    }
    state.SetIterationTime(t.wall_ms / 1e3);
    state.counters["start_to_exit_ms"] = t.wall_ms;
    state.counters["cpu_ms"] = t.cpu_ms;
  }
}
BENCHMARK(BM_ProcessStartUp)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// mrv33 on the loops of BM_For: ns per pass, start-up subtracted.
void BM_Process(benchmark::State& state) {
  const Workload& w = kWorkloads[state.range(0)];
  state.SetLabel(w.name);
  const ProcessTime base = host_start_up();
  HostTitle title(std::string(w.setup) + "FOR(\\$I, 1, " + std::to_string(kProcessPasses) +
                  ", 1) { " + w.body + " };\n");
  for (auto _ : state) {
    const ProcessTime t = least(3, [&](ProcessTime* r) { return title.run(r); });
    if (t.cpu_ms < 0 || base.cpu_ms < 0) {
      state.SkipWithError("mrv33 does not run the title");
      return;
    }
    state.SetIterationTime((t.cpu_ms - base.cpu_ms) / 1e3);
    state.counters["ns_per_pass"] = (t.cpu_ms - base.cpu_ms) * 1e6 / double(kProcessPasses);
  }
}
BENCHMARK(BM_Process)
    ->DenseRange(0, 5)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// lua5.4 on the same loops: ns per pass, start-up subtracted.
void BM_ProcessLua(benchmark::State& state) {
  const Workload& w = kWorkloads[state.range(0)];
  state.SetLabel(w.name);
  mrvtest::TempDir dir;
  std::string code = w.lua;
  code.replace(code.find("N do"), 1, std::to_string(kProcessPasses));
  auto lua = [&](const std::string& chunk) {
    return least(3, [&](ProcessTime* t) {
      return run_process({"lua5.4", "-e", chunk}, dir.path(), t);
    });
  };
  const ProcessTime base = lua("");
  for (auto _ : state) {
    const ProcessTime t = lua(code);
    if (t.cpu_ms < 0 || base.cpu_ms < 0) {
      state.SkipWithError("lua5.4 does not run");
      return;
    }
    state.SetIterationTime((t.cpu_ms - base.cpu_ms) / 1e3);
    state.counters["ns_per_pass"] = (t.cpu_ms - base.cpu_ms) * 1e6 / double(kProcessPasses);
  }
}
BENCHMARK(BM_ProcessLua)
    ->DenseRange(0, 5)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// From a task's start command to the first statement of the new task
// (loading its one-line scenario included).
void BM_TaskStart(benchmark::State& state) {
  constexpr int kStarts = 500;
  for (auto _ : state) {
    mrvtest::Scenario s({"testcmd.so"});
    s.source("MAIN", "TESTCMD:LOOP(" + std::to_string(kStarts) +
                         ") {\n  TESTCMD:TIMER(0);\n  TESTCMD:START(-1, \"F\");\n};\n");
    s.source("F", "TESTCMD:TIMER(1);\n");
    int64_t count = 0;
    const double ns = run_timed(s, &count);
    state.SetIterationTime(ns / 1e9);
    state.counters["us_per_start"] = count > 0 ? ns / double(count) / 1000 : -1;
  }
}
BENCHMARK(BM_TaskStart)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A title whose only task waits two seconds: the processor time of the whole
// process (executor and host loop) as a share of one core.
void BM_IdleWait(benchmark::State& state) {
  auto cpu = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  for (auto _ : state) {
    mrvtest::Scenario s({"testcmd.so"});
    s.source("MAIN", "TESTCMD:WAIT(2000);\n");
    const double c0 = cpu();
    const auto t0 = std::chrono::steady_clock::now();
    s.run("MAIN");
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(wall);
    state.counters["cpu_percent"] = 100 * (cpu() - c0) / wall;
  }
}
BENCHMARK(BM_IdleWait)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
