// mrvdap driven as an editor drives it, against the real host without a
// display: a whole session with two tasks stopped in two files; the title
// ending while stopped; the client vanishing; a title that never stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "processes.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// MRV opens its window and starts task 1 on SUB, which goes into INNER; its
// last line fails (NULL compared with a number) with an error box.
constexpr char kMrv[] =
    "MRVWIN:OPEN(320, 200, \"dap\");\n"
    "$A = 1;\n"
    "TaskStart(1, \"SUB\");\n"
    "$A = $A + 1;\n"
    "DebugMessage(\"main \", $A);\n"
    "$Z = $Y == 1;\n";
constexpr char kSub[] =
    "$B = 2;\n"
    "$B = $B + 1;\n"
    "Gosub(\"INNER\");\n"
    "DebugMessage(\"sub \", $B);\n";
constexpr char kInner[] =
    "$C = 7;\n"
    "$C = $C + 1;\n";

// True while process `pid` runs (a zombie has ended).
bool running(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::string stat = mrvtest::read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A running mrvdap with pipes for its standard input and output.
class Adapter {
 public:
  Adapter() {
    for (const char* d : {"title", "run", "win"}) fs::create_directories(dir_.path() / d);
    // The test's own Windows directory replaces the one of the test program
    // (the first of two entries would win).
    std::vector<std::string> env = mrvtest::child_env(dir_.path() / "run");
    std::erase_if(env, [](const std::string& v) { return v.rfind("MRV_WINDIR=", 0) == 0; });
    for (std::string v : {"MRV_WINDIR=" + (dir_.path() / "win").string(),
                          "MRV_DIALOG_LOG=" + (dir_.path() / "dialog.log").string(),
                          std::string("MRV_DIALOG_ANSWERS=")})
      env.push_back(std::move(v));
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::string path = std::string(std::getenv("MRV_TEST_BIN_DIR")) + "/mrvdap";
      std::vector<char*> argv{path.data(), nullptr};
      std::vector<char*> envp = mrvtest::pointers(env);
      execve(path.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    reader_ = std::thread([this] { read_all(); });
  }
  ~Adapter() {
    // A failed session shows its messages.
    if (::testing::Test::HasFailure()) std::fprintf(stderr, "the session:\n%s", dump().c_str());
    close_input();
    if (pid_ > 0 && !waited_) {
      if (!mrvtest::eventually([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 30000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (reader_.joinable()) reader_.join();
    if (from_ >= 0) close(from_);
  }

  fs::path title() const { return dir_.path() / "title"; }
  void source(const std::string& name, const std::string& text) const {
    mrvtest::write_file(title() / (name + ".SNA"), plat::utf8_to_cp932(text));
  }

  // Sends a request and waits for its response.
  json request(const std::string& command, json arguments = json::object()) {
    const int seq = seq_++;
    const std::string body = json{
        {"seq", seq},
        {"type", "request"},
        {"command", command},
        {"arguments", arguments}}.dump();
    const std::string msg = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    [[maybe_unused]] ssize_t n = write(to_, msg.data(), msg.size());
    json r = wait_for([&](const json& m) {
      return m.value("type", "") == "response" && m.value("request_seq", 0) == seq;
    });
    EXPECT_TRUE(r.value("success", false)) << command << ": " << r.dump();
    return r;
  }
  // The first message (from the start) that matches, waiting for it.
  json wait_for(const std::function<bool(const json&)>& match) {
    std::unique_lock lock(mu_);
    json found;
    cv_.wait_for(lock, std::chrono::seconds(60), [&] {
      for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (!taken_[i] && match(messages_[i])) {
          taken_[i] = true;
          found = messages_[i];
          return true;
        }
      }
      return false;
    });
    EXPECT_FALSE(found.is_null()) << "no such message";
    return found.is_null() ? json::object() : found;
  }
  json wait_event(const std::string& name, int thread = -1) {
    return wait_for([&](const json& m) {
      return m.value("type", "") == "event" && m.value("event", "") == name &&
             (thread < 0 || m["body"].value("threadId", -1) == thread);
    });
  }
  // The next stop of a thread; its reason.
  std::string stopped(int thread) {
    return wait_event("stopped", thread)["body"].value("reason", "");
  }
  // The next thread event of a thread; its reason (started, exited).
  std::string thread_event(int thread) {
    return wait_event("thread", thread)["body"].value("reason", "");
  }
  // The output events' texts of one category.
  std::string output(const std::string& category = "stdout") {
    std::lock_guard lock(mu_);
    std::string out;
    for (const json& m : messages_) {
      if (m.value("event", "") == "output" && m["body"].value("category", "") == category)
        out += m["body"].value("output", "");
    }
    return out;
  }
  // What the title wrote with SetIniFile (into the Windows directory).
  std::string ini() const {
    const fs::path f = dir_.path() / "win" / "DAP.INI";
    return fs::exists(f) ? mrvtest::read_file(f) : std::string();
  }
  std::string dump() {
    std::lock_guard lock(mu_);
    std::string out;
    for (const json& m : messages_) out += m.dump() + "\n";
    return out;
  }
  void kill_adapter() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    waited_ = true;
  }
  void close_input() {
    if (to_ >= 0) close(to_);
    to_ = -1;
  }
  // mrvdap's exit status, or -1 after the time limit.
  int wait_exit() {
    int status = 0;
    if (!mrvtest::eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 60000))
      return -1;
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }
  void launch(json extra = json::object()) {
    request("initialize", {{"adapterID", "mrv33"}});
    json args = {{"program", title().string()}, {"scenario", "MRV"}};
    args.update(extra);
    request("launch", args);
    wait_event("initialized");
  }
  void breakpoint(const std::string& file, int line) {
    const json r = request("setBreakpoints", {{"source", {{"path", (title() / file).string()}}},
                                              {"breakpoints", {{{"line", line}}}}});
    EXPECT_TRUE(r["body"]["breakpoints"][0].value("verified", false)) << r.dump();
  }
  // The top frame of a stopped thread: its file name and line.
  std::pair<std::string, int> where(int thread) {
    const json r = request("stackTrace", {{"threadId", thread}});
    const json& f = r["body"]["stackFrames"];
    if (f.empty()) return {"", 0};
    return {fs::path(f[0]["source"].value("path", "")).filename().string(), f[0].value("line", 0)};
  }
  // Sets a variable of the scope (0 locals, 1 common, 2 system) of a
  // stopped thread's top frame; the response.
  json set_variable(int thread, int scope, const std::string& name, const std::string& value) {
    const json frames = request("stackTrace", {{"threadId", thread}})["body"]["stackFrames"];
    const json scopes = request("scopes", {{"frameId", frames[0]["id"]}})["body"]["scopes"];
    return request("setVariable", {{"variablesReference", scopes[scope]["variablesReference"]},
                                   {"name", name},
                                   {"value", value}});
  }
  json variable(int thread, int scope, const std::string& name) {
    const json frames = request("stackTrace", {{"threadId", thread}})["body"]["stackFrames"];
    const json scopes = request("scopes", {{"frameId", frames[0]["id"]}})["body"]["scopes"];
    const json vars =
        request("variables",
                {{"variablesReference", scopes[scope]["variablesReference"]}})["body"]["variables"];
    for (const json& v : vars) {
      if (v["name"] == name) return v;
    }
    return json::object();
  }

 private:
  void read_all() {
    std::string buf;
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) return;
      buf.append(chunk, std::size_t(n));
      for (;;) {
        const std::size_t head = buf.find("\r\n\r\n");
        if (head == std::string::npos) break;
        const std::size_t length = std::stoul(buf.substr(buf.find(':') + 1, head));
        if (buf.size() < head + 4 + length) break;
        json m = json::parse(buf.substr(head + 4, length));
        buf.erase(0, head + 4 + length);
        std::lock_guard lock(mu_);
        messages_.push_back(std::move(m));
        taken_.push_back(false);
        cv_.notify_all();
      }
    }
  }

  mrvtest::TempDir dir_;
  pid_t pid_ = -1;
  bool waited_ = false;
  int to_ = -1, from_ = -1;
  int seq_ = 1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<json> messages_;
  std::vector<bool> taken_;
};

TEST(Mrvdap, AWholeSessionWithTwoTasksInTwoFiles) {
  Adapter a;
  a.source("MRV", kMrv);
  a.source("SUB", kSub);
  a.source("INNER", kInner);
  a.launch();
  a.breakpoint("MRV.SNA", 4);
  a.breakpoint("SUB.SNA", 2);
  a.request("configurationDone");
  EXPECT_EQ(a.thread_event(0), "started");
  EXPECT_EQ(a.thread_event(1), "started");
  EXPECT_EQ(a.stopped(0), "breakpoint");
  EXPECT_EQ(a.stopped(1), "breakpoint");
  const json threads = a.request("threads")["body"]["threads"];
  ASSERT_EQ(threads.size(), 2u) << threads.dump();
  EXPECT_EQ(threads[1]["name"], "Task 1");
  EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", 4}));
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 2}));

  json v = a.variable(0, 0, "$A");
  EXPECT_EQ(v.value("value", ""), "1");
  EXPECT_EQ(v.value("type", ""), "number");
  EXPECT_EQ(a.set_variable(0, 0, "$A", "41")["body"].value("value", ""), "41");
  v = a.variable(0, 2, "#0");  // the records' tag
  EXPECT_EQ(v.value("value", ""), "1171");
  EXPECT_EQ(v.value("type", ""), "number");
  a.request("next", {{"threadId", 0}});
  EXPECT_EQ(a.stopped(0), "step");
  EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", 5}));

  a.request("next", {{"threadId", 1}});
  EXPECT_EQ(a.stopped(1), "step");
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 3}));
  a.request("stepIn", {{"threadId", 1}});
  EXPECT_EQ(a.stopped(1), "step");
  const json nested = a.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"];
  ASSERT_EQ(nested.size(), 2u) << nested.dump();
  EXPECT_EQ(nested[0].value("line", 0), 1);
  EXPECT_EQ(fs::path(nested[1]["source"].value("path", "")).filename(), "SUB.SNA");
  EXPECT_EQ(nested[1].value("line", 0), 3);
  a.request("stepOut", {{"threadId", 1}});
  EXPECT_EQ(a.stopped(1), "step");
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 4}));
  EXPECT_EQ(a.variable(1, 0, "$B").value("value", ""), "3");

  a.request("continue", {{"threadId", 1}});
  EXPECT_EQ(a.thread_event(1), "exited");
  EXPECT_NE(a.output().find("sub  3\n"), std::string::npos) << a.output();
  a.request("continue", {{"threadId", 0}});
  EXPECT_EQ(a.thread_event(0), "exited");
  const json exited = a.wait_event("exited");
  EXPECT_EQ(exited["body"].value("exitCode", -1), 0);
  a.wait_event("terminated");
  EXPECT_NE(a.output().find("main  42\n"), std::string::npos) << a.output();
  // The error box of MRV's last line, line by line.
  const std::string box = a.output("stderr");
  EXPECT_NE(box.find("\n【タスク】\t0\n【行番号】\t6\n"), std::string::npos) << box;
  EXPECT_NE(box.find("【内容】\t指定された2つのFAQの型が異なっています。\n"), std::string::npos)
      << box;
  a.request("disconnect");
  EXPECT_EQ(a.wait_exit(), 0);
}

// A breakpoint is verified only on a line where a statement stops: not on a
// comment, a block's first statement, a closing brace, a continued
// statement or a blank line; braces and ';' in strings and comments do not
// count. Each verified line stops once, in order.
TEST(Mrvdap, BreakpointsAreVerifiedWhereAStatementStops) {
  Adapter a;
  a.source("MRV",
           "// the first statement follows a line change\n"
           "$B = 0;\n"
           "If(1) {\n"
           "  $A = 1;  // }; not code\n"
           "  $A = \"{;\";\n"
           "};\n"
           "DebugMessage(\"x\",\n"
           "  $A);\n"
           "\n");
  a.launch();
  json lines = json::array();
  for (int l = 1; l <= 9; ++l) lines.push_back({{"line", l}});
  const json r =
      a.request("setBreakpoints",
                {{"source", {{"path", (a.title() / "MRV.SNA").string()}}}, {"breakpoints", lines}});
  std::vector<int> verified;
  for (const json& b : r["body"]["breakpoints"]) {
    if (b.value("verified", false)) verified.push_back(b.value("line", 0));
  }
  EXPECT_EQ(verified, (std::vector<int>{2, 3, 5, 7}));
  a.request("configurationDone");
  for (int l : verified) {
    EXPECT_EQ(a.stopped(0), "breakpoint");
    EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", l}));
    a.request("continue", {{"threadId", 0}});
  }
  EXPECT_EQ(a.wait_event("exited")["body"].value("exitCode", -1), 0);
  EXPECT_EQ(a.output(), "x{;\n");
  a.request("disconnect");
  EXPECT_EQ(a.wait_exit(), 0);
}

// The scenario's own DebugBreak stops its task (as a pause that says so);
// pause stops a task that loops; terminate closes the title that never ends.
TEST(Mrvdap, DebugBreakAndPauseStopATaskAndTerminateEndsALoop) {
  Adapter a;
  a.source("MRV",
           "MRVWIN:OPEN(320, 200, \"dap\");\n"
           "DebugBreak(0);\n"
           "$A = 1;\n"
           "Loop(-1) { Wait(10); };\n");
  a.launch();
  a.request("configurationDone");
  const json stop = a.wait_event("stopped", 0)["body"];
  EXPECT_EQ(stop.value("reason", ""), "pause");
  EXPECT_EQ(stop.value("description", ""), "DebugBreak");
  EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", 3}));
  a.request("continue", {{"threadId", 0}});
  a.request("pause", {{"threadId", 0}});
  EXPECT_EQ(a.stopped(0), "pause");
  EXPECT_EQ(a.variable(0, 0, "$A").value("value", ""), "1");
  a.request("terminate");
  EXPECT_EQ(a.wait_event("exited")["body"].value("exitCode", -1), 0);
  a.request("disconnect");
  EXPECT_EQ(a.wait_exit(), 0);
}

// The ways a session ends before the title's end: the client terminates it
// while a task is stopped, another task ends the title while one is stopped,
// the client vanishes, the adapter is killed; and a title in which nothing
// stops. SUB writes DAP.INI once it has run past its breakpoint: a title that
// was closed never gets there, one that was let go does.
TEST(Mrvdap, ATitleStoppedClosedOrLetGoNeverHangs) {
  // MRV as above, but it ends the title (Exit) once $1 is set.
  constexpr char kExiting[] =
      "MRVWIN:OPEN(320, 200, \"dap\");\n"
      "$1 = 0;\n"
      "TaskStart(1, \"SUB\");\n"
      "Loop(-1) { If($1 == 1) { Exit(0); }; Wait(10); };\n";
  constexpr char kSubWrites[] =
      "$B = 2;\n"
      "$B = $B + 1;\n"
      "SetIniFile(\"DAP.INI\", \"run\", \"sub\", \"past\");\n";
  enum class End { Terminate, Exit, Vanish, Kill, Never };
  const struct {
    End how;
    const char* name;
    const char* mrv;
    bool ranOn;  // SUB ran past its breakpoint
  } cases[] = {
      {End::Terminate, "terminate", kMrv, false},    {End::Exit, "exit", kExiting, false},
      {End::Vanish, "client vanishes", kMrv, false}, {End::Kill, "adapter killed", kMrv, true},
      {End::Never, "nothing stops", kMrv, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Adapter a;
    a.source("MRV", c.mrv);
    a.source("SUB", kSubWrites);
    a.launch(json{{"stopOnEntry", c.how == End::Terminate}});
    const int host = a.wait_event("process")["body"].value("systemProcessId", -1);
    ASSERT_GT(host, 0);
    if (c.how != End::Never) a.breakpoint("SUB.SNA", 2);
    a.request("configurationDone");
    if (c.how == End::Terminate) {
      EXPECT_EQ(a.wait_event("stopped", 0)["body"].value("reason", ""), "entry");
      a.request("continue", {{"threadId", 0}});
    }
    if (c.how != End::Never) {
      EXPECT_EQ(a.wait_event("stopped", 1)["body"].value("reason", ""), "breakpoint");
    }
    switch (c.how) {
      case End::Terminate:
        a.request("terminate");
        break;
      case End::Exit:
        a.set_variable(1, 1, "$1", "1");
        break;
      case End::Vanish:
        a.close_input();
        break;
      case End::Kill:
        a.kill_adapter();
        break;
      case End::Never:
        break;
    }
    if (c.how != End::Kill) {
      EXPECT_EQ(a.wait_event("exited")["body"].value("exitCode", -1), 0);
      a.wait_event("terminated");
      if (c.how == End::Never) {
        EXPECT_NE(a.output().find("main  2\n"), std::string::npos) << a.dump();
      }
      if (c.how != End::Vanish) a.request("disconnect");
      EXPECT_EQ(a.wait_exit(), 0);
    }
    // The host has gone (or is a zombie nobody reaps) in every case.
    EXPECT_TRUE(mrvtest::eventually([&] { return !running(host); }, 60000));
    EXPECT_EQ(a.ini().find("sub=past") != std::string::npos, c.ranOn) << a.dump();
  }
}

}  // namespace
