// mrvls driven as an editor drives it: the real program over its pipes,
// through whole conversations, on the bundled title and on broken sources.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/dialog.h"
#include "platform/text.h"
#include "tempdir.h"
#include "text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using mrvls::Text;

constexpr int kPatienceMs = 60000;  // two shared cores, sanitizers

std::string bin_dir() {
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  return bin ? bin : ".";
}

std::string frame(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One running mrvls with its pipes.
class Session {
 public:
  explicit Session(std::vector<std::string> args = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string exe = bin_dir() + "/mrvls";
    args.insert(args.begin(), exe);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("spawn " + exe);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Session() {
    if (to_ >= 0) ::close(to_);
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ::close(from_);
  }

  void raw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(to_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) throw std::runtime_error("write to mrvls");
      done += static_cast<std::size_t>(n);
    }
  }
  void send(const json& j) { raw(frame(j.dump())); }
  void notify(const std::string& method, const json& params) {
    send({{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
  }
  // Sends a request and waits for its answer (the whole message).
  json request(const std::string& method, const json& params) {
    const int id = ++lastId_;
    send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
    return answer(id);
  }
  json answer(const json& id) {
    for (;;) {
      const json m = next();
      if (m.contains("id") && m["id"] == id && !m.contains("method")) return m;
    }
  }
  // The diagnostics published for `uri` next.
  json diagnostics(const std::string& uri) {
    for (;;) {
      auto it = std::find_if(pending_.begin(), pending_.end(), [&](const json& m) {
        return m.value("method", "") == "textDocument/publishDiagnostics" &&
               m["params"]["uri"] == uri;
      });
      if (it != pending_.end()) {
        const json d = (*it)["params"]["diagnostics"];
        pending_.erase(it);
        return d;
      }
      pending_.push_back(read_message());
    }
  }
  // The next message, notifications kept for diagnostics().
  json next() {
    const json m = read_message();
    if (m.value("method", "") == "textDocument/publishDiagnostics") {
      pending_.push_back(m);
      return next();
    }
    return m;
  }
  json initialize(const std::string& root) {
    json r = request(
        "initialize",
        {{"processId", getpid()}, {"rootUri", "file://" + root}, {"capabilities", json::object()}});
    notify("initialized", json::object());
    return r;
  }
  // Shuts down and exits; the exit status.
  int finish(bool shutdown = true) {
    if (shutdown) {
      const json r = request("shutdown", nullptr);
      EXPECT_TRUE(r.contains("result") && r["result"].is_null()) << r.dump();
    }
    notify("exit", nullptr);
    return wait();
  }
  int wait() {
    ::close(to_);
    to_ = -1;
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "mrvls did not end";
        return -1;
      }
      usleep(10000);
    }
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  bool fill() {
    pollfd p{from_, POLLIN, 0};
    if (poll(&p, 1, kPatienceMs) <= 0) throw std::runtime_error("mrvls does not answer");
    char chunk[65536];
    const ssize_t n = ::read(from_, chunk, sizeof chunk);
    if (n <= 0) throw std::runtime_error("mrvls closed its output");
    buf_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  json read_message() {
    std::size_t head;
    while ((head = buf_.find("\r\n\r\n")) == std::string::npos) fill();
    const std::string h = buf_.substr(0, head);
    const std::size_t at = h.find("Content-Length: ");
    if (at == std::string::npos) throw std::runtime_error("no Content-Length in " + h);
    const std::size_t len = std::stoul(h.substr(at + 16));
    while (buf_.size() < head + 4 + len) fill();
    const std::string body = buf_.substr(head + 4, len);
    buf_.erase(0, head + 4 + len);
    return json::parse(body);
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool waited_ = false;
  int lastId_ = 0;
  std::string buf_;
  std::vector<json> pending_;
};

std::string uri(const std::string& path) {
  return "file://" + path;
}

json pos(int line, int character) {
  return {{"line", line}, {"character", character}};
}

json at(const std::string& u, int line, int character) {
  return {{"textDocument", {{"uri", u}}}, {"position", pos(line, character)}};
}

std::string messages(const json& diags) {
  std::string s;
  for (const json& d : diags) s += d["message"].get<std::string>() + "\n";
  return s;
}

// The files of a folder with their sizes and times: to see that nothing
// was written there.
std::map<std::string, std::pair<uintmax_t, long>> snapshot(const fs::path& dir,
                                                           const std::string& only = {}) {
  std::map<std::string, std::pair<uintmax_t, long>> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!only.empty() && e.path().extension() != only) continue;
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    out[e.path().string()] = {
        e.is_regular_file() ? e.file_size() : 0,
        static_cast<long>(st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec)};
  }
  return out;
}

// A title of its own: a definition file with a macro and an include, a
// subroutine, and a command library (the sample library, renamed).
class Title : public ::testing::Test {
 protected:
  void SetUp() override {
    Write("mrv.def",
          "// 定義ファイル\n"
          "#define 'GREETING' '\"こんにちは\"'\n"
          "#include 'HEAD' 'head.inc'\n");
    Write("head.inc", "Wait(1);");
    Write("SUB.SNA", "Return(1);");
    fs::copy_file(bin_dir() + "/mrvwin.so", dir_.file("mylib.so"));
  }
  // A file in code page 932, written from UTF-8.
  std::string Write(const std::string& name, const std::string& utf8) {
    const std::string path = dir_.file(name);
    mrvtest::write_file(path, plat::utf8_to_cp932(utf8));
    return path;
  }
  json Open(Session& s, const std::string& path, const std::string& text,
            const std::string& lang = "mrv-scenario") {
    s.notify("textDocument/didOpen",
             {{"textDocument",
               {{"uri", uri(path)}, {"languageId", lang}, {"version", 1}, {"text", text}}}});
    return s.diagnostics(uri(path));
  }
  // The program directory: empty, so that only the title's files count.
  std::vector<std::string> Args() { return {"--program-dir", program_.path().string()}; }
  mrvtest::TempDir dir_, program_;
};

// The compiler's own message for `source` compiled as `name` in `dir` with
// `defs`, made in this process: what the server must report.
std::string CompilerMessage(const std::string& dir, const std::string& defs,
                            const std::string& name, const std::string& utf8, int* line) {
  setenv("MRV_DIALOG_ANSWERS", "", 1);
  plat::dialog_reset();
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  // The tables only grow: every fixture's definition file defines the same
  // names, so it is read once.
  static bool defined = false;
  if (!defined) defined = MRVCOMP_DefineFile(0, defs.c_str()) != 0;
  const std::string text = plat::utf8_to_cp932(utf8);
  CompileRequest rq{};
  std::snprintf(rq.name, sizeof rq.name, "%s", name.c_str());
  rq.source = static_cast<char*>(MRVTASK_AllocMemory(0, static_cast<uint32_t>(text.size() + 2)));
  std::memcpy(rq.source, text.data(), text.size());
  rq.source[text.size()] = 0x1A;
  rq.sourceSize = static_cast<uint32_t>(text.size() + 2);
  std::string msg;
  if (MRVCOMP_Comp(&rq) == 0 && MRVCOMP_GetError() > 0) {
    char buf[2048] = {};
    MRVCOMP_MakeErrorMessage(&rq, buf);
    msg = plat::cp932_to_utf8(buf);
  }
  *line = MRVCOMP_GetLine();
  MRVTASK_FreeMemory(0, rq.source);
  MRVTASK_FreeMemory(0, rq.output);
  fs::current_path(here);
  return msg;
}

// A whole conversation with Japanese text: open, diagnostics, change to a
// broken text and back, hover, completion, definition, symbols, shutdown,
// exit; nothing written into the title's folder.
TEST_F(Title, WholeConversation) {
  const std::string main = Write("MAIN.SNA", "");
  const auto before = snapshot(dir_.path());
  Session s(Args());
  const json init = s.initialize(dir_.path().string());
  ASSERT_TRUE(init.contains("result")) << init.dump();
  EXPECT_EQ(init["result"]["capabilities"]["positionEncoding"], "utf-16");
  EXPECT_EQ(init["result"]["capabilities"]["textDocumentSync"]["change"], 1);

  const std::string text =
      "// 挨拶: こんにちは\n"
      "$1 = GREETING; Wait(30);\n"
      "If($1 == \"日本語\") { MYLIB:PRINT(\"世界\"); } ELSE { Gosub(\"SUB\"); };\n"
      "HEAD\n"
      "$2 = TaskStart(-1, \"SUB\", 1);\n";
  EXPECT_EQ(messages(Open(s, main, text)), "");

  // A broken text: the compiler's error at its line, as the compiler says it.
  const std::string broken = "$1 = \"あいう\";\n$2 = \"えお\"; Wait(30)\n";
  s.notify("textDocument/didChange", {{"textDocument", {{"uri", uri(main)}, {"version", 2}}},
                                      {"contentChanges", {{{"text", broken}}}}});
  json d = s.diagnostics(uri(main));
  int line = -1;
  const std::string expected =
      CompilerMessage(dir_.path(), dir_.file("mrv.def"), "MAIN", broken, &line);
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(d.size(), 1u) << d.dump();
  EXPECT_EQ(d[0]["message"], expected);
  EXPECT_EQ(d[0]["code"], 7);
  EXPECT_EQ(d[0]["severity"], 1);
  EXPECT_EQ(d[0]["range"]["start"]["line"], line);
  EXPECT_EQ(line, 1);

  s.notify("textDocument/didChange", {{"textDocument", {{"uri", uri(main)}, {"version", 3}}},
                                      {"contentChanges", {{{"text", text}}}}});
  EXPECT_EQ(messages(s.diagnostics(uri(main))), "");

  // Hover on Wait after a macro on line 1, on the library command after
  // Japanese text on line 2 (UTF-16 columns), on the macro, on #4.
  json h = s.request("textDocument/hover", at(uri(main), 1, 17));
  ASSERT_TRUE(h["result"].is_object()) << h.dump();
  const std::string wait = h["result"]["contents"]["value"];
  EXPECT_NE(wait.find("Wait(N) -> NULL"), std::string::npos) << wait;
  EXPECT_NE(wait.find("milliseconds"), std::string::npos) << wait;
  EXPECT_EQ(h["result"]["range"]["start"], pos(1, 15));
  // "If($1 == "日本語") { MYLIB:PRINT": PRINT begins at UTF-16 column 24
  // (byte 30).
  h = s.request("textDocument/hover", at(uri(main), 2, 25));
  ASSERT_TRUE(h["result"].is_object()) << h.dump();
  EXPECT_EQ(h["result"]["range"]["start"], pos(2, 24));
  EXPECT_NE(h["result"]["contents"]["value"].get<std::string>().find("MRV_PRINT"),
            std::string::npos);
  h = s.request("textDocument/hover", at(uri(main), 1, 7));
  ASSERT_TRUE(h["result"].is_object()) << h.dump();
  const std::string macro = h["result"]["contents"]["value"];
  EXPECT_NE(macro.find("\"こんにちは\""), std::string::npos) << macro;
  EXPECT_NE(macro.find("line 2"), std::string::npos) << macro;
  s.notify("textDocument/didChange", {{"textDocument", {{"uri", uri(main)}, {"version", 4}}},
                                      {"contentChanges", {{{"text", text + "#4 = 1;\n"}}}}});
  s.diagnostics(uri(main));
  h = s.request("textDocument/hover", at(uri(main), 5, 1));
  ASSERT_TRUE(h["result"].is_object()) << h.dump();
  EXPECT_NE(h["result"]["contents"]["value"].get<std::string>().find("return register"),
            std::string::npos);

  // Completion: everywhere the commands, libraries and macros; after
  // "MYLIB:" the library's exports; in Gosub's string the scenarios.
  json c = s.request("textDocument/completion", at(uri(main), 1, 0));
  std::vector<std::string> labels;
  for (const json& i : c["result"]["items"]) labels.push_back(i["label"]);
  for (const char* want : {"Wait", "TaskStart", "MessageBox", "MYLIB", "GREETING", "HEAD", "TRUE"})
    EXPECT_NE(std::find(labels.begin(), labels.end(), want), labels.end()) << want;
  // Right after the colon, and inside the command's name.
  for (const int col : {24, 26}) {
    c = s.request("textDocument/completion", at(uri(main), 2, col));
    labels.clear();
    for (const json& i : c["result"]["items"]) labels.push_back(i["label"]);
    for (const char* want : {"PRINT", "OPEN", "TEXT"})
      EXPECT_NE(std::find(labels.begin(), labels.end(), want), labels.end()) << want << col;
    EXPECT_EQ(std::find(labels.begin(), labels.end(), "Wait"), labels.end()) << col;
  }
  // Inside "SUB" of Gosub (line 2, after `Gosub("`).
  const int gosubCol = 54;
  c = s.request("textDocument/completion", at(uri(main), 2, gosubCol));
  labels.clear();
  for (const json& i : c["result"]["items"]) labels.push_back(i["label"]);
  EXPECT_EQ(labels, (std::vector<std::string>{"MAIN", "SUB"}));

  // Definition: the macro's line, the include file, the scenario file.
  json def = s.request("textDocument/definition", at(uri(main), 1, 8));
  EXPECT_EQ(def["result"]["uri"], uri(dir_.file("mrv.def")));
  EXPECT_EQ(def["result"]["range"]["start"]["line"], 1);
  def = s.request("textDocument/definition", at(uri(main), 3, 1));
  EXPECT_EQ(def["result"]["uri"], uri(dir_.file("head.inc")));
  def = s.request("textDocument/definition", at(uri(main), 2, gosubCol));
  EXPECT_EQ(def["result"]["uri"], uri(dir_.file("SUB.SNA")));
  def = s.request("textDocument/definition", at(uri(main), 4, 20));
  EXPECT_EQ(def["result"]["uri"], uri(dir_.file("SUB.SNA"))) << def.dump();

  // The outline: If with its block, then the ELSE block.
  const json sym =
      s.request("textDocument/documentSymbol", {{"textDocument", {{"uri", uri(main)}}}});
  ASSERT_EQ(sym["result"].size(), 2u) << sym.dump();
  EXPECT_EQ(sym["result"][0]["name"], "If($1 == \"日本語\")");
  EXPECT_EQ(sym["result"][0]["range"]["start"], pos(2, 0));
  EXPECT_EQ(sym["result"][1]["name"], "ELSE");

  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(snapshot(dir_.path()), before);
}

// What the engine only finds when it runs: each source with the warnings
// (substrings, in order) it gets, or none.
TEST_F(Title, RunTimeWarnings) {
  struct Case {
    const char* source;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"Wait(30); DebugMessage(1, \"a\", \\$1); Gosub(\"SUB\"); MYLIB:PRINT(\"x\");", {}},
      {"Wiat(30);", {"関数<(MRV_)WIAT>が見つかりません。"}},
      {"Wait(1, 2);", {"関数(Wait)において引数の数が多すぎます。"}},
      {"Wait();", {"関数(Wait)において引数が足りません。"}},
      {"Random(1);", {"関数(Random)において引数が足りません。"}},
      {"Wait(\"x\");", {"関数(Wait)において、第1引数は数値型でなければなりません。"}},
      {"MessageBox(\"a\", 2, 0);",
       {"関数(MessageBox)において、第2引数は文字型でなければなりません。"}},
      {"Wait(,);", {"関数(Wait)において、第1引数は数値型でなければなりません。"}},
      {"SetRectXpos(5, 1);", {"関数(SetRectXpos)において、第1引数は領域型でなければなりません。"}},
      {"Swap(1, \\$2);", {"関数(Swap)において、第1引数は不明型でなければなりません。"}},
      {"Abs(-5); Abs($1 + 1); Abs(\\$1);",
       {"関数(Abs)において、第1引数は数値型でなければなりません。"}},
      {"TaskSuper(\"a\");", {"関数(IsTask)において、第1引数は数値型"}},
      {"Gosub(\"NOSUCH\");", {"no scenario \"NOSUCH\""}},
      {"TaskStart(1, \"sub\");", {}},
      {"NOLIB:F();", {"ライブラリ \"NOLIB.so\" が見つかりません。"}},
      {"mylib:nope();", {"コマンドライブラリ<MYLIB.DLL>で、関数<(MRV_)NOPE>が見つかりません。"}},
      {"If(1) {\n  Wait(\"a\");\n};", {"第1引数は数値型"}},
      {"Wait(Abs(\"a\"));", {"関数(Abs)において"}},
  };
  Session s(Args());
  s.initialize(dir_.path().string());
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir_.file("W" + std::to_string(n++) + ".SNA");
    const json d = Open(s, path, c.source);
    ASSERT_EQ(d.size(), c.warnings.size()) << c.source << "\n" << d.dump(1);
    for (std::size_t i = 0; i < d.size(); ++i) {
      EXPECT_EQ(d[i]["severity"], 2) << c.source;
      EXPECT_NE(d[i]["message"].get<std::string>().find(c.warnings[i]), std::string::npos)
          << c.source << "\n"
          << d[i]["message"];
    }
  }
  // The warning marks the call itself: "Wait" on line 1 of the block.
  const json d = Open(s, dir_.file("POS.SNA"), "// 日本語\nIf(1) {\n  日本 = 1; };");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0]["code"], 1);  // a double-byte character outside a string
  EXPECT_EQ(d[0]["range"]["start"]["line"], 2);
  const json w = Open(s, dir_.file("POS2.SNA"), "Wait(1);\n$1 = \"日本\"; Wait(\"a\");");
  ASSERT_GE(w.size(), 1u);
  EXPECT_EQ(w.back()["range"]["start"], pos(1, 11)) << w.dump();
  EXPECT_EQ(w.back()["range"]["end"], pos(1, 15)) << w.dump();
  EXPECT_EQ(s.finish(), 0);
}

// Broken sources: each gets the compiler's own error at the compiler's
// line, or the report of the library that found it.
TEST_F(Title, CompileErrorsAreTheCompilers) {
  const char* sources[] = {
      "WAIT(30)",
      "\n\nF(1];",
      "\nあ = 1;",
      "F(\n1,\n2\n",
      "$A = \""
      "\x01"
      "\";",
      "X:F(1) ELSE;",
      "IF(1){F();}",
      "\\1;",
  };
  Session s(Args());
  s.initialize(dir_.path().string());
  int n = 0;
  for (const char* src : sources) {
    const std::string name = "E" + std::to_string(n++);
    const std::string path = dir_.file(name + ".SNA");
    const json d = Open(s, path, src);
    int line = -1;
    const std::string expected =
        CompilerMessage(dir_.path(), dir_.file("mrv.def"), name, src, &line);
    ASSERT_EQ(d.size(), 1u) << src << d.dump();
    EXPECT_EQ(d[0]["message"], expected) << src;
    EXPECT_EQ(d[0]["range"]["start"]["line"], line) << src;
    EXPECT_EQ(d[0]["source"], "mrvcomp");
  }
  // A number out of range: reported by the number parser, not numbered.
  const json d = Open(s, dir_.file("BIG.SNA"), "\n$A = 12345678901234567890;");
  ASSERT_EQ(d.size(), 1u) << d.dump();
  EXPECT_EQ(d[0]["range"]["start"]["line"], 1);
  EXPECT_FALSE(d[0].contains("code"));
  EXPECT_FALSE(d[0]["message"].get<std::string>().empty());
  EXPECT_EQ(s.finish(), 0);
}

// The definition file: its own errors on its own lines, the scenarios of its
// title told; an edited, unsaved definition file counts for them at once.
TEST_F(Title, DefinitionFileErrors) {
  Session s(Args());
  s.initialize(dir_.path().string());
  const std::string main = dir_.file("M.SNA");
  EXPECT_EQ(messages(Open(s, main, "$1 = GREETING;")), "");
  const std::string defs = dir_.file("mrv.def");
  const std::string good = "#define 'GREETING' '1'\n";
  EXPECT_EQ(messages(Open(s, defs, good, "mrv-definitions")), "");
  EXPECT_EQ(messages(s.diagnostics(uri(main))), "");
  // Its outline: what it defines, at its lines (the built-in macros are not there).
  const std::string listed = "// 定義\n#define 'GREETING' '1'\n\n#INCLUDE /HEAD/ /head.inc/\n";
  s.notify("textDocument/didChange", {{"textDocument", {{"uri", uri(defs)}, {"version", 2}}},
                                      {"contentChanges", {{{"text", listed}}}}});
  EXPECT_EQ(messages(s.diagnostics(uri(defs))), "");
  EXPECT_EQ(messages(s.diagnostics(uri(main))), "");
  const json sym =
      s.request("textDocument/documentSymbol", {{"textDocument", {{"uri", uri(defs)}}}});
  ASSERT_EQ(sym["result"].size(), 2u) << sym.dump();
  EXPECT_EQ(sym["result"][0]["name"], "GREETING");
  EXPECT_EQ(sym["result"][0]["range"]["start"]["line"], 1);
  EXPECT_EQ(sym["result"][1]["name"], "HEAD");
  EXPECT_EQ(sym["result"][1]["detail"], "head.inc");
  EXPECT_EQ(sym["result"][1]["range"]["start"]["line"], 3);

  const std::string bad = good + "\n#undef 'X' 'Y'\n";
  s.notify("textDocument/didChange", {{"textDocument", {{"uri", uri(defs)}, {"version", 3}}},
                                      {"contentChanges", {{{"text", bad}}}}});
  json d = s.diagnostics(uri(defs));
  ASSERT_EQ(d.size(), 1u) << d.dump();
  EXPECT_EQ(d[0]["message"], "定義ファイルに不正なコマンドがあります。(line3)");
  EXPECT_EQ(d[0]["range"]["start"]["line"], 2);
  d = s.diagnostics(uri(main));
  ASSERT_EQ(d.size(), 1u) << d.dump();
  EXPECT_NE(d[0]["message"].get<std::string>().find("(line3)"), std::string::npos);
  EXPECT_EQ(d[0]["relatedInformation"][0]["location"]["range"]["start"]["line"], 2);

  s.notify("textDocument/didChange",
           {{"textDocument", {{"uri", uri(defs)}, {"version", 3}}},
            {"contentChanges", {{{"text", "#define 'GREETING' '1'\n#include 'X' 'none.txt'\n"}}}}});
  d = s.diagnostics(uri(defs));
  ASSERT_EQ(d.size(), 1u) << d.dump();
  EXPECT_EQ(d[0]["message"], "インクルードファイル \"none.txt\" が存在しません。");
  EXPECT_EQ(s.finish(), 0);
}

// Encodings: a character code page 932 has no code for (one outside the
// basic plane, two UTF-16 units), and a file on disk that is not code page 932.
TEST_F(Title, Encodings) {
  Session s(Args());
  s.initialize(dir_.path().string());
  const std::string path = dir_.file("ENC.SNA");
  json d = Open(s, path, "$1 = \"𠮷野家\"; $2 = \"😀\";");
  ASSERT_EQ(d.size(), 2u) << d.dump();
  EXPECT_EQ(d[0]["range"]["start"], pos(0, 6));
  EXPECT_EQ(d[0]["range"]["end"], pos(0, 8));
  EXPECT_EQ(d[1]["range"]["start"], pos(0, 19));
  const std::string raw = dir_.file("RAW.SNA");
  // "$1 = "ab" then a lead byte with a trail byte it cannot take.
  mrvtest::write_file(raw, std::string("// ok\n$1 = \"ab\x81\x20\";\n"));
  d = Open(s, raw, "// ok\n$1 = \"ab\uFFFD \";\n");
  bool found = false;
  for (const json& x : d) {
    if (x["message"].get<std::string>().find("not valid code page 932") != std::string::npos) {
      found = true;
      EXPECT_EQ(x["range"]["start"], pos(1, 8));
    }
  }
  EXPECT_TRUE(found) << d.dump();
  EXPECT_EQ(s.finish(), 0);
}

// The bundled title in the program directory: no diagnostics, the sample
// library's commands and the second scenario known.
TEST(BundledTitle, AnswersOnTheDefaultTitle) {
  const std::string dir = fs::canonical(bin_dir()).string();
  const std::string main = dir + "/MRV.SNA";
  const auto before = snapshot(dir, ".SNA");
  const auto defsBefore = snapshot(dir, ".def");
  Session s;
  s.initialize(dir);
  const std::string text = plat::cp932_to_utf8(mrvtest::read_file(main));
  s.notify(
      "textDocument/didOpen",
      {{"textDocument",
        {{"uri", uri(main)}, {"languageId", "mrv-scenario"}, {"version", 1}, {"text", text}}}});
  EXPECT_EQ(messages(s.diagnostics(uri(main))), "");
  // QUIT_QUESTION (line 6) is defined in the program directory's mrv.def.
  json def = s.request("textDocument/definition", at(uri(main), 6, 8));
  EXPECT_EQ(def["result"]["uri"], uri(dir + "/mrv.def")) << def.dump();
  json h = s.request("textDocument/hover", at(uri(main), 7, 9));
  EXPECT_NE(h["result"]["contents"]["value"].get<std::string>().find("mrvwin.so"),
            std::string::npos);
  const json sym =
      s.request("textDocument/documentSymbol", {{"textDocument", {{"uri", uri(main)}}}});
  ASSERT_FALSE(sym["result"].empty());
  EXPECT_EQ(sym["result"][0]["name"], "For(\\$A, 0, 19, 1)");
  EXPECT_EQ(sym["result"][0]["children"][0]["name"], "For(\\$B, 0, 9, 1)");
  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(snapshot(dir, ".SNA"), before);
  EXPECT_EQ(snapshot(dir, ".def"), defsBefore);
  EXPECT_EQ(snapshot(dir, ".SNB"), (std::map<std::string, std::pair<uintmax_t, long>>{}));
}

// Anything on the pipe gets an answer or a protocol error, never a crash or
// a hang: broken frames, bad JSON, wrong parameters, binary and huge texts,
// requests out of order; the server goes on answering after each.
TEST_F(Title, RobustAgainstAnyInput) {
  Session s(Args());
  // Before initialize.
  json r = s.request("textDocument/hover", at("file:///x.SNA", 0, 0));
  EXPECT_EQ(r["error"]["code"], -32002);
  s.initialize(dir_.path().string());
  s.raw("Content-Length: 5\r\n\r\n{oops");
  EXPECT_EQ(s.next()["error"]["code"], -32700);
  s.raw("Content-Length: x\r\n\r\n");
  EXPECT_EQ(s.next()["error"]["code"], -32600);
  s.raw("Content-Length: 2\r\n\r\n[]");
  EXPECT_EQ(s.next()["error"]["code"], -32600);
  s.raw(frame("42"));
  EXPECT_EQ(s.next()["error"]["code"], -32600);
  s.raw(std::string("Content-Type: x\r\n") + std::string(20000, 'h') + "\r\n\r\n");
  EXPECT_EQ(s.next()["error"]["code"], -32600);
  // A body beyond the limit is skipped whole.
  const std::size_t huge = (64u << 20) + 1;
  s.raw("Content-Length: " + std::to_string(huge) + "\r\n\r\n");
  s.raw(std::string(huge, ' '));
  EXPECT_EQ(s.next()["error"]["code"], -32600);
  EXPECT_EQ(s.request("no/such", json::object())["error"]["code"], -32601);
  EXPECT_EQ(s.request("textDocument/hover", {{"textDocument", 5}})["error"]["code"], -32602);
  EXPECT_TRUE(
      s.request("textDocument/hover", at(uri(dir_.file("CLOSED.SNA")), 0, 0)).contains("error"));

  // Binary text, half-typed text, deep nesting, a huge text.
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0x7F);
  const std::string texts[] = {
      binary,
      "If($1 == \"abc",
      "Gosub(\"",
      "MYLIB:",
      std::string(100000, '(') + std::string(100000, ')') + ";",
      std::string(3 << 20, 'A') + ";",
      "\x1A"
      "Wait(1);",
  };
  int n = 0;
  for (const std::string& t : texts) {
    const std::string path = dir_.file("R" + std::to_string(n++) + ".SNA");
    const json d = Open(s, path, t);
    EXPECT_TRUE(d.is_array());
    const Text lines(t);
    for (int line = 0; line < std::min(lines.lines(), 3); ++line) {
      for (int col : {0, 1, 5, 1000000}) {
        for (const char* m :
             {"textDocument/hover", "textDocument/completion", "textDocument/definition"}) {
          const json a = s.request(m, at(uri(path), line, col));
          EXPECT_TRUE(a.contains("result") || a.contains("error")) << a.dump();
        }
      }
    }
    EXPECT_TRUE(s.request("textDocument/documentSymbol", {{"textDocument", {{"uri", uri(path)}}}})
                    .contains("result"));
  }
  // Libraries that are not what their name says: garbage, a cut-off library,
  // an empty file. Their commands are read without loading them.
  mrvtest::write_file(dir_.file("junk.so"), std::string(5000, '\x7f'));
  const std::string lib = mrvtest::read_file(bin_dir() + "/mrvwin.so");
  mrvtest::write_file(dir_.file("cut.so"), lib.substr(0, lib.size() / 2));
  mrvtest::write_file(dir_.file("empty.so"), "");
  for (const char* name : {"JUNK", "CUT", "EMPTY"}) {
    const std::string path = dir_.file(std::string(name) + ".SNA");
    const json d = Open(s, path, std::string(name) + ":PRINT(1);");
    ASSERT_EQ(d.size(), 1u) << d.dump();
    EXPECT_NE(d[0]["message"].get<std::string>().find("(MRV_)PRINT"), std::string::npos);
    const json c = s.request("textDocument/completion", at(uri(path), 0, std::strlen(name) + 1));
    EXPECT_TRUE(c["result"]["items"].empty()) << c.dump();
  }
  // Still serving.
  EXPECT_TRUE(s.request("textDocument/completion", at(uri(dir_.file("R1.SNA")), 0, 3))["result"]
                  .is_object());
  // exit without shutdown ends with status 1.
  EXPECT_EQ(s.finish(false), 1);
}

}  // namespace
