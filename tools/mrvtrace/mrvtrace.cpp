// mrvtrace: the tracer and value viewer for a running title. Serves the
// tracer's and viewer's sockets of the runtime directory, shows or logs every
// record, and sends the host the tracer's requests.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channels.h"
#include "display.h"
#include "platform/text.h"
#include "terminal.h"

namespace {

using namespace mrvtrace;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: mrvtrace                       interactive, in a terminal\n"
    "       mrvtrace [--log FILE] [--viewer-log FILE]\n"
    "       mrvtrace --send REQUEST [VALUE]\n"
    "       mrvtrace --help\n";

constexpr char kHelp[] =
    "\n"
    "The tracer and value viewer of a running title. mrvtrace listens on the\n"
    "sockets message.sock (tracer) and value.sock (viewer) of the runtime directory\n"
    "($MRV_RUNTIME_DIR, else $XDG_RUNTIME_DIR/mrv33, else ${TMPDIR:-/tmp}/mrv33-UID);\n"
    "while it listens, the engine's tracer is present. Only one mrvtrace serves a\n"
    "runtime directory at a time. Requests go to the host (mrv33) on control.sock.\n"
    "\n"
    "In a terminal every record shows as it arrives, in UTF-8: the statement trace\n"
    "(task, line, the command indented by block depth), [file] lines when a task\n"
    "enters or leaves a scenario file, [debug] lines of the debugging commands, and\n"
    "the viewer's variable listings as a table of name, type and value. Keys:\n"
    "  s  step into: the watched task stops before its next command\n"
    "  n  step over: the same, but blocks run through without stopping\n"
    "  c  continue: run freely\n"
    "  t  trace on/off        a  argument values in the trace on/off\n"
    "  d  dump to the viewer, then s system, c common, l locals of the watched task\n"
    "  w  watch task (type 0-19, Enter)     + -  next/previous task\n"
    "  h  the keys            q  quit (Ctrl-C too)\n"
    "The host takes the value of every request as its watched task; trace and\n"
    "arguments \"on\" carry the watched task, or 1 while task 0 is watched (0 means\n"
    "off), and the next s, n or c names task 0 again. When mrvtrace quits, it lets\n"
    "the title run on (it sends run).\n"
    "\n"
    "Without a terminal, or with a log, mrvtrace serves both channels without keys:\n"
    "  --log FILE         append every tracer record to FILE as one UTF-8 line, as\n"
    "                     MRV_TRACE_LOG does (\"1171 TASK00    1 WAIT\")\n"
    "  --viewer-log FILE  the same for the viewer's records (as MRV_VIEWER_LOG)\n"
    "A channel without a log is shown on standard output. Each record is written\n"
    "before the engine may go on. SIGINT or SIGTERM ends mrvtrace.\n"
    "\n"
    "  --send REQUEST [VALUE]\n"
    "                     send one request to the running host and exit. REQUEST is\n"
    "                     a name or its sub-code: trace (1), args (2), step (3),\n"
    "                     next (4), run or continue (5), system (6), common (7),\n"
    "                     locals (8). VALUE is a number (default 0; \"on\" is 1, \"off\"\n"
    "                     0): trace and args switch off with 0 and on otherwise;\n"
    "                     every request makes VALUE the watched task (the task that\n"
    "                     steps, whose locals are dumped).\n"
    "  -h, --help         this text\n"
    "\n"
    "Exit status: 0 success, 1 failure (message on standard error), 2 wrong usage.\n";

int g_stop[2] = {-1, -1};

void on_signal(int) {
  const char b = 1;
  [[maybe_unused]] ssize_t n = write(g_stop[1], &b, 1);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "mrvtrace: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "mrvtrace: %s\n", message.c_str());
  return kExitFailed;
}

bool parse_value(const std::string& s, int32_t* out) {
  if (s == "on") {
    *out = 1;
    return true;
  }
  if (s == "off") {
    *out = 0;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *out = int32_t(v);
  return true;
}

bool write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

// A log in the form of MRV_TRACE_LOG: the record's text in UTF-8, one line.
struct Log {
  std::string path;
  int fd = -1;
  bool open(std::string* why) {
    if (path.empty()) return true;
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) *why = path + ": " + std::strerror(errno);
    return fd >= 0;
  }
  ~Log() {
    if (fd >= 0) close(fd);
  }
};

int serve_plain(Server& server, Log& trace_log, Log& viewer_log) {
  const Look look{};
  bool failed = false;
  const Server::Handler handler = [&](Channel c, const std::string& record) {
    const Log& log = c == Channel::Tracer ? trace_log : viewer_log;
    bool ok;
    if (log.fd >= 0) {
      ok = write_all(log.fd, plat::cp932_to_utf8(record) + "\n");
    } else {
      const std::string shown =
          c == Channel::Tracer ? show_tracer(record, look) : show_viewer(record, look);
      ok = write_all(STDOUT_FILENO, shown + "\n");
    }
    if (!ok && !failed) {
      failed = true;
      std::fprintf(stderr, "mrvtrace: cannot write a record: %s\n", std::strerror(errno));
    }
  };
  while (server.poll({g_stop[0]}, -1, handler) != 0) {
  }
  return failed ? kExitFailed : kExitOk;
}

// --send: one request. A step names where the task stopped when no other
// tracer serves the channels (waiting for it up to a few seconds).
int send_once(int code, int32_t value) {
  std::string why;
  Server server;
  const bool listening = (code == 3 || code == 4) && server.open(&why);
  if (!send_request(code, value, &why)) return fail(why);
  if (!listening) return kExitOk;
  const Look look{};
  bool stopped = false;
  const Server::Handler handler = [&](Channel c, const std::string& record) {
    if (c != Channel::Tracer || line_of(record).compare(0, 3, "@S ") != 0) return;
    std::printf("%s\n", show_tracer(record, look).c_str());
    stopped = true;
  };
  for (int i = 0; i < 50 && !stopped; ++i) server.poll({}, 100, handler);
  if (!stopped) std::printf("sent: %s (no stop seen)\n", request_name(code));
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Log trace_log, viewer_log;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (a == "--send") {
      if (i + 1 >= args.size() || i + 3 < args.size() || i != 0)
        return usage_error("--send takes REQUEST and an optional VALUE, and nothing else");
      const int code = request_code(args[i + 1]);
      if (code == 0) return usage_error("unknown request " + args[i + 1]);
      int32_t value = 0;
      if (i + 2 < args.size() && !parse_value(args[i + 2], &value))
        return usage_error("the value must be a number, on or off: " + args[i + 2]);
      return send_once(code, value);
    }
    if (a == "--log" || a == "--viewer-log") {
      if (i + 1 >= args.size()) return usage_error(a + " needs a file");
      (a == "--log" ? trace_log : viewer_log).path = args[++i];
      continue;
    }
    return usage_error("unknown argument " + a);
  }

  std::string why;
  if (!trace_log.open(&why) || !viewer_log.open(&why)) return fail(why);
  if (pipe2(g_stop, O_CLOEXEC | O_NONBLOCK) != 0) return fail(std::strerror(errno));
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int rc;
  {
    Server server;
    if (!server.open(&why)) return fail(why);
    const bool terminal = trace_log.path.empty() && viewer_log.path.empty() &&
                          isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    rc = terminal ? run_terminal(server, g_stop[0]) : serve_plain(server, trace_log, viewer_log);
  }
  // While a task is stopped before a command no task runs, and no tracer is
  // left to let it go: the title runs on (without a host nothing is sent).
  send_request(20, 0, &why);
  send_request(5, 0, &why);
  return rc;
}
