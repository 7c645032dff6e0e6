// The interactive tracer. The terminal is put into single-key mode; records
// scroll above a status line that is redrawn after every line. Requests go
// to the host at once; their effects come back on the channels.
#include "terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "display.h"
#include "platform/text.h"

namespace mrvtrace {
namespace {

constexpr int kTasks = 20;

const char kKeys[] =
    "keys: s step into, n step over (blocks run through), c continue (run freely), "
    "t trace on/off, a arguments on/off, d dump (then s system, c common, l locals), "
    "w watch task (digits, Enter), + - next/previous task, h help, q quit";

class Terminal {
 public:
  Terminal() {
    look_.colour = std::getenv("NO_COLOR") == nullptr && std::getenv("TERM") != nullptr &&
                   std::strcmp(std::getenv("TERM"), "dumb") != 0;
    if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      restore_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
  }
  ~Terminal() {
    write_out("\r\x1b[2K");
    if (restore_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Shows a line above the status line.
  void line(const std::string& utf8) {
    write_out("\r\x1b[2K" + utf8 + "\n");
    status();
  }

  void status() {
    std::string s = " mrvtrace  tracer " + std::to_string(server_->senders(Channel::Tracer)) +
                    "  viewer " + std::to_string(server_->senders(Channel::Viewer)) + "  | trace " +
                    (trace_ ? "on" : "off") + "  args " + (args_ ? "on" : "off") + "  task " +
                    std::to_string(watch_) + " | ";
    if (mode_ == Mode::Dump) {
      s += "dump: s system, c common, l locals of task " + std::to_string(watch_);
    } else if (mode_ == Mode::Watch) {
      s += "watch task: " + typed_ + "_";
    } else {
      s += note_.empty() ? "s step  n next  c run  t trace  a args  d dump  w task  h help  q quit"
                         : note_;
    }
    winsize ws{};
    const std::size_t width =
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    while (columns(s) >= width && !s.empty()) s.pop_back();  // never wraps
    write_out("\r\x1b[2K" + (look_.colour ? "\x1b[7m" + s + "\x1b[0m" : s));
  }

  // Handles one key; false to quit.
  bool key(char k) {
    if (mode_ == Mode::Dump) {
      mode_ = Mode::Normal;
      if (k == 's') request(6, watch_, "system variables");
      if (k == 'c') request(7, watch_, "common variables");
      if (k == 'l') request(8, watch_, "local variables of task " + std::to_string(watch_));
      status();
      return true;
    }
    if (mode_ == Mode::Watch) {
      if (k >= '0' && k <= '9' && typed_.size() < 2) typed_ += k;
      if ((k == 127 || k == 8) && !typed_.empty()) typed_.pop_back();
      if (k == '\n' || k == '\r') {
        if (!typed_.empty() && std::atoi(typed_.c_str()) < kTasks) {
          watch_ = std::atoi(typed_.c_str());
          note_ = "watching task " + std::to_string(watch_);
        } else {
          note_ = "tasks are 0 to 19";
        }
        mode_ = Mode::Normal;
      }
      if (k == 27) mode_ = Mode::Normal;
      status();
      return true;
    }
    switch (k) {
      case 'q':
        return false;
      case 's':
        request(3, watch_, "step into task " + std::to_string(watch_));
        break;
      case 'n':
        request(4, watch_, "step over in task " + std::to_string(watch_));
        break;
      case 'c':
        request(5, watch_, "run");
        break;
      case 't':
        // "On" needs a value other than 0, and the host takes the value as
        // the watched task: task 0 is named 1 here, and the next s, n or c
        // names it again.
        if (request(1, trace_ ? 0 : on_value(), trace_ ? "trace off" : "trace on"))
          trace_ = !trace_;
        break;
      case 'a':
        if (request(2, args_ ? 0 : on_value(), args_ ? "arguments off" : "arguments on"))
          args_ = !args_;
        break;
      case 'd':
        mode_ = Mode::Dump;
        break;
      case 'w':
        mode_ = Mode::Watch;
        typed_.clear();
        break;
      case '+':
        watch_ = (watch_ + 1) % kTasks;
        note_ = "watching task " + std::to_string(watch_);
        break;
      case '-':
        watch_ = (watch_ + kTasks - 1) % kTasks;
        note_ = "watching task " + std::to_string(watch_);
        break;
      case 'h':
      case '?':
        line(kKeys);
        break;
      default:
        break;
    }
    status();
    return true;
  }

  void tracer_record(const std::string& record) {
    const std::string text = line_of(record);
    if (text.compare(0, 4, "TASK") == 0) trace_ = true;  // the host traces
    int task = 0;
    if (std::sscanf(text.c_str(), "@B <DebugBreak> Task=%d", &task) == 1 && task >= 0 &&
        task < kTasks) {
      watch_ = task;
      note_ = "task " + std::to_string(task) + " stopped at DebugBreak: s step, n next, c run";
    }
    int number = 0, at = 0;
    char reason[16];
    if (std::sscanf(text.c_str(), "@S %d %d %15s %n", &task, &number, reason, &at) == 3 && at > 0)
      note_ = "task " + std::to_string(task) + " stopped at " + text.substr(std::size_t(at)) +
              " line " + std::to_string(number);
    line(show_tracer(record, look_));
  }

  void viewer_record(const std::string& record) { line(show_viewer(record, look_)); }

  Server* server_ = nullptr;

 private:
  enum class Mode { Normal, Dump, Watch };

  int32_t on_value() const { return watch_ != 0 ? watch_ : 1; }

  bool request(int code, int32_t value, const std::string& what) {
    std::string why;
    if (!send_request(code, value, &why)) {
      note_ = why;
      return false;
    }
    note_ = "sent: " + what;
    return true;
  }

  static void write_out(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
      const ssize_t n = write(STDOUT_FILENO, s.data() + done, s.size() - done);
      if (n <= 0) return;
      done += std::size_t(n);
    }
  }

  Look look_;
  termios saved_{};
  bool restore_ = false;
  Mode mode_ = Mode::Normal;
  int watch_ = 0;
  bool trace_ = false, args_ = false;
  std::string typed_, note_;
};

}  // namespace

int run_terminal(Server& server, int stop_fd) {
  Terminal term;
  term.server_ = &server;
  term.line("mrvtrace: serving " + server.dir() + " (h for the keys, q to quit)");
  const Server::Handler handler = [&](Channel c, const std::string& record) {
    if (c == Channel::Tracer)
      term.tracer_record(record);
    else
      term.viewer_record(record);
  };
  int shown_tracers = -1, shown_viewers = -1;
  for (;;) {
    const int ready = server.poll({stop_fd, STDIN_FILENO}, 500, handler);
    if (ready == 0) return 0;
    if (ready == 1) {
      char keys[64];
      const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
      if (n <= 0) return 0;  // the terminal has gone
      for (ssize_t i = 0; i < n; ++i)
        if (!term.key(keys[i])) return 0;
    }
    // Senders come and go without a record: keep the count current.
    if (server.senders(Channel::Tracer) != shown_tracers ||
        server.senders(Channel::Viewer) != shown_viewers) {
      shown_tracers = server.senders(Channel::Tracer);
      shown_viewers = server.senders(Channel::Viewer);
      term.status();
    }
  }
}

}  // namespace mrvtrace
