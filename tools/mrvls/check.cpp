#include "check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "codewalk.h"
#include "mrvcomp.h"
#include "mrvtask.h"
#include "platform/dialog.h"
#include "protocol.h"
#include "text.h"

namespace mrvls {

namespace {

// ---- In the child ----------------------------------------------------------

// The boxes logged since the log was last emptied, and empties it.
std::vector<Box> take_boxes(const std::string& log) {
  std::vector<Box> boxes;
  std::ifstream f(log);
  std::string line;
  while (std::getline(f, line)) {
    const json j = json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    Box b;
    b.caption = j.value("caption", "");
    b.text = j.value("text", "");
    boxes.push_back(std::move(b));
  }
  f.close();
  std::ofstream(log, std::ios::trunc).close();
  return boxes;
}

// A string constant's units back to code page 932 bytes.
std::string units_to_bytes(const uint8_t* units, uint16_t count) {
  std::string s;
  for (uint16_t i = 0; i < count; ++i) {
    const unsigned u = units[2 * i] | (units[2 * i + 1] << 8);
    if (u > 0xFF) s += static_cast<char>(u >> 8);
    s += static_cast<char>(u & 0xFF);
  }
  return s;
}

// Collects the calls with their line and the kinds of their arguments: an
// argument's kind is known when it is one constant (a number, possibly
// negated, or a string), a reference, or empty.
struct CallCollector : codewalk::Visitor {
  struct ArgState {
    int events = 0;
    char first = '?';
    bool negated = false;
    std::string text;
  };
  std::vector<Call> calls;
  std::vector<std::size_t> open;  // indices into calls of the calls being walked
  std::vector<ArgState> args;
  uint32_t line32 = 0;

  void event(char kind, const std::string& text = {}) {
    if (args.empty()) return;
    ArgState& a = args.back();
    if (a.events == 0) a.first = kind;
    if (a.events == 1 && a.first == '-' && kind == 'N') a.negated = true;
    if (kind == 'S') a.text = text;
    ++a.events;
  }
  void line(uint32_t, uint16_t number) {
    // Markers hold the low 16 bits; lines only grow.
    uint32_t l = (line32 & ~0xFFFFu) | number;
    if (l < line32) l += 0x10000;
    line32 = l;
  }
  void prefix(uint32_t, uint8_t token) {
    event(token == TOK_BYREF ? '\\' : token == TOK_NEG ? '-' : '!');
  }
  void integer(uint32_t, int32_t) { event('N'); }
  void decimal(uint32_t, uint32_t, uint32_t) { event('N'); }
  void string(uint32_t, const uint8_t* units, uint16_t count) {
    event('S', from_cp932(units_to_bytes(units, count)));
  }
  void variable(uint32_t, uint8_t, uint8_t) { event('$'); }
  void paren_begin(uint32_t) { event('('); }
  void op(uint32_t, uint8_t) { event('o'); }
  void call_begin(const codewalk::Call& c) {
    event('c');
    Call call;
    call.line = static_cast<int>(line32);
    call.library = c.library;
    call.command = c.command;
    calls.push_back(std::move(call));
    open.push_back(calls.size() - 1);
  }
  void call_end(const codewalk::Call&) { open.pop_back(); }
  void arg_begin(const codewalk::Call&, int32_t, uint32_t, bool omitted) {
    args.push_back(ArgState{});
    if (omitted) args.back().first = 'Z';
  }
  void arg_end(const codewalk::Call&, int32_t, uint32_t) {
    ArgState a = args.back();
    args.pop_back();
    Arg out;
    if (a.first == 'Z' && a.events == 0) {
      out.kind = 'Z';
    } else if (a.first == '\\') {
      out.kind = '\\';
    } else if (a.events == 1 && (a.first == 'S' || a.first == 'N')) {
      out.kind = a.first;
      out.text = a.text;
    } else if (a.events == 2 && a.negated) {
      out.kind = 'N';
    }
    calls[open.back()].args.push_back(std::move(out));
  }
};

json boxes_json(const std::vector<Box>& boxes) {
  json out = json::array();
  for (const Box& b : boxes) out.push_back({{"caption", b.caption}, {"text", b.text}});
  return out;
}

json table_json(int32_t kind) {
  json out = json::array();
  char name[32] = {}, text[100] = {};
  for (int32_t i = 0; MRVCOMP_GetEntry(kind, i, name, text); ++i) {
    name[sizeof name - 1] = 0;
    text[sizeof text - 1] = 0;
    out.push_back({from_cp932(name), from_cp932(text)});
  }
  return out;
}

json check_in_child(const CheckRequest& rq) {
  const std::string log = rq.scratch + "/boxes.log";
  std::ofstream(log, std::ios::trunc).close();
  setenv("MRV_DIALOG_ANSWERS", "", 1);
  setenv("MRV_DIALOG_LOG", log.c_str(), 1);
  plat::dialog_reset();
  json out = json::object();
  if (::chdir(rq.dir.c_str()) != 0) {
    out["failure"] = "cannot enter " + rq.dir;
    return out;
  }
  bool defsOk = true;
  if (!rq.defs.empty()) defsOk = MRVCOMP_DefineFile(0, rq.defs.c_str()) != 0;
  out["defsOk"] = defsOk;
  out["defsLine"] = MRVCOMP_GetLine();
  out["defsBoxes"] = boxes_json(take_boxes(log));
  out["macros"] = table_json(MRVCOMP_ENTRY_MACRO);
  out["includes"] = table_json(MRVCOMP_ENTRY_INCLUDE);
  if (!rq.compile) return out;

  CompileRequest cr{};
  std::string name = rq.name.substr(0, sizeof cr.name - 1);
  std::memcpy(cr.name, name.data(), name.size());
  cr.firstLine = 0;
  // The text and its end mark, as the file manager delivers a source.
  const std::size_t size = rq.source.size() + 2;
  if (size > 0xFFFFFFF0u) {
    out["failure"] = "the text is too large to compile";
    return out;
  }
  cr.source = static_cast<char*>(MRVTASK_AllocMemory(0, static_cast<uint32_t>(size)));
  if (cr.source == nullptr) {
    out["boxes"] = boxes_json(take_boxes(log));
    out["compiled"] = false;
    return out;
  }
  std::memcpy(cr.source, rq.source.data(), rq.source.size());
  cr.source[rq.source.size()] = 0x1A;
  cr.source[rq.source.size() + 1] = 0;
  cr.sourceSize = static_cast<uint32_t>(size);
  const bool ok = MRVCOMP_Comp(&cr) != 0;
  out["compiled"] = ok;
  out["error"] = MRVCOMP_GetError();
  out["line"] = MRVCOMP_GetLine();
  if (!ok) {
    char msg[2048] = {};
    MRVCOMP_MakeErrorMessage(&cr, msg);
    const std::string m = msg;
    out["message"] = from_cp932(m);
    // "NAME:PASS(p):LINE(l):TEXT" with our own NAME.
    int pass = 0;
    const std::string head = name + ":PASS(";
    if (m.compare(0, head.size(), head) == 0) pass = std::atoi(m.c_str() + head.size());
    out["pass"] = pass;
    const std::size_t lineAt = m.find("):LINE(", head.size());
    const std::size_t textAt = lineAt == std::string::npos ? lineAt : m.find("):", lineAt + 7);
    out["errorText"] = textAt == std::string::npos ? "" : from_cp932(m.substr(textAt + 2));
  } else {
    CallCollector calls;
    const auto r =
        codewalk::walk(cr.output, static_cast<uint32_t>(cr.outputPos - cr.output), calls);
    json list = json::array();
    if (r.ok()) {
      for (const Call& c : calls.calls) {
        json args = json::array();
        for (const Arg& a : c.args) args.push_back({std::string(1, a.kind), a.text});
        list.push_back({{"line", c.line},
                        {"library", from_cp932(c.library)},
                        {"command", from_cp932(c.command)},
                        {"args", args}});
      }
    }
    out["calls"] = list;
  }
  out["boxes"] = boxes_json(take_boxes(log));
  MRVTASK_FreeMemory(0, cr.source);
  MRVTASK_FreeMemory(0, cr.output);
  return out;
}

// ---- In the server --------------------------------------------------------

std::vector<Box> boxes_of(const json& j) {
  std::vector<Box> out;
  if (!j.is_array()) return out;
  for (const json& b : j) {
    if (b.is_object()) out.push_back({b.value("caption", ""), b.value("text", "")});
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> table_of(const json& j) {
  std::vector<std::pair<std::string, std::string>> out;
  if (!j.is_array()) return out;
  for (const json& e : j) {
    if (e.is_array() && e.size() == 2 && e[0].is_string() && e[1].is_string())
      out.emplace_back(e[0].get<std::string>(), e[1].get<std::string>());
  }
  return out;
}

CheckResult parse_result(const json& j) {
  CheckResult r;
  r.failure = j.value("failure", "");
  r.defsOk = j.value("defsOk", true);
  r.defsLine = j.value("defsLine", 0);
  r.defsBoxes = boxes_of(j.value("defsBoxes", json::array()));
  r.macros = table_of(j.value("macros", json::array()));
  r.includes = table_of(j.value("includes", json::array()));
  r.compiled = j.value("compiled", false);
  r.error = j.value("error", 0);
  r.pass = j.value("pass", 0);
  r.line = j.value("line", 0);
  r.message = j.value("message", "");
  r.errorText = j.value("errorText", "");
  r.boxes = boxes_of(j.value("boxes", json::array()));
  for (const json& c : j.value("calls", json::array())) {
    Call call;
    call.line = c.value("line", 0);
    call.library = c.value("library", "");
    call.command = c.value("command", "");
    for (const json& a : c.value("args", json::array())) {
      Arg arg;
      const std::string k = a.at(0).get<std::string>();
      arg.kind = k.empty() ? '?' : k[0];
      arg.text = a.at(1).get<std::string>();
      call.args.push_back(std::move(arg));
    }
    r.calls.push_back(std::move(call));
  }
  return r;
}

}  // namespace

CheckResult run_check(const CheckRequest& rq, int timeoutMs) {
  CheckResult failed;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    failed.failure = std::string("cannot start a check: ") + std::strerror(errno);
    return failed;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    failed.failure = std::string("cannot start a check: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return failed;
  }
  if (pid == 0) {
    ::close(fds[0]);
    // The protocol owns standard input and output; the libraries' own
    // printing goes nowhere.
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    std::string out;
    try {
      out = dump(check_in_child(rq));
    } catch (const std::exception& e) {
      out = dump(json{{"failure", std::string("the check failed: ") + e.what()}});
    }
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t n = ::write(fds[1], p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[65536];
    const ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    failed.failure =
        "the check took longer than " + std::to_string(timeoutMs / 1000) + " s and was stopped";
    return failed;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    failed.failure = WIFSIGNALED(status)
                         ? "the check stopped with signal " + std::to_string(WTERMSIG(status))
                         : "the check ended with status " + std::to_string(WEXITSTATUS(status));
    return failed;
  }
  const json j = json::parse(data, nullptr, false);
  if (!j.is_object()) {
    failed.failure = "the check gave no result";
    return failed;
  }
  try {
    return parse_result(j);
  } catch (const std::exception&) {
    failed.failure = "the check gave a damaged result";
    return failed;
  }
}

}  // namespace mrvls
