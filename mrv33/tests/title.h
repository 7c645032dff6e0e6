// A title for end-to-end tests of the host: the real mrv33 in a program
// directory of its own (a copy of the program, links to the libraries, the
// test library INJECT), with its own runtime, Windows and working
// directories, and its channels and dialogs written to logs there.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "dialog_log.h"
#include "platform/text.h"
#include "processes.h"
#include "tempdir.h"

namespace mrvtest {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

constexpr int kTimedOut = -1000;

// One JSON object per line with string fields only, as the platform writes it.
inline std::string json_field(const std::string& line, const std::string& key) {
  const std::string pat = "\"" + key + "\":\"";
  std::size_t p = line.find(pat);
  if (p == std::string::npos) return {};
  std::string out;
  for (p += pat.size(); p < line.size() && line[p] != '"'; ++p) {
    if (line[p] == '\\' && p + 1 < line.size()) {
      const char e = line[++p];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    } else {
      out += line[p];
    }
  }
  return out;
}

// A program directory with the host, the system's libraries, the sample
// library mrvwin and INJECT, the title's scenarios, and a working directory,
// Windows directory and runtime directory of its own.
class Title {
 public:
  Title() {
    for (const char* d : {"prog", "work", "run", "win"}) fs::create_directories(dir_.path() / d);
    const fs::path bin = std::getenv("MRV_TEST_BIN_DIR");
    for (const auto& e : fs::directory_iterator(bin)) {
      const std::string name = e.path().filename().string();
      if (name == "mrv33" || name == "starter") {
        // A copy, not a link: the host finds its program directory from
        // its own file name.
        std::error_code ec;
        fs::create_hard_link(e.path(), prog() / name, ec);
        if (ec) fs::copy_file(e.path(), prog() / name);
      } else if (name.find(".so") != std::string::npos) {
        fs::create_symlink(e.path(), prog() / name);
      }
    }
    fs::create_symlink(bin.parent_path() / "tests" / "inject.so", prog() / "inject.so");
  }

  // A process this title started and nobody waited for (a test that
  // stopped at a failed assertion) must not outlive the test.
  ~Title() {
    for (pid_t pid : started_) {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  }
  Title(const Title&) = delete;
  Title& operator=(const Title&) = delete;

  fs::path prog() const { return dir_.path() / "prog"; }
  fs::path work() const { return dir_.path() / "work"; }
  fs::path file(const std::string& name) const { return dir_.path() / name; }

  // A scenario (UTF-8, stored in code page 932) in the program directory.
  void source(const std::string& name, const std::string& utf8) const {
    mrvtest::write_file(prog() / (name + ".SNA"), plat::utf8_to_cp932(utf8));
  }
  void definitions(const std::string& utf8) const {
    mrvtest::write_file(prog() / "mrv.def", plat::utf8_to_cp932(utf8));
  }

  pid_t start(const std::vector<std::string>& args, Env extra = {},
              const std::string& program = "mrv33") const {
    Env env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string kv = *e;
      const std::size_t eq = kv.find('=');
      if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["MRV_RUNTIME_DIR"] = file("run");
    env["MRV_WINDIR"] = file("win");
    env["MRV_TRACE_LOG"] = file("trace.log");
    env["MRV_VIEWER_LOG"] = file("viewer.log");
    env["MRV_DIALOG_LOG"] = file("dialog.log");
    env["MRV_DIALOG_ANSWERS"] = "";
    env["MRV_COUNTRY"] = "81";
    env.erase("MRV_TRACE");
    for (const auto& [k, v] : extra) env[k] = v;
    std::vector<std::string> kvs;
    for (const auto& [k, v] : env) kvs.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& s : kvs) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, file("stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, file("stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addchdir_np(&fa, work().c_str());
    pid_t pid = -1;
    const std::string path = (prog() / program).string();
    if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (pid > 0) started_.push_back(pid);
    return pid;
  }

  // The exit status of the process, or kTimedOut (it is then killed).
  static int finish(pid_t pid, int ms = kPatienceMs) {
    if (pid <= 0) return kTimedOut;
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return kTimedOut;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int run(const std::vector<std::string>& args = {}, Env extra = {}) const {
    return finish(start(args, std::move(extra)));
  }

  Lines trace() const { return lines("trace.log"); }
  Lines viewer() const { return lines("viewer.log"); }
  std::vector<mrvtest::Box> boxes() const { return parse_boxes(); }
  // The "@B ..." lines of DebugMessage, without the record tag.
  Lines messages() const {
    Lines out;
    for (const std::string& l : trace())
      if (l.rfind("1171 @B ", 0) == 0) out.push_back(l.substr(8));
    return out;
  }
  bool traced(const std::string& line) const {
    const Lines t = trace();
    return std::find(t.begin(), t.end(), line) != t.end();
  }
  std::string errors() const { return mrvtest::read_file(file("stderr.txt")); }
  // The lines of a file of the title's directory.
  Lines lines(const std::string& name) const {
    Lines out;
    std::ifstream f(file(name), std::ios::binary);
    std::string line;
    while (std::getline(f, line)) out.push_back(line);
    return out;
  }

 private:
  std::vector<mrvtest::Box> parse_boxes() const {
    std::vector<mrvtest::Box> out;
    for (const std::string& l : lines("dialog.log")) {
      mrvtest::Box b;
      b.caption = json_field(l, "caption");
      b.text = json_field(l, "text");
      b.buttons = json_field(l, "buttons");
      b.answer = json_field(l, "answer");
      out.push_back(b);
    }
    return out;
  }

  mrvtest::TempDir dir_;
  mutable std::vector<pid_t> started_;
};

// Opens the main window and waits, for scenarios that drive input.
inline const char* kOpen = "MRVWIN:OPEN(320, 200, \"e2e\");\n";

}  // namespace mrvtest
