// The debugger's side of the engine: line breakpoints, stops and steps by
// statement, the files each task is in, and setting a stopped task's
// variables. The host passes the requests of its tracer-control socket to
// MRVEXEC_Debug; statement loops call debug_turn only while EXEC_DEBUG is set.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "mrvval.h"
#include "platform/dialog.h"

namespace mrvexec {
namespace {

enum class Mode { Run, Stop, In, Over, Out };

struct Frame {
  std::string file;
  uint32_t line;  // the line the file was left at, from 0
};

struct TaskState {
  std::vector<Frame> outer;  // the files entered before the current one
  Mode mode = Mode::Run;
  std::string reason;      // for Mode::Stop
  std::size_t depth = 0;   // file depth when a step began
  uint32_t block = 0;      // block depth when a step began
  bool stopped = false;    // held in debug_turn
  std::string assignment;  // a MRV_DEBUG_SET request for the stopped task
};

struct State {
  std::vector<std::pair<std::string, int32_t>> breakpoints;  // file stem (upper case), line from 1
  bool attached = false;
  TaskState task[MRV_TASKS];
};

std::mutex g_mu;  // guards every State
std::map<const SystemContext*, std::unique_ptr<State>> g_states;
// The context whose error boxes go to its tracer: the last one attached.
std::atomic<SystemContext*> g_box_context{nullptr};

State& state(const SystemContext* ctx) {
  auto& s = g_states[ctx];
  if (!s) s = std::make_unique<State>();
  return *s;
}

// The name a breakpoint gives a file: without folders and extension, in
// upper case ("C:\T\MAIN.SNA", "main.sna" and "MAIN" are all "MAIN").
std::string stem(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  std::string s(base);
  const std::size_t dot = s.rfind('.');
  if (dot != std::string::npos && dot != 0) s.resize(dot);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// EXEC_DEBUG while anything can stop a statement.
void update_flag(SystemContext* ctx, const State& s) {
  bool any = !s.breakpoints.empty();
  for (const TaskState& k : s.task) any = any || k.mode != Mode::Run || k.stopped;
  (any ? set_flags : clear_flags)(ctx->execFlags, EXEC_DEBUG);
}

bool has_breakpoint(const State& s, const char* file, int32_t line) {
  if (s.breakpoints.empty()) return false;
  const std::string name = stem(file);
  for (const auto& [f, l] : s.breakpoints) {
    if (l == line && f == name) return true;
  }
  return false;
}

// Why task t stops before this statement, or null.
const char* stop_reason(SystemContext* ctx, const State& s, int32_t t, bool marked) {
  const TaskState& k = s.task[t];
  const std::size_t depth = k.outer.size();
  const uint32_t block = ctx->blockDepth[t];
  switch (k.mode) {
    case Mode::Stop:
      return k.reason.c_str();
    case Mode::In:
      return "step";
    case Mode::Over:
      if (depth < k.depth || (depth == k.depth && block <= k.block)) return "step";
      break;
    case Mode::Out:
      if (depth < k.depth || (depth == k.depth && k.block > 0 && block < k.block)) return "step";
      break;
    case Mode::Run:
      break;
  }
  if (marked && has_breakpoint(s, ctx->taskFile[t], static_cast<int32_t>(ctx->taskLine[t]) + 1))
    return "breakpoint";
  return nullptr;
}

// "NAME VALUE" into the variable it names: $A..$Z and $@ in task t's frame,
// $n a common variable, #n a system variable; VALUE a number or "text".
bool assign_variable(SystemContext* ctx, int32_t t, const std::string& request) {
  const std::size_t space = request.find(' ');
  if (space == std::string::npos || space < 2) return false;
  const std::string name = request.substr(0, space);
  const std::string text = request.substr(space + 1);
  VarTable* table = nullptr;
  int32_t index = 0;
  if (name[0] == '$' && name.size() == 2 && (name[1] == '@' || std::isupper(name[1]))) {
    table = &ctx->localVars[t];
    index = name[1] - '@';
  } else if ((name[0] == '$' || name[0] == '#') &&
             name.find_first_not_of("0123456789", 1) == std::string::npos && name.size() <= 6) {
    table = name[0] == '$' ? &ctx->commonVars : &ctx->systemVars;
    index = std::stoi(name.substr(1));
  } else {
    return false;
  }
  const int32_t cell = table->base + index;
  if (table->cells == 0 || cell < 0 || cell >= table->count) return false;
  FAQ value{};
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    if (MRVSTR_SetByte(ctx, &value, text.substr(1, text.size() - 2).c_str()) == 0) return false;
  } else {
    const char* end = MRVFAQ_GetNumber(ctx, &value, text.c_str());
    if (end == nullptr || *end != '\0' || text.empty()) {
      release(ctx, &value);
      return false;
    }
  }
  FAQ& target = MRV_CELLS(table)[cell];
  MRVFAQ_Clear(ctx, &target);
  target = value;
  return true;
}

// Sets task p's mode (p < 0: every task) and lets a stopped task go on.
void resume(SystemContext* ctx, State& s, int32_t p, Mode mode) {
  for (int32_t t = 0; t < MRV_TASKS; ++t) {
    if (p >= 0 && t != p) continue;
    TaskState& k = s.task[t];
    if (mode == Mode::Run && !k.stopped && p < 0) {
      k.mode = Mode::Run;
      continue;
    }
    k.mode = mode;
    k.depth = k.outer.size();
    k.block = ctx->blockDepth[t];
    k.stopped = false;
  }
}

// Each line of an error box to the tracer: "@X [caption]", then "@X line".
void send_box(const char* text, const char* caption, uint32_t flags) {
  SystemContext* ctx = g_box_context.load();
  if (ctx == nullptr || (flags & plat::MB_ICONMASK) != plat::MB_ICONERROR) return;
  MRVEXEC_SendTracer(ctx, ("@X [" + std::string(caption != nullptr ? caption : "") + "]").c_str());
  const std::string all = text != nullptr ? text : "";
  for (std::size_t at = 0; at <= all.size();) {
    std::size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    MRVEXEC_SendTracer(ctx, ("@X " + all.substr(at, end - at)).c_str());
    at = end + 1;
  }
}

// "@R task 1|0" while a debugger is attached; sent under g_mu, so that the
// records of a task's start and end never pass those of an attach.
void send_task_record(SystemContext* ctx, const State& s, int32_t t, bool live) {
  if (!s.attached) return;
  char line[32];
  std::snprintf(line, sizeof line, "@R %d %d", static_cast<int>(t), live ? 1 : 0);
  MRVEXEC_SendTracer(ctx, line);
}

// A debugger holds (or no longer holds) a connection to the host.
void set_attached(SystemContext* ctx, State& s, bool attached) {
  if (s.attached == attached) return;
  s.attached = attached;
  g_debuggers.fetch_add(attached ? 1 : -1);
  if (attached) {
    g_box_context.store(ctx);
    plat::set_box_watcher(&send_box);
    // The debugger learns the tasks that already run.
    for (int32_t t = 0; t < MRV_TASKS; ++t) {
      if (task_live(ctx, t)) send_task_record(ctx, s, t, true);
    }
  } else {
    SystemContext* mine = ctx;
    g_box_context.compare_exchange_strong(mine, nullptr);
  }
}

}  // namespace

std::atomic<int> g_debuggers{0};

void debug_task_record(SystemContext* ctx, int32_t t, bool begins) {
  if (t < 0 || t >= MRV_TASKS) return;
  std::lock_guard lock(g_mu);
  State& s = state(ctx);
  if (!begins) {
    // What the debugger asked of the slot goes with its task.
    s.task[t] = TaskState{};
    update_flag(ctx, s);
  }
  send_task_record(ctx, s, t, begins);
}

void send_stop_record(SystemContext* ctx, int32_t t, const char* reason) {
  char line[MRV_PATH + 64];
  std::snprintf(line, sizeof line, "@S %d %d %s %s", static_cast<int>(t),
                static_cast<int>(ctx->taskLine[t]) + 1, reason, ctx->taskFile[t]);
  MRVEXEC_SendTracer(ctx, line);
}

int32_t debug_turn(SystemContext* ctx, bool marked) {
  const int32_t t = ctx->currentTask;
  if (t < 0 || t >= MRV_TASKS) return kTurnGo;
  std::string reason;
  {
    std::lock_guard lock(g_mu);
    State& s = state(ctx);
    const char* why = stop_reason(ctx, s, t, marked);
    if (why == nullptr) return kTurnGo;
    reason = why;
    s.task[t].mode = Mode::Run;
    s.task[t].stopped = true;
  }
  send_stop_record(ctx, t, reason.c_str());
  // Held: the turn goes on to the other tasks until the debugger lets this
  // one go; a task told to end (the program closing) is never held.
  for (;;) {
    const bool handed = MRVEXEC_IdleTask(ctx, ~0u) != 0;
    const bool ending = (load_flags(ctx->taskFlags[t]) & TASK_END) != 0;
    std::string assignment;
    {
      std::lock_guard lock(g_mu);
      State& s = state(ctx);
      TaskState& k = s.task[t];
      if (!handed || ending) {
        k.stopped = false;
        k.mode = Mode::Run;
        update_flag(ctx, s);
        return 0;
      }
      if (!k.stopped) {
        update_flag(ctx, s);
        return kTurnGo;
      }
      assignment.swap(k.assignment);
    }
    if (!assignment.empty()) {
      const bool ok = assign_variable(ctx, t, assignment);
      char line[300];
      std::snprintf(line, sizeof line, "@V %d %d %s", static_cast<int>(t), ok ? 1 : 0,
                    assignment.substr(0, assignment.find(' ')).c_str());
      MRVEXEC_SendTracer(ctx, line);
    }
  }
}

void debug_enter_file(SystemContext* ctx, int32_t t, const char* file, uint32_t line) {
  std::lock_guard lock(g_mu);
  state(ctx).task[t].outer.push_back(Frame{file, line});
}

void debug_leave_file(SystemContext* ctx, int32_t t) {
  std::lock_guard lock(g_mu);
  std::vector<Frame>& outer = state(ctx).task[t].outer;
  if (!outer.empty()) outer.pop_back();
}

void debug_forget(const SystemContext* ctx) {
  std::lock_guard lock(g_mu);
  const auto it = g_states.find(ctx);
  if (it == g_states.end()) return;
  if (it->second->attached) {
    g_debuggers.fetch_sub(1);
    SystemContext* mine = const_cast<SystemContext*>(ctx);
    g_box_context.compare_exchange_strong(mine, nullptr);
  }
  g_states.erase(it);
}

}  // namespace mrvexec

using namespace mrvexec;

extern "C" int32_t MRVEXEC_Debug(SystemContext* ctx, int32_t code, int32_t p, const char* text) {
  if (ctx == nullptr || p >= MRV_TASKS || (p < -1 && code != MRV_DEBUG_BREAK_SET)) return 0;
  const std::string arg = text != nullptr ? text : "";
  std::vector<std::string> frames;  // the records of a stack request, sent unlocked
  {
    std::lock_guard lock(g_mu);
    State& s = state(ctx);
    auto& bps = s.breakpoints;
    switch (code) {
      case MRV_DEBUG_BREAK_SET:
      case MRV_DEBUG_BREAK_CLEAR: {
        if (p < 1 || arg.empty()) return 0;
        const std::pair<std::string, int32_t> bp{stem(arg.c_str()), p};
        std::erase(bps, bp);
        if (code == MRV_DEBUG_BREAK_SET) bps.push_back(bp);
        break;
      }
      case MRV_DEBUG_BREAK_CLEAR_ALL:
        bps.clear();
        break;
      case MRV_DEBUG_SCENARIO_BREAK:
      case MRV_DEBUG_STOP:
        if (code == MRV_DEBUG_SCENARIO_BREAK && (!s.attached || p < 0)) return 0;
        for (int32_t t = 0; t < MRV_TASKS; ++t) {
          // Every task means every live one: a slot's next task starts free.
          if ((p >= 0 && t != p) || (p < 0 && !task_live(ctx, t)) || s.task[t].stopped) continue;
          s.task[t].mode = Mode::Stop;
          s.task[t].reason = code == MRV_DEBUG_SCENARIO_BREAK ? "debugbreak"
                             : arg.empty()                    ? "pause"
                                                              : arg;
        }
        break;
      case MRV_DEBUG_CONTINUE:
        resume(ctx, s, p, Mode::Run);
        break;
      case MRV_DEBUG_STEP_IN:
      case MRV_DEBUG_STEP_OVER:
      case MRV_DEBUG_STEP_OUT:
        if (p < 0) return 0;
        resume(ctx, s, p,
               code == MRV_DEBUG_STEP_IN     ? Mode::In
               : code == MRV_DEBUG_STEP_OVER ? Mode::Over
                                             : Mode::Out);
        break;
      case MRV_DEBUG_STACK: {
        if (p < 0) return 0;
        const TaskState& k = s.task[p];
        char line[MRV_PATH + 64];
        if (task_live(ctx, p)) {
          std::snprintf(line, sizeof line, "@F %d 0 %d %s", static_cast<int>(p),
                        static_cast<int>(ctx->taskLine[p]) + 1, ctx->taskFile[p]);
          frames.emplace_back(line);
          // The outermost frame is the task's start, before any file.
          for (std::size_t i = k.outer.size(); i-- > 1;) {
            std::snprintf(line, sizeof line, "@F %d %d %d %s", static_cast<int>(p),
                          static_cast<int>(k.outer.size() - i),
                          static_cast<int>(k.outer[i].line) + 1, k.outer[i].file.c_str());
            frames.emplace_back(line);
          }
        }
        std::snprintf(line, sizeof line, "@E %d", static_cast<int>(p));
        frames.emplace_back(line);
        break;
      }
      case MRV_DEBUG_SET:
        if (p < 0 || !s.task[p].stopped || arg.empty()) return 0;
        s.task[p].assignment = arg;
        break;
      case MRV_DEBUG_ATTACH:
        set_attached(ctx, s, p != 0);
        break;
      case MRV_DEBUG_RELEASE:
        bps.clear();
        set_attached(ctx, s, false);
        resume(ctx, s, -1, Mode::Run);
        break;
      default:
        return 0;
    }
    update_flag(ctx, s);
  }
  for (const std::string& f : frames) MRVEXEC_SendTracer(ctx, f.c_str());
  MRVEXEC_Wake(ctx);
  return 1;
}
