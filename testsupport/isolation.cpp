// Linked into every test program: each process gets Windows, runtime and
// temporary directories of its own, inside those the build gives the program
// (MRV_WINDIR, MRV_RUNTIME_DIR, TMPDIR), and removes them when it ends. ctest
// runs every test case as a process of its own, so cases that run at the same
// time or one after the other share no profile, socket, lock or file.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Isolation {
  pid_t owner = getpid();
  std::vector<std::string> dirs;

  Isolation() {
    for (const char* var : {"MRV_WINDIR", "MRV_RUNTIME_DIR", "TMPDIR"}) {
      const char* base = std::getenv(var);
      if (base == nullptr || *base == 0) continue;
      const std::string dir = std::string(base) + "/p" + std::to_string(owner);
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) continue;
      setenv(var, dir.c_str(), 1);
      dirs.push_back(dir);
    }
  }
  ~Isolation() {
    if (getpid() != owner) return;  // a forked child leaves its parent's directories
    for (const std::string& dir : dirs) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  }
};

const Isolation isolation;

}  // namespace
