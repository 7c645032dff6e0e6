// mrvdap driven as an editor drives it, against the real host without a
// display: a whole session with two tasks stopped in two files; the title
// ending while stopped; the client vanishing; a title that never stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
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

// MRV opens its window and starts task 1 on SUB, which goes into INNER.
constexpr char kMrv[] =
    "MRVWIN:OPEN(320, 200, \"dap\");\n"
    "$A = 1;\n"
    "StartTask(1, \"SUB\");\n"
    "$A = $A + 1;\n"
    "DebugMessage(\"main \", $A);\n";
constexpr char kSub[] =
    "$B = 2;\n"
    "$B = $B + 1;\n"
    "Gosub(\"INNER\");\n"
    "DebugMessage(\"sub \", $B);\n";
constexpr char kInner[] =
    "$C = 7;\n"
    "$C = $C + 1;\n";

// A running mrvdap with pipes for its standard input and output.
class Adapter {
 public:
  Adapter() {
    for (const char* d : {"title", "run", "win"}) fs::create_directories(dir_.path() / d);
    std::vector<std::string> env = mrvtest::child_env(
        dir_.path() / "run",
        {"MRV_BACKEND=headless", "MRV_WINDIR=" + (dir_.path() / "win").string(),
         "MRV_DIALOG_LOG=" + (dir_.path() / "dialog.log").string(), "MRV_DIALOG_ANSWERS="});
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
  std::string output() {
    std::lock_guard lock(mu_);
    std::string out;
    for (const json& m : messages_) {
      if (m.value("event", "") == "output") out += m["body"].value("output", "");
    }
    return out;
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
  a.wait_event("stopped", 0);
  a.wait_event("stopped", 1);
  const json threads = a.request("threads")["body"]["threads"];
  ASSERT_EQ(threads.size(), 2u) << threads.dump();
  EXPECT_EQ(threads[1]["name"], "Task 1");
  EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", 4}));
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 2}));

  json v = a.variable(0, 0, "$A");
  EXPECT_EQ(v.value("value", ""), "1");
  EXPECT_EQ(v.value("type", ""), "number");
  const json frames = a.request("stackTrace", {{"threadId", 0}})["body"]["stackFrames"];
  const json scopes = a.request("scopes", {{"frameId", frames[0]["id"]}})["body"]["scopes"];
  const json set = a.request(
      "setVariable",
      {{"variablesReference", scopes[0]["variablesReference"]}, {"name", "$A"}, {"value", "41"}});
  EXPECT_EQ(set["body"].value("value", ""), "41");
  a.request("next", {{"threadId", 0}});
  a.wait_event("stopped", 0);
  EXPECT_EQ(a.where(0), (std::pair<std::string, int>{"MRV.SNA", 5}));

  a.request("next", {{"threadId", 1}});
  a.wait_event("stopped", 1);
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 3}));
  a.request("stepIn", {{"threadId", 1}});
  a.wait_event("stopped", 1);
  const json nested = a.request("stackTrace", {{"threadId", 1}})["body"]["stackFrames"];
  ASSERT_EQ(nested.size(), 2u) << nested.dump();
  EXPECT_EQ(nested[0].value("line", 0), 1);
  EXPECT_EQ(fs::path(nested[1]["source"].value("path", "")).filename(), "SUB.SNA");
  EXPECT_EQ(nested[1].value("line", 0), 3);
  a.request("stepOut", {{"threadId", 1}});
  a.wait_event("stopped", 1);
  EXPECT_EQ(a.where(1), (std::pair<std::string, int>{"SUB.SNA", 4}));
  EXPECT_EQ(a.variable(1, 0, "$B").value("value", ""), "3");

  a.request("continue", {{"threadId", 1}});
  a.request("continue", {{"threadId", 0}});
  const json exited = a.wait_event("exited");
  EXPECT_EQ(exited["body"].value("exitCode", -1), 0);
  a.wait_event("terminated");
  EXPECT_NE(a.output().find("main 42"), std::string::npos) << a.output();
  EXPECT_NE(a.output().find("sub 3"), std::string::npos) << a.output();
  a.request("disconnect");
  EXPECT_EQ(a.wait_exit(), 0);
}

// Terminate while stopped closes the title in order; a client that vanishes
// while a task is stopped leaves no title behind; a title without
// breakpoints runs to its end.
TEST(Mrvdap, TheTitleEndsWhenStoppedWhenTheClientVanishesAndWhenNothingStops) {
  for (const char* how : {"terminate", "vanish", "never"}) {
    SCOPED_TRACE(how);
    Adapter a;
    a.source("MRV", kMrv);
    a.source("SUB", kSub);
    a.source("INNER", kInner);
    a.launch(json{{"stopOnEntry", std::string(how) == "terminate"}});
    if (std::string(how) != "never") a.breakpoint("SUB.SNA", 2);
    a.request("configurationDone");
    if (std::string(how) == "terminate") {
      const json entry = a.wait_event("stopped", 0);
      EXPECT_EQ(entry["body"].value("reason", ""), "entry");
      a.request("continue", {{"threadId", 0}});
      a.wait_event("stopped", 1);
      a.request("terminate");
    } else if (std::string(how) == "vanish") {
      a.wait_event("stopped", 1);
      a.close_input();
    }
    a.wait_event("exited");
    a.wait_event("terminated");
    if (std::string(how) == "never") {
      EXPECT_NE(a.output().find("main 2"), std::string::npos);
    }
    if (std::string(how) == "terminate") a.request("disconnect");
    EXPECT_EQ(a.wait_exit(), 0);
  }
}

}  // namespace
