// mrvtrace against the real execution manager: its logs hold exactly what
// the engine's own logs hold, it shows records without and with a terminal
// (through a pseudo-terminal), sends the host's requests, refuses a second
// tracer, survives stale sockets and never holds up an engine when it quits.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/text.h"
#include "processes.h"
#include "scenario.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;
using mrvtest::eventually;
using mrvtest::kPatienceMs;
using mrvtest::Lines;
using mrvtest::read_file;
using mrvtest::serving;
using mrvtest::Tracer;

// A listening socket at `path` (the host's request socket, or a receiver
// that is not mrvtrace).
class Listener {
 public:
  explicit Listener(const fs::path& path) : path_(path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 8);
  }
  ~Listener() {
    close(fd_);
    unlink(path_.c_str());
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The next request as "code,value", or "none" when nothing came in time.
  std::string request(int timeout_ms = kPatienceMs) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return "none";
    const int c = accept(fd_, nullptr, nullptr);
    unsigned char rec[8];
    std::size_t got = 0;
    while (got < sizeof rec) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, timeout_ms) != 1) break;
      const ssize_t n = read(c, rec + got, sizeof rec - got);
      if (n <= 0) break;
      got += std::size_t(n);
    }
    close(c);
    if (got != sizeof rec) return "short";
    return std::to_string(int32_t(plat::get_le32(rec))) + "," +
           std::to_string(int32_t(plat::get_le32(rec + 4)));
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

// Sends records on a channel as the engine does: 256 bytes, then the byte back.
bool send_records(const fs::path& socket, const Lines& utf8_lines) {
  const int fd = mrvtest::connect_to(socket);
  if (fd < 0) return false;
  bool ok = true;
  for (const std::string& line : utf8_lines) {
    std::string rec = plat::utf8_to_cp932(line);
    rec.resize(256, '\0');
    char ack;
    ok = ok && write(fd, rec.data(), rec.size()) == 256 && read(fd, &ack, 1) == 1;
  }
  close(fd);
  return ok;
}

Lines split(const std::string& text) {
  Lines out;
  std::size_t p = 0;
  for (std::size_t nl; (nl = text.find('\n', p)) != std::string::npos; p = nl + 1)
    out.push_back(text.substr(p, nl - p));
  return out;
}

// A scenario that sends every kind of tracer record: file changes, a debug
// line with double-byte text, commands at block depths 0 to 2, and a viewer
// command.
constexpr char kTraced[] =
    "DebugMessage(\"開始\", 1);\n"
    "For(\\$1, 1, 2, 1) { If($1 == 2) { Swap(\\$2, \\$3); }; };\n"
    "DebugValue(2);\n";

// A scenario whose channels go to the sockets of its runtime directory, as
// when no log is set.
struct SocketScenario : mrvtest::Scenario {
  explicit SocketScenario(const char* source) {
    unsetenv("MRV_TRACE_LOG");
    unsetenv("MRV_VIEWER_LOG");
    this->source("MRV", source);
  }
  fs::path runtime() const { return dir() / "run"; }
};

class MrvtraceTest : public ::testing::Test {
 protected:
  mrvtest::TempDir io_;
};

TEST_F(MrvtraceTest, LogsHoldExactlyWhatTheEnginesOwnLogsHold) {
  Lines trace, viewer;
  std::string first_dir;
  {
    mrvtest::Scenario s;  // with the engine's own logs
    s.source("MRV", kTraced);
    s.ctx->execFlags |= EXEC_TRACE | EXEC_TRACE_ARGS;
    ASSERT_TRUE(s.run("MRV"));
    trace = s.trace();
    viewer = s.viewer();
    first_dir = s.dir().string();
  }
  ASSERT_GE(trace.size(), 6u);
  EXPECT_NE(std::find(trace.begin(), trace.end(), "1171 @B 開始 1"), trace.end());
  EXPECT_EQ(viewer, Lines{"1171 @2"});

  SocketScenario s(kTraced);
  const fs::path run = s.runtime();
  Listener host(run / "control.sock");
  Tracer t(run, {"--log", io_.file("t.log"), "--viewer-log", io_.file("v.log")}, io_.file("out"),
           io_.file("err"));
  ASSERT_TRUE(serving(run));
  s.ctx->execFlags |= EXEC_TRACE | EXEC_TRACE_ARGS;
  ASSERT_TRUE(s.run("MRV"));
  t.signal(SIGTERM);
  ASSERT_EQ(t.wait(), 0) << read_file(io_.file("err"));
  // Ended by a signal, it still lets every stopped task go on.
  EXPECT_EQ(host.request(), "20,0");
  EXPECT_EQ(host.request(), "5,0");

  // The same records, in the same form; the paths differ by the directory.
  Lines expected;
  for (std::string line : trace) {
    if (const std::size_t at = line.find(first_dir); at != std::string::npos)
      line.replace(at, first_dir.size(), s.dir().string());
    expected.push_back(line);
  }
  EXPECT_EQ(split(read_file(io_.file("t.log"))), expected);
  EXPECT_EQ(split(read_file(io_.file("v.log"))), viewer);
  EXPECT_EQ(read_file(io_.file("out")), "");  // both channels went to their logs
  // Its sockets go with it.
  EXPECT_FALSE(fs::exists(run / "message.sock"));
  EXPECT_FALSE(fs::exists(run / "value.sock"));
}

TEST_F(MrvtraceTest, ShowsRecordsWithoutATerminal) {
  SocketScenario s(kTraced);
  const fs::path run = s.runtime();
  Tracer t(run, {}, io_.file("out"), io_.file("err"));
  ASSERT_TRUE(serving(run));
  s.ctx->execFlags |= EXEC_TRACE;
  ASSERT_TRUE(s.run("MRV"));
  // A listing as the host sends it for a dump, and a record of another tag.
  ASSERT_TRUE(send_records(run / "value.sock",
                           {"1171 @C", "1171 $A\t数値\t12", "1171 $B\tﾎﾟｲﾝﾀ\t$00003", "1171 @1"}));
  ASSERT_TRUE(send_records(run / "message.sock", {"-5 a line of its own"}));
  t.signal(SIGTERM);
  ASSERT_EQ(t.wait(), 0) << read_file(io_.file("err"));

  const std::string file = s.dir().string() + "\\MRV.SNA";
  EXPECT_EQ(split(read_file(io_.file("out"))),
            (Lines{"[file]  " + file, "task 00     1 DEBUGMESSAGE", "[debug] 開始 1",
                   "task 00     2 FOR", "task 00     2 | IF", "task 00     2 | IF",
                   "task 00     2 | | SWAP", "task 00     3 DEBUGVALUE", "[viewer @2]",
                   "[file]  MRV",  // the task leaves the scenario it was started on
                   "name    type      value", "$A      数値      12", "$B      ﾎﾟｲﾝﾀ     $00003",
                   "[viewer @1]", "a line of its own"}));
}

TEST_F(MrvtraceTest, TheTerminalShowsRecordsAndSendsAKeyPerRequest) {
  SocketScenario s(kTraced);
  const fs::path run = s.runtime();
  Listener host(run / "control.sock");
  Tracer t(run, "xterm");
  ASSERT_TRUE(t.shows("mrvtrace: serving " + run.string()));
  ASSERT_TRUE(serving(run));
  s.ctx->execFlags |= EXEC_TRACE;
  ASSERT_TRUE(s.run("MRV"));
  ASSERT_TRUE(t.shows("[debug] 開始 1"));
  // Indented by depth and coloured: the command in bold after its guides.
  EXPECT_TRUE(t.shows("\xe2\x94\x82 \xe2\x94\x82 \x1b[0m\x1b[1mSWAP\x1b[0m")) << t.screen();
  EXPECT_TRUE(t.shows("\x1b[7m mrvtrace  tracer ")) << t.screen();  // the status line

  // Each key sends its request, with the watched task as the value.
  struct Key {
    const char* keys;
    const char* request;
  };
  const Key keys[] = {
      {"s", "3,0"}, {"n", "4,0"},      {"c", "5,0"},  {"t", "1,0"},  // the trace was seen on: off
      {"t", "1,1"},  // on needs a value other than 0
      {"a", "2,1"}, {"w3\r", nullptr}, {"dl", "8,3"}, {"ds", "6,3"}, {"dc", "7,3"},
      {"a", "2,0"}, {"t", "1,0"},      {"+s", "3,4"}, {"-t", "1,3"},
  };
  for (const Key& k : keys) {
    SCOPED_TRACE(k.keys);
    t.type(k.keys);
    if (k.request != nullptr) {
      EXPECT_EQ(host.request(), k.request);
    }
  }
  EXPECT_TRUE(t.shows("watching task 3"));
  EXPECT_TRUE(t.shows("trace on"));
  EXPECT_EQ(host.request(200), "none");  // nothing else was sent

  t.type("q");
  EXPECT_EQ(t.wait(), 0);
  // As it quits, it lets every stopped task go on.
  EXPECT_EQ(host.request(), "20,0");
  EXPECT_EQ(host.request(), "5,0");
}

TEST_F(MrvtraceTest, TheTerminalSaysWhenNoHostListens) {
  const fs::path run = io_.path() / "run";
  fs::create_directories(run);
  Tracer t(run, "dumb");
  ASSERT_TRUE(t.shows("mrvtrace: serving"));
  t.type("s");
  EXPECT_TRUE(t.shows("no host listens on " + (run / "control.sock").string()));
  EXPECT_EQ(t.screen().find("\x1b[7m"), std::string::npos);  // no colours on a dumb terminal
  t.signal(SIGTERM);
  EXPECT_EQ(t.wait(), 0);
}

TEST_F(MrvtraceTest, SendsOneRequestAndExits) {
  const fs::path run = io_.path() / "run";
  fs::create_directories(run);
  struct Case {
    std::vector<std::string> args;
    int rc;
    const char* request;  // what the host receives
  };
  const Case cases[] = {
      {{"trace", "on"}, 0, "1,1"},
      {{"trace", "off"}, 0, "1,0"},
      {{"args", "7"}, 0, "2,7"},
      {{"step", "2"}, 0, "3,2"},
      {{"next"}, 0, "4,0"},
      {{"run", "-1"}, 0, "5,-1"},
      {{"continue", "19"}, 0, "5,19"},
      {{"system"}, 0, "6,0"},
      {{"common", "1"}, 0, "7,1"},
      {{"locals", "4"}, 0, "8,4"},
      {{"8", "2147483647"}, 0, "8,2147483647"},
      {{"bogus"}, 2, nullptr},
      {{"9"}, 2, nullptr},
      {{"step", "x"}, 2, nullptr},
      {{"step", "2147483648"}, 2, nullptr},
      {{"step", "1", "2"}, 2, nullptr},
      {{}, 2, nullptr},
  };
  Listener host(run / "control.sock");
  for (const Case& c : cases) {
    std::vector<std::string> args{"--send"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(args.size() > 1 ? args[1] : "--send alone");
    Tracer t(run, args, io_.file("out"), io_.file("err"));
    EXPECT_EQ(t.wait(), c.rc) << read_file(io_.file("err"));
    if (c.request != nullptr) {
      EXPECT_EQ(host.request(), c.request);
    }
    if (c.rc == 2) {
      EXPECT_NE(read_file(io_.file("err")).find("usage: mrvtrace"), std::string::npos);
    }
  }
  EXPECT_EQ(host.request(200), "none");

  fs::remove(run / "control.sock");
  Tracer nobody(run, {"--send", "step"}, io_.file("out"), io_.file("err"));
  EXPECT_EQ(nobody.wait(), 1);
  EXPECT_NE(read_file(io_.file("err"))
                .find("mrvtrace: no host listens on " + (run / "control.sock").string()),
            std::string::npos);
}

TEST_F(MrvtraceTest, OneTracerPerRuntimeDirectoryAndStaleSocketsDoNotCount) {
  const fs::path run = io_.path() / "run";
  fs::create_directories(run);
  Tracer first(run, {"--log", io_.file("t.log")}, io_.file("out1"), io_.file("err1"));
  ASSERT_TRUE(serving(run));
  Tracer second(run, {"--log", io_.file("t2.log")}, io_.file("out2"), io_.file("err2"));
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(read_file(io_.file("err2")),
            "mrvtrace: another mrvtrace already serves " + run.string() + "\n");

  // A tracer that dies leaves its sockets behind; the next one replaces them.
  first.signal(SIGKILL);
  EXPECT_EQ(first.wait(), 128 + SIGKILL);
  ASSERT_TRUE(fs::exists(run / "message.sock"));
  Tracer third(run, {"--log", io_.file("t.log")}, io_.file("out3"), io_.file("err3"));
  ASSERT_TRUE(serving(run));
  ASSERT_TRUE(send_records(run / "message.sock", {"1171 @B after a dead tracer"}));
  third.signal(SIGTERM);
  EXPECT_EQ(third.wait(), 0);
  EXPECT_EQ(read_file(io_.file("t.log")), "1171 @B after a dead tracer\n");

  // Any other receiver on the tracer's socket is respected too.
  Listener other(run / "message.sock");
  Tracer fourth(run, {}, io_.file("out4"), io_.file("err4"));
  EXPECT_EQ(fourth.wait(), 1);
  EXPECT_EQ(read_file(io_.file("err4")), "mrvtrace: another receiver already listens on " +
                                             (run / "message.sock").string() + "\n");
}

TEST_F(MrvtraceTest, ATracerThatQuitsWhileTheEngineSendsHoldsNothingUp) {
  SocketScenario s("For(\\$1, 1, 20000, 1) { Swap(\\$2, \\$3); }; $5 = 77;");
  const fs::path run = s.runtime();
  const std::string log = io_.file("t.log");
  Tracer t(run, {"--log", log}, io_.file("out"), io_.file("err"));
  ASSERT_TRUE(serving(run));
  std::atomic<bool> killed{false};
  std::thread quitter([&] {
    killed = eventually([&] { return split(read_file(log)).size() >= 50; });
    t.signal(SIGKILL);
  });
  s.ctx->execFlags |= EXEC_TRACE;
  const bool finished = s.run("MRV", 120000);
  quitter.join();
  ASSERT_TRUE(killed);
  EXPECT_TRUE(finished);
  EXPECT_EQ(s.show_common(5), "77");  // the scenario ran to its end
  EXPECT_LT(split(read_file(log)).size(), 40001u);
  EXPECT_EQ(s.messages(), Lines{});
}

TEST_F(MrvtraceTest, UsageErrorsAndHelp) {
  const fs::path run = io_.path() / "run";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--log"},
                                             {"--viewer-log"},
                                             {"--bogus"},
                                             {"--log", "a", "extra"},
                                             {"--log", "a", "--send", "step"}}) {
    Tracer t(run, args, io_.file("out"), io_.file("err"));
    EXPECT_EQ(t.wait(), 2) << args[0];
    EXPECT_NE(read_file(io_.file("err")).find("usage: mrvtrace"), std::string::npos);
  }
  Tracer help(run, {"--help"}, io_.file("out"), io_.file("err"));
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(read_file(io_.file("out")).find("--send REQUEST [VALUE]"), std::string::npos);
  Tracer unwritable(run, {"--log", (io_.path() / "no" / "such" / "dir").string()}, io_.file("out"),
                    io_.file("err"));
  EXPECT_EQ(unwritable.wait(), 1);
}

}  // namespace
