// Child processes of end-to-end tests: waiting on a condition instead of
// sleeping, and mrvtrace run without a terminal or in a pseudo-terminal.
#pragma once
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mrvtest {

constexpr int kPatienceMs = 30000;  // generous: two cores shared with other builds

// Waits up to `timeout_ms` for `condition`, looking every 10 ms.
inline bool eventually(const std::function<bool()>& condition, int timeout_ms = kPatienceMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::string mrvtrace_path() {
  const char* bin = std::getenv("MRV_TEST_BIN_DIR");
  return std::string(bin ? bin : ".") + "/mrvtrace";
}

// The environment of a child: ours without the engine's logs, with the
// runtime directory and the extra variables given.
inline std::vector<std::string> child_env(const std::filesystem::path& runtime,
                                          std::vector<std::string> extra = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    if (v.rfind("MRV_TRACE_LOG=", 0) == 0 || v.rfind("MRV_VIEWER_LOG=", 0) == 0 ||
        v.rfind("MRV_RUNTIME_DIR=", 0) == 0 || v.rfind("TERM=", 0) == 0)
      continue;
    env.push_back(v);
  }
  env.push_back("MRV_RUNTIME_DIR=" + runtime.string());
  for (std::string& v : extra) env.push_back(std::move(v));
  return env;
}

inline std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// A connection to the UNIX-domain socket at `path`, or -1.
inline int connect_to(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// True once both channels accept connections.
inline bool serving(const std::filesystem::path& runtime) {
  return eventually([&] {
    for (const char* name : {"message.sock", "value.sock"}) {
      const int fd = connect_to(runtime / name);
      if (fd < 0) return false;
      close(fd);
    }
    return true;
  });
}

// A running mrvtrace; killed on destruction if it is still running.
class Tracer {
 public:
  // Plain: standard output and error to files, no terminal.
  Tracer(const std::filesystem::path& runtime, std::vector<std::string> args,
         const std::string& out, const std::string& err) {
    std::vector<std::string> argv{mrvtrace_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = child_env(runtime);
    std::vector<char*> a = pointers(argv), e = pointers(env);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  // In a pseudo-terminal of 400 columns (wide enough for a line naming a
  // scratch path of the build tree); everything it shows is collected.
  Tracer(const std::filesystem::path& runtime, const char* term) {
    std::vector<std::string> argv{mrvtrace_path()};
    std::vector<std::string> env = child_env(runtime, {std::string("TERM=") + term});
    std::vector<char*> a = pointers(argv), e = pointers(env);
    winsize ws{};
    ws.ws_row = 40;
    ws.ws_col = 400;
    pid_ = forkpty(&pty_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      execve(a[0], a.data(), e.data());
      _exit(127);
    }
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        const ssize_t n = read(pty_, buf, sizeof buf);
        if (n <= 0) return;  // the tracer has gone (EIO)
        std::lock_guard<std::mutex> lock(mu_);
        screen_.append(buf, std::size_t(n));
      }
    });
  }
  ~Tracer() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (pty_ >= 0) close(pty_);
  }
  Tracer(const Tracer&) = delete;
  Tracer& operator=(const Tracer&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const { kill(pid_, sig); }
  // The exit status, or -1 when it has not ended in time.
  int wait(int timeout_ms = kPatienceMs) {
    int status = 0;
    const bool ended = eventually(
        [&] { return exited_ || (exited_ = waitpid(pid_, &status, WNOHANG) == pid_); }, timeout_ms);
    if (!ended) return -1;
    if (status_ < 0) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }
  void type(const std::string& keys) const {
    [[maybe_unused]] ssize_t n = write(pty_, keys.data(), keys.size());
  }
  std::string screen() {
    std::lock_guard<std::mutex> lock(mu_);
    return screen_;
  }
  bool shows(const std::string& text, int timeout_ms = kPatienceMs) {
    return eventually([&] { return screen().find(text) != std::string::npos; }, timeout_ms);
  }

 private:
  pid_t pid_ = -1;
  int pty_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::string screen_;
};

}  // namespace mrvtest
