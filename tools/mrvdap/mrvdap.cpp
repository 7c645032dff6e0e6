// mrvdap: a debug adapter (Debug Adapter Protocol over standard input and
// output) for titles run by mrv33. It serves the tracer and viewer channels
// of the runtime directory as mrvtrace does and drives the host through its
// control socket: tasks are threads, a task's nested scenario files its
// stack, its frame, the common and the system variables its scopes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../mrvtrace/channels.h"
#include "../mrvtrace/display.h"
#include "mrvexec.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "platform/window.h"

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kAnswerTime = 10s;  // for the host's answer to a query
constexpr auto kCloseTime = 20s;   // for a title to close in order

// ---- Messages to the client ------------------------------------------------

std::mutex g_out_mu;
int g_seq = 1;

void send_message(json m) {
  std::lock_guard lock(g_out_mu);
  m["seq"] = g_seq++;
  const std::string body = m.dump();
  const std::string out = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  // Written whole, or not at all once the client has gone.
  for (std::size_t done = 0; done < out.size();) {
    const ssize_t n = write(STDOUT_FILENO, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void event(const std::string& name, json body = json::object()) {
  send_message({{"type", "event"}, {"event", name}, {"body", std::move(body)}});
}

void respond(const json& request, json body = json::object(), const std::string& error = "") {
  json r = {{"type", "response"},
            {"request_seq", request.value("seq", 0)},
            {"command", request.value("command", "")},
            {"success", error.empty()},
            {"body", std::move(body)}};
  if (!error.empty()) r["message"] = error;
  send_message(std::move(r));
}

// ---- The host's control socket ---------------------------------------------

class Control {
 public:
  // Connects, trying for up to `wait` while a host starts.
  bool connect(std::chrono::milliseconds wait) {
    const std::string path = plat::runtime_dir() + "/control.sock";
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(50ms);
    }
  }
  // One request, its text first as MRV_DEBUG_TEXT pieces.
  bool send(int32_t code, int32_t p, const std::string& text = "") {
    std::lock_guard lock(mu_);
    if (fd_ < 0) return false;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
      char piece[4] = {};
      std::memcpy(piece, text.data() + i, std::min<std::size_t>(4, text.size() - i));
      int32_t v;
      std::memcpy(&v, piece, 4);
      put(&out, MRV_DEBUG_TEXT, v);
    }
    put(&out, code, p);
    return ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }
  void close_connection() {
    std::lock_guard lock(mu_);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  static void put(std::string* out, int32_t a, int32_t b) {
    for (int32_t v : {a, b}) {
      const auto u = static_cast<uint32_t>(v);
      for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
  }
  std::mutex mu_;
  int fd_ = -1;
};

// ---- What the channels say -------------------------------------------------

struct Variable {
  std::string name, type, value;
};

struct Session {
  std::mutex mu;
  std::condition_variable cv;
  std::set<int> tasks;                          // threads the client knows
  std::map<int, std::vector<json>> frames;      // of a stack query in progress
  std::map<int, bool> stackDone;                // "@E task" seen
  std::vector<std::vector<Variable>> listings;  // the viewer's listings, each after its "@C"
  std::map<int, int> assigned;                  // "@V task ok": -1 while waiting
  bool stopOnEntry = false;
  bool launched = false;
  bool ended = false;
  // Where the launched title's first task stopped before its first
  // statement (MRV_STOP_ON_ENTRY), once it has.
  bool entered = false;
  std::string entryPath;
  int entryLine = 0;
};

Session g;
Control g_control;
std::string g_program = ".";  // the title's folder, where the host runs

// A host path ("DIR\MAIN.SNA") as a file of this system; the source beside a
// compiled file when there is one.
std::string source_path(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (!path.empty() && path[0] != '/') path = g_program + "/" + path;  // beside the title
  fs::path p = plat::resolve_path(path.c_str());
  if (p.extension() == ".SNB" || p.extension() == ".snb") {
    fs::path a = p;
    a.replace_extension(p.extension() == ".SNB" ? ".SNA" : ".sna");
    const std::string resolved = plat::resolve_path(a.string().c_str());
    if (fs::exists(resolved)) return resolved;
  }
  return p.string();
}

std::string type_name(const std::string& label) {
  static const std::map<std::string, std::string> names = {
      {"数値", "number"},   {"領域", "rectangle"}, {"ﾎﾟｲﾝﾀ", "pointer"},
      {"文字列", "string"}, {"変数", "variable"},  {"セル", "picture cell"},
      {"ﾊﾝﾄﾞﾙ", "handle"},  {"メモリ", "memory"},  {"ｻｳﾝﾄﾞ", "wave"}};
  const auto it = names.find(label);
  return it != names.end() ? it->second : label;
}

// A task starts or ends ("@R", or a stop of a task not yet seen): a thread
// event when that changes what the client knows.
void task_seen(int t, bool live) {
  bool changed;
  {
    std::lock_guard lock(g.mu);
    changed = live ? g.tasks.insert(t).second : g.tasks.erase(t) != 0;
  }
  if (changed) event("thread", {{"reason", live ? "started" : "exited"}, {"threadId", t}});
}

void on_tracer(const std::string& record) {
  const std::string line = plat::cp932_to_utf8(mrvtrace::line_of(record));
  int t = 0, n = 0, at = 0, ok = 0;
  char word[32];
  if (std::sscanf(line.c_str(), "@S %d %d %31s %n", &t, &n, word, &at) == 3 && at > 0) {
    task_seen(t, true);
    const std::string why = word;
    if (why == "entry") {
      std::lock_guard lock(g.mu);
      g.entered = true;
      g.entryPath = source_path(line.substr(std::size_t(at)));
      g.entryLine = n;
      g.cv.notify_all();
    }
    if (why == "entry" && !g.stopOnEntry) return;  // the adapter's own stop
    json body = {{"threadId", t}, {"allThreadsStopped", false}};
    if (why == "debugbreak") {
      body["reason"] = "pause";
      body["description"] = "DebugBreak";
    } else {
      body["reason"] = why;
    }
    event("stopped", body);
    return;
  }
  if (std::sscanf(line.c_str(), "@F %d %d %d %n", &t, &n, &ok, &at) == 3 && at > 0) {
    const std::string path = source_path(line.substr(std::size_t(at)));
    std::lock_guard lock(g.mu);
    g.frames[t].push_back(
        {{"id", t * 1000 + n},
         {"name", fs::path(path).stem().string()},
         {"line", ok},
         {"column", 1},
         {"source", {{"name", fs::path(path).filename().string()}, {"path", path}}}});
    return;
  }
  if (std::sscanf(line.c_str(), "@R %d %d", &t, &ok) == 2) {
    task_seen(t, ok != 0);
    return;
  }
  if (line.rfind("@X ", 0) == 0) {  // a line of an error box
    event("output", {{"category", "stderr"}, {"output", line.substr(3) + "\n"}});
    return;
  }
  if (std::sscanf(line.c_str(), "@E %d", &t) == 1) {
    std::lock_guard lock(g.mu);
    g.stackDone[t] = true;
    g.cv.notify_all();
    return;
  }
  if (std::sscanf(line.c_str(), "@V %d %d", &t, &ok) == 2) {
    std::lock_guard lock(g.mu);
    g.assigned[t] = ok;
    g.cv.notify_all();
    return;
  }
  if (line.rfind("@B <DebugBreak>", 0) == 0 || line.rfind("@N ", 0) == 0 ||
      line.rfind("TASK", 0) == 0)
    return;
  // DebugMessage lines and everything else a scenario says.
  event("output", {{"category", "stdout"},
                   {"output", (line.rfind("@B ", 0) == 0 ? line.substr(3) : line) + "\n"}});
}

void on_viewer(const std::string& record) {
  const std::string line = plat::cp932_to_utf8(mrvtrace::line_of(record));
  std::lock_guard lock(g.mu);
  if (line == "@C") {
    g.listings.emplace_back();
    g.cv.notify_all();
    return;
  }
  const std::size_t a = line.find('\t');
  const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
  if (b == std::string::npos || g.listings.empty()) return;
  g.listings.back().push_back(
      {line.substr(0, a), type_name(line.substr(a + 1, b - a - 1)), line.substr(b + 1)});
}

// Asks for task t's files and waits for them ("@E t" ends them).
std::vector<json> query_stack(int t) {
  {
    std::lock_guard lock(g.mu);
    g.frames[t].clear();
    g.stackDone[t] = false;
  }
  g_control.send(MRV_DEBUG_STACK, t);
  std::unique_lock lock(g.mu);
  g.cv.wait_for(lock, kAnswerTime, [&] { return g.stackDone[t] || g.ended; });
  return g.frames[t];
}

// One of the viewer's listings: 8 the frame of task t, 7 common, 6 system.
// The host's main window makes them in order, each beginning with "@C"; a
// listing has no end of its own, so a second one (task t's frame) marks it.
std::vector<Variable> query_variables(int code, int t) {
  std::size_t first;
  {
    std::lock_guard lock(g.mu);
    first = g.listings.size();
  }
  g_control.send(code, t);
  g_control.send(8, t);
  std::unique_lock lock(g.mu);
  if (!g.cv.wait_for(lock, kAnswerTime, [&] { return g.listings.size() >= first + 2 || g.ended; }))
    return {};
  return g.listings.size() > first ? g.listings[first] : std::vector<Variable>{};
}

// ---- The title ---------------------------------------------------------------

pid_t g_child = -1;

bool start_title(const json& args, std::string* why) {
  const std::string program = args.value("program", "");
  if (program.empty() || !fs::is_directory(program)) {
    *why = "program must name the title's folder: " + program;
    return false;
  }
  g_program = fs::absolute(program).lexically_normal().string();
  const std::string scenario = args.value("scenario", "mrv");
  const std::string host = plat::program_dir() + "/mrv33";
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  if (args.contains("env") && args["env"].is_object()) {
    for (auto& [k, v] : args["env"].items())
      env.push_back(k + "=" + (v.is_string() ? v.get<std::string>() : v.dump()));
  }
  env.emplace_back("MRV_STOP_ON_ENTRY=1");  // breakpoints first; configurationDone lets it go
  g_child = fork();
  if (g_child < 0) {
    *why = std::strerror(errno);
    return false;
  }
  if (g_child == 0) {
    // The title's output must not mix with the protocol on standard output.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    if (chdir(program.c_str()) != 0) _exit(127);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = host, arg1 = scenario;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    execve(host.c_str(), argv, envp.data());
    _exit(127);
  }
  return true;
}

// Waits for the title to end, then tells the client.
void watch_title() {
  int status = 0;
  while (waitpid(g_child, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Told before `ended` is set: the adapter may leave as soon as it is.
  event("exited", {{"exitCode", code}});
  event("terminated");
  std::lock_guard lock(g.mu);
  g.ended = true;
  g.cv.notify_all();
}

// ---- Requests ------------------------------------------------------------------

std::map<std::string, std::set<int>> g_breakpoints;  // by source path

// The lines (from 1) on which a breakpoint can stop: where a statement
// starts after a line change that follows another statement's ';' or the
// file's start, the only ones the compiler marks with their line. A block's
// first statement carries its block's line, a statement on the file's first
// line none; a line that only continues a statement starts none. Comments (// to the end of the
// line) and strings are skipped; a code page 932 lead byte takes its trail byte.
std::set<int> statement_lines(const std::string& text) {
  std::set<int> lines;
  int line = 1;
  char prev = 0;         // the last code byte so far (0: none yet)
  bool changed = false;  // a line change since then
  const auto lead = [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || c >= 0xE0; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      changed = true;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') continue;
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
      continue;
    }
    if ((prev == ';' || prev == 0) && changed && c != '}' && c != ';') lines.insert(line);
    changed = false;
    prev = static_cast<char>(c);
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\n') ++line;
        if (lead(static_cast<unsigned char>(text[i]))) ++i;
      }
    } else if (lead(c)) {
      ++i;
    }
  }
  return lines;
}

void set_breakpoints(const json& req) {
  const json& a = req["arguments"];
  const std::string path = a["source"].value("path", "");
  const std::string name = fs::path(path).filename().string();
  for (int line : g_breakpoints[path]) g_control.send(MRV_DEBUG_BREAK_CLEAR, line, name);
  g_breakpoints[path].clear();
  std::ifstream in(path, std::ios::binary);
  const std::set<int> lines = statement_lines(
      std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  json out = json::array();
  for (const json& b : a.value("breakpoints", json::array())) {
    const int line = b.value("line", 0);
    json bp = {{"verified", lines.count(line) != 0}, {"line", line}};
    if (lines.count(line) != 0) {
      g_control.send(MRV_DEBUG_BREAK_SET, line, name);
      g_breakpoints[path].insert(line);
    } else {
      bp["message"] =
          "no statement starts on this line after another's end "
          "(a block's first statement stops at its block's line)";
    }
    out.push_back(std::move(bp));
  }
  respond(req, {{"breakpoints", out}});
}

json variables_of(int ref) {
  const int t = ref / 10, kind = ref % 10;
  json out = json::array();
  for (const Variable& v : query_variables(kind == 1 ? 8 : kind == 2 ? 7 : 6, t)) {
    std::string name = v.name;
    if (kind != 1 && name.size() > 1) {  // "$00012" shows as "$12"
      const std::size_t d = name.find_first_not_of('0', 1);
      name = name.substr(0, 1) + (d == std::string::npos ? "0" : name.substr(d));
    }
    out.push_back(
        {{"name", name}, {"value", v.value}, {"type", v.type}, {"variablesReference", 0}});
  }
  return out;
}

void set_variable(const json& req) {
  const json& a = req["arguments"];
  const int ref = a.value("variablesReference", 0);
  const int t = ref / 10, kind = ref % 10;
  std::string name = a.value("name", "");
  std::string value = a.value("value", "");
  if (kind != 1 && name.size() > 1) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%05d", name[0], std::atoi(name.c_str() + 1));
    name = buf;
  }
  const bool number =
      !value.empty() && value.find_first_not_of("-0123456789.") == std::string::npos;
  if (!number && !(value.size() >= 2 && value.front() == '"' && value.back() == '"'))
    value = "\"" + value + "\"";
  {
    std::lock_guard lock(g.mu);
    g.assigned[t] = -1;
  }
  g_control.send(MRV_DEBUG_SET, t, plat::utf8_to_cp932(name + " " + value));
  std::unique_lock lock(g.mu);
  g.cv.wait_for(lock, kAnswerTime, [&] { return g.assigned[t] != -1 || g.ended; });
  const bool ok = g.assigned[t] == 1;
  lock.unlock();
  if (!ok) return respond(req, {}, "cannot set " + a.value("name", "") + " to " + value);
  for (const json& v : variables_of(ref)) {
    if (v["name"] == a.value("name", ""))
      return respond(req, {{"value", v["value"]}, {"type", v["type"]}});
  }
  respond(req, {{"value", value}});
}

// Ends the title in order, as its close button does, and waits for it. A
// stopped task is not let go first: told to end, it ends where it stands.
// A title that does not close in time (its window asks a question nobody
// answers) is let go and ended.
void close_title() {
  if (g_child <= 0) return;
  g_control.send(MRV_DEBUG_CLOSE, 0);
  std::unique_lock lock(g.mu);
  if (g.cv.wait_for(lock, kCloseTime, [] { return g.ended; })) return;
  g_control.send(MRV_DEBUG_RELEASE, 0);
  kill(g_child, SIGTERM);
  g.cv.wait_for(lock, kCloseTime, [] { return g.ended; });
}

// Lets the launched title go from its stop before the first statement; a
// breakpoint on that statement stops it there instead, since the stop
// already holds the statement the breakpoint would have held.
void let_title_start() {
  std::string path;
  int line = 0;
  {
    std::unique_lock lock(g.mu);
    // Not stopped yet (or never): the request cancels the stop to come.
    if (!g.cv.wait_for(lock, kAnswerTime, [] { return g.entered || g.ended; }) || !g.entered) {
      lock.unlock();
      g_control.send(MRV_DEBUG_CONTINUE, 0);
      return;
    }
    path = g.entryPath;
    line = g.entryLine;
  }
  const auto same = [](const fs::path& a, const fs::path& b) {
    std::string x = a.stem().string(), y = b.stem().string();
    for (std::string* s : {&x, &y})
      for (char& c : *s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return x == y;
  };
  for (const auto& [file, lines] : g_breakpoints) {
    if (same(file, path) && lines.count(line) != 0) {
      event("stopped", {{"threadId", 0}, {"allThreadsStopped", false}, {"reason", "breakpoint"}});
      return;
    }
  }
  g_control.send(MRV_DEBUG_CONTINUE, 0);
}

// False when the session is over.
bool handle(const json& req) {
  const std::string cmd = req.value("command", "");
  const json a = req.value("arguments", json::object());
  const int t = a.value("threadId", 0);
  if (cmd == "initialize") {
    respond(req, {{"supportsConfigurationDoneRequest", true},
                  {"supportsSetVariable", true},
                  {"supportsTerminateRequest", true}});
  } else if (cmd == "launch" || cmd == "attach") {
    std::string why;
    g.stopOnEntry = a.value("stopOnEntry", false);
    if (cmd == "launch" && !start_title(a, &why)) return respond(req, {}, why), true;
    g.launched = cmd == "launch";
    if (!g_control.connect(cmd == "launch" ? 20s : 1s))
      return respond(req, {}, "no title runs (no host listens in " + plat::runtime_dir() + ")"),
             true;
    g_control.send(MRV_DEBUG_ATTACH, 1);
    if (g.launched) std::thread(watch_title).detach();
    respond(req);
    if (g.launched)
      event("process", {{"name", g_program},
                        {"systemProcessId", g_child},
                        {"isLocalProcess", true},
                        {"startMethod", "launch"}});
    event("initialized");
  } else if (cmd == "setBreakpoints") {
    set_breakpoints(req);
  } else if (cmd == "configurationDone") {
    respond(req);
    if (g.launched && !g.stopOnEntry) let_title_start();
  } else if (cmd == "threads") {
    json threads = json::array();
    std::lock_guard lock(g.mu);
    for (int k : g.tasks) threads.push_back({{"id", k}, {"name", "Task " + std::to_string(k)}});
    respond(req, {{"threads", threads}});
  } else if (cmd == "stackTrace") {
    const std::vector<json> frames = query_stack(t);
    respond(req, {{"stackFrames", frames}, {"totalFrames", frames.size()}});
  } else if (cmd == "scopes") {
    const int task = a.value("frameId", 0) / 1000;
    respond(req,
            {{"scopes",
              {{{"name", "Locals"}, {"variablesReference", task * 10 + 1}, {"expensive", false}},
               {{"name", "Common"}, {"variablesReference", task * 10 + 2}, {"expensive", false}},
               {{"name", "System"}, {"variablesReference", task * 10 + 3}, {"expensive", true}}}}});
  } else if (cmd == "variables") {
    respond(req, {{"variables", variables_of(a.value("variablesReference", 0))}});
  } else if (cmd == "setVariable") {
    set_variable(req);
  } else if (cmd == "continue") {
    g_control.send(MRV_DEBUG_CONTINUE, t);
    respond(req, {{"allThreadsContinued", false}});
  } else if (cmd == "next" || cmd == "stepIn" || cmd == "stepOut") {
    g_control.send(cmd == "next"     ? MRV_DEBUG_STEP_OVER
                   : cmd == "stepIn" ? MRV_DEBUG_STEP_IN
                                     : MRV_DEBUG_STEP_OUT,
                   t);
    respond(req);
  } else if (cmd == "pause") {
    g_control.send(MRV_DEBUG_STOP, t);
    respond(req);
  } else if (cmd == "terminate") {
    respond(req);
    close_title();
  } else if (cmd == "disconnect") {
    const bool end = a.value("terminateDebuggee", g.launched);
    if (end) {
      close_title();
    } else {
      g_control.send(MRV_DEBUG_RELEASE, 0);
    }
    g_control.close_connection();
    respond(req);
    return false;
  } else {
    respond(req, {}, "unsupported request " + cmd);
  }
  return true;
}

// One message from standard input; false at its end.
bool read_message(json* out) {
  std::string line;
  std::size_t length = 0;
  bool any = false;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (!any) continue;
      break;
    }
    any = true;
    if (line.rfind("Content-Length:", 0) == 0) length = std::stoul(line.substr(15));
  }
  if (!any || length == 0) return false;
  std::string body(length, '\0');
  if (!std::cin.read(body.data(), static_cast<std::streamsize>(length))) return false;
  *out = json::parse(body, nullptr, false);
  return !out->is_discarded();
}

int g_stop[2] = {-1, -1};

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::ios::sync_with_stdio(false);
  std::string why;
  mrvtrace::Server server;
  if (!server.open(&why)) {
    std::fprintf(stderr, "mrvdap: %s\n", why.c_str());
    return 1;
  }
  if (pipe2(g_stop, O_CLOEXEC) != 0) return 1;
  std::thread channels([&] {
    const mrvtrace::Server::Handler handler = [](mrvtrace::Channel c, const std::string& r) {
      (c == mrvtrace::Channel::Tracer ? on_tracer : on_viewer)(r);
    };
    while (server.poll({g_stop[0]}, -1, handler) != 0) {
    }
  });
  json req;
  bool going = true;
  while (going && read_message(&req)) going = handle(req);
  if (going) {
    // The client went away without a word: a launched title is closed in
    // order, an attached one goes on; no task stays stopped.
    if (g.launched) {
      close_title();
    } else {
      g_control.send(MRV_DEBUG_RELEASE, 0);
    }
  }
  g_control.close_connection();
  const char b = 1;
  [[maybe_unused]] ssize_t n = write(g_stop[1], &b, 1);
  channels.join();
  return 0;
}
